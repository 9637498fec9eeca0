#!/usr/bin/env python3
"""Fails when a source file includes a folder its layer does not link.

Reads the #include "..." lines of every file under app/ and tools/, so a header-only slip is caught as
well as a link. Each folder is a layer; an include names the layer of its first path parts. What a layer
may use is what its library links, read from the CMake lists: the USES of gathra_layer() and the
target_link_libraries() of the other libraries, followed through the libraries they link in turn. So the
CMake lists are the one table of the layering; the layout link test checks that they are complete.

    check_layers.py <source root>
"""
import pathlib
import re
import sys

# Headers made by the build, which any layer may include.
GENERATED = {"gathra_version.h"}
# The link library's header-only rules that the program compiles too, and the layers that may use them.
LINK_HEADERS = {"quorlin_ports.h": {"binding"}, "quorlin_net.h": {"binding"}}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
COMMAND = re.compile(r"\b(gathra_layer|add_library|add_executable|target_link_libraries)\s*\(([^()]*)\)")
SCOPES = {"PUBLIC", "PRIVATE", "INTERFACE", "USES", "STATIC", "SHARED"}


def layer_of_folder(relative_folder):
    """The layer of a folder below the source root, or None for one outside the layering."""
    parts = relative_folder.parts
    if parts[:1] == ("app",) and len(parts) >= 2:
        if parts[1] == "output" and len(parts) >= 3:
            return "output/" + parts[2]
        return parts[1]
    if parts[:1] == ("tools",) and len(parts) >= 2:
        return "tools/" + parts[1]
    return None


def layer_of_include(name):
    parts = name.split("/")
    if len(parts) < 2:
        return None
    if parts[0] == "output" and len(parts) >= 3:
        return "output/" + parts[1]
    return parts[0]


def read_links(root):
    """The layer each target belongs to (None for one outside the layers, such as gathra_core), and the
    targets each one links."""
    layer_of_target = {}
    links = {}
    for path in sorted(list(root.glob("app/**/CMakeLists.txt")) + list(root.glob("tools/**/CMakeLists.txt"))):
        text = re.sub(r"#[^\n]*", "", path.read_text(encoding="utf-8"))
        layer = layer_of_folder(path.parent.relative_to(root))
        for command, arguments in COMMAND.findall(text):
            words = arguments.split()
            if not words:
                continue
            target, rest = words[0], [w for w in words[1:] if w not in SCOPES]
            if command != "target_link_libraries":
                layer_of_target[target] = layer
            links.setdefault(target, set())
            if command in ("gathra_layer", "target_link_libraries"):
                links[target].update(rest)
    return layer_of_target, links


def may_use(root):
    """Each layer and the layers its libraries link, however indirectly, besides its own."""
    layer_of_target, links = read_links(root)
    table = {}
    for target, layer in layer_of_target.items():
        reached, todo = set(), list(links.get(target, ()))
        while todo:
            linked = todo.pop()
            if linked not in reached:
                reached.add(linked)
                todo.extend(links.get(linked, ()))
        if layer is not None:
            table.setdefault(layer, set()).update({layer_of_target.get(t) for t in reached} - {layer, None})
    return table


def main(root):
    root = pathlib.Path(root)
    table = may_use(root)
    faults = []
    checked = 0
    for path in sorted(list(root.glob("app/**/*")) + list(root.glob("tools/**/*"))):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        layer = layer_of_folder(path.parent.relative_to(root))
        if layer is None:
            continue
        if layer not in table:
            faults.append(f"{path.relative_to(root)}: folder {layer} builds no library of the layering")
            continue
        checked += 1
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            name = match.group(1)
            target = layer_of_include(name)
            if target is None:
                # A bare name is a header of the same folder, or one the build makes.
                if name in GENERATED or (path.parent / name).is_file():
                    continue
                if layer in LINK_HEADERS.get(name, set()):
                    continue
                faults.append(f"{path.relative_to(root)}:{number}: \"{name}\" is neither in its folder nor "
                              "named from app/")
                continue
            if target != layer and target not in table[layer]:
                faults.append(f"{path.relative_to(root)}:{number}: {layer} includes \"{name}\" "
                              f"({target}) but does not link it")
    for fault in faults:
        print(fault)
    print(f"{checked} files checked, {len(faults)} faults")
    return 1 if faults or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2]))

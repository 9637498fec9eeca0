#!/usr/bin/env python3
"""Fails when a source file includes a folder its layer may not use.

Reads the #include "..." lines of every file under app/ and tools/, so a header-only slip is caught as
well as a link. Each folder is a layer; an include names the layer of its first path parts. The rule
below is the one the libraries in app/CMakeLists.txt link by.

    check_layers.py <source root>
"""
import pathlib
import re
import sys

BELOW_OUTPUT = {"settings", "codec", "run", "common"}
UPLOAD_AND_BELOW = {"upload", "output", "output/text", "output/workbook", "output/database", "mail",
                    "journal", "binding"} | BELOW_OUTPUT

# Each layer and the layers it may include, besides its own.
MAY_USE = {
    "common": set(),
    "run": {"common"},
    "codec": {"common"},
    "binding": {"codec", "common"},
    "settings": {"codec", "run", "common"},
    "output": BELOW_OUTPUT,
    "output/text": {"output"} | BELOW_OUTPUT,
    "output/workbook": {"output"} | BELOW_OUTPUT,
    "output/database": {"output"} | BELOW_OUTPUT,
    "mail": BELOW_OUTPUT,
    "journal": BELOW_OUTPUT,
    "upload": UPLOAD_AND_BELOW - {"upload"},
    "shell": UPLOAD_AND_BELOW,
    "tools/collect": UPLOAD_AND_BELOW,
    "tools/termsim": {"codec", "common"},
}
# Headers made by the build, which any layer may include.
GENERATED = {"gathra_version.h"}
# The link library's header-only rules that the program compiles too, and the layers that may use them.
LINK_HEADERS = {"quorlin_ports.h": {"binding"}, "quorlin_net.h": {"binding"}}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


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


def main(root):
    root = pathlib.Path(root)
    faults = []
    checked = 0
    for path in sorted(list(root.glob("app/**/*")) + list(root.glob("tools/**/*"))):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        layer = layer_of_folder(path.parent.relative_to(root))
        if layer is None:
            continue
        if layer not in MAY_USE:
            faults.append(f"{path.relative_to(root)}: folder {layer} has no place in the layering")
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
            if target != layer and target not in MAY_USE[layer]:
                faults.append(f"{path.relative_to(root)}:{number}: {layer} may not include \"{name}\" "
                              f"({target})")
    for fault in faults:
        print(fault)
    print(f"{checked} files checked, {len(faults)} includes out of their layer")
    return 1 if faults or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2]))

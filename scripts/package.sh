#!/usr/bin/env bash
# Builds Gathra's two packages into dist/ (or DIST_DIR):
#   gathra-<version>-Linux-x86_64.tar.gz   the program folder, the README and packaging/
#   gathra_<version>_amd64.deb             /usr/lib/gathra, the launcher /usr/bin/gathra, menu entry, ...
# and checks the .deb with lintian. The build folder is build/ (or BUILD_DIR).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
dist=${DIST_DIR:-$root/dist}

bash "$root/scripts/install-deps.sh"
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
cmake --build "$build" -j"$(nproc)" --target Gathra gathra-collect quorlin gathra-termsim

mkdir -p "$dist"
work=$(mktemp -d "$dist/.cpack-XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -B "$work")
mv -f "$work"/*.tar.gz "$work"/*.deb "$dist"/

deb=$(ls "$dist"/gathra_*_amd64.deb)
lintian --tag-display-limit 0 "$deb" || {
    echo "package: lintian found errors in $deb" >&2
    exit 1
}
echo "package: built"
ls -l "$dist"/gathra-*.tar.gz "$deb"

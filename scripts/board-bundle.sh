#!/usr/bin/env bash
# board-bundle.sh [BUILD_DIR [OUT_DIR]]
# Installs a board build (default build/board) into a root-file-system tree
# under /usr and packs that tree as one tarball,
# OUT_DIR/mfpsys-VERSION-powerpc-board.tar.gz (default OUT_DIR: the build
# folder), to unpack at the board's root. Lists the contents and prints the
# tarball's path on the last line.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/board}
out=${2:-$build}
cache=$build/CMakeCache.txt
[[ -f $cache ]] || { echo "board-bundle: no build in $build (cmake --preset board)" >&2; exit 1; }
grep -q '^MFPSYS_BOARD_HEAP:BOOL=ON$' "$cache" ||
    { echo "board-bundle: $build is not a board build (MFPSYS_BOARD_HEAP is off)" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
cmake --build "$build" --target mfpsys mfpctl >/dev/null

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
mkdir -p "$out"
tarball=$(cd "$out" && pwd)/mfpsys-$version-powerpc-board.tar.gz
tar -C "$root" --owner=0 --group=0 --numeric-owner --sort=name -czf "$tarball" usr
tar -tvzf "$tarball"
echo "$tarball"

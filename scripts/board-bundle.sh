#!/usr/bin/env bash
# board-bundle.sh [BUILD_DIR [OUT_DIR]]
# Installs a board build (default build/board) into a root-file-system tree
# under /usr and packs that tree as one tarball,
# OUT_DIR/mfpsys-VERSION-powerpc-board.tar.gz (default OUT_DIR: the build
# folder), to unpack at the board's root. Its ELF files are stripped; their
# debug information goes beside it, in mfpsys-VERSION-powerpc-board-debug.tar.gz,
# as usr/lib/debug/<path>.debug (named by each binary's debug link) and
# usr/lib/debug/.build-id/xx/yyyy.debug (by its build-id), for gdb on the host.
# Lists the contents and prints the tarball's path on the last line.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/board}
out=${2:-$build}
cache=$build/CMakeCache.txt
[[ -f $cache ]] || { echo "board-bundle: no build in $build (cmake --preset board)" >&2; exit 1; }
grep -q '^MFPSYS_BOARD_HEAP:BOOL=ON$' "$cache" ||
    { echo "board-bundle: $build is not a board build (MFPSYS_BOARD_HEAP is off)" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$cache")
[[ $type =~ ^(Release|RelWithDebInfo|MinSizeRel)$ ]] ||
    { echo "board-bundle: $build is a ${type:-untyped} build, not a release build" >&2; exit 1; }
objcopy=$(sed -n 's/^CMAKE_OBJCOPY:FILEPATH=//p' "$cache")
readelf=$(sed -n 's/^CMAKE_READELF:FILEPATH=//p' "$cache")
[[ -x $objcopy && -x $readelf ]] ||
    { echo "board-bundle: the build names no objcopy and readelf for its target" >&2; exit 1; }
cmake --build "$build" --target mfpsys mfpctl >/dev/null

root=$(mktemp -d) debug=$(mktemp -d)
trap 'rm -rf "$root" "$debug"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null

# The installed binaries are the release code (the board preset's
# RelWithDebInfo is -O2 -g -DNDEBUG); their debug information is split off
# rather than the tree built twice.
while IFS= read -r -d '' f; do
    [[ $(head -c 4 "$f" | od -An -tx1 | tr -d ' \n') == 7f454c46 ]] || continue
    rel=${f#"$root"/}
    dbg=$debug/usr/lib/debug/$rel.debug
    mkdir -p "$(dirname "$dbg")"
    "$objcopy" --only-keep-debug "$f" "$dbg"
    chmod 0644 "$dbg"
    # A library keeps the symbols its relocations need (.dynsym stays either way).
    strip=--strip-all
    [[ $("$readelf" -h "$f") == *'DYN (Shared object file)'* ]] && strip=--strip-unneeded
    "$objcopy" "$strip" --add-gnu-debuglink="$dbg" "$f"
    id=$("$readelf" -n "$dbg" 2>/dev/null | sed -n 's/^ *Build ID: //p')
    [[ -n $id ]] || { echo "board-bundle: $rel has no build-id" >&2; exit 1; }
    mkdir -p "$debug/usr/lib/debug/.build-id/${id:0:2}"
    ln -s "../../$rel.debug" "$debug/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
done < <(find "$root/usr" -type f -print0)

mkdir -p "$out"
tarball=$(cd "$out" && pwd)/mfpsys-$version-powerpc-board.tar.gz
debug_tarball=${tarball%.tar.gz}-debug.tar.gz
pack() { tar -C "$1" --owner=0 --group=0 --numeric-owner --sort=name -czf "$2" usr; }
pack "$root" "$tarball"
pack "$debug" "$debug_tarball"
tar -tvzf "$tarball"
echo "debug information: $debug_tarball"
tar -tvzf "$debug_tarball"
echo "$tarball"

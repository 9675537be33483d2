#!/usr/bin/env bash
# run.sh BUILD_DIR WORK_DIR CLIENT_SRC TOOLCHAIN_FILE EMULATOR C_COMPILER [HEAP_DIR SIM_LIB SIM_TOOL]
# Installs the build into a scratch prefix and builds a small C client against
# it, once through find_package(mfpsys) and once through pkg-config, then runs
# it (under the emulator for a cross build) in a private IPC namespace.
# With HEAP_DIR (a board build): the tree comes from the board bundle unpacked
# into an empty folder, HEAP_DIR stands in for the board's library folder, and
# the client also keeps NV data over a restart on a simulated board.
set -euo pipefail
build=$1 work=$2 src=$3 toolchain=$4 emu=$5 cc=$6 heapdir=${7:-} simlib=${8:-} simtool=${9:-}
rm -rf "$work"; mkdir -p "$work"
if [[ -n $heapdir ]]; then
    tarball=$(bash "$(dirname "$0")/../../scripts/board-bundle.sh" "$build" "$work" | tail -n 1)
    mkdir "$work/rootfs"
    tar -C "$work/rootfs" -xzf "$tarball"
    prefix=$work/rootfs/usr
    for f in lib/libmfpsys.so lib/libmfpsys.so.0 include/mfpsys/mfpsys.h lib/pkgconfig/mfpsys.pc \
             lib/cmake/mfpsys/mfpsysConfig.cmake bin/mfpctl; do
        [[ -e $prefix/$f ]] || { echo "bundle lacks usr/$f"; exit 1; }
    done
    if ls "$prefix"/lib/*heap* 2>/dev/null; then echo "bundle holds a heap library"; exit 1; fi
else
    prefix=$work/prefix
    cmake --install "$build" --prefix "$prefix" >/dev/null
fi
libdir=$(ls -d "$prefix"/lib*/ | head -n 1)
runpath=$libdir${heapdir:+:$heapdir}

args=(-S "$src" -B "$work/client" -G Ninja -DCMAKE_PREFIX_PATH="$prefix")
[[ -n $toolchain ]] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_FIND_ROOT_PATH="$prefix")
[[ -n $heapdir ]] && args+=(-DCMAKE_EXE_LINKER_FLAGS="-L$heapdir -Wl,-rpath-link,$heapdir")
cmake "${args[@]}" >/dev/null
cmake --build "$work/client" >/dev/null

# The same client through pkg-config.
PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR= \
    "$cc" -std=c99 -Wall -Wextra -Werror -o "$work/client_pc" "$src/main.c" \
    $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs mfpsys) \
    ${heapdir:+-L"$heapdir"} -Wl,-rpath,"$libdir" -Wl,-rpath-link,"$libdir"

run() {  # run EXE ARGS...: on the target, with the installed libraries
    # shellcheck disable=SC2086
    LD_LIBRARY_PATH=$runpath $emu $( [[ -n $emu ]] && echo "-E LD_LIBRARY_PATH=$runpath" ) \
        $( [[ -n $simlib ]] && echo "-E LD_PRELOAD=$simlib" ) "$@"
}
for exe in "$work/client/mfpsys_client" "$work/client_pc"; do
    out=$(export -f run; export emu runpath simlib; unshare -i bash -c 'run "$@"' _ "$exe")
    echo "$out"
    [[ $out == "client ok" ]] || { echo "unexpected output from $exe"; exit 1; }
done
[[ -n $heapdir ]] || exit 0

# NV data over a restart: the second power-up's scan leaves the block's cache
# on the heap, and another process reads it there.
export MFPSIM_BOARD=$work/board
$emu "$simtool" new "$MFPSIM_BOARD" >/dev/null
export -f run; export emu runpath simlib work
unshare -i bash -c 'run "$work/client_pc" nv-write "kept over a restart"'
out=$(unshare -i bash -c 'run "$work/client_pc" nv-scan && run "$work/client_pc" nv-read')
echo "$out"
[[ $out == "kept over a restart" ]] || { echo "NV block not read back through the heap"; exit 1; }

#!/usr/bin/env bash
# run.sh BUILD_DIR WORK_DIR CLIENT_SRC TOOLCHAIN_FILE EMULATOR C_COMPILER [HEAP_DIR SIM_LIB SIM_TOOL]
# Installs the build into a scratch prefix and builds a small C client against
# it, once through find_package(mfpsys) and once through pkg-config, then runs
# it (under the emulator for a cross build) in a private IPC namespace.
# With HEAP_DIR (a board build): the tree comes from the board bundle unpacked
# into an empty folder, HEAP_DIR stands in for the board's library folder, and
# the client also keeps NV data over a restart on a simulated board; the
# bundle's binaries are stripped, their debug files in the archive beside it.
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
    # Shipped stripped; the debug archive beside the bundle holds each
    # binary's debug information under its build-id and its debug link.
    readelf=${cc%gcc}readelf
    mkdir "$work/debugfs"
    tar -C "$work/debugfs" -xzf "${tarball%.tar.gz}-debug.tar.gz"
    build_id() { "$readelf" -n "$1" | sed -n 's/^ *Build ID: //p'; }
    for f in lib/libmfpsys.so.0.1.0 bin/mfpctl; do
        bin=$prefix/$f dbg=$work/debugfs/usr/lib/debug/usr/$f.debug id=$(build_id "$prefix/$f")
        if "$readelf" -SW "$bin" | grep -E '\] \.(debug_info|symtab) '; then echo "usr/$f is not stripped"; exit 1; fi
        "$readelf" -SW "$dbg" | grep -q '\] \.debug_info ' || { echo "no debug information for usr/$f"; exit 1; }
        [[ -n $id && $(build_id "$dbg") == "$id" &&
           $(readlink -f "$work/debugfs/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug") == $(readlink -f "$dbg") ]] ||
            { echo "usr/$f: build-id ${id:-missing} does not lead to its debug file"; exit 1; }
        # The debug link: the debug file's name and its CRC-32, in the target's byte order.
        python3 - "$bin" "$dbg" "$readelf" <<'PY' || exit 1
import subprocess, sys, zlib
binary, dbg, readelf = sys.argv[1:]
raw = subprocess.run([readelf, "-x", ".gnu_debuglink", binary], capture_output=True, text=True, check=True).stdout
data = bytes.fromhex("".join(line[13:48].replace(" ", "") for line in raw.splitlines() if line.startswith("  0x")))
name = data[:data.index(0)].decode()
crc = int.from_bytes(data[-4:], "big")
if name != dbg.rsplit("/", 1)[1] or crc != zlib.crc32(open(dbg, "rb").read()):
    sys.exit(f"{binary}: debug link {name} crc {crc:#x} does not match {dbg}")
PY
    done
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

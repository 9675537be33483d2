#!/usr/bin/env bash
# run.sh BUILD_DIR WORK_DIR CLIENT_SRC TOOLCHAIN_FILE EMULATOR C_COMPILER
set -euo pipefail
build=$1 work=$2 src=$3 toolchain=$4 emu=$5 cc=$6
rm -rf "$work"; mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

args=(-S "$src" -B "$work/client" -G Ninja -DCMAKE_PREFIX_PATH="$prefix")
[[ -n $toolchain ]] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_FIND_ROOT_PATH="$prefix")
cmake "${args[@]}" >/dev/null
cmake --build "$work/client" >/dev/null

libdir=$(ls -d "$prefix"/lib*/ | head -n 1)
# The same client through pkg-config.
PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR= \
    "$cc" -std=c99 -Wall -Wextra -Werror -o "$work/client_pc" "$src/main.c" \
    $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs mfpsys) \
    -Wl,-rpath,"$libdir" -Wl,-rpath-link,"$libdir"

for exe in "$work/client/mfpsys_client" "$work/client_pc"; do
    # shellcheck disable=SC2086
    out=$(LD_LIBRARY_PATH=$libdir unshare -i $emu $( [[ -n $emu ]] && echo "-E LD_LIBRARY_PATH=$libdir" ) "$exe")
    echo "$out"
    [[ $out == "client ok" ]] || { echo "unexpected output from $exe"; exit 1; }
done

#!/usr/bin/env bash
# The virtual board: a 32-bit PowerPC Linux kernel under qemu-system-ppc with
# the board's flash as a kernel driver (docs/virtual-board.md).
#
#   vm.sh build
#   vm.sh run BOARD [--cut-at K[:MODE]] [--salt N] [--erase-ms MS]
#             [--timeout S] [--console FILE] [--file HOSTPATH]... -- PROGRAM [ARGS...]
#   vm.sh image get BOARD FILE | image put BOARD FILE
#
# Exit status of run: PROGRAM's (128+N when killed by signal N), 200 after a
# power cut, 201 when the guest did not come up or did not power off in
# time, 2 for bad usage. MFPSYS_VM_PREBUILT=1 skips run's build check (a
# suite that has just run `vm.sh build` itself).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build/vm
BOARD_BUILD=$ROOT/build/board
KSRC_TAR=/usr/src/linux-source-6.1.tar.xz
JOBS=${MFPSYS_JOBS:-2}

# Guest physical layout: the kernel keeps to mem=; the download areas and the
# flash contents lie above it, in RAM the host backs with a file.
RAM_MB=256
MEM_ARG=236M
DWL_BASE=$((0x0EC00000))
DWL_SIZE=$((0x20000))
PHYSMEM_SIZE=$((0x0EC20000))
FLASH_PHYS=$((0x0ED00000))
FLASH_SIZE=524288

die() { echo "vm: $*" >&2; exit "${2:-2}"; }
usage() {
    sed -n '5,8p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
progress() { echo "vm: $*" >&2; }

# --- build ------------------------------------------------------------------

kernel_stamp() {
    {
        dpkg-query -W -f='${Version}\n' linux-source-6.1
        cat vm/kernel.config vm/Kconfig vm/Makefile vm/mfp_flash.c
    } | sha256sum | cut -d' ' -f1
}

build_kernel() {
    local ksrc=$OUT/linux-source-6.1 kb=$OUT/kbuild stamp
    stamp=$(kernel_stamp)
    [[ -f $OUT/vmlinux && $(cat "$OUT/kernel.stamp" 2>/dev/null) == "$stamp" ]] && return 0
    local version
    version=$(dpkg-query -W -f='${Version}' linux-source-6.1)
    if [[ $(cat "$ksrc/.mfpvm-version" 2>/dev/null) != "$version" ]]; then
        progress "unpacking the kernel source $version"
        rm -rf "$ksrc" "$kb"
        tar -C "$OUT" -xJf "$KSRC_TAR"
        # The driver is built in: its folder joins the tree's drivers.
        mkdir -p "$ksrc/drivers/mfp"
        sed -i 's|^endmenu|source "drivers/mfp/Kconfig"\n\nendmenu|' "$ksrc/drivers/Kconfig"
        echo 'obj-y += mfp/' >>"$ksrc/drivers/Makefile"
        echo "$version" >"$ksrc/.mfpvm-version"
    fi
    local f
    for f in Kconfig Makefile mfp_flash.c; do
        cmp -s "vm/$f" "$ksrc/drivers/mfp/$f" || cp "vm/$f" "$ksrc/drivers/mfp/$f"
    done
    # The configuration is made aside and taken only when it changed: making
    # it in place would mark the whole tree out of date.
    local kc=$OUT/kconfig
    mkdir -p "$kb" "$kc"
    local kconf=(make -s -C "$ksrc" O="$kc" ARCH=powerpc CROSS_COMPILE=powerpc-linux-gnu-)
    "${kconf[@]}" tinyconfig >/dev/null
    "$ksrc/scripts/kconfig/merge_config.sh" -m -O "$kc" "$kc/.config" vm/kernel.config >/dev/null
    "${kconf[@]}" olddefconfig >/dev/null 2>&1
    # A symbol the fragment asks for but Kconfig dropped is a broken kernel.
    local opt
    for opt in $(sed -n 's/^\(CONFIG_[A-Z0-9_]*\)=y$/\1/p' vm/kernel.config); do
        grep -qx "$opt=y" "$kc/.config" || die "kernel config: $opt did not stay set" 1
    done
    cmp -s "$kc/.config" "$kb/.config" || cp "$kc/.config" "$kb/.config"
    local kmake=(make -s -C "$ksrc" O="$kb" ARCH=powerpc CROSS_COMPILE=powerpc-linux-gnu-)
    progress "building the kernel (make -j$JOBS, several minutes the first time)"
    "${kmake[@]}" -j"$JOBS" vmlinux >&2
    # Replaced whole: a run started earlier keeps the one it opened.
    cp "$kb/vmlinux" "$OUT/vmlinux.new" && mv "$OUT/vmlinux.new" "$OUT/vmlinux"
    echo "$stamp" >"$OUT/kernel.stamp"
}

build_board() {
    if [[ ! -f $BOARD_BUILD/CMakeCache.txt ]]; then
        progress "configuring the board preset"
        cmake --preset board >&2
    fi
    # The whole preset: the guest's test programs are built there too.
    cmake --build "$BOARD_BUILD" -j"$JOBS" >"$OUT/board-build.log" 2>&1 ||
        { cat "$OUT/board-build.log" >&2; die "the board preset does not build" 1; }
}

# Newest modification time among the given files (0 when there are none).
newest() { stat -c %Y "$@" 2>/dev/null | sort -n | tail -n 1 || echo 0; }

# The guest's root file system without the run's own files: /init, the C and
# C++ runtime, the board bundle, the heap library, the guest test programs.
build_base() {
    local init=$OUT/init
    if [[ ! -x $init || vm/init.c -nt $init ]]; then
        powerpc-linux-gnu-gcc -static -s -O2 -Wall -Wextra -Werror -o "$init" vm/init.c
    fi
    local heap_name tarball heap
    heap_name=$(sed -n 's/^MFPSYS_HEAP_LIBRARY:[A-Z]*=//p' "$BOARD_BUILD/CMakeCache.txt")
    heap=$(find "$BOARD_BUILD" -path '*/work' -prune -o -name "lib${heap_name:-tarnix}.so" -print -quit)
    [[ -n $heap ]] || die "no heap library lib${heap_name:-tarnix}.so in $BOARD_BUILD" 1
    # The bundle names its tarball on its last line; a debug archive may lie
    # beside it.
    tarball=$(cat "$OUT/bundle.path" 2>/dev/null || true)
    if [[ ! -f $tarball || $(newest "$BOARD_BUILD"/libmfpsys.so* "$BOARD_BUILD"/tools/mfpctl \
        scripts/board-bundle.sh) -gt $(newest "$tarball") ]]; then
        rm -rf "$OUT/bundle"
        tarball=$(scripts/board-bundle.sh "$BOARD_BUILD" "$OUT/bundle" | tail -n 1)
        [[ -f $tarball ]] || die "scripts/board-bundle.sh made no tarball" 1
        echo "$tarball" >"$OUT/bundle.path"
    fi
    local libdir=/usr/powerpc-linux-gnu/lib
    local libs=(ld.so.1 libc.so.6 libm.so.6 libgcc_s.so.1 libstdc++.so.6 libpthread.so.0 libdl.so.2 librt.so.1)
    local inputs=("$init" "$tarball" "$heap")
    local l
    for l in "${libs[@]}"; do inputs+=("$libdir/$l"); done
    local guest_bin=$BOARD_BUILD/tests/vm/bin
    [[ -d $guest_bin ]] && inputs+=("$guest_bin" "$guest_bin"/*)
    local key
    key=$(stat -L -c '%n %s %Y' "${inputs[@]}" | sha256sum | cut -d' ' -f1)
    [[ -f $OUT/base.cpio && $(cat "$OUT/base.key" 2>/dev/null) == "$key" ]] && return 0

    local root=$OUT/rootfs
    rm -rf "$root"
    mkdir -p "$root"/{proc,sys,dev,tmp,lib,etc/mfpvm,usr/bin,usr/lib}
    cp "$init" "$root/init"
    for l in "${libs[@]}"; do cp -L "$libdir/$l" "$root/lib/$l"; done
    tar -C "$root" -xzf "$tarball"
    cp -L "$heap" "$root/usr/lib/"
    local soname
    soname=$(powerpc-linux-gnu-readelf -d "$heap" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
    [[ -n $soname && ! -e $root/usr/lib/$soname ]] && cp -L "$heap" "$root/usr/lib/$soname"
    if [[ -d $guest_bin ]]; then
        find "$guest_bin" -maxdepth 1 -type f -perm -u+x -exec cp {} "$root/usr/bin/" \;
    fi
    (cd "$root" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort |
        cpio -o -H newc -R 0:0 --quiet) >"$OUT/base.cpio.new"
    mv "$OUT/base.cpio.new" "$OUT/base.cpio"
    echo "$key" >"$OUT/base.key"
}

cmd_build() {
    # The package check is skipped while the kernel built from these very
    # packages stands and the emulator is there: a run stays cheap.
    if [[ ! -f $OUT/vmlinux || $(cat "$OUT/kernel.stamp" 2>/dev/null) != "$(kernel_stamp 2>/dev/null)" ]] ||
        ! command -v qemu-system-ppc powerpc-linux-gnu-gcc cpio python3 >/dev/null; then
        # shellcheck source=scripts/deps.sh
        source "$ROOT/scripts/deps.sh"
        mfpsys_install_deps vm >&2 || die "cannot install the vm packages" 1
    fi
    mkdir -p "$OUT"
    # One build at a time: runs started together share the kernel and base.
    exec 9>"$OUT/.lock"
    flock 9
    build_kernel
    build_board
    build_base
    flock -u 9
}

# --- boards -----------------------------------------------------------------

is_board() { [[ -d $1 && -f $1/flash.img && $(stat -c %s "$1/flash.img") -eq $FLASH_SIZE ]]; }

# Refuses what is not a board; a missing folder is fine (a blank board).
check_board() {
    local b=$1
    [[ -n $b ]] || die "no BOARD given"
    if [[ -e $b ]]; then
        is_board "$b" || die "$b is not a board (no flash.img of $FLASH_SIZE bytes)"
    fi
}

make_board() {
    local b=$1
    is_board "$b" && { [[ -f $b/physmem.img ]] || truncate -s $PHYSMEM_SIZE "$b/physmem.img"; return 0; }
    mkdir -p "$b"
    head -c $FLASH_SIZE /dev/zero | LC_ALL=C tr '\0' '\377' >"$b/flash.img"
    truncate -s $PHYSMEM_SIZE "$b/physmem.img"
}

# copy SRC SRC_OFFSET DST DST_OFFSET LENGTH, in place.
copy_at() {
    dd if="$1" of="$3" bs=64K iflag=skip_bytes,count_bytes oflag=seek_bytes conv=notrunc \
        skip="$2" seek="$4" count="$5" status=none
}

cmd_image() {
    [[ $# -eq 3 ]] || usage
    local dir=$1 board=$2 file=$3
    case $dir in
    get)
        is_board "$board" || die "$board is not a board (no flash.img of $FLASH_SIZE bytes)"
        cp "$board/flash.img" "$file"
        ;;
    put)
        check_board "$board"
        [[ -f $file && $(stat -c %s "$file") -eq $FLASH_SIZE ]] || die "$file is not a flash image of $FLASH_SIZE bytes"
        make_board "$board"
        cp "$file" "$board/flash.img"
        ;;
    *) usage ;;
    esac
}

# --- run --------------------------------------------------------------------

# The run's folder and machine, gone however the run ends.
tmp=''
qemu=''
cleanup() {
    [[ -n $qemu ]] && kill -KILL "$qemu" 2>/dev/null
    [[ -n $tmp ]] && rm -rf "$tmp"
    return 0
}

# A 32-bit big-endian PowerPC ELF executable: class 1, data 2, machine 20.
is_ppc32() {
    local h
    h=$(od -An -tx1 -N20 "$1" 2>/dev/null | tr -d ' \n')
    [[ ${h:0:12} == 7f454c460102 && ${h:32:4} == 0002 || ${h:0:12} == 7f454c460102 && ${h:32:4} == 0003 ]] &&
        [[ ${h:36:4} == 0014 ]]
}

cmd_run() {
    local board='' cut_at=0 cut_mode=prefix salt=1 erase_ms=200 timeout=120 console=''
    local files=()
    [[ $# -ge 1 ]] || usage
    board=$1
    shift
    while [[ $# -gt 0 && $1 != -- ]]; do
        [[ $# -ge 2 ]] || die "$1 needs a value"
        case $1 in
        --cut-at)
            [[ $2 =~ ^([0-9]+)(:(none|prefix|random))?$ ]] ||
                die "--cut-at wants K[:none|prefix|random], not '$2'"
            cut_at=$((10#${BASH_REMATCH[1]}))
            [[ $cut_at -ge 1 ]] || die "--cut-at wants a positive count, not '$2'"
            cut_mode=${BASH_REMATCH[3]:-prefix}
            ;;
        --salt)
            [[ $2 =~ ^[0-9]{1,19}$ ]] || die "--salt wants a number, not '$2'"
            salt=$2
            ;;
        --erase-ms)
            [[ $2 =~ ^[0-9]{1,6}$ ]] || die "--erase-ms wants milliseconds (0-999999), not '$2'"
            erase_ms=$((10#$2))
            ;;
        --timeout)
            [[ $2 =~ ^[0-9]{1,5}$ && $((10#$2)) -ge 1 ]] || die "--timeout wants seconds, not '$2'"
            timeout=$((10#$2))
            ;;
        --console)
            console=$2
            ;;
        --file)
            [[ -f $2 && -r $2 ]] || die "--file: $2 is not a readable file"
            files+=("$2")
            ;;
        *) die "unknown option $1" ;;
        esac
        shift 2
    done
    [[ $# -ge 2 && $1 == -- ]] || usage
    shift
    local program=$1
    shift
    check_board "$board"
    if [[ $program == */* ]]; then
        [[ -f $program ]] || die "$program: no such file"
        is_ppc32 "$program" || die "$program is not a 32-bit big-endian PowerPC executable"
    fi
    [[ $salt -ne 0 ]] || salt=$(date +%s%N)

    # A suite that has just run the build check itself skips it per boot.
    if [[ ${MFPSYS_VM_PREBUILT:-} != 1 || ! -f $OUT/vmlinux || ! -f $OUT/base.cpio ]]; then
        cmd_build
    fi
    local guest=$program
    if [[ $program == */* ]]; then
        guest=/tmp/$(basename "$program")
    elif [[ ! -x $OUT/rootfs/usr/bin/$program ]]; then
        die "$program is not a program of the guest (/usr/bin: $(ls "$OUT/rootfs/usr/bin" | tr '\n' ' '))"
    fi
    make_board "$board"
    rm -f "$board/last-run"

    tmp=$(mktemp -d "${TMPDIR:-/tmp}/mfpvm.XXXXXX")
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    # The run's own files: the program, --file files, the argument vector.
    mkdir -p "$tmp/root/tmp" "$tmp/root/etc/mfpvm"
    [[ $program == */* ]] && install -m 755 "$program" "$tmp/root$guest"
    local f
    for f in "${files[@]}"; do cp "$f" "$tmp/root/tmp/"; done
    printf '%s\0' "$guest" "$@" >"$tmp/root/etc/mfpvm/argv"
    (cd "$tmp/root" && find . -mindepth 1 | sed 's|^\./||' | cpio -o -H newc -R 0:0 --quiet) >"$tmp/run.cpio"
    cat "$OUT/base.cpio" "$tmp/run.cpio" >"$tmp/initrd"

    truncate -s ${RAM_MB}M "$tmp/ram"
    copy_at "$board/flash.img" 0 "$tmp/ram" $FLASH_PHYS $FLASH_SIZE
    copy_at "$board/physmem.img" $DWL_BASE "$tmp/ram" $DWL_BASE $DWL_SIZE
    : >"$tmp/console"
    : >"$tmp/out"

    local append="console=ttyS0 mem=$MEM_ARG panic=-1 mfp_flash.phys=$FLASH_PHYS"
    append+=" mfp_flash.erase_ms=$erase_ms mfp_flash.cut_at=$cut_at mfp_flash.cut_mode=$cut_mode"
    append+=" mfp_flash.cut_salt=$salt"
    qemu-system-ppc -M ppce500,memory-backend=ram -cpu e500mc -m ${RAM_MB}M \
        -object memory-backend-file,id=ram,size=${RAM_MB}M,mem-path="$tmp/ram",share=on \
        -display none -monitor none -no-reboot -net none \
        -serial file:"$tmp/console" -serial file:"$tmp/out" \
        -kernel "$OUT/vmlinux" -initrd "$tmp/initrd" -append "$append" \
        </dev/null >"$tmp/qemu.log" 2>&1 &
    qemu=$!
    local outcome=ended
    local deadline=$((SECONDS + timeout))
    while kill -0 $qemu 2>/dev/null; do
        # The driver stopped the CPU: pull the plug, nothing is flushed.
        if grep -aq '<<mfpvm>> cut' "$tmp/console"; then
            kill -KILL $qemu 2>/dev/null || true
            outcome='cut'
            break
        fi
        if [[ $SECONDS -ge $deadline ]]; then
            kill -KILL $qemu 2>/dev/null || true
            outcome=timeout
            break
        fi
        sleep 0.05
    done
    wait $qemu 2>/dev/null || true
    qemu=''

    copy_at "$tmp/ram" $FLASH_PHYS "$board/flash.img" 0 $FLASH_SIZE
    copy_at "$tmp/ram" $DWL_BASE "$board/physmem.img" $DWL_BASE $DWL_SIZE
    cat "$tmp/qemu.log" >>"$tmp/console"
    [[ -z $console ]] || cp "$tmp/console" "$console"
    local rc=0
    python3 vm/relay.py "$tmp/console" "$tmp/out" "$board/last-run" "$outcome" "$timeout" "$cut_at" || rc=$?
    exit $rc
}

case ${1:-} in
build)
    [[ $# -eq 1 ]] || usage
    cmd_build
    ;;
run)
    shift
    cmd_run "$@"
    ;;
image)
    shift
    cmd_image "$@"
    ;;
*) usage ;;
esac

# Shared by the virtual-board suites (run.sh, campaign.sh): the run command,
# boards, and the case bookkeeping. Sourced, never run.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# The run command; MFPSYS_VM_RUN may name another with the same interface.
VM=${MFPSYS_VM_RUN:-$ROOT/scripts/vm.sh}
# Several programs in one boot (the guest has no shell): vm B -- "$RUN" CMD ';' CMD...
RUN=$ROOT/build/board/tools/mfprun
JOBS=${MFPSYS_VM_JOBS:-2}  # boots at a time, each on a board of its own
KEEP=${MFPSYS_VM_KEEP:-}   # a folder to keep the boards and logs in

# One build check for the whole suite (kernel, board preset, guest image);
# the boots then skip theirs.
if [[ ${MFPSYS_VM_PREBUILT:-} != 1 && -z ${MFPSYS_VM_RUN:-} ]]; then
    if ! "$VM" build; then
        echo "vm: the virtual board could not be built"
        echo "0 passed, 1 failed"
        exit 1
    fi
    export MFPSYS_VM_PREBUILT=1
fi

WORK=${KEEP:-$(mktemp -d "${TMPDIR:-/tmp}/mfpsys-vm.XXXXXX")}
mkdir -p "$WORK"
[[ -n $KEEP ]] || trap 'rm -rf "$WORK"' EXIT

# vm BOARD [OPTIONS] -- PROGRAM ARGS: one boot; its output goes to the
# caller's, and to BOARD.log for a failure report.
vm() {
    local board=$1; shift
    "$VM" run "$board" "$@" 2>&1 | tee -a "$board.log"
    return "${PIPESTATUS[0]}"
}

# A blank board: flash all 0xFF, physical memory zero (the simulator's layout).
blank_board() {
    mkdir -p "$1"
    head -c 524288 /dev/zero | tr '\0' '\377' >"$1/flash.img"
    truncate -s $((0x0EC20000)) "$1/physmem.img"
}

# copy_board FROM TO: the whole board, sparse files kept sparse.
copy_board() { rm -rf "$2"; cp -r --sparse=always "$1" "$2"; rm -f "$2.log"; }

# The flash operations of the board's last boot (programs + erases).
last_ops() { awk '$1 == "programs" || $1 == "erases" { n += $2 } END { print n + 0 }' "$1/last-run"; }

#!/usr/bin/env bash
# The virtual-board suites: the board preset's library (with its test
# allocator as the board's heap) and mfpctl on a real 32-bit PowerPC kernel,
# through scripts/vm.sh, with nothing preloaded. Each case is one or more
# boots of a board of its own; the guest side is mfpvm (vm_guest.cpp), and tools/mfprun runs several programs in one boot.
#
#   tests/vm/run.sh [CASE...]     cases: procs nv mac dwl campaign
#
# Needs build/board (scripts/vm.sh builds it when missing). Prints each case
# and ends with "N passed, N failed". MFPSYS_VM_KEEP=DIR keeps the boards.
set -uo pipefail
# shellcheck source=tests/vm/lib.sh
source "$(dirname "$0")/lib.sh"

# Registry, keys and resize across processes released at one instant.
case_procs() {
    vm "$1" -- "$RUN" mfpvm procs 8 ';' mfpctl shm list &&
        grep -q '^ *30001 ' "$1.log"
}

# NV writes and reads across real reboots: appends, and each block read once per boot.
case_nv() {
    vm "$1" -- mfpvm nv w0=1 w1=1 w2=1 w3=1 &&
        vm "$1" -- "$RUN" mfpvm nv r0=1 r1=1 r2=1 r3=1 w0=2 w3=2 ';' mfpctl nv status &&
        grep -q 'powered up: yes' "$1.log" &&
        vm "$1" -- mfpvm nv r0=2 r1=1 r2=1 r3=2
}

# The address set by mfpctl, read back by mfpctl after a reboot.
case_mac() {
    vm "$1" -- mfpctl mac set 02:00:5e:10:20:3f &&
        vm "$1" -- mfpctl mac get | grep -qx '02:00:5e:10:20:3f'
}

# The download areas over memory the host filled: area 0 a valid header
# (magic 4D 45 00 03, a word, info bytes 1..12), area 1 the wrong magic
# 4D 45 00 04; behind both headers byte i of the data is i * 7 + 3.
case_dwl() {
    local a
    for a in 0 1; do
        { printf "\x4d\x45\x00\x0$((3 + a))\x00\x00\x00\x01"
          printf '\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c'
          python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + 3) & 255 for i in range(int(sys.argv[1]))))' \
              $(( (a ? 0x1000 : 0x1F000) - 20 ))
        } | dd of="$1/physmem.img" bs=4096 seek=$(( (0x0EC00000 + a * 0x1F000) / 4096 )) conv=notrunc status=none
    done
    vm "$1" -- "$RUN" mfpvm dwl ';' mfpctl dwl show 0 && grep -q 'accepted' "$1.log"
}

report() {  # report CASE STATUS
    if [[ $2 -eq 0 ]]; then echo "ok $1"; passed=$((passed + 1)); return; fi
    echo "FAILED $1"; sed 's/^/  | /' "$WORK/$1.log" | tail -n 40; failed=$((failed + 1))
}

# The power-cut campaign counts its own cases; the others run JOBS at a time.
CASES=(${@:-procs nv mac dwl campaign})
passed=0 failed=0
pids=() names=()
for c in "${CASES[@]}"; do
    [[ $c == campaign ]] && continue
    blank_board "$WORK/$c"
    ( case_$c "$WORK/$c" >/dev/null 2>&1 ) &
    pids+=($!) names+=("$c")
    if (( ${#pids[@]} >= JOBS )); then
        wait "${pids[0]}"; report "${names[0]}" $?
        pids=("${pids[@]:1}") names=("${names[@]:1}")
    fi
done
for i in "${!pids[@]}"; do wait "${pids[$i]}"; report "${names[$i]}" $?; done
if [[ " ${CASES[*]} " == *" campaign "* ]]; then
    "$(dirname "$0")/campaign.sh" | tee "$WORK/campaign.out"
    if [[ $(tail -n 1 "$WORK/campaign.out") =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
        passed=$((passed + BASH_REMATCH[1])) failed=$((failed + BASH_REMATCH[2]))
    else
        failed=$((failed + 1))
    fi
fi
echo "$passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]

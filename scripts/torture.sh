#!/usr/bin/env bash
# The full reliability campaign: every scenario at every cut point in every
# tear mode (also on ppc, where CI runs one), each cut followed by a second
# cut at every step of the recovery after it (CI draws three per scenario),
# the killed holders and concurrent clients, bad input.
# Runs on the presets in MFPSYS_PRESETS (default: native). MFPSYS_SALT fixes
# the salt (default: one drawn here and printed). Prints the figures.
# --vm: then the virtual board's campaign too, every step in every tear (a
# boot is about 2 s: count about an hour).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VM=
for arg in "$@"; do
    case $arg in
        --vm) VM=1 ;;
        *) echo "usage: scripts/torture.sh [--vm]" >&2; exit 2 ;;
    esac
done
PRESETS=${MFPSYS_PRESETS:-native}
SALT=${MFPSYS_SALT:-$(( (RANDOM << 16) | RANDOM ))}
export MFPSYS_CAMPAIGN=full MFPSYS_SALT=$SALT
echo "=== torture: salt $SALT (rerun: MFPSYS_SALT=$SALT scripts/torture.sh)"

# shellcheck source=scripts/deps.sh
source "$ROOT/scripts/deps.sh"
mfpsys_install_deps test || exit 1

status=0
figures=()
for preset in $PRESETS; do
    cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "${MFPSYS_JOBS:-2}" >/dev/null || {
        echo "=== $preset: build FAILED"; status=1; continue; }
    dir=build/$preset/tests/powercut
    run=()
    if [[ $preset == ppc ]]; then run=(qemu-ppc -L /usr/powerpc-linux-gnu); fi
    if [[ $preset == asan ]]; then
        export ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    fi
    for t in powercut_campaign_test powercut_clients_test powercut_bad_input_test; do
        echo "=== $preset: $t"
        # Each test case in a new IPC namespace, as under ctest.
        log=build/$preset/torture-$t.log
        if ! "${run[@]}" "$dir/$t" 2>&1 | grep -v '^mfpsim: power cut' | tee "$log" |
                grep -E ' erase steps, [0-9]+ second cuts$|^\[  (PASSED|FAILED) )|replay:'; then
            :
        fi
        grep -q '^\[  PASSED  \]' "$log" && ! grep -q '^\[  FAILED  \]' "$log" || status=1
        while read -r line; do figures+=("$preset $line"); done < <(grep ' erase steps, [0-9]* second cuts$' "$log")
    done
done

if [[ -n $VM ]]; then
    echo "=== vm: the power-cut campaign on the virtual board, every step in every tear"
    if scripts/vm.sh build && MFPSYS_VM_CAMPAIGN=full tests/vm/campaign.sh | tee build/vm-torture.log; then :; else status=1; fi
    while read -r line; do figures+=("vm $line"); done < <(grep '^ok campaign/' build/vm-torture.log)
fi

echo "=== figures (salt $SALT)"
for f in "${figures[@]}"; do echo "$f"; done
[[ $status -eq 0 ]] && echo "torture: passed" || echo "torture: FAILED"
exit $status

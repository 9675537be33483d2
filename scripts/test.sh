#!/usr/bin/env bash
# Builds and runs every test on the three targets: native, asan (native with
# AddressSanitizer + UndefinedBehaviorSanitizer) and ppc (32-bit big-endian
# PowerPC under qemu-user), and on board (ppc with the board's heap, here the
# test allocator) the suites that share the heap between processes, the symbol
# check and the bundle test; then the virtual-board suites on a PowerPC
# kernel (stage vm). Installs missing Debian packages
# first. Ends with one line "N passed, N failed" summed over every stage.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

PRESETS=${MFPSYS_PRESETS:-"native asan ppc board"}
JOBS=${MFPSYS_JOBS:-2}

# shellcheck source=scripts/deps.sh
source "$ROOT/scripts/deps.sh"
mfpsys_install_deps test || exit 1

passed=0
failed=0
broken=0
for preset in $PRESETS; do
    echo "=== $preset: configure and build"
    if ! cmake --preset "$preset" >"build-$preset.configure.log" 2>&1; then
        cat "build-$preset.configure.log"
        echo "=== $preset: configure FAILED"
        broken=$((broken + 1)); failed=$((failed + 1)); continue
    fi
    if ! cmake --build --preset "$preset" -j "$JOBS" 2>&1 | tail -n 200; then
        echo "=== $preset: build FAILED"
        broken=$((broken + 1)); failed=$((failed + 1)); continue
    fi
    echo "=== $preset: test"
    log="build/$preset/ctest.log"
    ctest --preset "$preset" -j "$JOBS" 2>&1 | tee "$log"
    # ctest's summary: "NN% tests passed, F tests failed out of T"
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [[ -z "$line" ]]; then
        if grep -q 'No tests were found' "$log"; then
            echo "=== $preset: no tests found"
        else
            echo "=== $preset: no ctest summary"
        fi
        failed=$((failed + 1)); continue
    fi
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f))
    failed=$((failed + f))
    echo "=== $preset: $((t - f)) passed, $f failed"
done

# A stage's last line "N passed, N failed" adds to the counts; any other
# last line (the stage broke off) is one failure.
add_counts() {  # add_counts LOG
    line=$(tail -n 1 "$1")
    if [[ $line =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
        passed=$((passed + BASH_REMATCH[1]))
        failed=$((failed + BASH_REMATCH[2]))
    else
        failed=$((failed + 1))
    fi
}

# --- virtual-board stage: the suites of tests/vm on a 32-bit PowerPC kernel
# in full-system emulation (scripts/vm.sh builds the kernel and the drivers
# once). MFPSYS_VM=0 skips it, MFPSYS_VM_CASES="mac dwl" runs only those
# (both for quick local runs; CI runs it all); a kernel that cannot be built
# is a failure.
if [[ ${MFPSYS_VM:-1} != 0 ]]; then
    echo "=== vm: kernel, drivers, then the virtual-board suites"
    start=$SECONDS
    if [[ -f build/board/build.ninja ]]; then cmake --build build/board -j "$JOBS" --target mfpvm mfprun >/dev/null; fi
    if scripts/vm.sh build 2>build-vm.build.log; then
        # shellcheck disable=SC2086  # MFPSYS_VM_CASES: a quick local run of some cases
        tests/vm/run.sh ${MFPSYS_VM_CASES:-} 2>&1 | tee build-vm.log
        add_counts build-vm.log
    else
        tail -n 40 build-vm.build.log
        echo "kernel or driver build FAILED" >build-vm.log
        failed=$((failed + 1))
    fi
    echo "=== vm: $(tail -n 1 build-vm.log) ($((SECONDS - start)) s)"
fi
# --- end of virtual-board stage

echo "$passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]

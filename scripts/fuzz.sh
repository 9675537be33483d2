#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer) into
# build/fuzz and runs each for the given number of seconds (default 60),
# starting from the starting corpora in tests/fuzz/corpus. New inputs go to
# build/fuzz/corpus/<target>; a crash leaves its input in build/fuzz.
# Usage: scripts/fuzz.sh [seconds] [target...]
# Ends with one line "N passed, N failed" (one per target).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_EACH=${1:-60}
shift || true
TARGETS=("$@")
[[ ${#TARGETS[@]} -eq 0 ]] && TARGETS=(fuzz_env fuzz_scan)

# shellcheck source=scripts/deps.sh
source "$ROOT/scripts/deps.sh"
mfpsys_install_deps fuzz || exit 1

B=build/fuzz
if ! { cmake -S tests/fuzz -B $B -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo >$B.configure.log 2>&1 &&
       cmake --build $B -j "${MFPSYS_JOBS:-2}" >$B.build.log 2>&1; }; then
    cat $B.configure.log $B.build.log 2>/dev/null | tail -n 60
    echo "=== fuzz: build FAILED"
    echo "0 passed, ${#TARGETS[@]} failed"
    exit 1
fi

passed=0
failed=0
for t in "${TARGETS[@]}"; do
    corpus=$B/corpus/${t#fuzz_}
    mkdir -p "$corpus"
    echo "=== $t: ${SECONDS_EACH}s"
    # Library messages go to standard output; keep libFuzzer's own report.
    if (cd $B && ./"$t" -max_total_time="$SECONDS_EACH" -close_fd_mask=1 -max_len=8400 \
            -artifact_prefix="$ROOT/$B/$t-" "$ROOT/$corpus" "$ROOT/tests/fuzz/corpus/${t#fuzz_}") \
            >"$B/$t.log" 2>&1; then
        grep -E '^(#[0-9]+ +DONE|Done )' "$B/$t.log" | tail -n 2
        echo "=== $t: passed"
        passed=$((passed + 1))
    else
        tail -n 60 "$B/$t.log"
        echo "=== $t: FAILED (input in $B/$t-*)"
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]

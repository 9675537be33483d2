#!/usr/bin/env bash
# Line and branch coverage of the library (shm/, mm/, nv/, env/, dwl/, port/)
# and the heap stand-in (heap/) by the native suite: a Debug build with gcc's
# counters (preset coverage, in build/coverage), the suite, then gcovr. Prints
# one line per folder and the total; the full per-file table is left in
# build/coverage/coverage.txt.
#
# Branches the compiler adds for exceptions and those it proves unreachable
# are not counted: no source line could take them.
#
# Usage: scripts/coverage.sh [ctest arguments, e.g. -R nv_]
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/coverage
JOBS=${MFPSYS_JOBS:-2}
FOLDERS=(shm mm nv env dwl port heap)

# shellcheck source=scripts/deps.sh
source "$ROOT/scripts/deps.sh"
mfpsys_install_deps coverage || exit 1

cmake --preset coverage >"$ROOT/build-coverage.configure.log" 2>&1 ||
    { cat "$ROOT/build-coverage.configure.log"; exit 1; }
cmake --build --preset coverage -j "$JOBS" >"$BUILD/build.log" 2>&1 ||
    { tail -n 60 "$BUILD/build.log"; exit 1; }

# Counters from an earlier run would add to this one's.
find "$BUILD" -name '*.gcda' -delete
# gcc's counters export names of their own from the library: the symbol
# check has nothing to say about a coverage build.
ctest --preset coverage -j "$JOBS" -E '^symbols[.]' "$@" >"$BUILD/ctest.log" 2>&1
rc=$?
tail -n 3 "$BUILD/ctest.log"
[[ $rc -ne 0 ]] && echo "some tests failed: the figures below undercount" >&2

filters=()
for f in "${FOLDERS[@]}"; do filters+=(--filter "$ROOT/$f/"); done
common=(--root "$ROOT" "${filters[@]}" --exclude-throw-branches --exclude-unreachable-branches
        --object-directory "$BUILD" -j "$JOBS")
gcovr "${common[@]}" --txt "$BUILD/coverage.txt" --json-summary "$BUILD/coverage.json" "$BUILD" ||
    exit 1

python3 - "$BUILD/coverage.json" "${FOLDERS[@]}" <<'EOF'
import json, sys
data = json.load(open(sys.argv[1]))
folders = sys.argv[2:]
sums = {f: [0, 0, 0, 0] for f in folders}
for entry in data["files"]:
    top = entry["filename"].split("/", 1)[0]
    if top not in sums:
        continue
    s = sums[top]
    s[0] += entry["line_covered"]; s[1] += entry["line_total"]
    s[2] += entry["branch_covered"]; s[3] += entry["branch_total"]
def pct(a, b):
    return f"{100.0 * a / b:5.1f}%" if b else "   n/a"
print(f"{'folder':<8} {'lines':>18} {'branches':>18}")
total = [0, 0, 0, 0]
for f in folders:
    s = sums[f]
    total = [t + x for t, x in zip(total, s)]
    print(f"{f + '/':<8} {pct(s[0], s[1])} {s[0]:>5}/{s[1]:<5} {pct(s[2], s[3])} {s[2]:>5}/{s[3]:<5}")
t = total
print(f"{'total':<8} {pct(t[0], t[1])} {t[0]:>5}/{t[1]:<5} {pct(t[2], t[3])} {t[2]:>5}/{t[3]:<5}")
EOF
exit $rc

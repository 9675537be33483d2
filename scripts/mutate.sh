#!/usr/bin/env bash
# Mutation check: writes each fault of scripts/mutants.txt into the library,
# one at a time, builds natively (incrementally, in build/mutate) and runs the
# native suite until the first failure. A fault the suite notices is killed;
# one it lets pass is a gap in the tests. Ends with
#   mutants: N, killed K, survived S
# and the survivors' names. It writes into the working tree while it runs
# and puts each file back on every way out: run nothing else that builds from
# this tree meanwhile.
#
# Usage: scripts/mutate.sh [-l|--list] [--no-baseline] [--matrix] [PATTERN]
#   PATTERN       run only the mutants whose name matches this extended regex
#   -l, --list    list the mutants (name and file) and check that each
#                 snippet occurs exactly once; run nothing
#   --no-baseline skip the check that the unmutated tree passes
#   --matrix      run the whole suite for every mutant, not just up to the
#                 first failure; writes build/mutate/matrix.txt (a mutant,
#                 then every test that failed) and ends with each test's
#                 kills, those no other test makes counted apart
# Environment: MFPSYS_MUTATE_TIMEOUT (seconds per test, default 120; a test
# that takes longer counts as killed by timeout), MFPSYS_JOBS (default 2),
# MFPSYS_MUTATE_TESTS (a ctest -R regex: run only the tests it matches, to see
# what one group of tests catches on its own).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
MUTANTS=$ROOT/scripts/mutants.txt
BUILD=$ROOT/build/mutate
TIMEOUT=${MFPSYS_MUTATE_TIMEOUT:-120}
SELECT=()
[[ -n ${MFPSYS_MUTATE_TESTS:-} ]] && SELECT=(-R "$MFPSYS_MUTATE_TESTS")
JOBS=${MFPSYS_JOBS:-2}

list=0
baseline=1
matrix=0
pattern=
while [[ $# -gt 0 ]]; do
    case "$1" in
        -l|--list) list=1 ;;
        --no-baseline) baseline=0 ;;
        --matrix) matrix=1 ;;
        -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "unknown option $1" >&2; exit 2 ;;
        *) pattern=$1 ;;
    esac
    shift
done

# The mutant list as records "name<US>file<US>from<US>to", one per line.
parse() {
    python3 - "$MUTANTS" <<'EOF'
import sys
recs, cur = [], {}
def flush():
    global cur
    if cur:
        for k in ("name", "file", "from", "to"):
            if k not in cur:
                sys.exit(f"mutants.txt: {cur.get('name', '?')}: no '{k}:' line")
        recs.append(cur)
    cur = {}
for line in open(sys.argv[1], encoding="utf-8").read().split("\n"):
    if line.startswith("#"):
        continue
    if not line.strip():
        flush()
        continue
    key, sep, val = line.partition(":")
    if not sep or key not in ("name", "file", "from", "to"):
        sys.exit(f"mutants.txt: cannot read line: {line}")
    cur[key] = val[1:] if val.startswith(" ") else val
flush()
names = [r["name"] for r in recs]
dup = {n for n in names if names.count(n) > 1}
if dup:
    sys.exit(f"mutants.txt: names used twice: {' '.join(sorted(dup))}")
for r in recs:
    if any("\x1f" in v for v in r.values()):
        sys.exit(f"mutants.txt: {r['name']}: unit separator in a field")
    print("\x1f".join((r["name"], r["file"], r["from"], r["to"])))
EOF
}

# Replaces the one occurrence of FROM by TO in FILE; exit 3 when FROM does
# not occur exactly once (the file changed since the mutant was written).
apply() {
    python3 - "$@" <<'EOF'
import sys
path, old, new = sys.argv[1], sys.argv[2], sys.argv[3]
text = open(path, encoding="utf-8").read()
n = text.count(old)
if n != 1:
    print(f"snippet occurs {n} times in {path}", file=sys.stderr)
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(old, new))
EOF
}

count_of() {
    python3 -c 'import sys; print(open(sys.argv[1], encoding="utf-8").read().count(sys.argv[2]))' "$1" "$2"
}

records=$(parse) || exit 2
selected=()
while IFS= read -r rec; do
    [[ -z "$rec" ]] && continue
    name=${rec%%$'\x1f'*}
    [[ -n "$pattern" && ! "$name" =~ $pattern ]] && continue
    selected+=("$rec")
done <<<"$records"
if [[ ${#selected[@]} -eq 0 ]]; then
    echo "no mutant matches '${pattern}'" >&2
    exit 2
fi

# Every snippet is checked before anything runs: a redesign that moved one
# must be noticed, not counted as a survivor or a kill.
stale=0
for rec in "${selected[@]}"; do
    IFS=$'\x1f' read -r name file from to <<<"$rec"
    if [[ ! -f "$file" ]]; then
        echo "$name: no file $file" >&2; stale=1; continue
    fi
    n=$(count_of "$file" "$from")
    if [[ "$n" != 1 ]]; then
        echo "$name: snippet occurs $n times in $file, not once; refusing to run it" >&2
        stale=1
    fi
    [[ $list -eq 1 ]] && printf '%-40s %s\n' "$name" "$file"
done
[[ $list -eq 1 ]] && { echo "${#selected[@]} mutants"; exit $stale; }
[[ $stale -ne 0 ]] && exit 2

# The mutated file is put back on every way out.
saved_file=
saved_copy=$(mktemp)
restore() {
    if [[ -n "$saved_file" ]]; then
        cp "$saved_copy" "$saved_file"
        saved_file=
    fi
}
trap 'restore; rm -f "$saved_copy"' EXIT
trap 'echo "interrupted" >&2; exit 130' INT TERM HUP

log=$BUILD/mutate.log
mkdir -p "$BUILD"
if [[ ! -f "$BUILD/build.ninja" ]]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD/configure.log" 2>&1 ||
        { cat "$BUILD/configure.log"; exit 1; }
fi

build() { cmake --build "$BUILD" -j "$JOBS" >"$BUILD/last-build.log" 2>&1; }
STOP=(--stop-on-failure)
[[ $matrix -eq 1 ]] && STOP=()
suite() {
    (cd "$BUILD" && ctest -j "$JOBS" "${SELECT[@]}" "${STOP[@]}" --timeout "$TIMEOUT" >"$BUILD/last-ctest.log" 2>&1)
}
FAILED_LINE='Test +#[0-9]+: .*(\*\*\*|\(Failed|\(Timeout|\(Subprocess|Exception)'
failed_tests() {
    grep -E "$FAILED_LINE" "$BUILD/last-ctest.log" | sed -E 's/^.*Test +#[0-9]+: ([^ ]+) .*$/\1/' | tr '\n' ' '
}

: >"$log"
[[ $matrix -eq 1 ]] && : >"$BUILD/matrix.txt"
if [[ $baseline -eq 1 ]]; then
    echo "=== baseline: build and suite without a fault"
    if ! build; then tail -n 40 "$BUILD/last-build.log"; echo "the unmutated tree does not build" >&2; exit 1; fi
    if ! suite; then
        grep -E 'Failed|Timeout|\*\*\*' "$BUILD/last-ctest.log" | head -n 20
        echo "the unmutated tree fails its suite: mutants would count as killed" >&2
        exit 1
    fi
fi

killed=0
survived=0
survivors=()
unbuilt=()
for rec in "${selected[@]}"; do
    IFS=$'\x1f' read -r name file from to <<<"$rec"
    start=$SECONDS
    cp "$file" "$saved_copy"
    saved_file=$file
    if ! apply "$file" "$from" "$to"; then
        restore; unbuilt+=("$name"); continue
    fi
    if ! build; then
        verdict="does not build"
        unbuilt+=("$name")
        tail -n 20 "$BUILD/last-build.log" >>"$log"
    elif suite; then
        verdict="SURVIVED"
        survived=$((survived + 1))
        survivors+=("$name")
    else
        [[ $matrix -eq 1 ]] && printf '%s\t%s\n' "$name" "$(failed_tests)" >>"$BUILD/matrix.txt"
        first=$(grep -m1 -E "$FAILED_LINE" "$BUILD/last-ctest.log" |
            sed -E 's/^.*Test +#[0-9]+: ([^ ]+) .*(\*\*\*|[(])([A-Za-z]+).*$/\1 (\3)/')
        verdict="killed by ${first:-a failure}"
        killed=$((killed + 1))
    fi
    restore
    printf '%-40s %s (%ds)\n' "$name" "$verdict" $((SECONDS - start)) | tee -a "$log"
done
# Leave the build folder matching the tree.
build || true

if [[ ${#unbuilt[@]} -gt 0 ]]; then
    echo "not counted, did not build: ${unbuilt[*]}"
fi
echo "mutants: $((killed + survived)), killed $killed, survived $survived"
for s in "${survivors[@]}"; do echo "$s"; done
if [[ $matrix -eq 1 ]]; then
    (cd "$BUILD" && ctest -N "${SELECT[@]}") | sed -nE 's/^ *Test +#[0-9]+: ([^ ]+).*$/\1/p' >"$BUILD/tests.txt"
    python3 - "$BUILD/matrix.txt" "$BUILD/tests.txt" <<'EOF'
import sys
kills = {}
for line in open(sys.argv[1], encoding="utf-8"):
    name, _, tests = line.rstrip("\n").partition("\t")
    kills[name] = tests.split()
print("\ntest: mutants it kills (alone: those no other test kills)")
for t in (t.strip() for t in open(sys.argv[2], encoding="utf-8")):
    mine = [m for m, ts in kills.items() if t in ts]
    alone = [m for m in mine if kills[m] == [t]]
    print(f"{t}: {len(mine)} ({len(alone)} alone{': ' + ' '.join(alone) if alone else ''})")
EOF
fi
[[ ${#unbuilt[@]} -eq 0 && $survived -eq 0 ]]

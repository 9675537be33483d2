#!/usr/bin/env bash
# Builds the benchmarks (preset `bench`) and prints one table: each operation's
# library median beside its floor's or peer's median, and their ratio.
# Usage: scripts/bench.sh [repetitions]   (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/deps.sh
mfpsys_install_deps bench

cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null

reps=${1:-5}
out=build/bench/results
rm -rf "$out"
mkdir -p "$out"

# Each benchmark process enters an IPC namespace of its own; without root it
# gets the right to do so from a user namespace.
wrap=()
[[ $(id -u) -ne 0 ]] && wrap=(unshare --user --map-root-user)

reports=()
for name in bench_registry bench_keys bench_nv bench_env; do
    exe=build/bench/bench/$name
    [[ -x $exe ]] || continue
    "${wrap[@]}" "$exe" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
        --benchmark_min_time=0.05 --benchmark_out="$out/$name.json" --benchmark_out_format=json \
        >"$out/$name.log" 2>&1 || { echo "$name failed:"; cat "$out/$name.log"; exit 1; }
    reports+=("$out/$name.json")
done

echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
python3 bench/table.py "${reports[@]}" | tee "$out/table.md"

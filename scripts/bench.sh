#!/usr/bin/env bash
# Builds Release, runs the per-packet benchmarks and (as root) the scenario
# benchmarks; writes build/bench-results.json and a table to standard output
# and build/bench-results.txt.  Figures, not tests.
#   BENCH_SECONDS=2 BENCH_REPLAY_SECONDS=60 BENCH_PARTS="vale veth xdp rate replay pps" sudo ./scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages
[ "$(id -u)" -eq 0 ] && ensure_packages bench_packages

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWERROR=ON >/dev/null
cmake --build "$build" -j 2 >/dev/null
bin=$build/bin
out=$build/bench-results
mkdir -p "$out.d"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
# Per-packet costs (the replay's timing runs are left to the scenarios).
# Five repetitions each, reported as their median, on one CPU: one run of a
# few hundred milliseconds moves by half on a shared machine.
cpu=$(( $(nproc) - 1 ))
taskset -c $cpu "$bin/corvo_path_bench" --benchmark_min_time=0.2 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$out.d/corvo_path_bench.json" --benchmark_out_format=json >&2
# The machine's own wake-up and clock costs, the floor of every timing figure.
"$bin/machine_floor" > "$out.d/machine.json"
"$bin/wenlo_bench" --benchmark_filter='BM_pcap_prod|BM_replay_vale_full_speed|BM_load_1m' \
  --benchmark_out="$out.d/wenlo_bench.json" --benchmark_out_format=json >&2
if [ "$(id -u)" -eq 0 ]; then
  bench/scenarios.sh "$bin" > "$out.d/scenarios.jsonl" || echo "scenarios ended with status $?" >&2
else
  echo "not root: scenario benchmarks skipped" >&2
  : > "$out.d/scenarios.jsonl"
fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
python3 bench/report.py "$out.d" "$load_before" "$load_after" "$out.json" | tee "$out.txt"

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang++, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a while.
#
#   scripts/fuzz.sh [seconds] [target...]     # default: 600 s, every target
#
# Targets: fuzz_model_apply fuzz_numarg fuzz_pcap fuzz_capture fuzz_instance fuzz_arp.
# Each starts from its seeds in fuzz/corpus/<target>/ and keeps what it finds
# in $BUILD_DIR/corpus/<target>/ (the seeds stay as they are).  A fault
# leaves its input as $BUILD_DIR/artifacts/<target>/crash-* and the script
# ends with status 1.  JOBS=2 runs two targets at once (at most; niced).
# Replay one input: build-fuzz/bin/<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/deps.sh
needed_packages=(cmake ninja-build clang libclang-rt-14-dev)
ensure_packages

seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_model_apply fuzz_numarg fuzz_pcap fuzz_capture fuzz_instance fuzz_arp)
build=${BUILD_DIR:-build-fuzz}
jobs=${JOBS:-1}

CXX=clang++ cmake -S . -B "$build" -G Ninja -DFUZZ=ON -DBUILD_TESTING=OFF -DBUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]}"

run_one() {
    local t=$1 corpus="$build/corpus/$1" art="$build/artifacts/$1/" log="$build/fuzz-$1.log"
    mkdir -p "$corpus" "$art"
    # Leak checks stay on; inputs up to 16 KiB (captures cross page ends).
    if nice -n 19 "$build/bin/$t" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$art" \
        "$corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
        echo "$t: $(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}') executions," \
             "$(ls "$corpus" | wc -l) corpus files, no fault"
    else
        echo "$t: FAULT, see $log and $art" >&2
        return 1
    fi
}

status=0
pids=()
for t in "${targets[@]}"; do
    run_one "$t" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status

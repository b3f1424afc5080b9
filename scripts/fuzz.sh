#!/bin/sh
# Builds the libFuzzer harnesses with clang and the sanitizers, replays the
# saved crash inputs, then fuzzes each harness for SECONDS (default 60).
# Usage: scripts/fuzz.sh [SECONDS]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUILLET_FUZZ=ON -DQUILLET_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)"
cd build-fuzz/fuzz

for harness in filter oaktdump core raster; do
    saved=$(find ../../fuzz/regressions/$harness -type f 2>/dev/null | sort)
    if [ -n "$saved" ]; then
        echo "== fuzz_$harness: $(echo "$saved" | wc -l) saved crash inputs"
        # shellcheck disable=SC2086
        ./fuzz_$harness $saved > fuzz_${harness}_saved.log 2>&1 || { cat fuzz_${harness}_saved.log; exit 1; }
    fi
    echo "== fuzz_$harness: $seconds s"
    mkdir -p corpus/$harness
    case $harness in
        filter|raster) seeds=seeds/raster ;;
        oaktdump) seeds=seeds/oakt ;;
        core) seeds=../../fuzz/corpus/core ;;
    esac
    status=0
    ./fuzz_$harness -max_total_time="$seconds" -close_fd_mask=2 -rss_limit_mb=4096 -max_len=65536 \
        -print_final_stats=1 corpus/$harness $seeds > fuzz_$harness.log 2>&1 || status=$?
    grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::number_of_executed_units|^stat::peak_rss_mb" fuzz_$harness.log || true
    if [ $status -ne 0 ]; then
        tail -n 60 fuzz_$harness.log
        echo "fuzz_$harness found a crash: see build-fuzz/fuzz/fuzz_$harness.log"
        exit 1
    fi
done

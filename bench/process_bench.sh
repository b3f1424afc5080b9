#!/bin/sh
# Runs the built filter as a whole process on every raster of the corpus and
# reports, per page, CPU and wall time and the peak resident memory, beside
# the peak of a process that only reads the raster's rows with libcups.
# Usage: process_bench.sh BUILDDIR CORPUSDIR
set -eu
build=$1
corpus=$2
ppd=$(cd "$(dirname "$0")/../tests/data" && pwd)/test.ppd
filter=$build/filter/rastertoquillet
reader=$build/bench/read_rows

printf '| raster | threads | pages | CPU s/page | wall s/page | peak RSS MiB | rows-only RSS MiB | difference MiB |\n'
printf '|---|---|---|---|---|---|---|---|\n'
for ras in "$corpus"/*.ras; do
    name=$(basename "$ras" .ras)
    floor=$(/usr/bin/time -f "%M" "$reader" "$ras" 2>&1 >/dev/null | tail -n 1)
    pages=$(LANG=C PPD=$ppd "$filter" 1 user bench 1 "" "$ras" 2>&1 >/dev/null | grep -c "Finished page")
    for threads in 1 2; do
        stats=$(QUILLET_THREADS=$threads LANG=C PPD=$ppd /usr/bin/time -f "%U %S %e %M" \
                "$filter" 1 user bench 1 "" "$ras" 2>&1 >/dev/null | tail -n 1)
        echo "$pages $floor $stats" | awk -v name="$name" -v threads="$threads" '{
            pages = $1; floor = $2 / 1024; cpu = ($3 + $4) / pages; wall = $5 / pages; rss = $6 / 1024;
            printf "| %s | %d | %d | %.3f | %.3f | %.1f | %.1f | %.1f |\n", name, threads, pages, cpu, wall, rss, floor, rss - floor;
        }'
    done
done

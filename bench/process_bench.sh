#!/bin/sh
# Runs the built filter as a whole process on every raster of the corpus and
# reports, per page, the CPU time and the peak resident memory against the
# page buffer and clipped copy the page needs.
# Usage: process_bench.sh FILTER CORPUSDIR
set -eu
filter=$1
corpus=$2
ppd=$(cd "$(dirname "$0")/../tests/data" && pwd)/test.ppd

printf '| raster | pages | CPU s/page | peak RSS MiB | page buffer MiB | clipped copy MiB | budget MiB | within |\n'
printf '|---|---|---|---|---|---|---|---|\n'
for ras in "$corpus"/*.ras; do
    name=$(basename "$ras" .ras)
    # cupsWidth, cupsHeight and the resolution from the first page header.
    set -- $(od -An -t u4 -j 376 -N 8 "$ras") $(od -An -t u4 -j 280 -N 4 "$ras")
    width=$1 height=$2 dpi=$3
    stats=$(LANG=C PPD=$ppd /usr/bin/time -f "%U %S %M" "$filter" 1 user bench 1 "" "$ras" 2>&1 >/dev/null | tail -n 1)
    pages=$(LANG=C PPD=$ppd "$filter" 1 user bench 1 "" "$ras" 2>&1 >/dev/null | grep -c "Finished page")
    echo "$width $height $dpi $pages $stats" | awk -v name="$name" '{
        w = $1; h = $2; dpi = $3; pages = $4; cpu = ($5 + $6) / pages; rss = $7 / 1024;
        rawBpl = int((w + 31) / 32) * 4;
        buffer = rawBpl * h / 1048576;
        # The printable area is 8.26 x 11.69 inches; a larger page is copied.
        maxW = int(dpi * 8.26); maxH = int(dpi * 11.69); margin = int(dpi * 0.236);
        copy = 0;
        if (rawBpl * 8 > maxW || h > maxH) {
            cw = rawBpl * 8 > maxW ? maxW - margin : rawBpl * 8; cw = int((cw + 31) / 32) * 32;
            ch = h > maxH ? maxH - margin : h;
            copy = cw / 8 * ch / 1048576;
        }
        budget = buffer + copy + 8;
        printf "| %s | %d | %.3f | %.1f | %.1f | %.1f | %.1f | %s |\n", name, pages, cpu, rss, buffer, copy, budget, rss <= budget ? "yes" : "NO";
    }'
done

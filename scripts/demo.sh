#!/bin/sh
# Installs what is missing, builds the filter and oaktdump (nothing else),
# and prints a real job: the
# sample letter rendered by ghostscript to 1-bit CUPS raster at 600 dpi, then
# run through the filter as CUPS runs it.  The printer data lands in
# out/letter.oakt, and oaktdump checks it.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh demo
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_BUILD_TESTS=OFF -DQUILLET_BUILD_BENCHMARKS=OFF \
    -DQUILLET_BUILD_APP=OFF >/dev/null
cmake --build build-demo -j "$(nproc)" --target rastertoquillet oaktdump
mkdir -p out
# The PPD's A4 margins (2 pt at the sides, 1 pt at the bottom), as CUPS's
# ghostscript filter passes them.
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=cups -r600 -sPAPERSIZE=a4 \
   -dcupsColorSpace=3 -dcupsBitsPerColor=1 -dcupsCompression=4 -sOutputFile=out/letter.ras \
   -c '<</.HWMargins[2 1 2 0] /Margins[0 0]>>setpagedevice' -f samples/letter.ps
LANG=C PPD=tests/data/test.ppd build-demo/filter/rastertoquillet 1 "$(id -un)" letter 1 "" out/letter.ras \
    > out/letter.oakt 2> out/letter.log
echo
tail -n 1 out/letter.log
build-demo/oaktdump/oaktdump --quiet out/letter.oakt
echo "Printer data for samples/letter.ps: $(pwd)/out/letter.oakt ($(wc -c < out/letter.oakt) bytes)"
echo "Status lines the filter sent to CUPS: $(pwd)/out/letter.log"

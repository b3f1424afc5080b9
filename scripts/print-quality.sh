#!/bin/sh
# Makes docs/print-quality/ again: samples/greys.ps and samples/letter.ps
# printed through the printer application (a private server of the build's,
# a file:// printer) as PDF and, for the greys, as 8-bit PWG raster as
# phones send it; and through CUPS's chain (Ghostscript's cups device at
# 600 dpi with the PPD's margins, then the filter); every stream decoded by
# oaktdump, parts of the pages cut side by side at full size (application
# left, chain right), and the share of each grey fill inked printed.
#   print-quality.sh [BUILD]     BUILD: a build folder (build/ by default)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
app=$build/app/quillet-printer-app
out=docs/print-quality
work=$(mktemp -d)
server=
cleanup() {
    [ -z "$server" ] || { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true; }
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
export QUILLET_RUNTIME_DIR="$work/run"
mkdir -m 0700 "$work/run" "$work/printed"
"$app" server -o listen-hostname=127.0.0.1 -o server-port=18930 -o state-file="$work/state" \
    -o spool-directory="$work/spool" -o output-directory="$work/printed" -o log-file="$work/log" &
server=$!
# Its port answering (a sub-command run before it listens would start a
# private server of its own).
tries=0
until python3 -c "import socket; socket.create_connection(('127.0.0.1', 18930), 1)" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 300 ] || { echo "the server did not answer within 30 s"; cat "$work/log"; exit 1; }
    sleep 0.1
done
"$app" add -d quality -v "file://$work/printed" -m quillet_mono

# The application: the greys as PDF and as PWG raster, the letter as PDF.
for doc in greys letter; do
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile="$work/$doc.pdf" "samples/$doc.ps"
done
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -r600 -sPAPERSIZE=a4 -dcupsColorSpace=18 \
    -dcupsBitsPerColor=8 -sOutputFile="$work/greys.pwg" samples/greys.ps 2>/dev/null
for doc in greys.pdf greys.pwg letter.pdf; do
    "$app" submit -d quality "$work/$doc" >/dev/null
done
tries=0
until [ "$("$app" jobs -d quality | grep -c ' completed ')" = 3 ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 1200 ] || { echo "the jobs did not end within 120 s"; "$app" jobs -d quality; exit 1; }
    sleep 0.1
done

# CUPS's chain on the same PDFs.
for doc in greys letter; do
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=cups -r600 -sPAPERSIZE=a4 -dcupsColorSpace=3 -dcupsBitsPerColor=1 \
        -dcupsCompression=4 -sOutputFile="$work/$doc.ras" -c '<</.HWMargins[2 1 2 0] /Margins[0 0]>>setpagedevice' \
        -f "$work/$doc.pdf" 2>/dev/null
    LANG=C PPD=tests/data/test.ppd "$build/filter/rastertoquillet" 1 user "$doc" 1 "" "$work/$doc.ras" \
        > "$work/$doc-chain.oakt" 2>/dev/null
    "$build/oaktdump/oaktdump" --quiet --pages "$work/$doc-chain" "$work/$doc-chain.oakt" >/dev/null
done
"$build/oaktdump/oaktdump" --quiet --pages "$work/greys-app" "$work/printed/1-greys.pdf.prn" >/dev/null
"$build/oaktdump/oaktdump" --quiet --pages "$work/greys-pwg" "$work/printed/2-greys.pwg.prn" >/dev/null
"$build/oaktdump/oaktdump" --quiet --pages "$work/letter-app" "$work/printed/3-letter.pdf.prn" >/dev/null

echo "The share of each grey fill inked (grey 0.05 to 0.95):"
echo "  the application, PDF:        $(python3 scripts/pbm_crop.py --fills "$work/greys-app/page-0001.pbm")"
echo "  the application, PWG raster: $(python3 scripts/pbm_crop.py --fills "$work/greys-pwg/page-0001.pbm")"
echo "  CUPS's chain, PDF:           $(python3 scripts/pbm_crop.py --fills "$work/greys-chain/page-0001.pbm")"

# Parts of the pages, in points from the top left corner.
mkdir -p "$out"
crop() {
    python3 scripts/pbm_crop.py "$out/$1.png" $2 "$work/$3-app/page-0001.pbm" "$work/$3-chain/page-0001.pbm"
}
crop ramp "40 100 150 40" greys
crop chart "75 300 120 60" greys
crop photo "380 440 100 50" greys
crop text "338 325 130 40" greys
crop lines "55 590 120 50" greys
crop letter "70 60 140 40" letter
ls -l "$out"

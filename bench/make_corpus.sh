#!/bin/sh
# Renders the benchmark corpus with ghostscript, as CUPS's raster chain
# would for this printer (1-bit black, no hardware margins, A4):
#   text, graphics, lineart, blank, noise at 600 dpi, text at 300 and
#   1200 dpi, and a 10-page mixed job.
# Usage: make_corpus.sh OUTDIR [--smoke]   (--smoke: one small page only)
set -eu
out=$1
samples=$(cd "$(dirname "$0")/../samples" && pwd)
mkdir -p "$out"

render() {  # name document dpi [first-page]
    page=${4:-1}
    gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=cups -r"$3" -sPAPERSIZE=a4 -dcupsColorSpace=3 \
       -dcupsBitsPerColor=1 -dcupsCompression=4 -dFirstPage="$page" -dLastPage="$page" \
       -sOutputFile="$out/$1.ras" "$samples/$2" >/dev/null 2>&1
}

# The same page as an IPP client sends it to the printer application:
# 8-bit grey and 1-bit black PWG raster.
render_pwg() {  # name document dpi
    gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pwgraster -r"$3" -sPAPERSIZE=a4 -dcupsColorSpace=18 \
       -dcupsBitsPerColor=8 -dFirstPage=1 -dLastPage=1 -sOutputFile="$out/$1-grey.pwg" "$samples/$2" >/dev/null 2>&1
    gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pwgraster -r"$3" -sPAPERSIZE=a4 -dcupsColorSpace=3 \
       -dcupsBitsPerColor=1 -dFirstPage=1 -dLastPage=1 -sOutputFile="$out/$1-black.pwg" "$samples/$2" >/dev/null 2>&1
}

if [ "${2:-}" = "--smoke" ]; then
    render text-100 letter.ps 100
    render_pwg text-100 letter.ps 100
    exit 0
fi

render text-600 dense.ps 600
render text-300 dense.ps 300
render text-1200 dense.ps 1200
render graphics-600 shapes.ps 600
render lineart-600 lineart.ps 600
render blank-600 blank.ps 600
render noise-600 noise.ps 600
render letter-300 letter.ps 300
render letter-600 letter.ps 600
render letter-1200 letter.ps 1200
for dpi in 300 600 1200; do
    render_pwg letter-$dpi letter.ps $dpi
    render_pwg text-$dpi dense.ps $dpi
done
render_pwg graphics-600 shapes.ps 600
# Ten grey fills, a chart, grey text and a shading: the halftone's work.
render greys-600 greys.ps 600
render_pwg greys-600 greys.ps 600

# The mixed job: ten pages in one raster stream, as one job sends them.
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=cups -r600 -sPAPERSIZE=a4 -dcupsColorSpace=3 -dcupsBitsPerColor=1 \
   -dcupsCompression=4 -sOutputFile="$out/mixed-600.ras" \
   "$samples/letter.ps" "$samples/shapes.ps" "$samples/dense.ps" "$samples/lineart.ps" "$samples/blank.ps" \
   "$samples/letter.ps" "$samples/shapes.ps" "$samples/dense.ps" >/dev/null 2>&1

#!/bin/sh
# Runs the filter under valgrind's memcheck on a real two-page job: any
# invalid access or leaked block fails the test.
set -eu
filter=$1
documents=$2
ppd=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=cups -r300 -sPAPERSIZE=a4 -dcupsColorSpace=3 -dcupsBitsPerColor=1 \
   -sOutputFile="$work/job.ras" "$documents/shapes.ps" >/dev/null 2>&1
status=0
LANG=C PPD=$ppd valgrind --quiet --error-exitcode=3 --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect "$filter" 1 user title 1 "" "$work/job.ras" > "$work/job.oakt" 2> "$work/log" || status=$?
if [ $status -ne 0 ] || grep -q "^==" "$work/log"; then
    cat "$work/log"
    exit 1
fi
grep -c "INFO: Finished page" "$work/log"

#!/bin/sh
# Installs the Debian packages that building, running and testing the filter
# need, when any of them is missing.  Run as root.
set -eu

PACKAGES="g++ cmake make libcups2-dev libcupsimage2-dev libjbig-dev libpng-dev libgtest-dev libbenchmark-dev ghostscript
          valgrind clang-14 libclang-rt-14-dev dpkg-dev lintian gzip libpappl-dev iproute2
          chromium chromium-driver python3-selenium
          cups cups-daemon cups-client cups-filters cups-ppdc cups-ipp-utils"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    # shellcheck disable=SC2086
    apt-get install -y --no-install-recommends $missing
fi

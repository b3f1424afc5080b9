#!/bin/sh
# Installs the Debian packages that are missing, as root.
#   install-deps.sh demo   what building the filter and oaktdump and the demo
#                          job need
#   install-deps.sh        everything the whole build, the tests and the
#                          packaging need
# The names are those of Debian 12 and 13 alike: unversioned compiler
# packages, no package that only one release has.
set -eu

DEMO="g++ cmake make pkg-config libcups2-dev libcupsimage2-dev libjbig-dev libpng-dev cups-ppdc ghostscript xz-utils"
ALL="$DEMO libjpeg-dev libgtest-dev libgmock-dev libbenchmark-dev libpappl-dev valgrind clang libclang-rt-dev iproute2 git
     debhelper dpkg-dev devscripts equivs fakeroot lintian autopkgtest mmdebstrap systemd-container patch
     chromium chromium-driver python3-selenium
     cups cups-daemon cups-client cups-filters cups-ipp-utils"

case "${1:-all}" in
    demo) PACKAGES=$DEMO ;;
    all) PACKAGES=$ALL ;;
    *) echo "usage: $0 [demo]" >&2; exit 2 ;;
esac

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update || { sleep 15; apt-get update; } || echo "some package lists could not be fetched; going on with the rest"
    # shellcheck disable=SC2086
    apt-get install -y --no-install-recommends $missing
fi

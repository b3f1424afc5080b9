#!/bin/sh
# Builds the Debian package, installs it with apt-get, prints jobs through
# CUPS with the PPD and filter it installed, and removes it again.  Needs
# root and a build in build/ (scripts/build.sh).
set -eu
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    echo "package test skipped: it installs a package and needs root"
    exit 0
fi
(cd build && cpack -G DEB)
deb=$(ls build/rastertoquillet_*.deb | head -n 1)
export DEBIAN_FRONTEND=noninteractive
apt-get install -y "./$deb"
status=0
QUILLET_INSTALLED=1 LANG=C build/tests/cups_tests \
    --gtest_filter='Cupsd.*:Options/Chain.*:Ppd.EveryMediaTypeAndDensityReachesTheStream' || status=$?
for f in /usr/lib/cups/filter/rastertoquillet /usr/share/cups/model/quillet.ppd /usr/bin/oaktdump \
         /usr/share/man/man8/rastertoquillet.8 /usr/share/man/man1/oaktdump.1; do
    [ -e "$f" ] || { echo "package did not install $f"; status=1; }
done
[ "$(stat -c %a /usr/lib/cups/filter/rastertoquillet)" = 755 ] || { echo "filter mode is not 0755"; status=1; }
apt-get remove -y rastertoquillet
exit $status

#!/bin/sh
# Builds the Debian packages, checks them with lintian, installs them with
# apt-get, prints jobs through CUPS with the PPD and filter they installed,
# and removes them again.  Needs root and a build in build/ (scripts/build.sh).
set -eu
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    echo "package test skipped: it installs packages and needs root"
    exit 0
fi
rm -f build/*.deb
(cd build && cpack -G DEB)
filter_deb=$(ls build/rastertoquillet_*.deb)
dump_deb=$(ls build/oaktdump_*.deb)
app_deb=$(ls build/quillet-printer-app_*.deb)

# No error and no hardening warning (the hardening tags are informational).
lintian --info --tag-display-limit 0 "$filter_deb" "$dump_deb" "$app_deb" 2>/dev/null | tee build/lintian.log
if grep -E "^E: |hardening-" build/lintian.log; then
    echo "lintian reports the lines above"
    exit 1
fi
# A print server needs no libpng.
if dpkg-deb -f "$filter_deb" Depends | grep -q png; then
    echo "the filter's package depends on libpng"
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get install -y "./$filter_deb" "./$dump_deb" "./$app_deb"
status=0
QUILLET_INSTALLED=1 LANG=C build/tests/cups_tests \
    --gtest_filter='Cupsd.*:Options/Chain.*:Ppd.EveryMediaTypeAndDensityReachesTheStream:Duplex.*' || status=$?
for f in /usr/lib/cups/filter/rastertoquillet /usr/share/cups/model/quillet.ppd /usr/bin/oaktdump \
         /usr/share/man/man8/rastertoquillet.8.gz /usr/share/man/man1/oaktdump.1.gz \
         /usr/share/doc/rastertoquillet/copyright /usr/share/doc/oaktdump/copyright \
         /usr/sbin/quillet-printer-app /usr/share/man/man8/quillet-printer-app.8.gz \
         /usr/lib/systemd/system/quillet-printer-app.service; do
    [ -e "$f" ] || { echo "packages did not install $f"; status=1; }
done
[ "$(stat -c %a /usr/lib/cups/filter/rastertoquillet)" = 755 ] || { echo "filter mode is not 0755"; status=1; }
/usr/sbin/quillet-printer-app drivers | grep -q quillet_mono || { echo "the installed app lists no driver"; status=1; }
apt-get remove -y rastertoquillet oaktdump quillet-printer-app
exit $status

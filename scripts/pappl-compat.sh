#!/bin/sh
# The printer application on the PAPPL of the next Debian and Ubuntu
# releases: PAPPL 1.4.9 built from its release (../shared/third_party),
# the application built against it and its tests run; PAPPL 1.4.9 with the
# patches of packaging/pappl-patches applied, and the application built for
# it without the definitions those patches make needless, its tests run; then
# the same PAPPL linked with its own calls bound inside it
# (-Bsymbolic-functions), with which the server must refuse to start.  CI's check; not in the quick start.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
tarball="${QUILLET_PAPPL_TARBALL:-$root/../shared/third_party/pappl-1.4.9.tar.gz}"
work="${QUILLET_PAPPL_WORK:-$root/build-pappl}"
jobs=$(nproc)
if [ ! -f "$tarball" ]; then
    if [ "${CI:-}" = true ]; then
        echo "FAILED: PAPPL's release tarball is not at $tarball"
        exit 1
    fi
    echo "PAPPL 1.4.9 check skipped: no $tarball (CI runs it)"
    exit 0
fi

export DEBIAN_FRONTEND=noninteractive
need=""
for p in libavahi-client-dev libgnutls28-dev libjpeg-dev libpam0g-dev libpng-dev libusb-1.0-0-dev zlib1g-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
done
# shellcheck disable=SC2086
[ -z "$need" ] || apt-get install -y --no-install-recommends $need

echo "== PAPPL 1.4.9 from its release"
rm -rf "$work"
mkdir -p "$work"
tar xzf "$tarball" -C "$work"
src="$work/pappl-1.4.9"
(cd "$src" && ./configure --prefix="$work/normal" --enable-shared --with-tls=gnutls >"$work/configure.log" 2>&1 &&
    make -j "$jobs" >"$work/make.log" 2>&1 && make install >"$work/install.log" 2>&1) || {
    tail -30 "$work/configure.log" "$work/make.log" 2>/dev/null
    exit 1
}
# The same library with its own calls bound inside it.
mkdir -p "$work/symbolic"
(cd "$src/pappl" && rm -f libpappl.so.1 &&
    make libpappl.so.1 DSOFLAGS='$(CFLAGS) -Wl,-Bsymbolic-functions' >"$work/symbolic.log" 2>&1 &&
    cp libpappl.so.1 "$work/symbolic/")

echo "== The printer application on PAPPL 1.4.9"
PKG_CONFIG_PATH="$work/normal/lib/pkgconfig" cmake -S . -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLET_WERROR=ON -DQUILLET_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$work/build" -j "$jobs" --target quillet-printer-app app_tests app_unit_tests
ldd "$work/build/app/quillet-printer-app" | grep -q "$work/normal/lib/libpappl.so.1"
(cd "$work/build" && LANG=C ctest --output-on-failure -R '^app_tests$|Halftones|PaperLength|DeviceId|RasterReader')

echo "== PAPPL 1.4.9 with the patches in packaging/pappl-patches"
rm -rf "$work/patched-src"
mkdir -p "$work/patched-src"
tar xzf "$tarball" -C "$work/patched-src"
for patch in "$root"/packaging/pappl-patches/*.patch; do
    patch -d "$work/patched-src/pappl-1.4.9" -p1 --fuzz=0 <"$patch" >/dev/null || {
        echo "FAILED: $patch does not apply to PAPPL 1.4.9"
        exit 1
    }
done
(cd "$work/patched-src/pappl-1.4.9" && ./configure --prefix="$work/patched" --enable-shared --with-tls=gnutls \
    >"$work/patched-configure.log" 2>&1 && make -j "$jobs" >"$work/patched-make.log" 2>&1 &&
    make install >"$work/patched-install.log" 2>&1) || {
    tail -30 "$work/patched-configure.log" "$work/patched-make.log" 2>/dev/null
    exit 1
}
# The application built for the patched library defines none of PAPPL's
# functions (the patches mend what each definition mends), and its tests
# must pass as they are.
PKG_CONFIG_PATH="$work/patched/lib/pkgconfig" cmake -S . -B "$work/patched-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLET_WERROR=ON -DQUILLET_BUILD_BENCHMARKS=OFF -DQUILLET_PATCHED_PAPPL=ON >/dev/null
cmake --build "$work/patched-build" -j "$jobs" --target quillet-printer-app app_tests
ldd "$work/patched-build/app/quillet-printer-app" | grep -q "$work/patched/lib/libpappl.so.1"
if nm -D --defined-only "$work/patched-build/app/quillet-printer-app" | grep -E ' _?pappl'; then
    echo "FAILED: the application built for the patched PAPPL still defines the functions above"
    exit 1
fi
(cd "$work/patched-build" && LANG=C ctest --output-on-failure -R '^app_tests$')

echo "== A PAPPL that binds its own calls: the server refuses to start"
state=$(mktemp -d)
status=0
LD_LIBRARY_PATH="$work/symbolic" QUILLET_RUNTIME_DIR="$state/run" QUILLET_STATE_DIR="$state" \
    timeout 60 "$work/build/app/quillet-printer-app" server -o server-port=8699 -o log-file="$state/log" \
    2>"$state/err" || status=$?
cat "$state/err"
refused=no
grep -q "refusing to start: $work/symbolic/libpappl.so.1 calls" "$state/err" && refused=yes
rm -rf "$state"
if [ "$status" -eq 0 ] || [ "$status" -eq 124 ] || [ "$refused" != yes ]; then
    echo "FAILED: the server ran on a PAPPL whose own calls skip the application's definitions"
    exit 1
fi
echo "PAPPL 1.4.9: the application's tests pass, on the patched library with none of its definitions too, and a PAPPL that binds its own calls is refused"

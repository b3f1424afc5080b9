#!/bin/sh
# Installs what is missing, builds, and runs every test: the whole suite,
# a Release build, the Debian packages built by dpkg-buildpackage, checked
# by lintian, tested installed by autopkgtest, and booted under systemd in a
# Debian 12 container; the demo, the build, the whole suite and the packages
# on Debian 13 in a chroot, those packages booted under systemd too; the printer application on PAPPL
# 1.4.9 (and refusing a PAPPL that binds its own calls), the core
# cross-built for s390x and armhf and run under qemu-user, the fuzzers for a minute each, the core's threads
# under ThreadSanitizer, and the whole suite again built with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)
sh scripts/install-deps.sh

sh scripts/build.sh
(cd build && LANG=C ctest --output-on-failure -j "$jobs")

echo "== Release build, warnings as errors"
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQUILLET_WERROR=ON -DQUILLET_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-release -j "$jobs" --target rastertoquillet oaktdump core_tests
LANG=C build-release/tests/core_tests --gtest_brief=1

sh scripts/package-test.sh
sh scripts/service-test.sh bookworm build-deb/*.deb

sh scripts/debian13.sh
sh scripts/service-test.sh trixie build-debian13/root/*.deb

sh scripts/pappl-compat.sh

echo "== The same stream on s390x (big-endian) and armhf (32-bit) under qemu-user"
sh scripts/cross-check.sh

sh scripts/fuzz.sh 60

echo "== ThreadSanitizer: pages and jobs encoded on several threads"
cmake -S . -B build-tsan -DQUILLET_TSAN=ON -DQUILLET_WERROR=ON -DQUILLET_BUILD_BENCHMARKS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j "$jobs" --target core_tests
TSAN_OPTIONS=halt_on_error=1 LANG=C build-tsan/tests/core_tests --gtest_filter='Pages*:*/Pages.*' --gtest_brief=1

cmake -S . -B build-asan -DQUILLET_SANITIZE=ON -DQUILLET_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-asan -j "$jobs"
cd build-asan
LANG=C ctest --output-on-failure -j "$jobs"

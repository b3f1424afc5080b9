#!/bin/sh
# Installs what is missing, builds, and runs every test: the whole suite,
# the Debian package installed and printed through CUPS, the fuzzers for a
# minute each, and the whole suite again built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)
sh scripts/install-deps.sh

sh scripts/build.sh
(cd build && LANG=C ctest --output-on-failure -j "$jobs")

sh scripts/package-test.sh

sh scripts/fuzz.sh 60

cmake -S . -B build-asan -DQUILLET_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-asan -j "$jobs"
cd build-asan
LANG=C ctest --output-on-failure -j "$jobs"

#!/bin/sh
# Installs what is missing, builds, and runs every test.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
sh scripts/build.sh
cd build
LANG=C ctest --output-on-failure -j "$(nproc)"

#!/bin/sh
# Configures and builds everything into build/.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DQUILLET_WERROR=ON
cmake --build build -j "$(nproc)"

#!/bin/sh
# Builds the encoding core and crosscheck/encode_table for s390x (big-endian,
# 64-bit) and armhf (little-endian, 32-bit) with Debian's cross compilers,
# runs them under qemu-user, and compares their stream and page plans with a
# native build's, byte for byte.  Installs what it needs (root).
set -eu
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive

for arch in s390x armhf; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done
missing=""
for p in g++-s390x-linux-gnu g++-arm-linux-gnueabihf libjbig-dev:s390x libjbig-dev:armhf qemu-user file; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    apt-get update || { sleep 15; apt-get update; } || echo "some package lists could not be fetched; going on with the rest"
    # shellcheck disable=SC2086
    apt-get install -y --no-install-recommends $missing
fi

out=build-cross
mkdir -p "$out"
cmake -S crosscheck -B "$out/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out/native" -j "$(nproc)" >/dev/null
"$out/native/encode_table" "$out/native.oakt" "$out/native.txt"

status=0
for target in s390x:s390x-linux-gnu:qemu-s390x armhf:arm-linux-gnueabihf:qemu-arm; do
    arch=${target%%:*}
    rest=${target#*:}
    triple=${rest%%:*}
    qemu=${rest#*:}
    cmake -S crosscheck -B "$out/$arch" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$(pwd)/crosscheck/cross.cmake" -DQUILLET_CROSS_TRIPLE="$triple" >/dev/null
    cmake --build "$out/$arch" -j "$(nproc)" >/dev/null
    file "$out/$arch/encode_table" | grep -q "statically linked" || { echo "$arch: not a static program"; exit 1; }
    "$qemu" "$out/$arch/encode_table" "$out/$arch.oakt" "$out/$arch.txt"
    if cmp "$out/native.oakt" "$out/$arch.oakt" && cmp "$out/native.txt" "$out/$arch.txt"; then
        echo "$arch: same stream ($(wc -c < "$out/$arch.oakt") bytes) and page plans ($(wc -l < "$out/$arch.txt") pages) as $(uname -m)"
    else
        echo "$arch: differs from $(uname -m)"
        diff "$out/native.txt" "$out/$arch.txt" || true
        status=1
    fi
done
echo "cross check: $([ $status -eq 0 ] && echo 2 passed, 0 failed || echo failed)"
exit $status

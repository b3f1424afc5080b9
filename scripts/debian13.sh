#!/bin/sh
# The README's two steps on Debian 13 (trixie): a chroot made with mmdebstrap
# from the Debian archive this machine's apt uses, a clean copy of the
# checkout inside it, the demo, then the build and the whole CTest suite,
# and the Debian packages (left in the chroot's root for service-test.sh).
# Needs root.  CI's check; in scripts/test.sh.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
work=${QUILLET_DEBIAN13_WORK:-$root/build-debian13}
release=trixie

if [ "$(id -u)" -ne 0 ]; then
    echo "Debian 13 check skipped: a chroot needs root"
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
for p in mmdebstrap git; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        apt-get install -y --no-install-recommends "$p"
done

mirror=$(sh scripts/debian-archive.sh)

echo "== Debian 13: a $release chroot from $mirror"
rm -rf "$work"
mkdir -p "$work"
chroot_dir="$work/root"
# policy-rc.d: packages installed in the chroot start no services.
mmdebstrap --variant=apt --include=ca-certificates \
    --customize-hook='printf "#!/bin/sh\nexit 101\n" > "$1/usr/sbin/policy-rc.d"; chmod 755 "$1/usr/sbin/policy-rc.d"' \
    "$release" "$chroot_dir" "$mirror" > "$work/mmdebstrap.log" 2>&1 || {
    tail -30 "$work/mmdebstrap.log"
    exit 1
}
cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf"

# The checkout as it stands: tracked and new files, not build folders.
mkdir -p "$chroot_dir/src"
git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$chroot_dir/src"

# The chroot's own /proc, /dev, /sys and /run, in a mount namespace that goes
# with the command.
unshare --mount --propagation private --fork sh -eu -c '
    r=$1
    # Its root a mount point of its own, as ip netns exec needs.
    mount --bind "$r" "$r"
    mount -t proc proc "$r/proc"
    mount --rbind /sys "$r/sys"
    mount --rbind /dev "$r/dev"
    mount -t tmpfs tmpfs "$r/run"
    mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
    exec chroot "$r" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive CI="${CI:-}" sh -eu -c "
        cd /src
        . /etc/os-release && echo \"== On \$PRETTY_NAME\"
        start=\$(date +%s)
        ./scripts/demo.sh
        echo \"Debian 13: the demo took \$((\$(date +%s) - start)) s\"
        sh scripts/install-deps.sh
        start=\$(date +%s)
        sh scripts/build.sh >build.log 2>&1 || { tail -50 build.log; exit 1; }
        echo \"Debian 13: the whole build took \$((\$(date +%s) - start)) s\"
        (cd build && LANG=C ctest --output-on-failure -j \$(nproc))
        start=\$(date +%s)
        apt-get build-dep -y ./ >/deb-build.log 2>&1 &&
            DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b -j\$(nproc) >>/deb-build.log 2>&1 ||
            { tail -50 /deb-build.log; exit 1; }
        echo \"Debian 13: the packages took \$((\$(date +%s) - start)) s\""
' sh "$chroot_dir"

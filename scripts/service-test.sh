#!/bin/sh
# The packages booted under a real systemd: a container of one Debian
# release (bookworm or trixie) made with mmdebstrap from the archive this
# machine's apt uses, holding systemd, avahi-daemon, Ghostscript and the
# .deb files given; booted with systemd-nspawn on a network of its own,
# where tests/service/check.sh runs as a unit once the system is up, prints
# through the packaged service to listeners standing in for the printer, and
# powers the container off.  Its log and status are read back here.
#   service-test.sh RELEASE DEB...
# Needs root.  CI's check; in scripts/test.sh.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
release=$1
shift
work=${QUILLET_SERVICE_WORK:-$root/build-service}/$release

if [ "$(id -u)" -ne 0 ]; then
    echo "service test skipped: a container needs root"
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
for p in mmdebstrap systemd-container; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        apt-get install -y --no-install-recommends "$p"
done
mirror=$(sh scripts/debian-archive.sh)

echo "== The packages under systemd on $release"
rm -rf "$work"
mkdir -p "$work/debs" "$work/results"
cp "$@" "$work/debs/"
rm -f "$work"/debs/*-dbgsym_*
# The service's own packages from their files with what they recommend, as
# apt installs them, and what the check uses; the check runs as a unit once
# the system is up.
mmdebstrap --variant=apt --include=systemd,systemd-sysv,dbus,socat,curl,procps \
    --customize-hook="sync-in \"$work/debs\" /tmp" \
    --customize-hook='chroot "$1" sh -c "apt-get install -y -o APT::Install-Recommends=true /tmp/*.deb && rm /tmp/*.deb"' \
    --customize-hook="mkdir -p \"\$1/srv/check\"" \
    --customize-hook="copy-in tests/service/check.sh samples/brochure.pdf samples/letter.ps /srv/check" \
    --customize-hook="copy-in tests/service/quillet-check.service /etc/systemd/system" \
    --customize-hook='chroot "$1" systemctl enable quillet-check.service' \
    --customize-hook='echo quillet-check > "$1/etc/hostname"' \
    "$release" "$work/root" "$mirror" > "$work/mmdebstrap.log" 2>&1 || {
    tail -30 "$work/mmdebstrap.log"
    exit 1
}

# The container's own cgroup hierarchy is the host's kind: on a host whose
# systemd hierarchy is the hybrid one, the legacy layout.
if ! grep -q ' /sys/fs/cgroup cgroup2 ' /proc/mounts; then
    export SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=0
fi
start=$(date +%s)
systemd-nspawn --quiet --boot --register=no --keep-unit --private-network \
    --directory="$work/root" --bind="$work/results:/results" > "$work/console.log" 2>&1 &
container=$!
# Once the check has said how it went, the container is shut down (SIGTERM
# powers it off), and killed if it does not go within 30 seconds.
tries=0
until [ -s "$work/results/status" ] || ! kill -0 "$container" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 900 ] || { echo "FAILED: the check did not end within 15 minutes"; break; }
    sleep 1
done
kill "$container" 2>/dev/null || true
tries=0
while kill -0 "$container" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 30 ] || { echo "the container did not stop within 30 s: killed"; kill -9 "$container"; break; }
    sleep 1
done
wait "$container" || true
cat "$work/results/log" 2>/dev/null || tail -40 "$work/console.log"
echo "$release: the container booted, was checked and stopped in $(($(date +%s) - start)) s"
if [ "$(cat "$work/results/status" 2>/dev/null)" != 0 ]; then
    echo "FAILED: the packaged service on $release (the check's status: $(cat "$work/results/status" 2>/dev/null || echo none))"
    exit 1
fi

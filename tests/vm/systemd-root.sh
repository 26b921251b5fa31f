#!/usr/bin/env bash
# The root that the systemd test guest boots (./systemd.sh): Debian 12
# from debootstrap (minbase) with systemd as init, udev, kmod, and every
# package that the Debian package DEB depends on, so that apt installs it
# there with no network. Kept in CACHE_DIR as systemd-root-KEY, KEY a
# hash of what it is made from (this script, the suite, the packages):
# made again only when one of them changes, and older roots go.
#
# usage: systemd-root.sh CACHE_DIR DEB [--make]
#   prints the root's path; exits 1 when it is not made yet, unless
#   --make makes it (root, network: ./dev test does, never a test).
# DORQIN_GUEST_MIRROR (default http://deb.debian.org/debian) is where
# debootstrap fetches from.
set -euo pipefail
CACHE=${1:?usage: systemd-root.sh CACHE_DIR DEB [--make]}
DEB=${2:?usage: systemd-root.sh CACHE_DIR DEB [--make]}
SUITE=bookworm
MIRROR=${DORQIN_GUEST_MIRROR:-http://deb.debian.org/debian}

# Its dependencies by name (versions come from the suite): "a (>= 1), b | c"
# gives a and b.
depends=$(dpkg-deb -f "$DEB" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' |
    grep . | sort -u | tr '\n' ' ')
packages=$(echo systemd systemd-sysv udev kmod $depends | tr ' ' '\n' | sort -u | paste -sd, -)
key=$({ cat "$0"; echo "$SUITE $packages"; } | sha256sum | cut -c1-16)
root=$CACHE/systemd-root-$key
if [ -x "$root/lib/systemd/systemd" ]; then
    echo "$root"
    exit 0
fi
[ "${3:-}" = --make ] || exit 1

echo "systemd-root: debootstrap $SUITE (minbase) with $packages into $root" >&2
mkdir -p "$CACHE"
rm -rf "$CACHE"/systemd-root-*
start=$SECONDS
debootstrap --variant=minbase --include="$packages" "$SUITE" "$root.new" "$MIRROR" \
    > "$CACHE/systemd-root.log" 2>&1 ||
    { tail -n 20 "$CACHE/systemd-root.log" >&2; echo "systemd-root: debootstrap failed" >&2; exit 1; }
# No downloaded packages kept: the guest installs only the .deb it is given.
rm -rf "$root.new"/var/cache/apt/archives/*.deb
mv "$root.new" "$root"
echo "systemd-root: made in $((SECONDS - start)) s ($(du -sm "$root" | cut -f1) MB)" >&2
echo "$root"

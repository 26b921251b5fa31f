#!/usr/bin/env bash
# Boots Debian's stock arm64 kernel under qemu-system-aarch64 (TCG) and
# runs
#   sh SCRIPT ARG
# there as root, with its output on the serial console: ./guest.sh for a
# cross build's arm64 or armhf programs (the kernel runs both). This
# host's own programs cannot run there, so the root is an initramfs
# (./guest-arm64-init) holding the arm64 busybox-static, SCRIPT with the
# rest of its folder, ARG, and the files that DORQIN_GUEST_FILES names, all
# at their paths on this host; a program among them brings its loader and
# shared libraries along, found by its loader (through binfmt_misc) on
# this host's multiarch libraries.
#
# usage: guest-arm64.sh WORK_DIR CACHE_DIR TIMEOUT SCRIPT [ARG]
#   as ./guest.sh; CACHE_DIR holds the arm64 kernel package and
#   busybox-static's arm64 package (./dev test puts them there).
# Exits with qemu's status (124 when stopped by the timeout); the guest's
# last line on the serial log is "===== VM DONE =====".
set -euo pipefail

WORK=$1
CACHE=$2
TIMEOUT=$3
SCRIPT=$4
ARG=${5:-}
HERE=$(cd "$(dirname "$0")" && pwd)

fail() { echo "vm guest: $*" >&2; exit 1; }

# shellcheck source=../support/prerequisites.sh
. "$HERE/../support/prerequisites.sh"
require_arm64_guest "$CACHE"
case "$SCRIPT" in /*) ;; *) fail "the script must be an absolute path: $SCRIPT" ;; esac
case "$ARG" in *[[:space:]]*) fail "the argument must be one word: $ARG" ;; esac

mkdir -p "$WORK" "$CACHE"
WORK=$(cd "$WORK" && pwd)
CACHE=$(cd "$CACHE" && pwd)

# extract DEB: the package's files under CACHE, once; prints where.
extract() {
    local dir
    dir="$CACHE/$(basename "$1" .deb)"
    if [ ! -e "$dir/.extracted" ]; then
        rm -rf "$dir"
        dpkg-deb -x "$1" "$dir"
        touch "$dir/.extracted"
    fi
    echo "$dir"
}
kernel_dir=$(extract "$(ls "$CACHE"/linux-image-*-arm64_*_arm64.deb | head -n 1)")
busybox_dir=$(extract "$(ls "$CACHE"/busybox-static_*_arm64.deb | head -n 1)")
vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-* | head -n 1)
module_dir=$(ls -d "$kernel_dir"/lib/modules/*/kernel | head -n 1)

# ---- The initramfs ----
root="$WORK/initramfs"
rm -rf "$root"
# /lib is usr/lib, as on this host, so that the libraries' paths hold.
mkdir -p "$root"/{bin,usr/lib/modules,proc,sys,dev}
ln -s usr/lib "$root/lib"
cp "$busybox_dir/bin/busybox" "$root/bin/busybox"
for module in hid uhid hid-generic; do
    file=$(find "$module_dir" -name "$module.ko" | head -n 1)
    [ -n "$file" ] || fail "$module.ko not found under $module_dir (compressed modules are not handled)"
    cp "$file" "$root/lib/modules/"
done
cp "$HERE/guest-arm64-init" "$root/init"
chmod 755 "$root/init"

# put PATH: the host's file or folder at the same path in the root.
put() {
    mkdir -p "$root$(dirname "$1")"
    cp -a "$1" "$root$1"
}
put "$(dirname "$SCRIPT")"
[ -z "$ARG" ] || put "$ARG"
for path in ${DORQIN_GUEST_FILES:-}; do
    [ -e "$path" ] || fail "no $path to put into the guest"
    put "$path"
    [ -f "$path" ] && [ "$(head -c 4 "$path")" = $'\x7fELF' ] || continue
    # The program's loader names its libraries and itself.
    libraries=$(LD_TRACE_LOADED_OBJECTS=1 "$path") ||
        missing_prerequisite "$path runs here only through the binfmt_misc entry of" \
            "its qemu-user (Debian package qemu-user-static; ./dev test registers it)"
    for library in $(echo "$libraries" | grep -o '/[^ ]*'); do
        real=$(readlink -f "$library")
        [ -e "$root$real" ] || put "$real"
        [ -e "$root$library" ] || ln -s "$real" "$root$library"
    done
done
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 > "$WORK/initramfs.gz")

# ---- Boot ----
# TCG on one CPU, as the amd64 guest. A Cortex-A57 runs 32-bit ARM
# programs as well.
serial="$WORK/serial.log"
rm -f "$serial"
set +e
timeout "$TIMEOUT" qemu-system-aarch64 -machine virt -cpu cortex-a57 -accel tcg -m 1024 -smp 1 \
    -nodefaults -display none -monitor none -no-reboot -serial "file:$serial" \
    -kernel "$vmlinuz" -initrd "$WORK/initramfs.gz" \
    -append "console=ttyAMA0 quiet loglevel=1 panic=-1 rdinit=/init dorqin.run=$SCRIPT dorqin.arg=$ARG"
status=$?
set -e
exit $status

#!/usr/bin/env bash
# Boots Debian's stock kernel under qemu (TCG) on this host's own root
# filesystem (9p, read-only, a tmpfs on top; see ./guest-init) and runs
#   bash SCRIPT ARG
# there as root, with its output on the serial console. The guest's
# kernel runs 32-bit x86 programs whether or not this host's kernel does,
# and it has uhid and hidraw.
#
# usage: guest.sh WORK_DIR CACHE_DIR TIMEOUT SCRIPT [ARG]
#   WORK_DIR   initramfs and serial log (WORK_DIR/serial.log), rebuilt each run
#   CACHE_DIR  the kernel package (./dev test puts it there), and what is
#              extracted from it, kept between runs
#   TIMEOUT    seconds before qemu is stopped
#   SCRIPT     an absolute path on this host; ARG one word without spaces
# Exits with qemu's status (124 when stopped by the timeout); the caller
# reads the serial log. The guest's last line there is "===== VM DONE =====".
# DORQIN_GUEST_INIT (default ./guest-init) is the initramfs' /init, and
# DORQIN_GUEST_APPEND more words for the kernel's command line (their
# dorqin.* words are the init's settings).
set -euo pipefail

WORK=$1
CACHE=$2
TIMEOUT=$3
SCRIPT=$4
ARG=${5:-}
HERE=$(cd "$(dirname "$0")" && pwd)

fail() { echo "vm guest: $*" >&2; exit 1; }

# A missing program or kernel package: skipped in a plain ctest run,
# failed under ./dev test.
# shellcheck source=../support/prerequisites.sh
. "$HERE/../support/prerequisites.sh"
require_guest "$CACHE"
case "$SCRIPT" in /*) ;; *) fail "the script must be an absolute path: $SCRIPT" ;; esac
case "$ARG" in *[[:space:]]*) fail "the argument must be one word: $ARG" ;; esac

mkdir -p "$WORK" "$CACHE"
WORK=$(cd "$WORK" && pwd)
CACHE=$(cd "$CACHE" && pwd)

# ---- The kernel package, fetched by ./dev (a test reaches no network) ----
deb=$(ls "$CACHE"/linux-image-*-amd64_*_amd64.deb | head -n 1)
kernel_dir="$CACHE/$(basename "$deb" .deb)"
if [ ! -e "$kernel_dir/.extracted" ]; then
    echo "vm guest: extracting $(basename "$deb")"
    rm -rf "$kernel_dir"
    dpkg-deb -x "$deb" "$kernel_dir"
    touch "$kernel_dir/.extracted"
fi
vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-* | head -n 1)
module_dir=$(ls -d "$kernel_dir"/lib/modules/*/kernel | head -n 1)
# modprobe and udev in a guest that boots its own root (./systemd-init) need
# the modules' index, which the package leaves to its postinst.
if [ ! -e "$kernel_dir/.depmod" ]; then
    depmod -b "$kernel_dir" "$(basename "$(dirname "$module_dir")")"
    touch "$kernel_dir/.depmod"
fi

# ---- The initramfs: busybox, the modules, the init ----
root="$WORK/initramfs"
rm -rf "$root"
mkdir -p "$root"/{bin,lib/modules,proc,sys,dev}
cp /bin/busybox "$root/bin/busybox"
for module in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci \
              9pnet 9pnet_virtio netfs fscache 9p overlay hid uhid hid-generic; do
    file=$(find "$module_dir" -name "$module.ko" | head -n 1)
    [ -n "$file" ] || fail "$module.ko not found under $module_dir (compressed modules are not handled)"
    cp "$file" "$root/lib/modules/"
done
cp "${DORQIN_GUEST_INIT:-$HERE/guest-init}" "$root/init"
chmod 755 "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 > "$WORK/initramfs.gz")

# ---- Boot ----
# TCG, not KVM: the stock kernel hangs on some nested hypervisors, and TCG
# runs everywhere. One CPU: the host's other core stays with the build.
serial="$WORK/serial.log"
rm -f "$serial"
set +e
timeout "$TIMEOUT" qemu-system-x86_64 -accel tcg -m 3072 -smp 1 -nodefaults \
    -display none -monitor none -no-reboot -serial "file:$serial" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -kernel "$vmlinuz" -initrd "$WORK/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init dorqin.run=$SCRIPT dorqin.arg=$ARG ${DORQIN_GUEST_APPEND:-}"
status=$?
set -e
exit $status

#!/usr/bin/env bash
# End-to-end test on a real Linux HID stack: boots Debian's stock kernel
# under qemu (TCG) with an initramfs holding busybox, the HID modules and
# static builds of dorqin-relay, dorqin-listen and dorqin-boxsim, runs the
# scenarios of ./init there and compares what they printed with
# ./expected/<scenario>.<section>, byte for byte.
#
# A program's output section ends with one line break added by the init,
# so its expected file is the exact output plus one "\n" (no output at all
# is a file holding one empty line); the status section is plain lines.
#
# usage: run.sh SOURCE_DIR WORK_DIR CACHE_DIR
#   WORK_DIR   static build, initramfs and serial log (rebuilt each run)
#   CACHE_DIR  the downloaded kernel package, kept between runs
set -euo pipefail

SOURCE=$(cd "$1" && pwd)
WORK=$2
CACHE=$3
HERE=$(cd "$(dirname "$0")" && pwd)
QEMU_TIMEOUT=${DORQIN_VM_TIMEOUT:-240}
SCENARIOS=(reports unplug)
SECTIONS=(relay-console listen-output status listen-stderr)

fail() { echo "vm test: $*" >&2; exit 1; }
step() { echo "vm test: $* ($(( $(date +%s) - START ))s)"; }
START=$(date +%s)

# ---- Tools from Debian packages ----
need() {
    command -v "$1" >/dev/null || fail "$1 is missing; install the Debian package $2"
}
need qemu-system-x86_64 qemu-system-x86
need cpio cpio
need dpkg-deb dpkg
need apt-get apt
need gzip gzip
# The initramfs has no libc: busybox must be the static build.
BUSYBOX=/bin/busybox
dpkg -s busybox-static >/dev/null 2>&1 ||
    fail "busybox-static is missing; install the Debian package busybox-static"

mkdir -p "$WORK" "$CACHE"
WORK=$(cd "$WORK" && pwd)
CACHE=$(cd "$CACHE" && pwd)

# ---- The kernel package, downloaded once ----
deb=$(ls "$CACHE"/linux-image-*-amd64_*_amd64.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
    # linux-image-amd64 only depends on the versioned image that holds the files.
    image=$(apt-cache depends linux-image-amd64 2>/dev/null |
            awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    if [ -z "$image" ] && [ "$(id -u)" = 0 ]; then
        apt-get update -q >/dev/null
        image=$(apt-cache depends linux-image-amd64 2>/dev/null |
                awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    fi
    [ -n "$image" ] || fail "apt knows no linux-image-amd64 (run apt-get update)"
    step "downloading $image into $CACHE"
    (cd "$CACHE" && apt-get download -q "$image" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
    deb=$(ls "$CACHE"/linux-image-*-amd64_*_amd64.deb 2>/dev/null | head -n 1 || true)
    [ -n "$deb" ] || fail "downloading $image failed"
fi
kernel_dir="$CACHE/$(basename "$deb" .deb)"
if [ ! -e "$kernel_dir/.extracted" ]; then
    step "extracting $(basename "$deb")"
    rm -rf "$kernel_dir"
    dpkg-deb -x "$deb" "$kernel_dir"
    touch "$kernel_dir/.extracted"
fi
vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-* | head -n 1)
hid_dir=$(ls -d "$kernel_dir"/lib/modules/*/kernel/drivers/hid | head -n 1)
for module in hid uhid hid-generic; do
    [ -f "$hid_dir/$module.ko" ] || fail "$hid_dir/$module.ko not found (compressed modules are not handled)"
done

# ---- Static builds of the three programs ----
step "building the programs statically"
cmake -S "$SOURCE" -B "$WORK/static" -DDORQIN_STATIC=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$WORK/static" -j 2 --target dorqin-relay dorqin-listen dorqin-boxsim \
    > "$WORK/static-build.log" 2>&1 ||
    { tail -n 30 "$WORK/static-build.log" >&2; fail "static build failed"; }
for program in dorqin-relay tools/dorqin-listen tools/dorqin-boxsim; do
    [ -x "$WORK/static/$program" ] || fail "static build did not produce $program"
done

# ---- The initramfs ----
root="$WORK/root"
rm -rf "$root"
mkdir -p "$root"/{bin,lib/modules,scenario,proc,sys,dev,tmp}
cp "$BUSYBOX" "$root/bin/busybox"
cp "$WORK/static/dorqin-relay" "$WORK/static/tools/dorqin-listen" \
   "$WORK/static/tools/dorqin-boxsim" "$root/bin/"
for module in hid uhid hid-generic; do cp "$hid_dir/$module.ko" "$root/lib/modules/"; done
cp "$HERE/init" "$root/init"
chmod 755 "$root/init"
for scenario in "${SCENARIOS[@]}"; do
    cp "$HERE/scenarios/$scenario.box" "$root/scenario/"
    # How many events to wait for before Enter: one listener line each.
    grep -c . "$HERE/expected/$scenario.listen-output" > "$root/scenario/$scenario.events"
done
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 > "$WORK/initramfs.gz")

# ---- Boot ----
# TCG, not KVM: the stock kernel hangs on this machine's nested hypervisor.
serial="$WORK/serial.log"
rm -f "$serial"
step "booting $(basename "$vmlinuz") under qemu (TCG)"
boot_start=$(date +%s)
set +e
timeout "$QEMU_TIMEOUT" qemu-system-x86_64 -accel tcg -m 256M -smp 1 -nodefaults \
    -display none -monitor none -no-reboot -serial "file:$serial" \
    -kernel "$vmlinuz" -initrd "$WORK/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init"
qemu_status=$?
set -e
step "qemu ended with status $qemu_status after $(( $(date +%s) - boot_start ))s"
[ -s "$serial" ] || fail "no serial output"
grep -a '^vm: ' "$serial" >&2 || true
grep -aq '^===== VM DONE =====$' "$serial" ||
    { tail -n 40 "$serial" >&2; fail "the VM did not finish its scenarios (serial log: $serial)"; }

# ---- Compare ----
failed=0
for scenario in "${SCENARIOS[@]}"; do
    for section in "${SECTIONS[@]}"; do
        name="$scenario $section"
        got="$WORK/got.$scenario.$section"
        awk -v begin="===== BEGIN $name =====" -v end="===== END $name =====" '
            $0 == end { inside = 0 }
            inside { print }
            $0 == begin { inside = 1; found = 1 }
            END { exit found ? 0 : 1 }' "$serial" > "$got" ||
            { echo "vm test: section \"$name\" missing" >&2; failed=1; continue; }
        if cmp -s "$HERE/expected/$scenario.$section" "$got"; then
            echo "vm test: $name: as expected"
        else
            echo "vm test: $name differs (expected, then got):" >&2
            diff -u "$HERE/expected/$scenario.$section" "$got" >&2 || true
            failed=1
        fi
    done
done
if [ "$failed" != 0 ]; then
    for scenario in "${SCENARIOS[@]}"; do
        for extra in relay-stderr boxsim-stderr; do
            echo "--- $scenario $extra:" >&2
            awk -v begin="===== BEGIN $scenario $extra =====" -v end="===== END $scenario $extra =====" '
                $0 == end { inside = 0 } inside { print } $0 == begin { inside = 1 }' "$serial" >&2
        done
    done
    fail "output differs from tests/vm/expected (serial log: $serial)"
fi
step "all sections as expected"

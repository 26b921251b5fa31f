#!/usr/bin/env bash
# A text capture of dorqin-listen --view against dorqin-boxsim --demo
# through the real relay, for the README: the three programs run under qemu
# on the kernel of the end-to-end test (which has /dev/uhid), the view
# drawing on the VM's second serial port into a file; that recording is
# then played into an 80x24 tmux pane here and the pane is captured, as it
# stood just before the view was stopped.
#
# usage: view-capture.sh SOURCE_DIR WORK_DIR CACHE_DIR [SECONDS]
#   CACHE_DIR  where run.sh keeps the kernel package (build/vm-cache);
#              run the end-to-end test once first
#   SECONDS    how long the demo runs before the view is stopped (default 8)
set -euo pipefail

SOURCE=$(cd "$1" && pwd)
WORK=$2
CACHE=$(cd "$3" && pwd)
SECONDS_SHOWN=${4:-8}
HERE=$(cd "$(dirname "$0")" && pwd)
fail() { echo "view capture: $*" >&2; exit 1; }
command -v tmux >/dev/null || fail "tmux is missing (Debian package tmux)"

mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
kernel_dir=$(ls -d "$CACHE"/linux-image-*-amd64_*_amd64 2>/dev/null | head -n 1)
[ -n "$kernel_dir" ] || fail "no kernel in $CACHE: run the end-to-end test first (ctest -L vm)"
vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-* | head -n 1)
hid_dir=$(ls -d "$kernel_dir"/lib/modules/*/kernel/drivers/hid | head -n 1)

cmake -S "$SOURCE" -B "$WORK/static" -DDORQIN_STATIC=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$WORK/static" -j 2 --target dorqin-relay dorqin-listen dorqin-boxsim \
    > "$WORK/static-build.log" 2>&1 || fail "static build failed (see $WORK/static-build.log)"

root="$WORK/root"
rm -rf "$root"
mkdir -p "$root"/{bin,lib/modules,lib/terminfo/s,proc,sys,dev,tmp}
cp /bin/busybox "$root/bin/busybox"
cp "$WORK/static/dorqin-relay" "$WORK/static/tools/dorqin-listen" \
   "$WORK/static/tools/dorqin-boxsim" "$root/bin/"
for module in hid uhid hid-generic; do cp "$hid_dir/$module.ko" "$root/lib/modules/"; done
# The view runs with TERM=screen, which the tmux pane here speaks too.
cp /lib/terminfo/s/screen "$root/lib/terminfo/s/"
cp "$HERE/view-capture.init" "$root/init"
chmod 755 "$root/init"
echo "$SECONDS_SHOWN" > "$root/capture-seconds"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 > "$WORK/initramfs.gz")

rm -f "$WORK/serial.log" "$WORK/view.raw"
timeout 300 qemu-system-x86_64 -accel tcg -m 256M -smp 1 -nodefaults \
    -display none -monitor none -no-reboot \
    -serial "file:$WORK/serial.log" -serial "file:$WORK/view.raw" \
    -kernel "$vmlinuz" -initrd "$WORK/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init" || true
grep -a '^vm: ' "$WORK/serial.log" >&2 || true
grep -aq '^===== VM DONE =====$' "$WORK/serial.log" || fail "the VM did not finish (see $WORK/serial.log)"

# The recording up to where the view hands the screen back.
python3 - "$WORK/view.raw" "$WORK/view.shown" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
end = data.rfind(b'\x1b[?1049l')
if end < 0:
    sys.exit("view capture: the recording never leaves the alternate screen")
open(sys.argv[2], 'wb').write(data[:end])
PY
socket="$WORK/tmux.sock"
tmux -S "$socket" -f /dev/null new-session -d -x 80 -y 24 \
    "stty raw -echo; cat '$WORK/view.shown'; exec sleep 60"
sleep 2
tmux -S "$socket" capture-pane -p
tmux -S "$socket" kill-server

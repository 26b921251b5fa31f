#!/usr/bin/env bash
# A text capture of dorqin-listen --view against dorqin-boxsim --demo
# through the real relay, for the README. The test guest (./guest.sh, whose
# kernel has /dev/uhid) runs the three programs of a build tree with the
# view in an 80x24 tmux pane, and prints the pane as it stood after
# SECONDS of the demo.
#
# usage: view-capture.sh BUILD_DIR WORK_DIR CACHE_DIR [SECONDS]
#   CACHE_DIR  where the kernel package is kept (build/vm-cache)
#   SECONDS    how long the demo runs before the capture (default 8)
# In the guest this script runs again, with one argument: its settings.
set -euo pipefail

if [ $# = 1 ]; then
    # shellcheck disable=SC1090
    . "$1"  # BUILD, SECONDS_SHOWN
    wait_for() {  # up to 10 s for the command in $@
        for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
        return 1
    }
    box_created() { grep -q 'box created as /dev/hidraw' /tmp/box.err; }
    relay_listening() { grep -q ':138B 00000000:0000 0A' /proc/net/tcp; }  # port 5003
    "$BUILD/tools/dorqin-boxsim" --demo > /dev/null 2> /tmp/box.err &
    wait_for box_created || echo "vm: the box did not appear"
    mkfifo /tmp/relay.in
    exec 3<>/tmp/relay.in
    "$BUILD/dorqin-relay" < /tmp/relay.in > /dev/null 2>&1 3>&- &
    wait_for relay_listening || echo "vm: the relay does not listen"
    tmux -S /tmp/tmux.sock -f /dev/null new-session -d -x 80 -y 24 \
        "$BUILD/tools/dorqin-listen --view" 3>&-
    sleep "$SECONDS_SHOWN"
    echo "===== BEGIN view ====="
    tmux -S /tmp/tmux.sock capture-pane -p
    echo "===== END view ====="
    # The guest ends whatever is still running.
    exit 0
fi

BUILD=$(cd "$1" && pwd)
WORK=$2
CACHE=$3
HERE=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
for program in dorqin-relay tools/dorqin-listen tools/dorqin-boxsim; do
    [ -x "$BUILD/$program" ] || { echo "view capture: $BUILD/$program is missing" >&2; exit 1; }
done
printf 'BUILD=%q\nSECONDS_SHOWN=%q\n' "$BUILD" "${4:-8}" > "$WORK/capture.conf"
bash "$HERE/guest.sh" "$WORK/guest" "$CACHE" 300 "$HERE/view-capture.sh" "$WORK/capture.conf" ||
    echo "view capture: qemu ended with status $?" >&2
grep -a '^vm: ' "$WORK/guest/serial.log" >&2 || true
awk '$0 == "===== END view =====" { inside = 0 } inside { print; found = 1 }
     $0 == "===== BEGIN view =====" { inside = 1 } END { exit found ? 0 : 1 }' \
    "$WORK/guest/serial.log" ||
    { echo "view capture: no capture in $WORK/guest/serial.log" >&2; exit 1; }

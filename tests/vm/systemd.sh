#!/usr/bin/env bash
# The Debian package and its service under a real systemd: the test guest
# boots Debian's kernel with systemd as PID 1 on a Debian root of its own
# (./systemd-init, ./systemd-root.sh), and there, as an admin would:
#   - apt installs a package of the previous version (off, not started),
#   - `systemctl enable --now dorqin-serve` before the kernel's HID core is
#     loaded, then a box of dorqin-boxsim's (uhid) is plugged in: a client
#     gets its events (dorqin-listen checks greeting and frames byte for
#     byte), the next client too; the box is unplugged during a run, whose
#     client's stream ends, and plugged in again;
#   - apt upgrades to this package, which restarts the service on the new
#     programs; a client is served by them;
#   - `systemctl stop`: inactive, not failed, no process left; the relay's
#     lines are in the journal;
#   - with the unit's device rule taken away by a drop-in, the relay is
#     refused the box: the sandbox holds;
#   - apt removes the package while the service runs (it is stopped), then
#     purges it: nothing of it is left anywhere.
#
# usage: systemd.sh SOURCE_DIR PACKAGE_BUILD_DIR WORK_DIR CACHE_DIR
#   PACKAGE_BUILD_DIR  the build cpack packs (./dev's build-package), with
#                      the .deb in dist/; the package of the previous
#                      version is packed from it here, its version VERSION~previous
#   CACHE_DIR          the kernel package and the guest's root (./dev test
#                      puts both there)
# Needs root. DORQIN_VM_TIMEOUT (seconds, default 600) limits the qemu run;
# DORQIN_VM_WAIT_SCALE (default 1) multiplies the guest's waits.
# In the guest this script runs again, with one argument: its settings.
set -uo pipefail

# ---- In the guest ----
if [ $# = 1 ]; then
    # shellcheck disable=SC1090
    . "/host$1"  # SOURCE, DEB, PREVIOUS, VERSION, PREVIOUS_VERSION, WAIT_SCALE (host paths, at /host here)
    # shellcheck source=guest-lib.sh
    . "/host$SOURCE/tests/vm/guest-lib.sh"
    EXPECTED=/host$SOURCE/tests/vm/serve
    UNIT=dorqin-serve.service
    export DEBIAN_FRONTEND=noninteractive
    W=/tmp/systemd-test
    mkdir -p "$W"
    # The first check that fails ends the test, with what was seen.
    check() {  # WHAT COMMAND...
        "${@:2}" && { say "ok: $1 ($(elapsed "$T0"))"; return 0; }
        say "FAILED: $1"
        for file in "$W"/*.out "$W"/*.err "$W"/*.log "$W/journal" "$W/left"; do
            [ -s "$file" ] && echo "--- $file" && tail -n 20 "$file"
        done
        echo "--- the service's journal"
        journalctl -q -o cat -n 30 -u "$UNIT"
        exit 1
    }
    show() { systemctl show -p "$1" --value "$UNIT"; }
    hid_loaded() { [ -e /sys/module/hid ] || grep -qw hidraw /proc/devices; }
    dorqin_processes() { grep -lx "Uid:[[:space:]]*$(id -u dorqin)[[:space:]].*" /proc/[0-9]*/status 2>/dev/null; }
    stopped() { [ "$(systemctl is-active "$UNIT")" = inactive ] && [ -z "$(dorqin_processes)" ]; }
    same_file() { [ "$(stat -L -c %d:%i "$1")" = "$(stat -c %d:%i "$2")" ]; }
    apt_install() { apt-get install -y -q "$@" > "$W/apt.log" 2>&1; }
    # What the service wrote since the last mark, once journald has line $1.
    mark() { journalctl -q -u "$UNIT" --cursor-file="$W/mark" > /dev/null; }
    journal_has() {
        cp "$W/mark" "$W/cursor" &&
            journalctl -q -o cat -u "$UNIT" --cursor-file="$W/cursor" > "$W/journal" &&
            grep -q "$1" "$W/journal"
    }
    journal() { wait_for 100 journal_has "$1"; }
    relay_of_serve() {  # the process whose parent is the service's main process, $main
        local stat pid comm state ppid rest
        for stat in /proc/[0-9]*/stat; do
            read -r pid comm state ppid rest < "$stat" 2>/dev/null || continue
            [ "$ppid" = "$main" ] && echo "$pid" && return 0
        done
        return 1
    }
    relay_reads_box() {
        relay=$(relay_of_serve) && cat /proc/"$relay"/task/*/wchan 2>/dev/null | grep -q hidraw_read
    }
    box_created() { grep -q 'box created as /dev/hidraw' "$W/box$plug.err"; }
    lines_in() { [ -f "$2" ] && [ "$(wc -l < "$2")" -ge "$1" ]; }
    plug_in() {  # box number $1, reading fifo $W/box$1.in, kept open as descriptor 4
        plug=$1
        mkfifo "$W/box$plug.in"
        exec 4<>"$W/box$plug.in"
        dorqin-boxsim --verbose < "$W/box$plug.in" > /dev/null 2> "$W/box$plug.err" 4>&- &
        box=$!
        wait_for 100 box_created || say "box $plug did not appear"
    }
    unplug() { echo destroy >&4; exec 4>&-; reap "$box" 50; }
    # Client $1 connects once a run listens and gets the events of reports
    # $2, which must be the expected file $3; with $4 "end" it goes, and
    # so does its run's relay.
    client() {
        wait_for 200 relay_listening || say "no run listens for client $1"
        dorqin-listen > "$W/listen-$1.out" 2> "$W/listen-$1.err" 4>&- &
        listen=$!
        main=$(show MainPID)
        wait_for 300 relay_reads_box || say "client $1: the relay is not reading the box"
        printf '%b' "$2" >&4
        wait_for 100 lines_in "$(grep -c . "$EXPECTED/$3")" "$W/listen-$1.out"
        check "client $1 got the box's events byte for byte" cmp -s <(cat "$W/listen-$1.out"; echo) "$EXPECTED/$3"
        if [ "${4:-}" = end ]; then
            kill "$listen"
            wait_for 100 gone "$relay" || say "client $1's run did not end"
        fi
    }

    T0=$(now)
    say "systemd $(systemctl --version | head -n 1 | cut -d' ' -f2) is PID 1: $(systemctl is-system-running)"
    check "the kernel's HID core is not loaded yet" eval '! hid_loaded'

    # Installed: off, and not started.
    check "apt-get install the previous package" apt_install "/host$PREVIOUS"
    check "version $PREVIOUS_VERSION installed" [ "$(dpkg-query -W -f '${Version}' dorqin-relay)" = "$PREVIOUS_VERSION" ]
    check "installed off and not started" [ "$(systemctl is-enabled "$UNIT")/$(systemctl is-active "$UNIT")" = disabled/inactive ]
    say "$(systemd-analyze security "$UNIT" 2>/dev/null | grep 'Overall exposure')"

    # Enabled before any HID device exists; the box comes later.
    check "systemctl enable --now" systemctl enable --now --quiet "$UNIT"
    check "active after enable --now" [ "$(systemctl is-active "$UNIT")" = active ]
    say "the HID core after the start: $(hid_loaded && echo loaded || echo "not loaded")"
    modprobe uhid
    plug_in 1
    client 1 'xy 10 20\nbuttons 0x0002\n' listen-1 end
    client 2 'z-rx 30 40\n' listen-2
    # Unplugged during the run: the run ends, and with it the client's stream.
    unplug
    reap "$listen" 100
    wait_for 100 gone "$relay" || say "client 2's run did not end"
    check "client 2's stream ended with the unplugged box (status $status)" [ "$status" = 0 ]
    plug_in 2
    client 3 'xy 10 20\nbuttons 0x0002\n' listen-1 end

    # The upgrade restarts the service on the new programs.
    old_pid=$(show MainPID)
    mark
    check "apt-get install this package (upgrade)" apt_install "/host$DEB"
    check "version $VERSION installed" [ "$(dpkg-query -W -f '${Version}' dorqin-relay)" = "$VERSION" ]
    new_pid=$(show MainPID)
    check "the upgrade restarted the service (main process $old_pid, then $new_pid)" \
        [ "$new_pid" != "$old_pid" -a "$new_pid" != 0 ]
    check "the service runs the new dorqin-serve" same_file "/proc/$new_pid/exe" /usr/bin/dorqin-serve
    client 4 'z-rx 30 40\n' listen-2
    check "client 4 is served by the new dorqin-relay" same_file "/proc/$relay/exe" /usr/bin/dorqin-relay
    kill "$listen"

    # Stopped: inactive, not failed, nothing left running; the journal has it all.
    systemctl stop "$UNIT"
    check "stopped: $(systemctl is-active "$UNIT"), result $(show Result), no process left" \
        eval 'stopped && [ "$(show Result)" = success ]'
    journal "^dorqin-serve: run 1 ended"
    check "the relay's and dorqin-serve's lines in the journal" eval \
        'grep -qx "Verbindung erhalten von: 127.0.0.1" "$W/journal" &&
         grep -qx "Initialiesierung Einlesen:" "$W/journal" &&
         grep -q "^dorqin-serve: run 1 ended: 2 events" "$W/journal"'

    # The sandbox holds: without the device rule the relay is refused the box.
    mkdir -p /run/systemd/system/$UNIT.d
    printf '[Service]\nDeviceAllow=\n' > /run/systemd/system/$UNIT.d/deny.conf
    systemctl daemon-reload
    mark
    systemctl start "$UNIT"
    wait_for 200 relay_listening
    dorqin-listen > "$W/listen-5.out" 2>&1 &
    reap $! 300
    journal "^dorqin-serve: run 1 ended"
    check "denied the device, the relay finds no box (client status $status)" \
        grep -q "Die DORQIn Box konnte nicht initialisiert werden" "$W/journal"
    # dorqin-serve says why, once, in the journal.
    journal "opening it is not permitted (EPERM)"
    check "the journal names the refused node and its cause" \
        grep -q "^dorqin-serve: /dev/hidraw[0-9]* is there, but opening it is not permitted (EPERM): a device rule" "$W/journal"
    rm -r /run/systemd/system/$UNIT.d
    systemctl daemon-reload
    systemctl restart "$UNIT"

    # Removed while it runs: stopped first; purged: nothing left.
    dpkg -L dorqin-relay > "$W/files"
    check "apt-get remove" eval 'apt-get remove -y -q dorqin-relay > "$W/apt.log" 2>&1'
    check "removed: the service stopped, no process left" stopped
    check "removed: systemd knows no unit $UNIT" [ "$(show LoadState)" = not-found ]
    check "apt-get purge" eval 'apt-get purge -y -q dorqin-relay > "$W/apt.log" 2>&1'
    while read -r path; do
        [ -d "$path" ] && [ ! -L "$path" ] && continue  # /usr/bin and the like
        if [ -e "$path" ] || [ -L "$path" ]; then echo "$path"; fi
    done < "$W/files" > "$W/left"
    find / \( -path /host -o -path /proc -o -path /sys -o -path "$W" \) -prune -o \
        -name '*dorqin*' ! -name '*dorqin-vm-test.service' -print >> "$W/left"
    getent passwd dorqin >> "$W/left"
    getent group dorqin >> "$W/left"
    check "purged: no file, link, unit state, user or group of it left" [ ! -s "$W/left" ]
    check "purged: dpkg forgot it" eval '! dpkg -s dorqin-relay > /dev/null 2>&1'

    say "systemd test passed"
    exit 0
fi

# ---- On the host ----
SOURCE=$(cd "$1" && pwd)
PACKAGE_BUILD=$(cd "$2" && pwd)
WORK=$3
CACHE=$4
HERE=$(cd "$(dirname "$0")" && pwd)
# Skipped without the guest in a plain run, failed under ./dev test.
# shellcheck source=../support/prerequisites.sh
. "$HERE/../support/prerequisites.sh"
require_guest "$CACHE"
require_program cpack cmake
[ "$(id -u)" = 0 ] || missing_prerequisite "root (the guest's root belongs to root)"
fail() { echo "vm systemd: $*" >&2; exit 1; }
debs=("$PACKAGE_BUILD"/dist/dorqin-relay_*_amd64.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $PACKAGE_BUILD/dist; ./dev package makes it"
DEB=${debs[0]}
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
CACHE=$(cd "$CACHE" && pwd)
ROOT=$(bash "$HERE/systemd-root.sh" "$CACHE" "$DEB") ||
    missing_prerequisite "the systemd guest's root in $CACHE for $(basename "$DEB");" \
        "./dev test makes it (tests/vm/systemd-root.sh $CACHE $DEB --make)"

# The previous version: the same build packed under a lower version.
VERSION=$(dpkg-deb -f "$DEB" Version)
PREVIOUS_VERSION=$VERSION~previous
rm -rf "$WORK/previous"
cpack --config "$PACKAGE_BUILD/CPackConfig.cmake" -D CPACK_PACKAGE_VERSION="$PREVIOUS_VERSION" \
    -B "$WORK/previous" > "$WORK/previous.log" 2>&1 || { cat "$WORK/previous.log" >&2; fail "cpack"; }
PREVIOUS=$(ls "$WORK"/previous/dorqin-relay_*_amd64.deb)

config=$WORK/systemd.conf
printf 'SOURCE=%q\nDEB=%q\nPREVIOUS=%q\nVERSION=%q\nPREVIOUS_VERSION=%q\nWAIT_SCALE=%q\n' \
    "$SOURCE" "$DEB" "$PREVIOUS" "$VERSION" "$PREVIOUS_VERSION" "${DORQIN_VM_WAIT_SCALE:-1}" > "$config"
kernel=$(ls "$CACHE"/linux-image-*-amd64_*_amd64.deb | head -n 1)
start=$(date +%s)
DORQIN_GUEST_INIT=$HERE/systemd-init \
DORQIN_GUEST_APPEND="dorqin.root=$ROOT dorqin.modules=$CACHE/$(basename "$kernel" .deb)/lib/modules systemd.show_status=false" \
    bash "$HERE/guest.sh" "$WORK/guest" "$CACHE" "${DORQIN_VM_TIMEOUT:-600}" "$HERE/systemd.sh" "$config"
echo "vm systemd: qemu ended with status $? after $(( $(date +%s) - start ))s"
serial=$WORK/guest/serial.log
grep -a '^vm: ' "$serial"
grep -aq '^===== VM DONE =====$' "$serial" ||
    { tail -n 40 "$serial" >&2; fail "the guest did not finish (serial log: $serial)"; }
grep -aqx 'vm: systemd test passed' "$serial" || fail "failed in the guest (serial log: $serial)"
echo "vm systemd: passed"

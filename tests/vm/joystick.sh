#!/usr/bin/env bash
# End-to-end test of dorqin-listen --joystick on a real kernel: the test
# guest (./guest.sh) loads uinput, evdev and joydev, and for each case runs
# the listener against the real relay with dorqin-boxsim's box, or against
# a scripted server (busybox nc), reads the
# virtual joystick back through its event node and its joystick node
# (dorqin-joystick-probe), ends the client one way or another and checks
# that the device went with it. What each case saw is compared with
# ./joystick/<case>.<section> byte for byte; those files are written by
# hand from the mapping and joydev's scaling, not captured from a run.
#
# usage: joystick.sh SOURCE_DIR BUILD_DIR WORK_DIR CACHE_DIR
#   BUILD_DIR  the native build: dorqin-relay, tools/, tests/vm/dorqin-joystick-probe
#   WORK_DIR   the guest's initramfs, serial log and what was seen
#   CACHE_DIR  the kernel package, kept between runs (shared with run.sh)
# DORQIN_VM_TIMEOUT (seconds, default 600) limits the qemu run;
# DORQIN_VM_WAIT_SCALE (default 1) multiplies the guest's waits.
# In the guest this script runs again, with one argument: its settings.
set -uo pipefail

CASES=(stream-end range-sigterm quit-key ctrl-c background malformed no-access reconnect)
SECTIONS=(evdev js listen-output listen-stderr status)

# ---- In the guest ----
if [ $# = 1 ]; then
    # shellcheck disable=SC1090
    . "$1"  # SOURCE, BUILD, CACHE, WAIT_SCALE
    # shellcheck source=guest-lib.sh
    . "$SOURCE/tests/vm/guest-lib.sh"
    NAME="DORQIn Box (dorqin-listen)"
    LISTEN=$BUILD/tools/dorqin-listen
    PROBE=$BUILD/tests/vm/dorqin-joystick-probe
    EXPECTED=$SOURCE/tests/vm/joystick
    # busybox nc listens on IPv6's any address, which takes IPv4 too.
    port_listening() { grep -qE ":$(printf '%04X' "$1") 0+:0000 0A" /proc/net/tcp /proc/net/tcp6; }
    box_created() { grep -q 'box created as /dev/hidraw' "$W/box.err"; }
    relay_reads_box() { cat /proc/"$relay"/task/*/wchan 2>/dev/null | grep -q hidraw_read; }
    both_ready() { grep -qx ready "$W/evdev" && grep -qx ready "$W/js"; }
    # The events a case expects have all come: as many lines as its
    # expected file holds, less the closing "gone" (and less what comes
    # only as the client ends: ENDING lines, with --reconnect the rest report).
    events_in() {
        [ "$(wc -l < "$W/evdev")" -ge "$(( $(wc -l < "$EXPECTED/$name.evdev") - 1 - ${ENDING:-0} ))" ]
    }
    device_listed() { grep -qxF "$NAME" /sys/class/input/*/name 2>/dev/null; }
    device_unlisted() { ! device_listed; }
    probes_ended() { gone "$evdev_probe" && gone "$js_probe"; }
    event_node() {
        local node
        for node in /sys/class/input/event*; do
            [ "$(cat "$node/device/name" 2>/dev/null)" = "$NAME" ] && echo "${node##*/}"
        done
    }
    greeted_twice() { [ "$(grep -c 'connected to' "$W/listen.err")" -ge 2 ]; }

    # With RESTART set (--reconnect): once the box's first events are in,
    # the relay's run ends (its Enter), the listener has to put the device
    # at rest within 1 s, then a new relay comes up on the same port and
    # ./joystick/CASE.box2 plays through it to the same event node.
    restart_relay() {
        wait_for 300 grep -qx 'EV_ABS 0x007 ABS_RUDDER -5' "$W/evdev" ||
            say "$name: the first run's events did not come"
        local before begin ms
        before=$(event_node)
        begin=$(date +%s%N)
        echo >&3
        # The rest report's last input: every axis and button before it.
        until grep -qx 'EV_ABS 0x007 ABS_RUDDER 0' "$W/evdev"; do
            [ $(( $(date +%s%N) - begin )) -gt $(( 3000000000 * WAIT_SCALE )) ] && break
            sleep 0.01
        done
        ms=$(( ($(date +%s%N) - begin) / 1000000 ))
        say "$name: at rest $ms ms after the relay's Enter"
        if grep -qx 'EV_ABS 0x007 ABS_RUDDER 0' "$W/evdev" && [ "$ms" -le $(( 1000 * WAIT_SCALE )) ]; then
            echo "at rest within 1 s of the relay's end: yes" >> "$W/notes"
        else
            echo "at rest within 1 s of the relay's end: no ($ms ms)" >> "$W/notes"
        fi
        wait_for 100 gone "$relay" || kill -9 "$relay"
        # Refused at least once, so that the listener's notes are the same every run.
        wait_for 100 grep -q 'Connection refused' "$W/listen.err" || say "$name: never refused"
        "$BUILD/dorqin-relay" < "$W/relay.in" >> "$W/relay.out" 2>> "$W/relay.err" 3>&- 4>&- &
        relay=$!
        wait_for 300 relay_listening || say "$name: the second relay does not listen"
        wait_for 300 greeted_twice || say "$name: the listener did not connect again"
        wait_for 300 relay_reads_box || say "$name: the second relay is not reading the box"
        cat "$EXPECTED/$name.box2" >&4
        if [ -n "$before" ] && [ "$(event_node)" = "$before" ]; then
            echo "event node after the relay came back: the same" >> "$W/notes"
        else
            echo "event node after the relay came back: $before, then $(event_node)" >> "$W/notes"
        fi
    }
    listener_ended() { if [ "$start" = tmux ]; then [ -s "$W/exit" ]; else gone "$listen"; fi; }

    # The kernel's own modules, from the package guest.sh boots.
    modules=$(ls -d "$CACHE"/linux-image-*/lib/modules/*/kernel | head -n 1)
    for module in drivers/input/misc/uinput drivers/input/evdev drivers/input/joydev; do
        insmod "$modules/$module.ko" || say "insmod $module failed"
    done
    [ -c /dev/uinput ] || say "no /dev/uinput"

    # The opt-in rule for /dev/uinput, and its group variant, as udev
    # applies them (udevadm test needs no udevd, and sets the node's mode).
    rules=/etc/udev/rules.d/70-dorqin-uinput.rules
    mkdir -p /etc/udev/rules.d
    echo "===== BEGIN uinput-rule ====="
    grep -v '^#' "$SOURCE/tools/udev/70-dorqin-uinput.rules" > $rules
    rm -rf /run/udev/data
    if udevadm test /sys/devices/virtual/misc/uinput 2>/dev/null | grep -q '^CURRENT_TAGS=.*:uaccess:'; then
        echo "uaccess rule: /dev/uinput tagged uaccess"
    else
        echo "uaccess rule: /dev/uinput not tagged"
    fi
    sed -n 's/^# \(KERNEL=="uinput".*GROUP=.*\)$/\1/p' "$SOURCE/tools/udev/70-dorqin-uinput.rules" > $rules
    rm -rf /run/udev/data
    udevadm test /sys/devices/virtual/misc/uinput > /dev/null 2>&1
    echo "group rule: /dev/uinput $(stat -c 'group %G mode %a' /dev/uinput)"
    echo "===== END uinput-rule ====="
    rm -f $rules
    chmod 600 /dev/uinput
    chgrp root /dev/uinput

    # run_case CASE SERVER START END [listener options...]
    #   SERVER  box (the relay with dorqin-boxsim playing ./joystick/CASE.box),
    #           script (./joystick/CASE.frames
    #           on port 5004: the greeting first, the rest once the device
    #           is being read), none
    #   START   plain (a background process, standard input a pipe), tmux
    #           (in a terminal, for the keys), background (a job in the
    #           background of an interactive shell in a terminal) or nobody
    #           (plain, as that user)
    #   END     how the client is ended once the events are in: enter (on
    #           the relay: the stream ends), term, key-q, key-ctrl-c, none
    run_case() {
        name=$1 server=$2 start=$3 end=$4
        shift 4
        W=/tmp/joystick/$name
        rm -rf "$W"
        mkdir -p "$W"
        : > "$W/notes"
        : > "$W/evdev"
        : > "$W/js"
        relay= box= scripted= pane= listen= evdev_probe= js_probe=
        local port=5003
        if [ "$server" = box ]; then
            mkfifo "$W/box.in"
            exec 4<>"$W/box.in"
            "$BUILD/tools/dorqin-boxsim" --verbose < "$W/box.in" > /dev/null 2> "$W/box.err" 3>&- 4>&- &
            box=$!
            wait_for 100 box_created || say "$name: the box did not appear"
        fi
        if [ "$server" = box ]; then
            mkfifo "$W/relay.in"
            exec 3<>"$W/relay.in"
            "$BUILD/dorqin-relay" < "$W/relay.in" > "$W/relay.out" 2> "$W/relay.err" 3>&- 4>&- &
            relay=$!
            wait_for 300 relay_listening || say "$name: the relay does not listen"
        elif [ "$server" = script ]; then
            port=5004
            # One frame a line: the greeting padded to 44 bytes, events to 100.
            local text size=44
            while IFS= read -r text; do
                printf '%s' "$text" > "$W/frame.$size"
                head -c $(( size - ${#text} )) /dev/zero >> "$W/frame.$size"
                cat "$W/frame.$size" >> "$W/frames.$size"
                size=100
            done < "$EXPECTED/$name.frames"
            mkfifo "$W/server.in"
            exec 6<>"$W/server.in"
            busybox nc -l -p $port < "$W/server.in" > /dev/null 3>&- 4>&- 6>&- &
            scripted=$!
            wait_for 100 port_listening $port || say "$name: no scripted server"
            cat "$W/frames.44" >&6
        fi

        if [ "$server" != none ]; then
            "$PROBE" evdev "$NAME" 60 > "$W/evdev" 2> "$W/evdev.err" 3>&- 4>&- 6>&- &
            evdev_probe=$!
            "$PROBE" js "$NAME" 60 > "$W/js" 2> "$W/js.err" 3>&- 4>&- 6>&- &
            js_probe=$!
        fi

        if [ "$start" = tmux ]; then
            pane=/tmp/joystick.tmux
            # The trap keeps bash alive through Ctrl+C, to write the status
            # and the terminal's modes as the listener left them.
            tmux -S "$pane" -f /dev/null new-session -d -x 80 -y 24 \
                bash -c 'trap : INT; "$@" > "$0/listen.out" 2> "$0/listen.err"; echo $? > "$0/exit"
                         stty -a > "$0/stty"; sleep 60' "$W" "$LISTEN" "$@" 127.0.0.1 $port 3>&- 4>&- 6>&-
        elif [ "$start" = background ]; then
            pane=/tmp/joystick.tmux
            tmux -S "$pane" -f /dev/null new-session -d -x 80 -y 24 bash --norc --noprofile -i 3>&- 4>&- 6>&-
            local command
            printf -v command '%q ' "$LISTEN" "$@" 127.0.0.1 $port
            tmux -S "$pane" send-keys "$command> $W/listen.out 2> $W/listen.err & echo \$! > $W/pid" Enter
            wait_for 100 test -s "$W/pid" || say "$name: the job did not start"
            listen=$(cat "$W/pid")
        else
            local as=()
            [ "$start" = nobody ] && as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
            mkfifo "$W/listen.in"
            exec 5<>"$W/listen.in"
            "${as[@]}" "$LISTEN" "$@" 127.0.0.1 $port < "$W/listen.in" > "$W/listen.out" 2> "$W/listen.err" 3>&- 4>&- 5>&- 6>&- &
            listen=$!
        fi
        if [ "$server" != none ]; then
            wait_for 300 both_ready || say "$name: the probes did not get the device"
            # The device's type as udev's input_id sees it (no udevd needed).
            local input
            input=$(grep -lxF "$NAME" /sys/class/input/input*/name 2>/dev/null | head -n 1)
            if [ -z "$input" ]; then
                echo "udev input_id: no device to ask about" >> "$W/notes"
            elif udevadm test-builtin input_id "${input%/name}" 2>/dev/null |
                    grep -qx 'ID_INPUT_JOYSTICK=1'; then
                echo "udev input_id: a joystick" >> "$W/notes"
            else
                echo "udev input_id: not a joystick" >> "$W/notes"
            fi
            # Reports reach only a reader that has the box open.
            if [ -n "$box" ]; then
                wait_for 300 relay_reads_box || say "$name: the relay is not reading the box"
                cat "$EXPECTED/$name.box" >&4
                [ -z "${RESTART:-}" ] || restart_relay
            fi
            [ -z "$scripted" ] || cat "$W/frames.100" >&6
            # Read while the device is there: events held back until it
            # goes (by a missing SYN_REPORT, say) would come in time for
            # the log, but not for this.
            if wait_for 300 events_in; then
                echo "events read while the device was there: all" >> "$W/notes"
            else
                echo "events read while the device was there: fewer than expected" >> "$W/notes"
            fi
        fi
        # Any event beyond the expected ones would come now.
        sleep 0.5
        case $end in
        enter) echo >&3 ;;
        term) kill -TERM "$listen" ;;
        key-q) tmux -S "$pane" send-keys q ;;
        key-ctrl-c) tmux -S "$pane" send-keys C-c ;;
        esac
        wait_for 100 listener_ended || say "$name: the listener is still running"
        if [ "$start" = background ]; then
            tmux -S "$pane" send-keys "wait $listen; echo \$? > $W/exit" Enter
            wait_for 100 test -s "$W/exit"
            echo "listener exit status: $(cat "$W/exit")" >> "$W/notes"
            tmux -S "$pane" kill-server
        elif [ -n "$pane" ]; then
            echo "listener exit status: $(cat "$W/exit")" >> "$W/notes"
            local modes
            modes=$(tr ' ' '\n' < "$W/stty" | grep -xE -- '-?(icanon|echo)' | tr '\n' ' ')
            echo "terminal modes after: ${modes% }" >> "$W/notes"
            tmux -S "$pane" kill-server
        else
            wait "$listen"
            echo "listener exit status: $?" >> "$W/notes"
            exec 5>&-
        fi
        wait_for 50 device_unlisted
        if device_listed; then
            echo "device after the listener ended: still there" >> "$W/notes"
        else
            echo "device after the listener ended: gone" >> "$W/notes"
        fi
        if [ -n "$evdev_probe" ]; then
            wait_for 50 probes_ended || say "$name: a probe is still reading"
            kill "$evdev_probe" "$js_probe" 2>/dev/null
        fi
        if [ -n "$relay" ]; then
            echo >&3
            wait_for 100 gone "$relay" || kill -9 "$relay"
        fi
        exec 3>&- 4>&- 6>&-
        [ -z "$box" ] || wait_for 50 gone "$box" || kill -9 "$box"
        [ -z "$scripted" ] || wait_for 50 gone "$scripted" || kill -9 "$scripted"

        for section in "${SECTIONS[@]}"; do
            echo "===== BEGIN $name $section ====="
            case $section in
            evdev | js) cat "$W/$section" ;;
            listen-output) sed 's|/dev/input/event[0-9]*|/dev/input/eventN|' "$W/listen.out" ;;
            listen-stderr) cat "$W/listen.err" ;;
            status) cat "$W/notes" ;;
            esac
            echo "===== END $name $section ====="
        done
        for extra in evdev.err js.err relay.err box.err; do
            [ -s "$W/$extra" ] || continue
            echo "===== BEGIN $name $extra ====="
            tail -n 20 "$W/$extra"
            echo "===== END $name $extra ====="
        done
    }

    # Every mapped channel through the real relay, on the default range;
    # the relay's Enter ends the stream.
    run_case stream-end box plain enter --joystick
    # A 10-bit range, with readings beyond it; SIGTERM ends the client.
    run_case range-sigterm box plain term --joystick --range 0:1023
    # In a terminal: q, and Ctrl+C, with the stream still open. (A relay
    # with no box closes its stream at once, so a scripted server greets.)
    run_case quit-key script tmux key-q --joystick
    run_case ctrl-c script tmux key-ctrl-c --joystick
    # A job in the background of a shell leaves the terminal alone (or
    # the terminal would stop it) and still makes the device.
    run_case background script background term --joystick
    # A malformed frame after a few events ends the client by itself.
    run_case malformed script plain none --joystick
    # A user without access to /dev/uinput is refused before connecting:
    # nothing listens there, so a connection attempt would give status 1.
    chmod 600 /dev/uinput
    run_case no-access none nobody none --joystick
    # --reconnect through a relay restart: one device all along, at rest
    # while no relay serves it; SIGTERM ends the client, which puts the
    # device at rest once more before it goes.
    RESTART=1 ENDING=2 run_case reconnect box plain term --joystick --reconnect
    exit 0
fi

# ---- On the host ----
SOURCE=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
WORK=$3
CACHE=$4
HERE=$(cd "$(dirname "$0")" && pwd)
# The guest runs this host's programs: tmux for the key cases, insmod for
# the kernel package's modules, udevadm for input_id and the rule. A
# missing one is skipped in a plain ctest run, failed under ./dev test.
# shellcheck source=../support/prerequisites.sh
. "$HERE/../support/prerequisites.sh"
# shellcheck source=serial-lib.sh
. "$HERE/serial-lib.sh"
require_guest "$CACHE"
require_program tmux tmux
require_program insmod kmod
require_program udevadm udev
mkdir -p "$WORK" "$CACHE"
WORK=$(cd "$WORK" && pwd)
CACHE=$(cd "$CACHE" && pwd)
fail() { echo "vm joystick: $*" >&2; exit 1; }
for program in dorqin-relay tools/dorqin-listen tools/dorqin-boxsim tests/vm/dorqin-joystick-probe; do
    [ -x "$BUILD/$program" ] || fail "$BUILD/$program is missing; build first"
done
config=$WORK/joystick.conf
printf 'SOURCE=%q\nBUILD=%q\nCACHE=%q\nWAIT_SCALE=%q\n' "$SOURCE" "$BUILD" "$CACHE" \
    "${DORQIN_VM_WAIT_SCALE:-1}" > "$config"
start=$(date +%s)
bash "$HERE/guest.sh" "$WORK/guest" "$CACHE" "${DORQIN_VM_TIMEOUT:-600}" "$HERE/joystick.sh" "$config"
echo "vm joystick: qemu ended with status $? after $(( $(date +%s) - start ))s"
serial=$WORK/guest/serial.log
grep -a '^vm: ' "$serial" >&2
grep -aq '^===== VM DONE =====$' "$serial" ||
    { tail -n 40 "$serial" >&2; fail "the guest did not finish (serial log: $serial)"; }

failed=0
for name in "${CASES[@]}"; do
    for section in "${SECTIONS[@]}"; do
        expected=$HERE/joystick/$name.$section
        if [ "$section" = js ] && [ -s "$expected" ]; then
            # Every device declares itself to joydev alike: that shared
            # declaration, then what the case's own reports did.
            cat "$HERE/joystick/joydev-declaration" "$expected" > "$WORK/expected.$name.js"
            expected=$WORK/expected.$name.js
        fi
        got=$WORK/got.$name.$section
        serial_section "$serial" "$name $section" > "$got" ||
            { echo "vm joystick: section \"$name $section\" missing" >&2; failed=1; continue; }
        same_as_expected "vm joystick" "$name $section" "$expected" "$got" || failed=1
    done
done
serial_section "$serial" uinput-rule > "$WORK/got.uinput-rule" || true
same_as_expected "vm joystick" uinput-rule "$HERE/joystick/uinput-rule" "$WORK/got.uinput-rule" ||
    failed=1
if [ "$failed" != 0 ]; then
    grep -a -A 22 -E '^===== BEGIN [a-z-]+ (evdev|js|relay|box)\.err =====$' "$serial" >&2
    fail "what the virtual joystick showed differs from tests/vm/joystick (serial log: $serial)"
fi
echo "vm joystick: every case as expected"

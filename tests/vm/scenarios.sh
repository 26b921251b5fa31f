# Runs inside the test guest (tests/vm/guest.sh, as bash SCRIPT CONFIG;
# the arm64 guest, tests/vm/guest-arm64.sh, runs it with busybox sh):
# for each scenario and each build (the native dorqin-relay, and
# dorqin-relay.exe under Wine), runs dorqin-boxsim, the relay and
# dorqin-listen together and prints what they did between markers on the
# serial console, for run.sh to compare. Every wait is bounded.
#
# CONFIG is a file of shell assignments written by run.sh: NATIVE_BIN (the
# build tree with dorqin-relay and tools/), RELAY_EXE, WINE_PREFIX,
# SCENARIO_DIR (scenario files, and the event counts), RUNS ("native:reports
# windows:reports ..."), WAIT_SCALE.
set -u
# shellcheck disable=SC1090
. "$1"

# shellcheck source=guest-lib.sh
. "$(dirname "$0")/guest-lib.sh"
T0=$(now)
# Natively the relay's thread waits in the kernel's hidraw read. Under Wine
# the device handles live in wineserver; the relay has the box once it
# asked for its capabilities (traced by WINEDEBUG=+hid).
native_reads_box() { cat /proc/"$relay"/task/*/wchan 2>/dev/null | grep -q hidraw_read; }
windows_reads_box() { [ "$(caps_asked)" -ge "$boxes" ]; }
caps_asked() { grep -c 'HidP_GetCaps' "$W/relay.err"; }
boxes_created() { [ "$(cat "$W"/box.err "$W"/twin.err 2>/dev/null | grep -c 'box created as /dev/hidraw')" -ge "$boxes" ]; }
box_gone() { ! grep -qx "HID_UNIQ=dorqin-boxsim-$box" /sys/class/hidraw/*/device/uevent 2>/dev/null; }
# Wine's HID bus has every box's node open, or none (the last scenario's
# boxes let go).
wine_has_boxes() { [ "$(hidraw_nodes_open)" -ge "$boxes" ]; }
wine_has_no_box() { [ "$(hidraw_nodes_open)" -eq 0 ]; }
events_seen() { [ "$(wc -l < "$W/listen.out")" -ge "$expected_events" ]; }
relay_reads_box_or_ended() { ${flavour}_reads_box || gone "$relay"; }
events_seen_or_ended() { events_seen || gone "$listen"; }
# CPU ticks (user + system) used by process $1 so far.
cpu_ticks() { awk '{ print $14 + $15 }' /proc/"$1"/stat 2>/dev/null || echo 0; }

# Starts dorqin-boxsim with options $2... reading fifo $W/$1.in (kept open
# as descriptor 4 for the box, 5 for a twin); sets box or twin to its pid.
start_boxsim() {
    local which=$1
    shift
    mkfifo "$W/$which.in"
    if [ "$which" = box ]; then
        exec 4<>"$W/box.in"
        "$NATIVE_BIN/tools/dorqin-boxsim" --verbose "$@" < "$W/box.in" > "$W/box.out" 2> "$W/box.err" 4>&- 5>&- &
        box=$!
    else
        exec 5<>"$W/twin.in"
        "$NATIVE_BIN/tools/dorqin-boxsim" --verbose "$@" < "$W/twin.in" > "$W/twin.out" 2> "$W/twin.err" 4>&- 5>&- &
        twin=$!
    fi
}

# Wine's services start once, for every Windows scenario: their start is
# the slow part of a scenario under TCG (20 to 30 s). With udevd, Wine's
# HID bus then takes each scenario's boxes as they are plugged in.
WINE_LOG=/tmp/wine
wine_started=
start_wine() {
    local start
    start=$(now)
    mkdir -p "$WINE_LOG"
    start_wine_services yes "$WINE_LOG"
    wine_started=yes
    echo "$run: Wine's services up after $(elapsed "$start")" >> "$W/paths"
}

# Runs one scenario with one build: $1 the flavour (native or windows),
# $2 the scenario: its listener options and script come from
# SCENARIO_DIR/$2.options and $2.box; with a $2.twin file, a Game Pad twin
# of the box is created first (so the relay meets it before the box); with
# a $2.unplug file, the box is removed after the events and before Enter;
# a $2.boxsim file holds dorqin-boxsim's options for the box (--replay).
run_scenario() {
    flavour=$1
    name=$2
    run="$flavour $name"
    W=/tmp/scenario
    rm -rf "$W"
    mkdir -p "$W"
    : > "$W/notes"
    : > "$W/paths"
    : > "$W/relay.err"
    expected_events=$(cat "$SCENARIO_DIR/$name.events")
    local listen_options
    listen_options=$(cat "$SCENARIO_DIR/$name.options" 2>/dev/null)
    local started t
    started=$(now)

    if [ "$flavour" = windows ]; then
        [ -n "$wine_started" ] || start_wine
        wait_for 300 wine_has_no_box || say "$run: Wine still holds a box of the last scenario"
    fi

    boxes=1
    twin=
    if [ -f "$SCENARIO_DIR/$name.twin" ]; then
        # Created first, so it comes first: hidraw numbers natively, and
        # Wine's device list follows the order its bus found them in.
        start_boxsim twin --usage 5
        wait_for 100 boxes_created || say "$run: the twin did not appear"
        boxes=2
    fi
    local boxsim_options
    boxsim_options=$(cat "$SCENARIO_DIR/$name.boxsim" 2>/dev/null)
    # shellcheck disable=SC2086
    start_boxsim box $boxsim_options
    wait_for 100 boxes_created || say "$run: the box did not appear"

    if [ "$flavour" = windows ]; then
        t=$(now)
        wait_for 600 wine_has_boxes || say "$run: Wine's HID bus did not open the boxes"
        echo "$run: Wine's HID bus opened the boxes $(elapsed "$t") after they appeared" >> "$W/paths"
    fi

    mkfifo "$W/relay.in"
    exec 3<>"$W/relay.in"
    t=$(now)
    if [ "$flavour" = native ]; then
        "$NATIVE_BIN/dorqin-relay" < "$W/relay.in" > "$W/relay.out" 2> "$W/relay.err" 3>&- 4>&- 5>&- &
    else
        WINEDEBUG=-all,+hid wine "$RELAY_EXE" < "$W/relay.in" > "$W/relay.out" 2> "$W/relay.err" 3>&- 4>&- 5>&- &
    fi
    relay=$!
    wait_for 600 relay_listening || say "$run: the relay does not listen"
    echo "$run: relay listening after $(elapsed "$t")" >> "$W/paths"

    t=$(now)
    # shellcheck disable=SC2086
    "$NATIVE_BIN/tools/dorqin-listen" $listen_options > "$W/listen.out" 2> "$W/listen.err" 3>&- 4>&- 5>&- &
    listen=$!
    # Reports reach only a reader that has the box open, so the script
    # starts once the relay has it.
    wait_for 600 relay_reads_box_or_ended || say "$run: the relay is not reading the box"
    if ${flavour}_reads_box; then
        echo "$run: box open $(elapsed "$t") after the client connected" >> "$W/paths"
    else
        echo "$run: the relay did not open the box" >> "$W/paths"
    fi

    t=$(now)
    cat "$SCENARIO_DIR/$name.box" >&4
    wait_for 600 events_seen_or_ended || say "$run: fewer events than expected arrived"
    echo "$run: $(wc -l < "$W/listen.out") events in $(elapsed "$t")" >> "$W/paths"

    # Which candidates the relay looked at before it relayed: natively each
    # simulated device logs being opened; under Wine its bus opens them
    # all, and the relay's capability requests show instead.
    local examined
    if [ "$flavour" = native ]; then
        examined=$(cat "$W"/box.err "$W"/twin.err 2>/dev/null | grep -c 'the box was opened')
    else
        examined=$(caps_asked)
    fi
    echo "devices the relay examined: $examined" >> "$W/notes"
    if [ -n "$twin" ]; then
        if [ "$examined" -ge 2 ] && events_seen; then
            echo "$run: passed over the Game Pad twin and relayed the box" >> "$W/paths"
        else
            echo "$run: did not pass over the Game Pad twin to the box" >> "$W/paths"
        fi
    fi

    if [ -f "$SCENARIO_DIR/$name.unplug" ]; then
        echo destroy >&4
        wait_for 100 box_gone || say "$run: the box did not go away"
        # Let the relay's side notice, then see what its reads cost: each
        # fails at once, and the relay must pause between retries rather
        # than spin: 10% of a CPU at most, in 4 s of clock ticks. Pausing,
        # it used 0-1% natively and 1-2.5% under Wine with udevd (each
        # failed read a round trip through wineserver, slower the more
        # loaded the host); retrying at once, 105% and 55%.
        sleep 1
        local before
        before=$(cpu_ticks "$relay")
        sleep 4
        local ticks=$(( $(cpu_ticks "$relay") - before ))
        local busy=$(( ticks / 4 ))  # percent of a CPU
        if running "$relay"; then
            echo "relay running after unplug: yes" >> "$W/notes"
        else
            echo "relay running after unplug: no" >> "$W/notes"
        fi
        if [ "$ticks" -le 40 ]; then
            echo "relay's reads after unplug: retried with pauses" >> "$W/notes"
        else
            echo "relay's reads after unplug: retried without pause" >> "$W/notes"
        fi
        echo "$run: after unplug the relay used ${busy}% of a CPU" >> "$W/paths"
    fi

    # Any event beyond the expected ones would come now.
    sleep 0.5
    echo >&3
    reap "$relay" 300
    echo "relay exit status: $status" >> "$W/notes"
    reap "$listen" 100
    echo "listen exit status: $status" >> "$W/notes"
    # The end of its input makes the simulator remove the box and exit.
    exec 3>&- 4>&- 5>&-
    reap "$box" 50
    [ "$status" = 0 ] || say "$run: dorqin-boxsim ended with $status"
    if [ -n "$twin" ]; then
        reap "$twin" 50
        [ "$status" = 0 ] || say "$run: the twin ended with $status"
    fi
    if [ "$flavour" = windows ]; then
        # What of hid.dll the relay called, as WINEDEBUG=+hid traced it.
        local call calls=
        for call in HidD_GetPreparsedData HidD_GetAttributes HidP_GetCaps HidP_GetUsageValue; do
            calls="$calls $call $(grep -c "trace:hid:$call " "$W/relay.err")"
        done
        echo "$run: hid.dll calls:$calls" >> "$W/paths"
    fi
    echo "$run: done in $(elapsed "$started")" >> "$W/paths"

    section "$run relay-console" "$W/relay.out"
    section "$run listen-output" "$W/listen.out"
    section "$run status" "$W/notes" notes
    section "$run listen-stderr" "$W/listen.err"
    section "$run paths" "$W/paths" notes
    section "$run relay-stderr" "$W/relay.err"
    section "$run boxsim-stderr" "$W/box.err"
    [ -n "$twin" ] && section "$run twin-stderr" "$W/twin.err"
    [ "$flavour" = windows ] && section "$run wine-stderr" "$WINE_LOG/wine.err"
    return 0
}

for entry in $RUNS; do
    run_scenario "${entry%%:*}" "${entry#*:}"
done
[ -n "$wine_started" ] && stop_wine_services
say "scenarios done after $(elapsed "$T0")"

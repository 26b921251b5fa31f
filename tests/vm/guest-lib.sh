# Helpers for the scripts that run in the test guest (scenarios.sh,
# joystick.sh, serve.sh), sourced after their settings (WAIT_SCALE).

say() { echo "vm: $*"; }
now() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }  # milliseconds (busybox date has no %N)
elapsed() { local ms=$(( $(now) - $1 )); printf '%d.%d s' $((ms / 1000)) $((ms % 1000 / 100)); }

# Waits up to $1 tenths of a second (times WAIT_SCALE) for the command in
# $2... to succeed.
wait_for() {
    local tenths=$(( $1 * WAIT_SCALE ))
    shift
    while [ "$tenths" -gt 0 ]; do
        "$@" && return 0
        sleep 0.1
        tenths=$((tenths - 1))
    done
    return 1
}

# A child that has ended stays a zombie until waited for, so kill -0
# cannot tell; its state in /proc can.
running() { [ -r /proc/"$1"/stat ] && [ "$(cut -d' ' -f3 /proc/"$1"/stat 2>/dev/null)" != Z ]; }
gone() { ! running "$1"; }

# Waits for child $1 to end (up to $2 tenths of a second) and sets status
# to its exit status, or to "still running" after killing it.
reap() {
    if wait_for "$2" gone "$1"; then
        wait "$1"
        status=$?
    else
        kill -9 "$1" 2>/dev/null
        wait "$1" 2>/dev/null
        status="still running"
    fi
}

relay_listening() { grep -q ':138B 00000000:0000 0A' /proc/net/tcp; }  # port 5003, LISTEN

# Prints file $2 as section $1 for the host to compare. A program's output
# gets one line break after it, so that its last line shows whether it
# ended with one; our own notes ($3 = notes) are whole lines already.
section() {
    echo "===== BEGIN $1 ====="
    cat "$2"
    [ "${3:-}" = notes ] || echo
    echo "===== END $1 ====="
}

# How many hidraw nodes are open in the guest: under Wine, its HID bus's.
hidraw_nodes_open() { ls -l /proc/[0-9]*/fd 2>/dev/null | grep -c '/dev/hidraw'; }

# Starts Wine's services on WINE_PREFIX, their output in $2/wine.out and
# wine.err. With $1 = yes, Wine's HID bus takes the boxes from udev, as on
# a desktop: udevd runs (told of a box already there), and the guest's
# copy of the prefix (the root is an overlay) tells winebus to use it.
# Without udevd winebus watches /dev: it removes an unplugged box, but a
# box plugged in after its start it added and removed again within half a
# second. Nothing of Wine may hold the scripts' descriptors 3 to 5 (the
# relay's and the boxes' input): they end when those close.
start_wine_services() {
    export WINEPREFIX=$WINE_PREFIX WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
    unset WINEARCH
    if [ "$1" = yes ]; then
        /lib/systemd/systemd-udevd --daemon 3>&- 4>&- 5>&-
        udevadm trigger --action=add --subsystem-match=hidraw 3>&- 4>&- 5>&-
        udevadm settle --timeout=30
        sed -i 's/"DisableUdevd"=dword:00000001/"DisableUdevd"=dword:00000000/' "$WINEPREFIX/system.reg"
    fi
    /usr/lib/wine/wineserver -p 3>&- 4>&- 5>&-
    wine wineboot > "$2/wine.out" 2> "$2/wine.err" 3>&- 4>&- 5>&-
}

stop_wine_services() {
    /usr/lib/wine/wineserver -k 2>/dev/null
    timeout 60 /usr/lib/wine/wineserver -w 2>/dev/null
}

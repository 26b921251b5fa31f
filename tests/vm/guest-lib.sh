# Helpers for the scripts that run in the test guest (scenarios.sh,
# joystick.sh, serve.sh), sourced after their settings (WAIT_SCALE).

say() { echo "vm: $*"; }
now() { date +%s%N | cut -c1-13; }  # milliseconds
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

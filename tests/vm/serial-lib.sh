# Helpers for the host side of the guest tests (run.sh, serve.sh,
# joystick.sh): what the guest printed between markers on its serial log,
# compared with the expected files.

# serial_section LOG NAME: the lines between "===== BEGIN NAME =====" and
# "===== END NAME =====" of LOG, on standard output; fails where LOG has
# no such section.
serial_section() {
    awk -v begin="===== BEGIN $2 =====" -v end="===== END $2 =====" '
        $0 == end { inside = 0 }
        inside { print }
        $0 == begin { inside = 1; found = 1 }
        END { exit found ? 0 : 1 }' "$1"
}

# same_as_expected TAG NAME EXPECTED GOT: says whether file GOT is file
# EXPECTED byte for byte; where it is not, shows the difference on standard
# error and fails.
same_as_expected() {
    if cmp -s "$3" "$4"; then
        echo "$1: $2: as expected"
        return 0
    fi
    echo "$1: $2 differs (expected, then got):" >&2
    diff -u "$3" "$4" >&2
    return 1
}

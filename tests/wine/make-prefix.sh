#!/usr/bin/env bash
# Makes the Wine prefix that the test guest (tests/vm/guest.sh) runs
# dorqin-relay.exe in, or reuses the one made before by the same Wine.
# Prints its path.
#
#   tests/wine/make-prefix.sh CACHE_DIR
#
# Made on this host with the 64-bit loader, which runs whether or not the
# host's kernel takes 32-bit programs. The guest sees the prefix through
# its read-only root with a tmpfs on top, so nothing it does comes back
# here and one prefix serves every run.
set -euo pipefail

CACHE=${1:?usage: make-prefix.sh CACHE_DIR}
HERE=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$CACHE"
CACHE=$(cd "$CACHE" && pwd)
PREFIX=$CACHE/wineprefix
# The VM test and the HID differential test may ask at the same time.
exec 9>"$CACHE/.wineprefix.lock"
flock 9

log() { echo "wine prefix: $*" >&2; }

WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
I386=/usr/lib/i386-linux-gnu/wine/i386-windows
[ -x "$WINE64" ] || { log "$WINE64 is missing; install the Debian package wine64"; exit 1; }
[ -d "$I386" ] || { log "$I386 is missing; install the Debian package wine32:i386"; exit 1; }

# A prefix belongs to the Wine that made it and to this script's settings.
stamp="$(dpkg-query -W -f '${Package}:${Architecture} ${Version}\n' wine64 wine32:i386 libwine:amd64 libwine:i386 2>/dev/null || true)
$(sha256sum "$HERE/make-prefix.sh" | cut -d' ' -f1)"
if [ -f "$PREFIX/.dorqin-stamp" ] && [ "$(cat "$PREFIX/.dorqin-stamp")" = "$stamp" ]; then
    log "reusing $PREFIX"
    echo "$PREFIX"
    exit 0
fi

start=$(date +%s)
rm -rf "$PREFIX"
export WINEPREFIX=$PREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH
timeout 300 "$WINE64" wineboot -i >/dev/null 2>&1 || true
timeout 60 "$WINESERVER" -w
[ -f "$PREFIX/system.reg" ] || { log "wineboot made no prefix in $PREFIX"; exit 1; }

# Where the host's kernel refuses 32-bit programs, wineboot cannot run the
# 32-bit half of the set-up and syswow64 stays empty: the .exe would die
# with "could not load kernel32.dll, status c0000135". Wine's 32-bit
# builtins go there as links (the guest sees the same /usr); 16-bit ones
# are left out. Where the host ran that half, its files stay.
syswow=$PREFIX/drive_c/windows/syswow64
mkdir -p "$syswow/drivers"
for file in "$I386"/*; do
    name=${file##*/}
    case "$name" in
    *16) ;;
    *.sys) [ -e "$syswow/drivers/$name" ] || ln -s "$file" "$syswow/drivers/$name" ;;
    *) [ -e "$syswow/$name" ] || ln -s "$file" "$syswow/$name" ;;
    esac
done

# winebus: only its hidraw backend, which hands the box's own descriptor
# and reports through. By default Wine's udev bus does not start without
# udevd, and its SDL bus offers the box (through evdev) under a descriptor
# of its own making, with other reports. Without udevd, /dev is watched
# with inotify, so an unplugged box is removed and reads on it fail, as on
# Windows.
cat > "$CACHE/winebus.reg" <<'EOF'
REGEDIT4

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\winebus]
"Enable SDL"=dword:00000000
"DisableInput"=dword:00000001
"DisableHidraw"=dword:00000000
"DisableUdevd"=dword:00000001
EOF
timeout 120 "$WINE64" regedit /S "$CACHE/winebus.reg"
timeout 60 "$WINESERVER" -w
grep -q '"DisableUdevd"=dword:00000001' "$PREFIX/system.reg" ||
    { log "the winebus settings did not reach $PREFIX/system.reg"; exit 1; }

echo "$stamp" > "$PREFIX/.dorqin-stamp"
log "made $PREFIX in $(( $(date +%s) - start )) s ($(du -sh "$PREFIX" | cut -f1))"
echo "$PREFIX"

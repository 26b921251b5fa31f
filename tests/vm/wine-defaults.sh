# A look at what Wine's default winebus settings do with the box (not part
# of any test): inside the test guest, with evdev loaded and the four
# winebus values of tests/wine/make-prefix.sh deleted, the reports script
# of the VM test goes through the Windows relay. Run after the VM test
# (it uses its .exe, prefix and kernel):
#
#   bash tests/vm/guest.sh build/vm-try build/vm-cache 400 \
#       "$PWD/tests/vm/wine-defaults.sh" "$PWD/build"
#   grep -av '^\[ *[0-9.]*\] ' build/vm-try/serial.log
B=$1
HERE=$(cd "$(dirname "$0")" && pwd)
/bin/busybox insmod "$(ls "$B"/vm-cache/linux-image-*/lib/modules/*/kernel/drivers/input/evdev.ko)" &&
    echo "evdev loaded"
export WINEPREFIX=$B/vm-cache/wineprefix WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
mkfifo /tmp/box.in /tmp/relay.in
exec 4<>/tmp/box.in
"$B/tools/dorqin-boxsim" < /tmp/box.in > /dev/null 2> /tmp/box.err 4>&- &
sleep 3
cat /tmp/box.err

key='HKLM\System\CurrentControlSet\Services\winebus'
/usr/lib/wine/wineserver -p 4>&-
for value in "Enable SDL" DisableInput DisableHidraw DisableUdevd; do
    wine reg delete "$key" /v "$value" /f > /dev/null 2>&1 4>&-
done
echo "winebus values left: $(wine reg query "$key" 2>/dev/null 4>&- | grep -ciE 'disable|sdl')"
/usr/lib/wine/wineserver -k
/usr/lib/wine/wineserver -w
# Wine's services start anew with the box present.
/usr/lib/wine/wineserver -p 4>&-
wine wineboot > /dev/null 2>&1 4>&-
sleep 10

exec 3<>/tmp/relay.in
WINEDEBUG=-all,+hid wine "$B/vm/windows/dorqin-relay.exe" < /tmp/relay.in > /tmp/relay.out \
    2> /tmp/relay.err 3>&- 4>&- &
for _ in $(seq 100); do sleep 0.2; grep -q ':138B 00000000:0000 0A' /proc/net/tcp && break; done
"$B/tools/dorqin-listen" > /tmp/listen.out 2>&1 3>&- 4>&- &
for _ in $(seq 150); do sleep 0.2; grep -q HidP_GetCaps /tmp/relay.err && break; done
sleep 2
cat "$HERE/scenarios/reports.box" >&4
sleep 15
echo >&3
sleep 5
echo "devices the relay examined: $(grep -c HidP_GetCaps /tmp/relay.err)"
echo "events at the client: $(wc -l < /tmp/listen.out) (the VM test expects 29)"
if cmp -s <(grep '<DORQIN' /tmp/relay.out) <(grep '<DORQIN' "$HERE/expected/reports.relay-console"); then
    echo "the events are the expected ones"
else
    echo "the events differ from the expected ones; the first ten:"
    head -n 10 /tmp/listen.out
fi
/usr/lib/wine/wineserver -k

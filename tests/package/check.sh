#!/usr/bin/env bash
# Checks the packages that `./dev package` made, the way a user meets them:
# the Debian package is linted, installed on this machine with apt-get,
# its relay run through a whole run with no box, its man page and udev rule
# looked up, then removed, and nothing of it may be left; the Windows zip
# must hold three self-contained 32-bit .exe files that name the package's
# version, and text with CR LF line ends. The packages for the other
# architectures (arm64, armhf) are linted and must hold the same files,
# with programs for their architecture.
#
#   tests/package/check.sh BUILD_DIR DIST_DIR
#
# BUILD_DIR holds the native dorqin-blackbox-tests. Needs root (apt-get).
set -euo pipefail

BUILD=$(cd "${1:?usage: check.sh BUILD_DIR DIST_DIR}" && pwd)
DIST=$(cd "${2:?usage: check.sh BUILD_DIR DIST_DIR}" && pwd)
cd "$(dirname "$0")/../.."
PACKAGE=dorqin-relay

log() { echo "package-check: $*" >&2; }
fail() { log "FAILED: $*"; exit 1; }

debs=("$DIST"/${PACKAGE}_*_"$(dpkg --print-architecture)".deb)
zips=("$DIST"/${PACKAGE}-*-win32.zip)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb for this machine in $DIST"
[ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || fail "expected one win32 .zip in $DIST"
DEB=${debs[0]}
ZIP=${zips[0]}
VERSION=$(dpkg-deb -f "$DEB" Version)
[ "$(basename "$ZIP")" = "$PACKAGE-$VERSION-win32.zip" ] ||
    fail "the zip $(basename "$ZIP") does not name version $VERSION of the .deb"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# ---- The Windows zip ------------------------------------------------------
unzip -q "$ZIP" -d "$WORK/zip"
for name in dorqin-relay.exe dorqin-listen.exe dorqin-serve.exe; do
    EXE=$WORK/zip/$name
    [ -f "$EXE" ] || fail "no $name in the zip"
    i686-w64-mingw32-objdump -p "$EXE" > "$WORK/pe.txt"
    grep -q "file format pei-i386" "$WORK/pe.txt" || fail "$name is not a PE32 (i386) program"
    # Only DLLs that every Windows has; a mingw runtime DLL (libgcc_s,
    # libstdc++, libwinpthread) would end the program before main where it
    # is missing.
    sed -n 's/^\s*DLL Name: //p' "$WORK/pe.txt" | tr -d '\r' > "$WORK/dlls.txt"
    [ -s "$WORK/dlls.txt" ] || fail "no import table found in $name"
    while read -r dll; do
        case "${dll,,}" in
        kernel32.dll | msvcrt.dll | ws2_32.dll | setupapi.dll | hid.dll | user32.dll | advapi32.dll | \
            iphlpapi.dll) ;;
        *) fail "$name needs $dll, which Windows does not ship" ;;
        esac
    done < "$WORK/dlls.txt"
    # The version resource's strings are UTF-16; each value follows its name.
    strings -el "$EXE" > "$WORK/strings.txt"
    for key in FileVersion ProductVersion; do
        value=$(grep -A1 -x "$key" "$WORK/strings.txt" | sed -n 2p)
        [ "$value" = "$VERSION" ] || fail "$name: $key is \"$value\", not $VERSION"
    done
    grep -qx "Copyright (c) .*, MIT License" "$WORK/strings.txt" ||
        fail "$name: no LegalCopyright naming the MIT License"
    log "zip: PE32 $name, version $VERSION, importing only $(tr '\n' ' ' < "$WORK/dlls.txt")"
done
# The Event Log shows dorqin-serve.exe's records through its message table.
strings -el "$WORK/zip/dorqin-serve.exe" | grep -qx "dorqin-serve started: %1" ||
    fail "dorqin-serve.exe: no message table for the Event Log"
[ -f "$WORK/zip/examples/listen.py" ] || fail "no examples/listen.py in the zip"
for text in "$WORK/zip/README.txt" "$WORK/zip/LICENSE.txt" "$WORK/zip/CHANGELOG.txt" \
    "$WORK"/zip/docs/*.md; do
    [ -f "$text" ] || fail "missing in the zip: ${text#"$WORK"/zip/}"
    # Every line feed must follow a carriage return.
    if [ "$(grep -c $'\r$' "$text")" != "$(wc -l < "$text")" ]; then
        fail "${text#"$WORK"/zip/} has line ends without CR"
    fi
done
log "zip: README.txt, LICENSE.txt, CHANGELOG.txt and docs/ have CR LF line ends"

# ---- The Debian package ------------------------------------------------------
# Everything lintian finds fails the check, informational tags included.
for deb in "$DIST"/${PACKAGE}_*.deb; do
    lintian --fail-on error,warning,info,pedantic --display-info --pedantic "$deb" \
        > "$WORK/lintian.log" 2>&1 || { grep -v "root privileges" "$WORK/lintian.log" >&2;
                                         fail "lintian found something in $(basename "$deb")"; }
done
log "lintian: nothing found in $(cd "$DIST" && echo ${PACKAGE}_*.deb)"

contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$'; }
contents "$DEB" > "$WORK/contents"
# The other architectures' packages: named for the architecture they say,
# the same files, programs for that machine, and libevdev2 (--joystick)
# among what they depend on.
declare -A MACHINE=([arm64]="ARM aarch64" [armhf]="ARM, EABI5.*ld-linux-armhf")
for deb in "$DIST"/${PACKAGE}_*.deb; do
    [ "$deb" != "$DEB" ] || continue
    arch=$(dpkg-deb -f "$deb" Architecture)
    [ "$(basename "$deb")" = "${PACKAGE}_${VERSION}_$arch.deb" ] || fail "$(basename "$deb") says Architecture: $arch"
    [ -n "${MACHINE[$arch]:-}" ] || fail "$(basename "$deb"): no check for architecture $arch"
    contents "$deb" | cmp -s - "$WORK/contents" || fail "$(basename "$deb") holds other files than $(basename "$DEB")"
    rm -rf "$WORK/$arch" && dpkg-deb -x "$deb" "$WORK/$arch"
    for program in dorqin-relay dorqin-listen dorqin-boxsim dorqin-serve; do
        file -b "$WORK/$arch/usr/bin/$program" | grep -q "^ELF .*, ${MACHINE[$arch]}" ||
            fail "$(basename "$deb"): $program is $(file -b "$WORK/$arch/usr/bin/$program")"
    done
    dpkg-deb -f "$deb" Depends | grep -q 'libevdev2' || fail "$(basename "$deb") does not depend on libevdev2"
    log "$arch: $(basename "$deb") holds the same files, its programs for $arch"
done
grep -v -e '^/usr$' -e '^/usr/bin$' -e '^/usr/lib$' -e '^/usr/share$' \
    -e '^/usr/share/doc$' -e '^/usr/share/man$' -e '^/usr/share/man/man1$' \
    -e '^/usr/lib/udev$' -e '^/usr/lib/udev/rules.d$' \
    -e '^/usr/lib/systemd$' -e '^/usr/lib/systemd/system$' \
    -e '^/usr/share/lintian$' -e '^/usr/share/lintian/overrides$' "$WORK/contents" > "$WORK/own"

# A package left over from an interrupted run goes first.
if dpkg -s "$PACKAGE" >/dev/null 2>&1; then
    log "removing a $PACKAGE installed before this check"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "$PACKAGE" >/dev/null
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$DEB" > "$WORK/install.log" 2>&1 ||
    { cat "$WORK/install.log" >&2; fail "apt-get install"; }
removed=0
remove() {
    [ "$removed" = 1 ] && return 0
    removed=1
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "$PACKAGE" > "$WORK/remove.log" 2>&1
}
trap 'remove || true; rm -rf "$WORK"' EXIT
log "installed $(dpkg-query -W -f '${Package} ${Version}' "$PACKAGE")"

for program in dorqin-relay dorqin-listen dorqin-boxsim dorqin-serve; do
    [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not /usr/bin/$program"
    page=$(man -w "$program" 2>/dev/null) || fail "man finds no page for $program"
    [ "$page" = "/usr/share/man/man1/$program.1.gz" ] || fail "man $program finds $page"
    warnings=$(man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man page $program(1) renders with warnings: $warnings"
done
log "man: the four pages are found and render without warnings"
for program in dorqin-listen dorqin-boxsim dorqin-serve; do
    [ "$("$program" --version)" = "$program $VERSION" ] || fail "$program --version: $("$program" --version)"
done
log "--version: dorqin-listen, dorqin-boxsim and dorqin-serve name $VERSION"
grep -q "^License: Expat$" /usr/share/doc/$PACKAGE/copyright &&
    grep -q "^ Permission is hereby granted, free of charge" /usr/share/doc/$PACKAGE/copyright ||
    fail "/usr/share/doc/$PACKAGE/copyright does not hold the MIT licence"
RULE=/usr/lib/udev/rules.d/70-dorqin-box.rules
cmp -s "$RULE" tools/udev/70-dorqin-box.rules || fail "the udev rule is not at $RULE"
log "udev rule in place at $RULE"
# The rule for /dev/uinput only as an example, for the owner to opt in to.
EXAMPLE=/usr/share/doc/$PACKAGE/examples/70-dorqin-uinput.rules
cmp -s "$EXAMPLE" tools/udev/70-dorqin-uinput.rules || fail "the uinput rule is not at $EXAMPLE"
[ ! -e /usr/lib/udev/rules.d/70-dorqin-uinput.rules ] || fail "the uinput rule is installed as a rule"
# dorqin-listen --joystick links libevdev: shlibdeps must have said so.
dpkg-query -W -f '${Depends}' "$PACKAGE" | grep -q 'libevdev2' ||
    fail "the package does not depend on libevdev2: $(dpkg-query -W -f '${Depends}' "$PACKAGE")"
log "uinput rule as an example at $EXAMPLE; depends on libevdev2"

# The service: installed, off, its user made by the package and given the
# box's node by the rule; systemd finds nothing to say about the unit.
UNIT=/usr/lib/systemd/system/dorqin-serve.service
cmp -s "$UNIT" tools/systemd/dorqin-serve.service || fail "the service is not at $UNIT"
[ ! -e /etc/systemd/system/multi-user.target.wants/dorqin-serve.service ] ||
    fail "the package enabled dorqin-serve.service"
getent passwd dorqin > /dev/null && getent group dorqin > /dev/null ||
    fail "the package made no user and group dorqin"
[ "$(id -u dorqin)" -lt 1000 ] || fail "dorqin is not a system user: uid $(id -u dorqin)"
grep -q 'GROUP="dorqin", MODE="0660"' "$RULE" || fail "the udev rule gives the node no group"
verify=$(systemd-analyze verify "$UNIT" 2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify says: $verify"
exposure=$(systemd-analyze security --offline=true "$UNIT" 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
log "service: installed and off, user dorqin, systemd-analyze verify clean, exposure ${exposure:-?}"

# The maintainer scripts reload udev only where it runs. This machine has
# no udev, so each script runs twice in a mount namespace of its own with a
# udevadm that only logs its calls: with no /run/udev/control it must not
# call it, with that socket there it must reload the rules and re-trigger
# hidraw devices.
maintainer_script_calls() {  # SCRIPT ARG WITH_SOCKET
    unshare --mount -- sh -c '
        set -e
        mount -t tmpfs tmpfs /run
        mkdir -p /run/fakebin
        printf "#!/bin/sh\necho \"\$*\" >> /run/udevadm.log\n" > /run/fakebin/udevadm
        chmod 755 /run/fakebin/udevadm
        if [ "$3" = 1 ]; then
            mkdir -p /run/udev
            python3 -c "import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])" /run/udev/control
        fi
        PATH=/run/fakebin:$PATH "$1" "$2"
        cat /run/udevadm.log 2>/dev/null || true' sh "$@"
}
if unshare --mount true 2>/dev/null && command -v python3 >/dev/null; then
    for script in postinst:configure postrm:remove; do
        file=/var/lib/dpkg/info/$PACKAGE.${script%%:*}
        [ -x "$file" ] || fail "no executable $file"
        calls=$(maintainer_script_calls "$file" "${script#*:}" 0) || fail "$script failed without udev"
        [ -z "$calls" ] || fail "$script called udevadm where udev does not run: $calls"
        calls=$(maintainer_script_calls "$file" "${script#*:}" 1) || fail "$script failed with udev"
        [ "$calls" = "control --reload-rules
trigger --subsystem-match=hidraw --action=change" ] || fail "$script with udev running called: $calls"
    done
    log "maintainer scripts: udev reloaded where it runs, left alone where it does not"
else
    log "no mount namespace here: the maintainer scripts' udev calls are not checked"
fi

# The installed relay through the same whole run as the black-box tests:
# a client is greeted, the box is missing, Enter ends the run with status 1.
TEST=Relay.AClientWithNoBoxIsGreetedAndTheRunEndsNormally
DORQIN_RELAY_COMMAND=/usr/bin/dorqin-relay "$BUILD/tests/dorqin-blackbox-tests" \
    --gtest_filter="$TEST" > "$WORK/run.log" 2>&1 || { cat "$WORK/run.log" >&2; fail "$TEST"; }
grep -q '^\[  PASSED  \] 1 test' "$WORK/run.log" || { cat "$WORK/run.log" >&2; fail "$TEST did not run"; }
log "installed relay: $TEST passed"

# Removing takes every file away (there are no configuration files to
# keep); purging then makes dpkg forget the package, postrm included.
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q "$PACKAGE" > "$WORK/remove.log" 2>&1 ||
    { cat "$WORK/remove.log" >&2; fail "apt-get remove"; }
left=0
while read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then
        log "left behind: $path"
        left=1
    fi
done < "$WORK/own"
[ "$left" = 0 ] || fail "files of $PACKAGE are left after apt-get remove"
remove || { cat "$WORK/remove.log" >&2; fail "apt-get purge"; }
dpkg -s "$PACKAGE" >/dev/null 2>&1 && fail "$PACKAGE is still known to dpkg after the purge"
getent passwd dorqin > /dev/null && fail "the user dorqin is still there after the purge"
log "removed: none of its $(wc -l < "$WORK/own") files and folders is left, and dpkg forgot it"
log "passed"

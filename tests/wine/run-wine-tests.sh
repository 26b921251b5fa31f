#!/usr/bin/env bash
# Builds dorqin-relay.exe for 32-bit Windows and runs the black-box tests
# against it under Wine, with the same expected bytes and console text as
# the native run.
#
#   tests/wine/run-wine-tests.sh NATIVE_BUILD_DIR [WINDOWS_BUILD_DIR]
#
# NATIVE_BUILD_DIR holds the native dorqin-blackbox-tests (./dev builds it);
# WINDOWS_BUILD_DIR defaults to build-windows. Needs g++-mingw-w64-i686, wine
# and wine32:i386 (./dev test installs them).
set -euo pipefail

SELF=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
NATIVE=$(cd "${1:?usage: run-wine-tests.sh NATIVE_BUILD_DIR [WINDOWS_BUILD_DIR]}" && pwd)
WINBUILD=${2:-build-windows}
case "$WINBUILD" in /*) ;; *) WINBUILD=$PWD/$WINBUILD ;; esac
cd "$(dirname "$SELF")/../.."

log() { echo "wine-tests: $*" >&2; }

# First the build, then the rest of this script again in a network namespace.
if [ "${DORQIN_WINE_INSIDE:-}" != 1 ]; then
    START=$(date +%s)
    cmake --preset windows -B "$WINBUILD" -DBUILD_TESTING=ON -DDORQIN_WERROR=ON >/dev/null
    cmake --build "$WINBUILD" -j "$(nproc)"
    # One self-contained file: without -static the .exe needs mingw's
    # runtime DLLs and, where they are missing, dies before main prints.
    if i686-w64-mingw32-objdump -p "$WINBUILD/dorqin-relay.exe" |
        grep -iE "DLL Name: (libgcc|libstdc|libwinpthread)"; then
        log "dorqin-relay.exe depends on mingw runtime DLLs"
        exit 1
    fi

    # Sockets of a Wine program are made by wineserver, so the relay's port
    # 5003 lives in wineserver's network namespace. The whole run, wineserver
    # included, goes into one namespace of its own with loopback up; the
    # tests inside must not make another.
    # Nor another mount namespace per relay: Wine's device services would
    # not share it, and its HID stack never sees a fake hidraw tree anyway.
    export DORQIN_WINE_INSIDE=1 DORQIN_NO_NETNS=1 DORQIN_NO_DEVNS=1
    if unshare --net true 2>/dev/null; then
        log "running in a network namespace of its own"
        DORQIN_WINE_NETNS=1 unshare --net -- "$SELF" "$NATIVE" "$WINBUILD"
    else
        log "no network namespace; using the host's port 5003"
        "$SELF" "$NATIVE" "$WINBUILD"
    fi
    log "done in $(( $(date +%s) - START )) s"
    exit 0
fi

if [ "${DORQIN_WINE_NETNS:-}" = 1 ]; then
    ip link set lo up || { log "cannot bring up loopback in the namespace"; exit 1; }
fi

# One fresh prefix per run, under the build tree; no Mono or Gecko prompts
# (a console program needs neither) and no debug chatter.
export WINEPREFIX=$WINBUILD/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32
rm -rf "$WINEPREFIX"
# The prefix is over half a gigabyte; a failed run can keep it with
# DORQIN_KEEP_WINEPREFIX=1 for a look inside.
cleanup() {
    wineserver -k 2>/dev/null || true
    timeout 30 wineserver -w 2>/dev/null || true
    if [ -z "${DORQIN_KEEP_WINEPREFIX:-}" ]; then rm -rf "$WINEPREFIX"; fi
}
trap cleanup EXIT

T0=$(date +%s%N)
timeout 120 wineboot -i >/dev/null 2>&1 || true
timeout 60 wineserver -w
log "fresh prefix in $(( ($(date +%s%N) - T0) / 1000000 )) ms"

# One server for the whole run. Left to itself, wineserver exits a second
# or two after the last program; the next start then boots Wine again, with
# wineboot.exe in that relay's process group, where a test that kills the
# relay would kill Wine's start-up with it.
wineserver -p

EXE=$WINBUILD/dorqin-relay.exe
# Platform facts the relay relies on, checked against the real Win32 DLLs.
# Being the first program on the server, it also brings up Wine's services.
timeout 60 wine "$WINBUILD/tests/wine/win32-facts.exe"

# Wine starts in well under a second once the prefix exists; the scale
# only covers a slow, shared CI machine.
export DORQIN_RELAY_COMMAND="wine $EXE"
export DORQIN_TIMEOUT_SCALE=${DORQIN_TIMEOUT_SCALE:-3}
# The tests that show the relay a fake box skip themselves: with
# DORQIN_NO_DEVNS set it sees this machine's devices, and under Wine the box
# is never found.
timeout 300 "$NATIVE/tests/dorqin-blackbox-tests" --gtest_color=no

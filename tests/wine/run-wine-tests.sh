#!/usr/bin/env bash
# Builds dorqin-relay.exe, dorqin-listen.exe and dorqin-serve.exe for 32-bit
# Windows and runs the black-box tests against the relay under Wine, with
# the same expected bytes and console text as the native run, then
# dorqin-listen.exe beside the native dorqin-listen on the same streams,
# then dorqin-serve.exe as a service and in a console.
#
#   tests/wine/run-wine-tests.sh NATIVE_BUILD_DIR [WINDOWS_BUILD_DIR]
#
# NATIVE_BUILD_DIR holds the native dorqin-blackbox-tests and
# dorqin-tools-tests (./dev builds them);
# WINDOWS_BUILD_DIR defaults to build-windows. Needs g++-mingw-w64-i686, wine
# and wine32:i386 (./dev test installs them).
#
# Wine runs a 32-bit .exe as a 32-bit Linux process, which some kernels
# refuse ("Exec format error"). Whether this one does is found out by
# running a tiny 32-bit program. Where it runs, the tests run under this
# host's Wine; where it does not, they run under the same Wine inside the
# test guest of tests/vm/guest.sh, whose kernel runs 32-bit programs
# (also needs qemu-system-x86, busybox-static and cpio). The branch taken
# is printed. DORQIN_HOST_RUNS_I386=yes or =no overrides the finding.
set -euo pipefail

SELF=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
NATIVE=$(cd "${1:?usage: run-wine-tests.sh NATIVE_BUILD_DIR [WINDOWS_BUILD_DIR]}" && pwd)
WINBUILD=${2:-build-windows}
case "$WINBUILD" in /*) ;; *) WINBUILD=$PWD/$WINBUILD ;; esac
cd "$(dirname "$SELF")/../.."

log() { echo "wine-tests: $*" >&2; }

# Runs a 32-bit x86 program made on the spot with binutils (it only calls
# exit). True when this kernel ran it.
host_runs_i386() {
    case "${DORQIN_HOST_RUNS_I386:-}" in
    yes) log "32-bit programs: taken to run (DORQIN_HOST_RUNS_I386=yes)"; return 0 ;;
    no) log "32-bit programs: taken not to run (DORQIN_HOST_RUNS_I386=no)"; return 1 ;;
    esac
    local dir=$WINBUILD/i386-probe status
    mkdir -p "$dir"
    printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' > "$dir/probe.s"
    as --32 -o "$dir/probe.o" "$dir/probe.s" && ld -m elf_i386 -o "$dir/probe" "$dir/probe.o" ||
        { log "cannot make the 32-bit probe (binutils)"; exit 1; }
    set +e
    "$dir/probe" 2> "$dir/probe.err"
    status=$?
    set -e
    if [ "$status" = 0 ]; then
        log "32-bit programs: this kernel runs them (probe exited 0)"
        return 0
    fi
    log "32-bit programs: this kernel refuses them (probe: status $status, $(tail -n 1 "$dir/probe.err"))"
    return 1
}

# The tests inside the test guest: the prefix is made here, the guest
# runs the rest of this script (tests/wine/in-guest.sh).
run_in_guest() {
    local cache=$NATIVE/vm-cache work=$WINBUILD/guest config status
    local prefix
    prefix=$(bash "$(dirname "$SELF")/make-prefix.sh" "$cache")
    config=$WINBUILD/guest.conf
    {
        printf 'NATIVE=%q\n' "$NATIVE"
        printf 'WINBUILD=%q\n' "$WINBUILD"
        printf 'PREFIX=%q\n' "$prefix"
        # Wine under TCG starts a relay in about a second, not 20 ms.
        printf 'SCALE=%q\n' "${DORQIN_GUEST_TIMEOUT_SCALE:-10}"
    } > "$config"
    log "booting the test guest"
    set +e
    bash "$(dirname "$SELF")/../vm/guest.sh" "$work" "$cache" "${DORQIN_GUEST_TIMEOUT:-900}" \
        "$(dirname "$SELF")/in-guest.sh" "$config"
    status=$?
    set -e
    local serial=$work/serial.log
    # The guest's own output, without the kernel's last words.
    grep -av '^\[ *[0-9.]*\] ' "$serial" >&2 || true
    [ "$status" = 0 ] || { log "qemu ended with status $status"; return 1; }
    grep -aqx '===== WINE TESTS STATUS 0 =====' "$serial" ||
        { log "the tests in the guest failed (serial log: $serial)"; return 1; }
}

# First the build, then the rest of this script again in a network
# namespace, or in the test guest.
if [ "${DORQIN_WINE_INSIDE:-}" != 1 ]; then
    START=$(date +%s)
    cmake --preset windows -B "$WINBUILD" -DBUILD_TESTING=ON -DDORQIN_WERROR=ON >/dev/null
    cmake --build "$WINBUILD" -j "$(nproc)"
    # One self-contained file each: without -static an .exe needs mingw's
    # runtime DLLs and, where they are missing, dies before main prints.
    for exe in dorqin-relay.exe tools/dorqin-listen.exe tools/dorqin-serve.exe; do
        if i686-w64-mingw32-objdump -p "$WINBUILD/$exe" |
            grep -iE "DLL Name: (libgcc|libstdc|libwinpthread)"; then
            log "$exe depends on mingw runtime DLLs"
            exit 1
        fi
    done

    if ! host_runs_i386; then
        log "so the tests run under Wine inside the test guest (tests/vm/guest.sh)"
        run_in_guest
        log "done in $(( $(date +%s) - START )) s"
        exit 0
    fi
    log "so the tests run under this host's Wine"

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

# No Mono or Gecko prompts (a console program needs neither) and no debug
# chatter.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -n "${DORQIN_WINE_PREFIX:-}" ]; then
    # In the test guest: the prefix made by make-prefix.sh, whose changes
    # stay in the guest.
    export WINEPREFIX=$DORQIN_WINE_PREFIX
    unset WINEARCH
    cleanup() {
        wineserver -k 2>/dev/null || true
        timeout 30 wineserver -w 2>/dev/null || true
    }
    trap cleanup EXIT
else
    # One fresh prefix per run, under the build tree.
    export WINEPREFIX=$WINBUILD/wineprefix
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
    [ -f "$WINEPREFIX/system.reg" ] || { log "wineboot made no prefix in $WINEPREFIX"; exit 1; }
    log "fresh prefix in $(( ($(date +%s%N) - T0) / 1000000 )) ms"
fi

# One server for the whole run. Left to itself, wineserver exits a second
# or two after the last program; the next start then boots Wine again, with
# wineboot.exe in that relay's process group, where a test that kills the
# relay would kill Wine's start-up with it.
wineserver -p

EXE=$WINBUILD/dorqin-relay.exe
# Platform facts the relay relies on, checked against the real Win32 DLLs.
# Being the first program on the server, it also brings up Wine's services.
T0=$(date +%s%N)
timeout 300 wine "$WINBUILD/tests/wine/win32-facts.exe"
log "win32-facts.exe passed after $(( ($(date +%s%N) - T0) / 1000000 )) ms (Wine's start-up included)"

# Wine starts in well under a second once the prefix exists; the scale
# only covers a slow, shared CI machine (and is raised for the guest).
export DORQIN_RELAY_COMMAND="wine $EXE"
export DORQIN_TIMEOUT_SCALE=${DORQIN_TIMEOUT_SCALE:-3}
# The tests that show the relay a fake box skip themselves: with
# DORQIN_NO_DEVNS set it sees this machine's devices, and under Wine the box
# is never found.
timeout "${DORQIN_BLACKBOX_TIMEOUT:-300}" "$NATIVE/tests/dorqin-blackbox-tests" --gtest_color=no

# dorqin-listen.exe beside the native dorqin-listen, both served the same
# scripted streams: the same lines, messages and exit statuses, also with
# --reconnect across a relay that ends and comes back.
DORQIN_LISTEN_COMMAND="wine $WINBUILD/tools/dorqin-listen.exe" \
    timeout "${DORQIN_BLACKBOX_TIMEOUT:-300}" "$NATIVE/tests/dorqin-tools-tests" \
    --gtest_filter='ListenAcrossClients.TheWindowsBuild*:ListenReconnect.TheWindowsBuild*' --gtest_color=no

# dorqin-serve.exe under Wine's Service Control Manager (install, net
# start, a client, net stop, remove) and in a console across clients,
# back-offs and its log (tests/serve_exe_test.cpp).
T0=$(date +%s%N)
DORQIN_WINDOWS_BUILD=$WINBUILD \
    timeout "${DORQIN_BLACKBOX_TIMEOUT:-300}" "$NATIVE/tests/dorqin-tools-tests" \
    --gtest_filter='ServeExe.*' --gtest_color=no
log "dorqin-serve.exe tests passed in $(( ($(date +%s%N) - T0) / 1000000 )) ms"

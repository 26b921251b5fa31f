#!/usr/bin/env bash
# End-to-end test on a real Linux HID stack, for both builds: boots
# Debian's stock kernel under qemu (TCG) on this host's own root (see
# ./guest.sh), and there runs every scenario twice, with the native
# dorqin-relay and with the 32-bit Windows dorqin-relay.exe under Wine
# (whose HID stack reaches the box through winebus' hidraw backend),
# against the same dorqin-boxsim script. What each printed is compared
# with ./expected/<scenario>.<section>, byte for byte, the same files for
# both builds.
#
# A program's output section ends with one line break added by the
# scenario script, so its expected file is the exact output plus one "\n"
# (no output at all is a file holding one empty line); the status section
# is plain lines.
#
# usage: run.sh SOURCE_DIR BUILD_DIR WORK_DIR CACHE_DIR
#   BUILD_DIR  the native build with dorqin-relay, tools/dorqin-listen and
#              tools/dorqin-boxsim
#   WORK_DIR   the Windows build, the guest's initramfs and serial log
#   CACHE_DIR  the kernel package and the Wine prefix, kept between runs
# DORQIN_VM_FLAVOURS="native windows" (the default) picks the builds,
# DORQIN_VM_SCENARIOS (default: all) the scenarios;
# DORQIN_VM_WAIT_SCALE (default 1) multiplies the guest's waits.
# DORQIN_VM_ARCH=arm64: BUILD is a cross build (arm64 or armhf) and the
# guest Debian's arm64 kernel (./guest-arm64.sh), with the native build only.
set -euo pipefail

SOURCE=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
WORK=$3
CACHE=$4
HERE=$(cd "$(dirname "$0")" && pwd)
QEMU_TIMEOUT=${DORQIN_VM_TIMEOUT:-720}
FLAVOURS=${DORQIN_VM_FLAVOURS:-native windows}
read -r -a SCENARIOS <<< "${DORQIN_VM_SCENARIOS:-reports unplug twin replay composite}"
SECTIONS=(relay-console listen-output status listen-stderr)

# Per scenario: the listener's options; a Game Pad twin of the box created
# before it (the relay must pass over it and open the box); the box
# unplugged after the events.
declare -A LISTEN_OPTIONS=([reports]="" [unplug]="--json" [twin]="" [replay]="" [composite]="")
declare -A TWIN=([twin]=1)
declare -A UNPLUG=([unplug]=1)
# A recording that dorqin-boxsim presents, as the box, instead of the box.
declare -A RECORDING=([replay]=replay.rec [composite]=composite.rec)
# Builds a scenario is for, where not both: Wine 8 offers a device as one
# HID device, not one per top-level collection, so the composite's
# Joystick collection, its third, is out of its reach.
declare -A FLAVOURS_OF=([composite]=native)

# runs_in FLAVOUR SCENARIO: whether the scenario is run with that build.
runs_in() { case " ${FLAVOURS_OF[$2]:-native windows} " in *" $1 "*) return 0 ;; esac; return 1; }

# What this machine must have, looked at before anything is written:
# skipped without it in a plain ctest run, failed under ./dev test.
# shellcheck source=../support/prerequisites.sh
. "$HERE/../support/prerequisites.sh"
# shellcheck source=serial-lib.sh
. "$HERE/serial-lib.sh"
GUEST=$HERE/guest.sh
if [ "${DORQIN_VM_ARCH:-amd64}" = arm64 ]; then
    GUEST=$HERE/guest-arm64.sh
    require_arm64_guest "$CACHE"
else
    require_guest "$CACHE"
fi
case " $FLAVOURS " in
*" windows "*)
    require_program i686-w64-mingw32-g++ g++-mingw-w64-i686
    require_wine
    require_program udevadm udev  # Wine's HID bus in the guest takes its boxes from udev
    ;;
esac

mkdir -p "$WORK" "$CACHE"
WORK=$(cd "$WORK" && pwd)
CACHE=$(cd "$CACHE" && pwd)

# What the test saw also goes to WORK/summary, for ./dev to show: CTest
# keeps a passing test's output to itself.
SUMMARY=$WORK/summary
: > "$SUMMARY"
fail() { echo "vm test: $*" | tee -a "$SUMMARY" >&2; exit 1; }
step() { echo "vm test: $* ($(( $(date +%s) - START ))s)" | tee -a "$SUMMARY"; }
START=$(date +%s)

for program in dorqin-relay tools/dorqin-listen tools/dorqin-boxsim; do
    [ -x "$BUILD/$program" ] || fail "$BUILD/$program is missing; build first"
done

# ---- The Windows build and its Wine prefix ----
exe=
case " $FLAVOURS " in
*" windows "*)
    step "building dorqin-relay.exe"
    cmake --preset windows -S "$SOURCE" -B "$WORK/windows" -DDORQIN_WERROR=ON >/dev/null
    cmake --build "$WORK/windows" -j 2 --target dorqin-relay > "$WORK/windows-build.log" 2>&1 ||
        { tail -n 30 "$WORK/windows-build.log" >&2; fail "the Windows build failed"; }
    exe=$WORK/windows/dorqin-relay.exe
    step "the Wine prefix"
    prefix=$(bash "$SOURCE/tests/wine/make-prefix.sh" "$CACHE")
    ;;
esac

# ---- What the guest runs ----
scenario_dir=$WORK/scenarios
rm -rf "$scenario_dir"
mkdir -p "$scenario_dir"
runs=
for flavour in $FLAVOURS; do
    for scenario in "${SCENARIOS[@]}"; do
        runs_in "$flavour" "$scenario" && runs="$runs $flavour:$scenario"
    done
done
[ -n "$runs" ] || fail "no scenario of \"${SCENARIOS[*]}\" runs with: $FLAVOURS"
for scenario in "${SCENARIOS[@]}"; do
    [ -f "$HERE/scenarios/$scenario.box" ] || fail "no scenario $scenario"
    cp "$HERE/scenarios/$scenario.box" "$scenario_dir/"
    # How many events to wait for before Enter: one listener line each.
    grep -c . "$HERE/expected/$scenario.listen-output" > "$scenario_dir/$scenario.events"
    echo "${LISTEN_OPTIONS[$scenario]}" > "$scenario_dir/$scenario.options"
    [ -z "${TWIN[$scenario]:-}" ] || touch "$scenario_dir/$scenario.twin"
    [ -z "${UNPLUG[$scenario]:-}" ] || touch "$scenario_dir/$scenario.unplug"
    if [ -n "${RECORDING[$scenario]:-}" ]; then
        cp "$HERE/scenarios/${RECORDING[$scenario]}" "$scenario_dir/"
        # The guest's root is this host's: the path holds there too.
        echo "--replay $scenario_dir/${RECORDING[$scenario]}" > "$scenario_dir/$scenario.boxsim"
    fi
done
config=$WORK/guest.conf
{
    printf 'NATIVE_BIN=%q\n' "$BUILD"
    printf 'RELAY_EXE=%q\n' "$exe"
    printf 'WINE_PREFIX=%q\n' "${prefix:-}"
    printf 'SCENARIO_DIR=%q\n' "$scenario_dir"
    printf 'RUNS=%q\n' "$runs"
    printf 'WAIT_SCALE=%q\n' "${DORQIN_VM_WAIT_SCALE:-1}"
} > "$config"

# ---- Boot ----
step "booting the guest for:$runs"
boot_start=$(date +%s)
set +e
DORQIN_GUEST_FILES="$BUILD/dorqin-relay $BUILD/tools/dorqin-listen $BUILD/tools/dorqin-boxsim $scenario_dir" \
    bash "$GUEST" "$WORK/guest" "$CACHE" "$QEMU_TIMEOUT" "$HERE/scenarios.sh" "$config"
qemu_status=$?
set -e
step "qemu ended with status $qemu_status after $(( $(date +%s) - boot_start ))s"
serial=$WORK/guest/serial.log
[ -s "$serial" ] || fail "no serial output"
grep -a '^vm: ' "$serial" >&2 || true
grep -aq '^===== VM DONE =====$' "$serial" ||
    { tail -n 40 "$serial" >&2; fail "the VM did not finish its scenarios (serial log: $serial)"; }

# extract NAME: section NAME of the serial log, on standard output
extract() { serial_section "$serial" "$1"; }

# ---- Compare ----
failed=0
for flavour in $FLAVOURS; do
    for scenario in "${SCENARIOS[@]}"; do
        runs_in "$flavour" "$scenario" || continue
        extract "$flavour $scenario paths" | sed 's/^/vm test: /' | tee -a "$SUMMARY" || true
        bad=0
        for section in "${SECTIONS[@]}"; do
            name="$flavour $scenario $section"
            got="$WORK/got.$flavour.$scenario.$section"
            extract "$name" > "$got" ||
                { echo "vm test: section \"$name\" missing" >&2; bad=1; continue; }
            same_as_expected "vm test" "$name" "$HERE/expected/$scenario.$section" "$got" || bad=1
        done
        if [ "$bad" != 0 ]; then
            failed=1
            for extra in relay-stderr boxsim-stderr twin-stderr wine-stderr; do
                extract "$flavour $scenario $extra" > "$WORK/got.$flavour.$scenario.$extra" || continue
                echo "--- $flavour $scenario $extra (last 30 lines):" >&2
                tail -n 30 "$WORK/got.$flavour.$scenario.$extra" >&2
            done
        fi
    done
done
[ "$failed" = 0 ] || fail "output differs from tests/vm/expected (serial log: $serial)"
step "all sections as expected for: $FLAVOURS"

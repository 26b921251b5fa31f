#!/usr/bin/env bash
# Runs dorqin-hiddiff against Wine's HID parser in the Wine prefix that the
# Windows tests share (tests/wine/make-prefix.sh makes it once).
#   run.sh DORQIN_HIDDIFF HIDDIFF_WINE_EXE CACHE_DIR [dorqin-hiddiff options...]
set -euo pipefail
tool=$1 exe=$2 cache=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
# Without Wine or the cross compiler: skipped in a plain ctest run, failed
# under ./dev test.
# shellcheck source=../support/prerequisites.sh
. "$here/../support/prerequisites.sh"
[ -f "$exe" ] || missing_prerequisite "$exe (Debian package gcc-mingw-w64-x86-64, then build again)"
require_wine
# A sanitized build may share the plain build's prefix (695 MB) instead.
prefix=$(bash "$here/../wine/make-prefix.sh" "${DORQIN_WINE_CACHE:-$cache}")
exec "$tool" --wine-exe "$exe" --prefix "$prefix" "$@"

# Sourced by the test scripts that CTest runs. A test whose prerequisite is
# missing ends with status 77, which CTest counts as skipped (the tests'
# SKIP_RETURN_CODE), and says what is missing; where the run asks for
# everything (./dev test, and so CI, set DORQIN_REQUIRE_PREREQUISITES) it
# fails instead, so that nothing is skipped silently there. The C++ tests
# do the same through prerequisite.h.

missing_prerequisite() {
    if [ -n "${DORQIN_REQUIRE_PREREQUISITES:-}" ] && [ "$DORQIN_REQUIRE_PREREQUISITES" != 0 ]; then
        echo "prerequisite missing, and DORQIN_REQUIRE_PREREQUISITES is set: $*" >&2
        exit 1
    fi
    echo "prerequisite missing: $*" >&2
    # For the list CTest shows after the run (DORQIN_TEST_NAME: the CTest name).
    [ -z "${DORQIN_SKIPPED_LIST:-}" ] ||
        echo "${DORQIN_TEST_NAME:-$0}: $*" >> "$DORQIN_SKIPPED_LIST" 2>/dev/null || true
    exit 77
}

# require_program PROGRAM PACKAGE: PROGRAM on the PATH (or an absolute path).
require_program() {
    command -v "$1" >/dev/null || missing_prerequisite "$1 (Debian package $2)"
}

# require_package PACKAGE [WHY]: an installed Debian package.
require_package() {
    dpkg-query -W -f '${Status}' "$1" 2>/dev/null | grep -q ' installed$' ||
        missing_prerequisite "the Debian package $1${2:+ ($2)}"
}

# The test guest of tests/vm/guest.sh: qemu, the initramfs' makings and the
# kernel package, which ./dev test puts into CACHE_DIR beforehand (a test
# never fetches anything).
require_guest() {  # CACHE_DIR
    require_program qemu-system-x86_64 qemu-system-x86
    require_program cpio cpio
    require_program dpkg-deb dpkg
    require_program gzip gzip
    require_program depmod kmod
    # The initramfs has no libc: busybox must be the static build.
    require_package busybox-static "the guest's /init"
    ls "$1"/linux-image-*-amd64_*_amd64.deb >/dev/null 2>&1 ||
        missing_prerequisite "Debian's kernel package (linux-image-*-amd64_*.deb) in $1 for" \
            "the test guest; ./dev test fetches it there before the tests run"
}

# What tests/wine/make-prefix.sh needs to make the Wine prefix.
require_wine() {
    require_program /usr/lib/wine/wine64 wine64
    require_program /usr/lib/wine/wineserver wine64
    [ -d /usr/lib/i386-linux-gnu/wine/i386-windows ] ||
        missing_prerequisite "Wine's 32-bit half (Debian package wine32:i386)"
}

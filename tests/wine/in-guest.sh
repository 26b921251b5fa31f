# Runs inside the test guest (tests/vm/guest.sh, as bash in-guest.sh
# CONFIG): the Wine half of run-wine-tests.sh, on the guest's kernel, with
# the prefix that make-prefix.sh made on the host. CONFIG assigns NATIVE,
# WINBUILD, PREFIX and SCALE. The guest is a network of its own, so no
# namespace is made; its loopback is up.
# shellcheck disable=SC1090
. "$1"
export DORQIN_WINE_INSIDE=1 DORQIN_NO_NETNS=1 DORQIN_NO_DEVNS=1
export DORQIN_WINE_PREFIX=$PREFIX DORQIN_TIMEOUT_SCALE=$SCALE DORQIN_BLACKBOX_TIMEOUT=780
bash "$(dirname "$0")/run-wine-tests.sh" "$NATIVE" "$WINBUILD"
echo "===== WINE TESTS STATUS $? ====="

#!/usr/bin/env bash
# The quick start as a new user meets it: a minimal Debian 12 root made
# with debootstrap, a clone of the committed tree (HEAD, not the work
# tree) in it, and there, chrooted with /proc, /sys and /dev bound in, the
# README's two commands: `./dev run`, driven by a client that must be
# greeted, then `./dev test` as CI runs it (no standard input). Finds what
# ./dev forgets to install. The root is removed at the end, after a
# failure too.
#
#   tests/fresh/run.sh        (./dev fresh; root)
#
# DORQIN_FRESH_DIR (default /var/tmp) holds the root while it runs; the
# logs stay in DORQIN_FRESH_LOGS (default build-fresh/ in this tree);
# DORQIN_FRESH_MIRROR (default http://deb.debian.org/debian) is where
# debootstrap and apt fetch from; DORQIN_FRESH_RUN_TIMEOUT (default 2400 s:
# packages and the whole build) bounds `./dev run` until the relay listens,
# DORQIN_FRESH_TEST_TIMEOUT (default 5400 s, CI's limit) `./dev test`.
set -euo pipefail
SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
MIRROR=${DORQIN_FRESH_MIRROR:-http://deb.debian.org/debian}
RUN_TIMEOUT=${DORQIN_FRESH_RUN_TIMEOUT:-2400}
TEST_TIMEOUT=${DORQIN_FRESH_TEST_TIMEOUT:-5400}

log() { echo "fresh: $*" >&2; }
fail() { log "FAILED: $*"; exit 1; }

[ "$(id -u)" = 0 ] || fail "needs root (debootstrap, chroot, mounts)"
# Every mount below lives in a mount namespace of this script's own, so
# none outlives it even if it is killed before its cleanup.
if [ "${DORQIN_FRESH_INSIDE:-}" != 1 ]; then
    DORQIN_FRESH_INSIDE=1 exec unshare --mount --propagation private -- bash "$0" "$@"
fi

START=$SECONDS
commit=$(git -C "$SOURCE" rev-parse HEAD)
[ -z "$(git -C "$SOURCE" status --porcelain --untracked-files=no)" ] ||
    log "the work tree has uncommitted changes; they are not part of this check"
WORK=$(mktemp -d "${DORQIN_FRESH_DIR:-/var/tmp}/dorqin-fresh.XXXXXX")
ROOT=$WORK/root
LOGS=${DORQIN_FRESH_LOGS:-$SOURCE/build-fresh}
rm -rf "$LOGS"
mkdir -p "$LOGS"
LOGS=$(cd "$LOGS" && pwd)
TREE=/root/dorqin-relay

# Processes still running in the root (a relay, qemu) go first, then the
# mounts, then the files; rm stays on the root's own file system, so a
# mount that would not go is never walked into.
cleanup() {
    local status=$? entry
    for entry in /proc/[0-9]*; do
        [ "$(readlink "$entry/root" 2>/dev/null)" = "$ROOT" ] && kill -9 "${entry#/proc/}" 2>/dev/null
    done
    sleep 1
    if mountpoint -q "$ROOT"; then
        umount -R "$ROOT" 2>/dev/null || umount -R -l "$ROOT"
    fi
    if findmnt -rn -o TARGET | grep -q "^$WORK"; then
        log "mounts under $WORK are left; not removing it"
    else
        rm -rf --one-file-system "$WORK"
        log "removed $WORK"
    fi
    log "$([ "$status" = 0 ] && echo passed || echo "FAILED (status $status)") in $((SECONDS - START)) s; logs in $LOGS"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- The root ----
log "debootstrap (minbase) into $ROOT from $MIRROR"
t=$SECONDS
debootstrap --variant=minbase bookworm "$ROOT" "$MIRROR" > "$LOGS/debootstrap.log" 2>&1 ||
    { tail -n 20 "$LOGS/debootstrap.log" >&2; fail "debootstrap"; }
log "root made in $((SECONDS - t)) s ($(chroot "$ROOT" dpkg-query -f '.\n' -W | wc -l) packages)"
# The suites of a fresh machine of our kind: the release, its updates and
# security updates.
rm -f "$ROOT/etc/apt/sources.list"
cat > "$ROOT/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $MIRROR
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: ${MIRROR%/debian}/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"

# The root is a mount point of its own, as a machine's root is: the tests'
# mount namespaces make "/" private, which needs one.
mount --bind "$ROOT" "$ROOT"
for fs in proc sys dev; do
    mount --rbind "/$fs" "$ROOT/$fs"
done

git clone -q --no-checkout "$SOURCE" "$ROOT$TREE"
git -C "$ROOT$TREE" -c advice.detachedHead=false checkout -q "$commit"
log "cloned $commit into $TREE"

# A command line in the tree, in the root, with a clean environment:
#   "${IN_ROOT[@]}" "COMMAND"
IN_ROOT=(chroot "$ROOT" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8
         PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
         bash -c "cd $TREE && \$0" )

# ---- ./dev run: a client is greeted, then Enter ends the run ----
log "./dev run (installs, builds, starts the relay; up to $RUN_TIMEOUT s)"
t=$SECONDS
mkfifo "$WORK/relay.in"
exec 3<>"$WORK/relay.in"
"${IN_ROOT[@]}" "./dev run" < "$WORK/relay.in" > "$LOGS/run.log" 2>&1 3>&- &
run=$!
greeting_seen() {
    timeout 10 bash -c 'exec 5<>/dev/tcp/127.0.0.1/5003 && head -c 44 <&5' \
        > "$WORK/greeting" 2>/dev/null && [ -s "$WORK/greeting" ]
}
until greeting_seen; do
    kill -0 "$run" 2>/dev/null || { tail -n 30 "$LOGS/run.log" >&2; fail "./dev run ended before it listened"; }
    [ $((SECONDS - t)) -lt "$RUN_TIMEOUT" ] || { tail -n 30 "$LOGS/run.log" >&2; fail "no relay on port 5003 after $RUN_TIMEOUT s"; }
    sleep 5
done
expected=$WORK/greeting.expected
printf '<DORQIN TYP="5" ID="3" VALUE="1023" />\0\0\0\0\0\0' > "$expected"
cmp -s "$expected" "$WORK/greeting" ||
    { od -c "$WORK/greeting" | head -n 5 >&2; fail "the greeting is not the relay's 44 bytes"; }
log "greeted with the 44-byte greeting after $((SECONDS - t)) s"
# No box in the root: the relay says so and waits for Enter.
for _ in $(seq 100); do
    grep -q 'Die DORQIn Box konnte nicht initialisiert werden' "$LOGS/run.log" && break
    sleep 0.1
done
echo >&3
exec 3>&-
for _ in $(seq 300); do kill -0 "$run" 2>/dev/null || break; sleep 0.1; done
kill -0 "$run" 2>/dev/null && { kill -9 "$run"; fail "the relay did not end at Enter"; }
set +e
wait "$run"
status=$?
set -e
for text in 'Verbindung erhalten von: 127.0.0.1' 'Die DORQIn Box konnte nicht initialisiert werden' \
    'Eingabe abgeschlossen.'; do
    grep -qF "$text" "$LOGS/run.log" || { tail -n 30 "$LOGS/run.log" >&2; fail "./dev run did not say: $text"; }
done
[ "$status" = 1 ] || fail "./dev run ended with status $status, not the relay's 1"
log "./dev run: greeted its client, said the box is missing, ended at Enter with status 1"

# ---- ./dev test, as CI runs it ----
log "./dev test (up to $TEST_TIMEOUT s; output in $LOGS/test.log while it runs)"
t=$SECONDS
set +e
timeout "$TEST_TIMEOUT" "${IN_ROOT[@]}" "./dev test" < /dev/null > "$LOGS/test.log" 2>&1
status=$?
set -e
grep -E '^dev: |tests passed|tests failed|^\s+[0-9]+ - ' "$LOGS/test.log" >&2 || true
[ "$status" = 0 ] || { tail -n 60 "$LOGS/test.log" >&2; fail "./dev test ended with status $status"; }
log "./dev test passed in $((SECONDS - t)) s"

#!/usr/bin/env bash
# quorlen-cli compact and repair on copies of corpus files: in place, into a
# new file, several files at once; a file held by another process, a
# read-only folder, a full disk and a damaged file leave the user's file as it
# was and give the engine's error.
#
#   maintenance_cli_test.sh QUORLEN_CLI CORPUS_DIR      (exit 77: skipped)
set -uo pipefail

cli=${1:?quorlen-cli}
corpus=${2:?corpus dir}
sample="$corpus/jet4/indexTestV2000.mdb"
[ -f "$sample" ] || { echo "skipped: no corpus"; exit 77; }

work=$(mktemp -d /tmp/quorlen-maint-cli-XXXXXX)
cleanup() {
  mountpoint -q "$work/small" 2>/dev/null && umount "$work/small"
  chmod -R u+w "$work" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
fresh() { cp "$sample" "$1" && chmod 0644 "$1"; }
temporaries() { ls -A "$1" | grep -c '^\.quorlen-tmp-'; }

# In place: the file is replaced by a sound copy, its mode kept.
fresh "$work/a.mdb"
chmod 0604 "$work/a.mdb"
"$cli" compact "$work/a.mdb" >"$work/out" 2>"$work/err" || fail "compact in place: $(cat "$work/err")"
grep -q "^compacted $work/a.mdb: [0-9]* -> [0-9]* bytes" "$work/out" || fail "compact summary: $(cat "$work/out")"
"$cli" check "$work/a.mdb" >/dev/null || fail "the compacted file does not pass check"
[ "$(stat -c %a "$work/a.mdb")" = 604 ] || fail "mode not kept: $(stat -c %a "$work/a.mdb")"
[ "$(temporaries "$work")" = 0 ] || fail "temporary folder left after success"

# Repair in place, and into a new file that must not exist.
"$cli" repair "$work/a.mdb" >"$work/out" 2>"$work/err" || fail "repair in place: $(cat "$work/err")"
grep -q "^repaired $work/a.mdb" "$work/out" || fail "repair summary: $(cat "$work/out")"
"$cli" repair "$work/a.mdb" "$work/b.mdb" >/dev/null 2>"$work/err" || fail "repair to a new file: $(cat "$work/err")"
"$cli" check "$work/b.mdb" >/dev/null || fail "the repaired copy does not pass check"
cp "$work/b.mdb" "$work/b.before"
"$cli" repair "$work/a.mdb" "$work/b.mdb" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q "^error 3204: " "$work/err" || fail "existing destination: $(cat "$work/err")"
cmp -s "$work/b.mdb" "$work/b.before" || fail "an existing destination was changed"

# Several files: each on its own, a summary, exit 1 if any failed.
fresh "$work/c.mdb"
fresh "$work/d.mdb"
"$cli" compact --in-place "$work/c.mdb" "$work/missing.mdb" "$work/d.mdb" >"$work/out" 2>"$work/err"
[ $? = 1 ] || fail "--in-place with a missing file should exit 1"
grep -q "^error 3024: " "$work/err" || fail "missing file error: $(cat "$work/err")"
grep -q "^2 of 3 files compacted; 1 failed" "$work/out" || fail "summary: $(cat "$work/out")"
grep -q "not compacted: $work/missing.mdb" "$work/out" || fail "the failed file is not named"
"$cli" check "$work/d.mdb" >/dev/null || fail "the file after the failure was not compacted"
"$cli" repair --in-place "$work/c.mdb" "$work/d.mdb" >"$work/out" 2>&1 || fail "repair --in-place: $(cat "$work/out")"

# Held by another process: flock, a POSIX lock on the lock file, or open for
# writing. Exit 1, error 3356, the file unchanged.
fresh "$work/held.mdb"
cp "$work/held.mdb" "$work/held.before"
# hold KIND FILE: another process that keeps a lock of KIND until killed.
hold() {
  rm -f "$work/locked"
  python3 -c '
import fcntl, sys, time
f = open(sys.argv[2], "r+")
if sys.argv[1] == "flock":
    fcntl.flock(f, fcntl.LOCK_EX)
elif sys.argv[1] == "range":  # a byte range far past the end, as Windows programs lock
    fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 0x10000000)
open(sys.argv[3], "w").write("locked")
time.sleep(60)' "$1" "$2" "$work/locked" &
  holder=$!
  for _ in $(seq 50); do [ -s "$work/locked" ] && break; sleep 0.1; done
}
release() { kill "$holder"; wait "$holder" 2>/dev/null; }
for kind in flock range open; do
  hold "$kind" "$work/held.mdb"
  "$cli" compact "$work/held.mdb" >/dev/null 2>"$work/err"
  [ $? = 1 ] && grep -q "^error 3356: " "$work/err" || fail "$kind holder: $(cat "$work/err")"
  release
done
: >"$work/held.ldb"
hold range "$work/held.ldb"
"$cli" repair "$work/held.mdb" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q "^error 3356: .*held.ldb" "$work/err" || fail "locked .ldb: $(cat "$work/err")"
release
cmp -s "$work/held.mdb" "$work/held.before" || fail "a held file was changed"
"$cli" compact "$work/held.mdb" >/dev/null 2>"$work/err" || fail "a stale .ldb refused: $(cat "$work/err")"

# A symbolic link: its target is replaced, the link stays.
fresh "$work/target.mdb"
ln -s target.mdb "$work/link.mdb"
"$cli" compact "$work/link.mdb" >/dev/null 2>"$work/err" || fail "compact through a link: $(cat "$work/err")"
[ -L "$work/link.mdb" ] || fail "the link was replaced by a file"

# A damaged file: refused with its error number, untouched.
head -c 20000 "$sample" >"$work/broken.mdb"
cp "$work/broken.mdb" "$work/broken.before"
"$cli" repair "$work/broken.mdb" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q "^error [0-9]*: " "$work/err" || fail "damaged file: $(cat "$work/err")"
cmp -s "$work/broken.mdb" "$work/broken.before" || fail "a damaged file was changed"
[ "$(temporaries "$work")" = 0 ] || fail "temporary folder left after a failure"

# A read-only folder (as an ordinary user: root ignores permissions).
mkdir "$work/ro"
fresh "$work/ro/r.mdb"
chmod 0666 "$work/ro/r.mdb"
cp "$work/ro/r.mdb" "$work/r.before"
chmod 0555 "$work/ro"
chmod 0755 "$work"
as_user=()
if [ "$(id -u)" = 0 ]; then as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups); fi
"${as_user[@]}" "$cli" compact "$work/ro/r.mdb" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q "^error 3051: " "$work/err" || fail "read-only folder: $(cat "$work/err")"
cmp -s "$work/ro/r.mdb" "$work/r.before" || fail "a file in a read-only folder was changed"

# A full disk: a small file system with room for the file and little more.
if [ "$(id -u)" = 0 ] && mkdir "$work/small" && mount -t tmpfs -o size=320k tmpfs "$work/small" 2>/dev/null; then
  fresh "$work/small/full.mdb"
  "$cli" compact "$work/small/full.mdb" >/dev/null 2>"$work/err"
  [ $? = 1 ] && grep -q "^error 3026: " "$work/err" || fail "full disk: $(cat "$work/err")"
  cmp -s "$work/small/full.mdb" "$sample" || fail "a file on a full disk was changed"
  [ "$(temporaries "$work/small")" = 0 ] || fail "temporary folder left on a full disk"
  umount "$work/small"
else
  echo "note: full disk not tested (needs root and tmpfs)"
fi

[ "$failures" = 0 ] && echo PASS || exit 1

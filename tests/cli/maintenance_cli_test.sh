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

# Not a database at all: refused with its error number, untouched.
head -c 20000 /dev/urandom >"$work/broken.mdb"
cp "$work/broken.mdb" "$work/broken.before"
"$cli" repair "$work/broken.mdb" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q "^error [0-9]*: " "$work/err" || fail "not a database: $(cat "$work/err")"
cmp -s "$work/broken.mdb" "$work/broken.before" || fail "a file that is no database was changed"
[ "$(temporaries "$work")" = 0 ] || fail "temporary folder left after a failure"
[ "$(ls "$work" | grep -c 'broken\.\(damaged\|repair-report\)')" = 0 ] || fail "files left after a failed repair"

# Rows garbled on the fullest data page: repaired with losses (exit 4); the damaged
# original is kept beside, byte for byte, and the report names it.
mkdir "$work/lossy"
python3 - "$sample" "$work/lossy/l.mdb" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
rows = lambda p: int.from_bytes(data[p * 4096 + 12:p * 4096 + 14], "little")
page = max((p for p in range(1, len(data) // 4096) if data[p * 4096] == 1), key=rows)
for i in range(4096 - 600, 4096 - 300):
    data[page * 4096 + i] = 0xA5
open(sys.argv[2], "wb").write(data)
PY
cp "$work/lossy/l.mdb" "$work/l.before"
chmod 0640 "$work/lossy/l.mdb"
chown 65534:65534 "$work/lossy/l.mdb" 2>/dev/null || chgrp 65534 "$work/lossy/l.mdb" 2>/dev/null
"$cli" repair "$work/lossy/l.mdb" >"$work/out" 2>"$work/err"
[ $? = 4 ] || fail "repair with losses should exit 4: $(cat "$work/out" "$work/err")"
grep -q "^  [1-9][0-9]* rows\{0,1\} and [0-9]* values\{0,1\} could not be carried over, in the tables\{0,1\} " "$work/out" || fail "loss summary: $(cat "$work/out")"
kept=$(ls "$work/lossy" | grep '^l\.damaged-[0-9]\{8\}-[0-9]\{6\}\.mdb$')
report=$(ls "$work/lossy" | grep '^l\.repair-report-[0-9]\{8\}-[0-9]\{6\}\.json$')
[ -n "$kept" ] && cmp -s "$work/lossy/$kept" "$work/l.before" || fail "damaged original not kept: $(ls "$work/lossy")"
[ -n "$report" ] || fail "no report beside the file: $(ls "$work/lossy")"
# The report holds lost rows' bytes: the database's mode and group, no wider.
[ "$(stat -c '%a %u %g' "$work/lossy/$report")" = "$(stat -c '%a %u %g' "$work/lossy/l.mdb")" ] ||
  fail "report mode/owner $(stat -c '%a %u %g' "$work/lossy/$report"), database $(stat -c '%a %u %g' "$work/lossy/l.mdb")"
python3 -c '
import json, sys
j = json.load(open(sys.argv[1]))
assert j["kept_original"] == sys.argv[2], j["kept_original"]
assert j["rows_lost"] == len([l for l in j["losses"] if l["kind"] in ("row", "duplicate_row")]) > 0
' "$work/lossy/$report" "$work/lossy/$kept" || fail "the report does not name the kept original"
grep -q "original, as it was before the repair, was kept as: $work/lossy/$kept" "$work/out" || fail "kept original not named: $(cat "$work/out")"
"$cli" check "$work/lossy/l.mdb" >/dev/null || fail "the repaired file does not pass check"
# Into a new file with --report: the source untouched, nothing kept, the
# report where asked; an existing report name is refused before any work.
cp "$work/l.before" "$work/m.mdb"
"$cli" repair "$work/m.mdb" "$work/m2.mdb" --report "$work/m.json" >"$work/out" 2>"$work/err"
[ $? = 4 ] || fail "repair to a new file with losses: $(cat "$work/err")"
cmp -s "$work/m.mdb" "$work/l.before" || fail "the source of a repair was changed"
grep -q '"kept_original": null' "$work/m.json" || fail "report of a new-file repair: $(head -c 300 "$work/m.json")"
"$cli" repair "$work/m.mdb" "$work/m3.mdb" --report "$work/m.json" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q "^error 3204: " "$work/err" || fail "existing report: $(cat "$work/err")"
[ -e "$work/m3.mdb" ] && fail "a repair ran although its report name was taken"
# Several files: exit 4 when one lost something and none failed.
cp "$work/l.before" "$work/lossy/n.mdb"
fresh "$work/lossy/o.mdb"
"$cli" repair --in-place "$work/lossy/n.mdb" "$work/lossy/o.mdb" >"$work/out" 2>&1
[ $? = 4 ] && grep -q "^2 of 2 files repaired (1 with losses)" "$work/out" || fail "--in-place with losses: $(cat "$work/out")"
[ "$(ls "$work/lossy" | grep -c '^o\.')" = 1 ] || fail "a repair without losses left files: $(ls "$work/lossy")"

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

# What a new user meets (issue 17).
# A read-only file in a writable folder is refused (3051) unless --force.
fresh "$work/ro.mdb"
chmod 0444 "$work/ro.mdb"
"$cli" compact "$work/ro.mdb" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q "^error 3051: .*read-only" "$work/err" || fail "read-only file: $(cat "$work/err")"
cmp -s "$work/ro.mdb" "$sample" || fail "a read-only file was replaced"
"$cli" compact --force "$work/ro.mdb" >/dev/null 2>"$work/err" || fail "--force on a read-only file: $(cat "$work/err")"
[ "$(stat -c %a "$work/ro.mdb")" = 444 ] || fail "mode of a forced read-only file: $(stat -c %a "$work/ro.mdb")"
# A second hard link is refused unless --force.
fresh "$work/hl.mdb"
ln "$work/hl.mdb" "$work/hl2.mdb"
"$cli" compact "$work/hl.mdb" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q "^error 3051: .*hard link" "$work/err" || fail "hard link: $(cat "$work/err")"
[ "$(stat -c %h "$work/hl.mdb")" = 2 ] || fail "a hard-linked file was replaced"
# Extended attributes and ACLs stay.
if command -v setfattr >/dev/null && command -v setfacl >/dev/null; then
  fresh "$work/x.mdb"
  if setfattr -n user.note -v kept "$work/x.mdb" 2>/dev/null && setfacl -m u:65534:r "$work/x.mdb" 2>/dev/null; then
    before=$(getfacl -cp "$work/x.mdb" 2>/dev/null)
    "$cli" compact "$work/x.mdb" >/dev/null 2>"$work/err" || fail "compact with xattrs: $(cat "$work/err")"
    [ "$(getfattr --only-values -n user.note "$work/x.mdb" 2>/dev/null)" = kept ] || fail "user.note lost"
    [ "$(getfacl -cp "$work/x.mdb" 2>/dev/null)" = "$before" ] || fail "ACL lost: $(getfacl -cp "$work/x.mdb")"
  else
    echo "note: extended attributes not tested (not supported here)"
  fi
fi
# Not the owner: refused, owner and file unchanged.
if [ "$(id -u)" = 0 ]; then
  mkdir "$work/share" && chmod 0777 "$work/share"
  fresh "$work/share/s.mdb"
  chown 0:65534 "$work/share/s.mdb" && chmod 0664 "$work/share/s.mdb"
  setpriv --reuid=65534 --regid=65534 --clear-groups "$cli" compact "$work/share/s.mdb" >/dev/null 2>"$work/err"
  [ $? = 1 ] && grep -q "^error 3051: .*belongs to" "$work/err" || fail "not the owner: $(cat "$work/err")"
  [ "$(stat -c '%u:%g' "$work/share/s.mdb")" = 0:65534 ] || fail "owner changed: $(stat -c '%u:%g' "$work/share/s.mdb")"
  cmp -s "$work/share/s.mdb" "$sample" || fail "a file of another owner was replaced"
fi
# A source held (exclusively) by another process: a new copy is refused with
# 3356 and nothing is written; another reader (a shared hold) is no reason.
fresh "$work/h2.mdb"
( exec 9<"$work/h2.mdb"; flock -x 9; sleep 3 ) &
holder=$!
sleep 0.3
"$cli" compact "$work/h2.mdb" "$work/h2-copy.mdb" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q "^error 3356: " "$work/err" || fail "held source of a copy: $(cat "$work/err")"
[ -e "$work/h2-copy.mdb" ] && fail "a copy of a held source was written"
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null
( exec 9<"$work/h2.mdb"; flock -s 9; sleep 3 ) &
holder=$!
sleep 0.3
"$cli" compact "$work/h2.mdb" "$work/h2-copy.mdb" >/dev/null 2>"$work/err" || fail "a reader of the source: $(cat "$work/err")"
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null
# Both forms print the same summary.
fresh "$work/s1.mdb"
"$cli" compact "$work/s1.mdb" "$work/s2.mdb" >"$work/out" 2>&1 || fail "compact to a new file: $(cat "$work/out")"
grep -q "^compacted $work/s1.mdb -> $work/s2.mdb: [0-9]* -> [0-9]* bytes, [0-9]* pages\{0,1\} -> [0-9]* pages\{0,1\}, .* tables, .* rows, .* indexes, .* reused from the source, [0-9.]* s$" "$work/out" || fail "new-file summary: $(cat "$work/out")"
"$cli" compact "$work/s1.mdb" >"$work/out" 2>&1 || fail "compact in place: $(cat "$work/out")"
grep -q "^compacted $work/s1.mdb: [0-9]* -> [0-9]* bytes, [0-9]* pages\{0,1\} -> [0-9]* pages\{0,1\}, .* reused from the source, [0-9.]* s$" "$work/out" || fail "in-place summary: $(cat "$work/out")"
# A summary that cannot be printed after a good compaction: a warning, exit 0.
fresh "$work/f1.mdb"
if [ -w /dev/full ]; then
  "$cli" compact "$work/f1.mdb" "$work/f2.mdb" >/dev/full 2>"$work/err"
  [ $? = 0 ] && grep -q "^warning: " "$work/err" || fail "summary to /dev/full: $(cat "$work/err")"
  "$cli" info "$work/f1.mdb" >/dev/full 2>"$work/err"
  [ $? = 1 ] && grep -q "^error 3043: " "$work/err" || fail "info to /dev/full: $(cat "$work/err")"
fi
# A folder as DEST, a dangling link.
"$cli" compact "$work/f1.mdb" "$work/share" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q "^error 3044: .*is a folder" "$work/err" || fail "folder as destination: $(cat "$work/err")"
ln -s "$work/nowhere.mdb" "$work/dangling.mdb"
"$cli" compact "$work/dangling.mdb" >/dev/null 2>"$work/err"
[ $? = 1 ] && grep -q "^error 3024: .*symbolic link" "$work/err" || fail "dangling link: $(cat "$work/err")"
# Folders, --recursive, --dry-run and --json.
mkdir -p "$work/tree/b/c" "$work/tree/a"
fresh "$work/tree/b/c/deep.mdb"
fresh "$work/tree/a/one.MDB"
fresh "$work/tree/top.mdb"
ln -s "$work/tree/a" "$work/tree/z-link"
cp "$work/tree/top.mdb" "$work/top.before"
"$cli" compact --dry-run --recursive "$work/tree" >"$work/out" 2>"$work/err" || fail "dry run: $(cat "$work/err")"
grep -q "top.mdb: compacting would save [0-9]* bytes" "$work/out" || fail "dry run summary: $(cat "$work/out")"
grep -q "^3 of 3 files measured" "$work/out" || fail "dry run count: $(cat "$work/out")"
cmp -s "$work/tree/top.mdb" "$work/top.before" || fail "a dry run changed a file"
"$cli" compact --in-place --recursive --json "$work/tree" >"$work/out" 2>"$work/err" || fail "--recursive: $(cat "$work/err")"
python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
names = [f["file"] for f in d["files"]]
assert d["format_version"] == 1 and d["done"] == 3 and d["failed"] == 0, d
assert names == sorted(names) and len(names) == 3, names
assert all("z-link" not in n for n in names), names
' "$work/out" || fail "--recursive --json: $(cat "$work/out")"
"$cli" compact --in-place "$work/tree" >"$work/out" 2>&1 || fail "folder without --recursive: $(cat "$work/out")"
grep -q "^1 of 1 file compacted" "$work/out" || fail "folder without --recursive: $(cat "$work/out")"
"$cli" repair --json "$work/tree/top.mdb" >"$work/out" 2>"$work/err" || fail "repair --json: $(cat "$work/err")"
python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); assert d["files"][0]["repair"]["lost_anything"] is False, d' "$work/out" || fail "repair --json: $(cat "$work/out")"
# --json answers JSON for usage errors and a missing file too.
"$cli" compact --json "$work/missing.mdb" >"$work/out" 2>/dev/null
[ $? = 1 ] && python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); assert d["files"][0]["error"]["number"] == 3024' "$work/out" || fail "compact --json of a missing file: $(cat "$work/out")"
"$cli" compact --json a b c >"$work/out" 2>/dev/null
[ $? = 2 ] && python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); assert d["usage_error"]' "$work/out" || fail "usage error as JSON: $(cat "$work/out")"
# Ctrl-C: one message, exit 130, the file as it was.
big="$corpus/other-writers/jgen-v2003.mdb"
if [ -f "$big" ]; then
  cp "$big" "$work/int.mdb" && chmod 0644 "$work/int.mdb"
  # A signal that comes before the program is ready kills it (130, no
  # message): a later one is tried then.
  for delay in 0.05 0.2 0.5 1; do
    timeout --preserve-status -s INT $delay "$cli" repair "$work/int.mdb" >/dev/null 2>"$work/err"
    code=$?
    [ $code = 130 ] && [ ! -s "$work/err" ] && continue
    break
  done
  if [ $code = 130 ] && [ -s "$work/err" ]; then
    [ "$(wc -l <"$work/err")" = 1 ] && grep -q "^error 3001: interrupted" "$work/err" || fail "Ctrl-C message: $(cat "$work/err")"
    cmp -s "$work/int.mdb" "$big" || fail "an interrupted repair changed the file"
  elif [ $code != 0 ] && [ $code != 130 ]; then
    fail "Ctrl-C: exit $code: $(cat "$work/err")"
  fi
fi

# --sort-order general: a Chinese file's text columns keyed under General,
# in place and into a new file; the summary and the JSON list them; the copy
# checks clean. Any other order is a usage error that touches nothing.
chinese="$corpus/real/jet4/farteryhr+vb6-book-db__db.mdb"
if [ -f "$chinese" ]; then
  cp "$chinese" "$work/zh.mdb" && chmod 0644 "$work/zh.mdb"
  "$cli" compact --sort-order general "$work/zh.mdb" "$work/zh-general.mdb" >"$work/out" 2>"$work/err" ||
    fail "--sort-order general: $(cat "$work/err")"
  grep -q "column Name of table MSysObjects is now sorted and indexed under General (was sort order 0x0804 version 0)" \
    "$work/out" || fail "--sort-order general summary: $(cat "$work/out")"
  "$cli" check --strict "$work/zh-general.mdb" >"$work/check" 2>&1 || fail "--sort-order general copy: $(cat "$work/check")"
  "$cli" compact --sort-order general --json "$work/zh.mdb" >"$work/out" 2>"$work/err" ||
    fail "--sort-order general in place: $(cat "$work/err")"
  python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
changes = d["files"][0]["sort_order_changes"] if "files" in d else d["sort_order_changes"]
assert any(c["table"] == "MSysObjects" and c["column"] == "Name" and c["old_sort_order"] == 0x0804
           for c in changes), changes
' "$work/out" || fail "--sort-order general --json: $(cat "$work/out")"
  "$cli" compact "$work/zh.mdb" "$work/zh-again.mdb" >"$work/out" 2>"$work/err" || fail "compact after: $(cat "$work/err")"
  grep -q "sorted and indexed under General" "$work/out" && fail "a plain compaction changed sort orders: $(cat "$work/out")"
  cp "$work/zh.mdb" "$work/zh.before"
  code=0
  "$cli" compact --sort-order french "$work/zh.mdb" >"$work/out" 2>&1 || code=$?
  [ $code = 2 ] || fail "--sort-order french: exit $code"
  cmp -s "$work/zh.mdb" "$work/zh.before" || fail "a usage error changed the file"
fi

[ "$failures" = 0 ] && echo PASS || exit 1

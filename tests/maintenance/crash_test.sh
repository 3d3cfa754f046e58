#!/usr/bin/env bash
# Kills an in-place compaction with SIGKILL at many random moments. After
# each kill the database's path must hold either the original bytes or a
# complete copy that passes `check`; a later run must succeed undisturbed by
# whatever the killed runs left behind.
#
#   crash_test.sh QUORLEN_CLI DATABASE [ROUNDS]     (exit 77: skipped)
set -uo pipefail

cli=${1:?quorlen-cli}
source_db=${2:?database file}
rounds=${3:-50}
[ -f "$source_db" ] || { echo "skipped: no $source_db"; exit 77; }

work=$(mktemp -d /tmp/quorlen-crash-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$source_db" "$work/original.mdb"
chmod 0644 "$work/original.mdb"
db="$work/Data.mdb"
original_sum=$(sha256sum <"$work/original.mdb")

now_ns() { date +%s%N; }

# One run without interruption: how long it takes and what it produces.
cp "$work/original.mdb" "$db"
start=$(now_ns)
if ! "$cli" compact "$db" >"$work/out" 2>"$work/err"; then
  echo "FAIL: an uninterrupted compaction failed:"; cat "$work/err"; exit 1
fi
duration_us=$((($(now_ns) - start) / 1000))
compacted_sum=$(sha256sum <"$db")
echo "an uninterrupted run takes ${duration_us} us"

failures=0
mid_copy=0
kept=0
replaced=0
for ((round = 1; round <= rounds; round++)); do
  cp "$work/original.mdb" "$db"
  before=$(ls -A "$work" | grep '^\.quorlen-tmp-')
  # A moment from the very start to a little past the usual end.
  delay_us=$(((RANDOM * 32768 + RANDOM) % (duration_us * 12 / 10 + 1)))
  "$cli" compact "$db" >/dev/null 2>&1 &
  pid=$!
  sleep "$(printf '%d.%06d' $((delay_us / 1000000)) $((delay_us % 1000000)))"
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  sum=$(sha256sum <"$db")
  # A new folder of ours left behind: the kill landed while the copy was made.
  after=$(ls -A "$work" | grep '^\.quorlen-tmp-')
  [ -n "$(comm -13 <(echo "$before") <(echo "$after"))" ] && mid_copy=$((mid_copy + 1))
  if [ "$sum" = "$original_sum" ]; then
    kept=$((kept + 1))
  elif "$cli" check "$db" >/dev/null 2>&1; then
    replaced=$((replaced + 1))  # a complete copy; byte-identical or not, it checks clean
    [ "$sum" = "$compacted_sum" ] || echo "note: round $round: a sound copy unlike the first run's"
  else
    echo "FAIL: round $round (killed after ${delay_us} us): $db holds neither the original nor a sound copy"
    failures=$((failures + 1))
  fi
done
echo "rounds: $rounds, original kept: $kept (killed while copying: $mid_copy), copy in place: $replaced, failures: $failures"

# Whatever the killed runs left, the next run works and puts the same copy in
# place, and leaves nothing of its own.
cp "$work/original.mdb" "$db"
if ! "$cli" compact "$db" >"$work/out" 2>"$work/err"; then
  echo "FAIL: a run after the crashes failed:"; cat "$work/err"; failures=$((failures + 1))
elif [ "$(sha256sum <"$db")" != "$compacted_sum" ]; then
  echo "FAIL: a run after the crashes wrote a different copy"; failures=$((failures + 1))
fi
"$cli" check "$db" >/dev/null 2>&1 || { echo "FAIL: the final copy does not pass check"; failures=$((failures + 1)); }
inode=$(printf '%x' "$(stat -c %i "$db")")
if ls -A "$work" | grep -q -- "-${inode}-"; then
  echo "FAIL: a temporary folder of the current file is left"; failures=$((failures + 1))
fi
echo "left in the folder: $(ls -A "$work" | grep -c '^\.quorlen-tmp-') temporary folder(s) of killed runs"
[ "$failures" -eq 0 ] && echo "PASS" || exit 1

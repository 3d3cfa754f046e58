#!/usr/bin/env bash
# quorlen-cli check: exit codes (0 clean, 3 problems, 1 error, 2 usage), the
# last line "N problems", and the --json document.
# Usage: check_cli_test.sh QUORLEN_CLI CORPUS_DIR
set -u
cli=$1
corpus=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs the command, keeping stdout, stderr and the exit code.
run() {
  "$@" >"$tmp/out" 2>"$tmp/err"
  rc=$?
}

expect_rc() {
  [ "$rc" -eq "$1" ] || fail "$2: exit code $rc, expected $1 (stderr: $(head -c 300 "$tmp/err"))"
}

# Usage errors: no file, an unknown option.
run "$cli" check
expect_rc 2 "check without a file"
run "$cli" check --no-such-option x.mdb
expect_rc 2 "check with an unknown option"

# Errors: a missing file, a file that is not a database.
run "$cli" check "$tmp/missing.mdb"
expect_rc 1 "missing file"
grep -q '^error 3024: ' "$tmp/err" || fail "missing file: stderr is '$(cat "$tmp/err")'"
[ -s "$tmp/out" ] && fail "missing file: something was printed on stdout"
head -c 5000 /dev/urandom >"$tmp/noise.mdb"
printf 'not a database' | dd of="$tmp/noise.mdb" conv=notrunc status=none
run "$cli" check "$tmp/noise.mdb"
expect_rc 1 "not a database"
grep -q '^error 3343: ' "$tmp/err" || fail "not a database: stderr is '$(cat "$tmp/err")'"

clean=$corpus/jet3/testV1997.mdb
if [ ! -f "$clean" ]; then
  echo "sample files absent under $corpus: only usage and error cases checked"
  [ "$failures" -eq 0 ] || exit 1
  exit 77
fi

# A clean file: exit 0, last line "0 problems".
run "$cli" check "$clean"
expect_rc 0 "clean file"
[ "$(tail -n 1 "$tmp/out")" = "0 problems" ] || fail "clean file: last line '$(tail -n 1 "$tmp/out")'"

# A copy cut short by 100 bytes: exit 3, the problem named, "N problems" last.
size=$(stat -c %s "$clean")
head -c $((size - 100)) "$clean" >"$tmp/cut.mdb"
run "$cli" check "$tmp/cut.mdb"
expect_rc 3 "truncated copy"
grep -q '^file-size: page 0: ' "$tmp/out" || fail "truncated copy: no file-size line"
last=$(tail -n 1 "$tmp/out")
[[ "$last" =~ ^[1-9][0-9]*\ problems\ \([1-9][0-9]*\ damage,\ [0-9]+\ leftovers?\)$ ]] ||
  fail "truncated copy: last line '$last'"

# --json: one document with the problems and the same total.
run "$cli" check --json "$tmp/cut.mdb"
expect_rc 3 "truncated copy, --json"
node_total=$(node -e 'const d = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
  console.log(d.problem_total, d.problems[0].code, d.problems[0].page)' "$tmp/out" 2>&1)
[ "$node_total" = "${last%% *} file-size 0" ] || fail "--json: got '$node_total'"

[ "$failures" -eq 0 ] || exit 1
echo "all check CLI cases passed"

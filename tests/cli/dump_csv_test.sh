#!/usr/bin/env bash
# quorlen-cli dump --format csv against the JSON dump of the same tables, on
# corpus files with text that needs quoting (commas, quotes, line ends,
# control characters): Python's csv module reads back every value as the
# JSON dump has it, NULL as an empty field, a header of the column names.
#
#   dump_csv_test.sh QUORLEN_CLI CORPUS_DIR      (exit 77: skipped)
set -uo pipefail
cli=${1:?quorlen-cli}
corpus=${2:?corpus dir}
[ -d "$corpus/jet4" ] || { echo "skipped: no corpus"; exit 77; }
work=$(mktemp -d /tmp/quorlen-csv-XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0
for f in "$corpus/jet4/testUnicodeCompV2003.mdb" "$corpus/jet4/indexTestV2000.mdb" "$corpus/jet3/testV1997.mdb"; do
  [ -f "$f" ] || continue
  rm -rf "$work/out"
  "$cli" dump --format csv --output-dir "$work/out" "$f" 2>"$work/err" || { echo "FAIL: $f: $(cat "$work/err")"; status=1; continue; }
  "$cli" dump "$f" >"$work/dump.json" || { echo "FAIL: dump $f"; status=1; continue; }
  python3 - "$work/dump.json" "$work/out" "$f" <<'PY' || status=1
import csv, io, json, os, sys
dump = json.load(open(sys.argv[1]))
folder, name = sys.argv[2], sys.argv[3]
def text(v):
    if v is None: return None
    if v is True: return "true"
    if v is False: return "false"
    if isinstance(v, float):
        return repr(v)
    return str(v)
bad = 0
for t in dump["tables"]:
    if t["system"]: continue
    path = os.path.join(folder, t["name"].replace("/", "_") + ".csv")
    with open(path, newline="", encoding="utf-8") as fh:
        raw = fh.read()
    assert raw == "" or raw.endswith("\r\n"), path
    rows = list(csv.reader(io.StringIO(raw, newline="")))
    if rows[0] != [c["name"] for c in t["columns"]]:
        print(f"FAIL: {name} {t['name']}: header {rows[0]}"); bad += 1; continue
    if len(rows) - 1 != t["row_count"]:
        print(f"FAIL: {name} {t['name']}: {len(rows) - 1} rows, the dump has {t['row_count']}"); bad += 1; continue
    for jr, cr in zip(t["rows"], rows[1:]):
        for v, c in zip(jr, cr):
            want = text(v)
            if want is None: want = ""
            if isinstance(v, (int, float)) and not isinstance(v, bool):
                if float(c) != float(v): print(f"FAIL: {name} {t['name']}: {c!r} for {v!r}"); bad += 1
            elif c != want:
                print(f"FAIL: {name} {t['name']}: {c!r} for {v!r}"); bad += 1
sys.exit(1 if bad else 0)
PY
done
[ $status = 0 ] && echo PASS
exit $status

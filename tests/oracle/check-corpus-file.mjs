#!/usr/bin/env node
// check-corpus-file.mjs --cli PATH --oracle mdb-reader|mdbtools [--keep DIR] [--password PW] FILE
//   Runs `quorlen-cli dump FILE` and compares the dump with the named
//   independent reader (any .mdb file, not only the corpus's). Exit 0: equal; 1: differences (listed); 77: FILE
//   absent (the corpus is not on this machine), for ctest's SKIP_RETURN_CODE.
// check-corpus-file.mjs --cli PATH --refuse FILE
//   Expects `quorlen-cli dump FILE` to fail with exit 1, nothing on standard
//   output and an "error NNNN: description" line on standard error.
import { spawnSync } from "node:child_process";
import { existsSync, mkdirSync, writeFileSync } from "node:fs";
import { basename, join } from "node:path";
import { parseArgs } from "node:util";
import { compareDumps } from "./lib/compare.mjs";
import { applyKnownDifferences } from "./lib/known-differences.mjs";
import { stringifyDump } from "./lib/values.mjs";

const SKIP = 77;
const { values: opts, positionals } = parseArgs({
  options: {
    cli: { type: "string" },
    oracle: { type: "string" },
    keep: { type: "string" },
    password: { type: "string" },
    refuse: { type: "boolean" },
  },
  allowPositionals: true,
});
if (!opts.cli || positionals.length !== 1 || (!opts.refuse && !["mdb-reader", "mdbtools"].includes(opts.oracle))) {
  process.stderr.write("usage: check-corpus-file.mjs --cli PATH (--oracle mdb-reader|mdbtools [--keep DIR] [--password PW] | --refuse) FILE\n");
  process.exit(2);
}
const file = positionals[0];
if (!existsSync(file)) {
  console.log(`corpus not found: ${file}`);
  process.exit(SKIP);
}

const dumpArgs = ["dump", file];
if (opts.password !== undefined) dumpArgs.push("--password", opts.password);
const result = spawnSync(opts.cli, dumpArgs, { maxBuffer: 1 << 30 });
if (result.error) {
  console.log(`cannot run ${opts.cli}: ${result.error.message}`);
  process.exit(1);
}
const stdout = result.stdout.toString("utf8");
const stderr = result.stderr.toString("utf8");

if (opts.refuse) {
  const problems = [];
  if (result.status !== 1) problems.push(`exit status ${result.status ?? `signal ${result.signal}`}, expected 1`);
  if (stdout !== "") problems.push(`wrote ${stdout.length} bytes to standard output`);
  if (!/^error \d+: \S.*$/m.test(stderr)) problems.push(`no "error NNNN: description" line on standard error: ${JSON.stringify(stderr.slice(0, 300))}`);
  console.log(problems.length ? problems.join("\n") : `refused as expected: ${stderr.trim()}`);
  process.exit(problems.length ? 1 : 0);
}

if (result.status !== 0) {
  console.log(`quorlen-cli dump ${file} failed with exit status ${result.status ?? `signal ${result.signal}`}:\n${stderr}`);
  process.exit(1);
}
let ours;
try {
  ours = JSON.parse(stdout);
} catch (err) {
  console.log(`quorlen-cli dump wrote no valid JSON: ${err.message}`);
  process.exit(1);
}
const name = basename(file).replace(/\.[^.]*$/, "");
// Both checks of a file may run at once; only the mdb-reader one keeps
// our dump, next to mdb-reader's.
if (opts.keep && opts.oracle === "mdb-reader") {
  mkdirSync(opts.keep, { recursive: true });
  writeFileSync(join(opts.keep, `${name}.quorlen.json`), stdout);
}

// mdb-reader decodes the five bytes that code page 1252 leaves undefined
// (81 8D 8F 90 9D) as U+FFFD; quorlen-cli keeps them apart as U+0081 ...
// U+009D, as Windows does. Proof, jet3/testIndexCodesV1997.mdb page 47:
// file offset 0x17dbe holds 41 41 81 41 41 (Table1 row129), 0x17cd2 holds
// 41 41 8d 41 41; mdb-reader gives "AA\uFFFDAA" for both. So for Jet 3 text
// only, those five characters of ours are compared as U+FFFD.
function jet3UndefinedAsReplacement(dump) {
  if (dump.format !== "jet3") return dump;
  const fold = (v) => (typeof v === "string" ? v.replace(/[\u0081\u008D\u008F\u0090\u009D]/g, "\uFFFD") : v);
  return {
    ...dump,
    tables: dump.tables.map((t) => {
      const text = t.columns.map((c) => c.type === "text" || c.type === "memo");
      return { ...t, rows: t.rows.map((r) => r.map((v, i) => (text[i] ? fold(v) : v))) };
    }),
  };
}

// Values both oracles are proven to read wrongly (lib/known-differences.mjs).
const known = applyKnownDifferences(basename(file), ours);
let diffs;
let notes = [];
if (opts.oracle === "mdb-reader") {
  const { dumpFile } = await import("./mdb-reader-dump.mjs");
  const theirs = dumpFile(file, opts.password);
  if (opts.keep) writeFileSync(join(opts.keep, `${name}.mdb-reader.json`), stringifyDump(theirs));
  diffs = compareDumps(jet3UndefinedAsReplacement(ours), theirs, ["quorlen", "mdb-reader"]);
} else {
  const { compareWithMdbtools } = await import("./lib/mdbtools.mjs");
  ({ diffs, notes } = compareWithMdbtools(file, ours));
}
notes = [...known.notes, ...notes];
diffs = [...known.problems, ...diffs];
for (const n of notes) console.log(`note: ${n}`);
if (diffs.length === 0) {
  const rows = ours.tables.reduce((n, t) => n + t.rows.length, 0);
  console.log(`${basename(file)}: quorlen-cli and ${opts.oracle} agree (${ours.tables.length} tables, ${rows} rows)`);
  process.exit(0);
}
console.log(diffs.map((d) => `- ${d}`).join("\n"));
console.log(`${basename(file)}: ${diffs.length} difference(s) between quorlen-cli and ${opts.oracle}`);
process.exit(1);

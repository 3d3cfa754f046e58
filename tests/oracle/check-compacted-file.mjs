#!/usr/bin/env node
// check-compacted-file.mjs --cli PATH --oracle mdb-reader|mdbtools [--password PW] FILE
//   Compacts FILE with `quorlen-cli compact` into a scratch directory and
//   checks that the independent reader reads the copy as it reads FILE:
//     mdb-reader  its dump of the copy equals its dump of FILE (object ids
//                 compared through the objects they name);
//     mdbtools    mdb-ver, mdb-tables, mdb-schema and mdb-export of the copy
//                 differ from our dump of the copy nowhere they do not also
//                 differ for FILE (mdbtools' own limits show on both), and
//                 our dump of the copy equals our dump of FILE.
//   For files under a corpus "real/" folder the password comes from its
//   files.tsv unless given. Exit 0: equal; 1: differences (listed) or a
//   failed compaction; 77: FILE absent.
import { spawnSync } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { basename, dirname, join, relative } from "node:path";
import { parseArgs } from "node:util";
import { compareDumps } from "./lib/compare.mjs";

const SKIP = 77;
const { values: opts, positionals } = parseArgs({
  options: {
    cli: { type: "string" },
    oracle: { type: "string" },
    password: { type: "string" },
  },
  allowPositionals: true,
});
if (!opts.cli || positionals.length !== 1 || !["mdb-reader", "mdbtools"].includes(opts.oracle)) {
  process.stderr.write("usage: check-compacted-file.mjs --cli PATH --oracle mdb-reader|mdbtools [--password PW] FILE\n");
  process.exit(2);
}
const file = positionals[0];
if (!existsSync(file)) {
  console.log(`corpus not found: ${file}`);
  process.exit(SKIP);
}

// The password listed for a file of real/ (files.tsv: path relative to real/, password in column 6).
function listedPassword(path) {
  for (let dir = dirname(path); dir !== dirname(dir); dir = dirname(dir)) {
    if (basename(dir) !== "real") continue;
    const tsv = join(dir, "files.tsv");
    if (!existsSync(tsv)) return undefined;
    const rel = relative(dir, path);
    for (const line of readFileSync(tsv, "utf8").split("\n").slice(1)) {
      const f = line.split("\t");
      if (f[0] === rel && f[5]) return f[5];
    }
    return undefined;
  }
  return undefined;
}
const password = opts.password ?? listedPassword(file);
const withPassword = (args) => (password === undefined ? args : [...args, "--password", password]);

function ourDump(path) {
  const r = spawnSync(opts.cli, withPassword(["dump", path]), { maxBuffer: 1 << 30 });
  if (r.status !== 0) throw new Error(`quorlen-cli dump ${path} failed: ${r.stderr}`);
  return JSON.parse(r.stdout.toString("utf8"));
}

const scratch = mkdtempSync(join(tmpdir(), "quorlen-oracle-"));
let diffs = [];
let notes = [];
try {
  const copy = join(scratch, "copy.mdb");
  const r = spawnSync(opts.cli, withPassword(["compact", file, copy]), { maxBuffer: 1 << 24 });
  if (r.status !== 0) {
    console.log(`quorlen-cli compact ${file} failed with exit status ${r.status}:\n${r.stderr}`);
    process.exit(1);
  }
  if (opts.oracle === "mdb-reader") {
    const { dumpFile } = await import("./mdb-reader-dump.mjs");
    diffs = compareDumps(dumpFile(file, password), dumpFile(copy, password), ["source", "copy"]);
  } else {
    const { compareWithMdbtools } = await import("./lib/mdbtools.mjs");
    const oursCopy = ourDump(copy);
    const oursSource = ourDump(file);
    const before = new Set(compareWithMdbtools(file, oursSource).diffs);
    let after;
    ({ diffs: after, notes } = compareWithMdbtools(copy, oursCopy));
    diffs = after.filter((d) => !before.has(d)).map((d) => `mdbtools on the copy only: ${d}`);
    if (before.size) notes.push(`${before.size} difference(s) of mdbtools on the source itself, ignored`);
    diffs.push(...compareDumps(oursSource, oursCopy, ["source", "copy"]));
  }
} finally {
  rmSync(scratch, { recursive: true, force: true });
}
for (const n of notes) console.log(`note: ${n}`);
if (diffs.length === 0) {
  console.log(`${basename(file)}: ${opts.oracle} reads the compacted copy as it reads the source`);
  process.exit(0);
}
console.log(diffs.map((d) => `- ${d}`).join("\n"));
console.log(`${basename(file)}: ${diffs.length} difference(s) between the source and its compacted copy`);
process.exit(1);

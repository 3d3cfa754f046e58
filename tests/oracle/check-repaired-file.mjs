#!/usr/bin/env node
// check-repaired-file.mjs --cli PATH --oracle mdb-reader|mdbtools [--password PW] FILE
//   Cuts the last quarter of FILE's pages off a scratch copy, repairs it with
//   `quorlen-cli repair --report`, and checks the repaired file:
//     - when the repair lost anything, the copy has the table its report
//       names (MSysCompactError) with one row per loss of data the report
//       lists, or the report says why the table was left out; when nothing
//       was lost, there is no such table;
//     - the independent reader reads the repaired file as we do, nowhere
//       differing where it does not also differ on FILE itself (mdb-reader:
//       its dump against ours; mdbtools: mdb-ver, mdb-tables, mdb-schema and
//       mdb-export against ours).
//   For files under a corpus "real/" folder the password comes from its
//   files.tsv unless given. Exit 0: as expected; 1: differences (listed) or a
//   failed repair; 77: FILE absent.
import { spawnSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { basename, join } from "node:path";
import { setUpCheck } from "./lib/check-setup.mjs";
import { compareDumps } from "./lib/compare.mjs";

const { opts, file, password, withPassword, ourDump } = setUpCheck("check-repaired-file.mjs");

// What the reader sees differently from our dump of `path`.
async function readerDiffs(path, ours) {
  if (opts.oracle === "mdb-reader") {
    const { dumpFile } = await import("./mdb-reader-dump.mjs");
    return compareDumps(ours, dumpFile(path, password), ["quorlen", "mdb-reader"]);
  }
  const { compareWithMdbtools } = await import("./lib/mdbtools.mjs");
  return compareWithMdbtools(path, ours).diffs;
}

const scratch = mkdtempSync(join(tmpdir(), "quorlen-oracle-"));
const diffs = [];
const notes = [];
try {
  const bytes = readFileSync(file);
  const pageSize = bytes[0x14] === 0 ? 2048 : 4096;
  const pages = Math.floor(bytes.length / pageSize);
  const cut = Math.max(1, Math.floor(pages / 4));
  const damaged = join(scratch, "damaged.mdb");
  const repaired = join(scratch, "repaired.mdb");
  const reportPath = join(scratch, "report.json");
  writeFileSync(damaged, bytes.subarray(0, (pages - cut) * pageSize));
  const r = spawnSync(opts.cli, withPassword(["repair", damaged, repaired, "--report", reportPath]), {
    maxBuffer: 1 << 24,
  });
  if (r.status !== 0 && r.status !== 4) {
    console.log(`quorlen-cli repair of ${file} cut by ${cut} pages failed with exit status ${r.status}:\n${r.stderr}`);
    process.exit(1);
  }
  const report = JSON.parse(readFileSync(reportPath, "utf8"));
  const listed = report.losses.filter((l) => l.kind !== "header" && l.kind !== "table-name");
  const ours = ourDump(repaired);
  const table = ours.tables.find((t) => t.name === (report.error_table ?? "MSysCompactError"));
  if (listed.length === 0) {
    if (table) diffs.push(`nothing was lost, yet the copy has the table ${table.name}`);
  } else if (report.error_table === null) {
    if (!report.error_table_note) diffs.push(`${listed.length} losses, no error table and no word why`);
    else notes.push(report.error_table_note);
  } else if (!table) {
    diffs.push(`the report names the table ${report.error_table}, the copy has none`);
  } else if (table.row_count !== listed.length) {
    diffs.push(`${table.name} holds ${table.row_count} rows for ${listed.length} losses`);
  } else {
    notes.push(`cut by ${cut} of ${pages} pages: ${listed.length} losses listed in ${table.name}`);
  }
  const before = new Set(await readerDiffs(file, ourDump(file)));
  for (const d of await readerDiffs(repaired, ours)) {
    if (!before.has(d)) diffs.push(`${opts.oracle} on the repaired copy only: ${d}`);
  }
  if (before.size) notes.push(`${before.size} difference(s) of ${opts.oracle} on the source itself, ignored`);
} finally {
  rmSync(scratch, { recursive: true, force: true });
}
for (const n of notes) console.log(`note: ${n}`);
if (diffs.length === 0) {
  console.log(`${basename(file)}: ${opts.oracle} reads the repaired copy as we do`);
  process.exit(0);
}
console.log(diffs.map((d) => `- ${d}`).join("\n"));
console.log(`${basename(file)}: ${diffs.length} problem(s) with the repaired copy`);
process.exit(1);

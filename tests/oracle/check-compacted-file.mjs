#!/usr/bin/env node
// check-compacted-file.mjs --cli PATH --oracle mdb-reader|mdbtools [--password PW]
//                          [--sort-order general] FILE
//   Compacts FILE with `quorlen-cli compact` (with --sort-order when given)
//   into a scratch directory and
//   checks that the independent reader reads the copy as it reads FILE:
//     mdb-reader  its dump of the copy equals its dump of FILE (object ids
//                 compared through the objects they name);
//     mdbtools    mdb-ver, mdb-tables, mdb-schema and mdb-export of the copy
//                 differ from our dump of the copy nowhere they do not also
//                 differ for FILE (mdbtools' own limits show on both), and
//                 our dump of the copy equals our dump of FILE, rows of
//                 every table in the same (storage) order. mdb-reader's
//                 order is not compared: it lists an overflowed row where
//                 its moved data sits, not at the row's own slot.
//   For files under a corpus "real/" folder the password comes from its
//   files.tsv unless given. Exit 0: equal; 1: differences (listed) or a
//   failed compaction; 77: FILE absent.
import { spawnSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { basename, join } from "node:path";
import { setUpCheck } from "./lib/check-setup.mjs";
import { compareDumps } from "./lib/compare.mjs";

const { opts, file, password, withPassword, ourDump } = setUpCheck("check-compacted-file.mjs");

const scratch = mkdtempSync(join(tmpdir(), "quorlen-oracle-"));
let diffs = [];
let notes = [];
try {
  const copy = join(scratch, "copy.mdb");
  const order = opts["sort-order"] === undefined ? [] : ["--sort-order", opts["sort-order"]];
  const r = spawnSync(opts.cli, withPassword(["compact", ...order, file, copy]), {
    maxBuffer: 1 << 24,
  });
  if (r.status !== 0) {
    console.log(`quorlen-cli compact ${file} failed with exit status ${r.status}:\n${r.stderr}`);
    process.exit(1);
  }
  if (opts.oracle === "mdb-reader") {
    const { dumpFile } = await import("./mdb-reader-dump.mjs");
    diffs = compareDumps(dumpFile(file, password), dumpFile(copy, password), ["source", "copy"], {
      dropStaleNavPane: true,
    });
  } else {
    const { compareWithMdbtools } = await import("./lib/mdbtools.mjs");
    const oursCopy = ourDump(copy);
    const oursSource = ourDump(file);
    const before = new Set(compareWithMdbtools(file, oursSource).diffs);
    let after;
    ({ diffs: after, notes } = compareWithMdbtools(copy, oursCopy));
    diffs = after.filter((d) => !before.has(d)).map((d) => `mdbtools on the copy only: ${d}`);
    if (before.size) notes.push(`${before.size} difference(s) of mdbtools on the source itself, ignored`);
    diffs.push(
      ...compareDumps(oursSource, oursCopy, ["source", "copy"], { dropStaleNavPane: true, rowOrder: true }),
    );
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

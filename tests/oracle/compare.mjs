#!/usr/bin/env node
// compare.mjs A.json B.json
// Compares two canonical dumps. Prints each difference and exits 1 when
// there is one, 0 when the dumps agree, 2 on a usage or input error.
import { readFileSync } from "node:fs";
import { basename } from "node:path";
import { compareDumps } from "./lib/compare.mjs";

const args = process.argv.slice(2);
if (args.length !== 2) {
  process.stderr.write("usage: compare.mjs A.json B.json\n");
  process.exit(2);
}
function load(path) {
  try {
    const dump = JSON.parse(readFileSync(path, "utf8"));
    if (!dump || !Array.isArray(dump.tables)) throw new Error("no \"tables\" array");
    for (const t of dump.tables) {
      if (typeof t.name !== "string" || !Array.isArray(t.columns) || !Array.isArray(t.rows)) {
        throw new Error(`table ${JSON.stringify(t.name)} lacks name, columns or rows`);
      }
    }
    return dump;
  } catch (err) {
    process.stderr.write(`compare: ${path}: ${err.message}\n`);
    process.exit(2);
  }
}
const [a, b] = args.map(load);
let labels = args.map((p) => basename(p));
if (labels[0] === labels[1]) labels = args;
const diffs = compareDumps(a, b, labels);
if (diffs.length === 0) {
  const rows = a.tables.reduce((n, t) => n + t.rows.length, 0);
  process.stdout.write(`equal: ${a.tables.length} tables, ${rows} rows\n`);
  process.exit(0);
}
process.stdout.write(diffs.map((d) => `- ${d}`).join("\n") + `\n${diffs.length} difference(s) between ${labels[0]} and ${labels[1]}\n`);
process.exit(1);

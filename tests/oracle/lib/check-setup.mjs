// What the per-file oracle checks share: their command line
// (--cli PATH --oracle mdb-reader|mdbtools [--password PW] FILE), the
// file's password (given, or listed in real/files.tsv) and our own dump.
// Exits 2 on a bad command line and 77 (skipped) when FILE is absent.
import { spawnSync } from "node:child_process";
import { existsSync, readFileSync } from "node:fs";
import { basename, dirname, join, relative } from "node:path";
import { parseArgs } from "node:util";

const SKIP = 77;

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

export function setUpCheck(script) {
  const { values: opts, positionals } = parseArgs({
    options: {
      cli: { type: "string" },
      oracle: { type: "string" },
      password: { type: "string" },
      "sort-order": { type: "string" },
    },
    allowPositionals: true,
  });
  if (!opts.cli || positionals.length !== 1 || !["mdb-reader", "mdbtools"].includes(opts.oracle)) {
    process.stderr.write(`usage: ${script} --cli PATH --oracle mdb-reader|mdbtools [--password PW] FILE\n`);
    process.exit(2);
  }
  const file = positionals[0];
  if (!existsSync(file)) {
    console.log(`corpus not found: ${file}`);
    process.exit(SKIP);
  }
  const password = opts.password ?? listedPassword(file);
  const withPassword = (args) => (password === undefined ? args : [...args, "--password", password]);
  const ourDump = (path) => {
    const r = spawnSync(opts.cli, withPassword(["dump", path]), { maxBuffer: 1 << 30 });
    if (r.status !== 0) throw new Error(`quorlen-cli dump ${path} failed: ${r.stderr}`);
    return JSON.parse(r.stdout.toString("utf8"));
  };
  return { opts, file, password, withPassword, ourDump };
}

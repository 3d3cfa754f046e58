import { test } from "node:test";
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { chmodSync, mkdtempSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

const script = new URL("../check-corpus-file.mjs", import.meta.url).pathname;
const dir = mkdtempSync(join(tmpdir(), "oracle-check-"));
const input = join(dir, "some.accdb");
writeFileSync(input, "not a database");

// A stand-in for quorlen-cli with the given shell body.
function fakeCli(name, body) {
  const path = join(dir, name);
  writeFileSync(path, `#!/bin/sh\n${body}\n`);
  chmodSync(path, 0o755);
  return path;
}

function check(...args) {
  const r = spawnSync(process.execPath, [script, ...args], { encoding: "utf8" });
  return { status: r.status, out: r.stdout + r.stderr };
}

test("a missing corpus file is a skip that says so", () => {
  const r = check("--cli", "/bin/true", "--oracle", "mdbtools", join(dir, "absent.mdb"));
  assert.equal(r.status, 77);
  assert.match(r.out, /corpus not found: .*absent\.mdb/);
});

test("refusal: exit 1 with an error line passes, anything else fails", () => {
  const good = fakeCli("good", 'echo "error 3343: not a Jet 3 or Jet 4 database" >&2; exit 1');
  assert.equal(check("--cli", good, "--refuse", input).status, 0);

  const accepted = fakeCli("accepted", 'echo "{}"; exit 0');
  const r = check("--cli", accepted, "--refuse", input);
  assert.equal(r.status, 1);
  assert.match(r.out, /exit status 0, expected 1/);

  const crashed = fakeCli("crashed", 'kill -SEGV $$');
  assert.equal(check("--cli", crashed, "--refuse", input).status, 1);

  const wordy = fakeCli("wordy", 'echo "cannot open" >&2; exit 1');
  assert.match(check("--cli", wordy, "--refuse", input).out, /no "error NNNN: description" line/);
});

test("a failing or garbled dump fails the comparison", () => {
  const failing = fakeCli("failing", 'echo "error 3049: damaged" >&2; exit 1');
  const r = check("--cli", failing, "--oracle", "mdbtools", input);
  assert.equal(r.status, 1);
  assert.match(r.out, /failed with exit status 1/);

  const garbled = fakeCli("garbled", 'echo "{not json"');
  assert.match(check("--cli", garbled, "--oracle", "mdbtools", input).out, /no valid JSON/);
});

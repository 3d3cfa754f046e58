import { test } from "node:test";
import assert from "node:assert/strict";
import { applyKnownDifferences } from "../lib/known-differences.mjs";

const dump = (value, num = 9) => ({
  tables: [
    {
      name: "TInscription",
      columns: [{ name: "Num" }, { name: "NumInsEcole" }],
      rows: [[8, null], [num, value]],
    },
  ],
});

test("a known oracle error replaces exactly the one recorded value", () => {
  const d = dump(null);
  const { notes, problems } = applyKnownDifferences("houidef+inscription__Data.mdb", d);
  assert.deepEqual(problems, []);
  assert.equal(notes.length, 1);
  assert.deepEqual(d.tables[0].rows, [[8, null], [9, 103286321]]);
});

test("an entry that no longer matches our dump is a problem, not a silent pass", () => {
  for (const d of [dump(5), dump(null, 10)]) {
    const before = JSON.stringify(d);
    const { notes, problems } = applyKnownDifferences("houidef+inscription__Data.mdb", d);
    assert.equal(notes.length, 0);
    assert.equal(problems.length, 1);
    assert.equal(JSON.stringify(d), before);
  }
});

test("other files are left alone", () => {
  const d = dump(null);
  const { notes, problems } = applyKnownDifferences("other.mdb", d);
  assert.deepEqual([notes, problems], [[], []]);
  assert.equal(d.tables[0].rows[1][1], null);
});

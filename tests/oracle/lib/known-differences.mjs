// Single values where both oracles read a row wrongly and our reading is
// proven right from the file's bytes. Each is pinned to one file, table,
// row (by a key column) and column, with our value and the oracles' value:
// before a comparison, that one value of our dump is replaced by what the
// oracle is known to give, so everything else is still compared exactly.
// When our dump no longer holds the recorded value there, the entry does
// not apply and the comparison reports it.
//
// Row layout reminder (Jet 4): count(2) | fixed area | variable data |
// eod, offsets, variable count(2) | null mask of ceil(count/8) bytes.

export const KNOWN_DIFFERENCES = [
  {
    file: "anqck+QuanLyNhaSach__Database.mdb",
    table: "MSysIMEXSpecs",
    key: ["SpecID", 11],
    column: "DateOrder",
    ours: 2,
    theirs: null,
    // Page 182 row 10 at 0xB6D4D: 0d 00 | 01 00 00 02 00 | ... The row has
    // 13 columns; its fixed area is 5 bytes (the first variable offset, just
    // before the variable count 0a 00, is 07 00) and holds SpecType 01,
    // FileType 00 00 and DateOrder 02 00; null-mask bit 6 (DateOrder) is set.
    // The oracles count the row's fixed columns as columns minus variable
    // columns (13 - 10 = 3), count the two Yes/No columns (which have no
    // bytes) among them, and so never reach DateOrder.
    why: "oracles count Yes/No columns among the row's fixed columns",
  },
  {
    file: "houidef+inscription__Data.mdb",
    table: "TInscription",
    key: ["Num", 9],
    column: "NumInsEcole",
    ours: null,
    theirs: 103286321,
    // Page 51 row 8 at 0x338E6, 240 bytes: 23 00 | 09 00 00 00 ... | null
    // mask bf 7f 07 00 d8. The row was written with 35 columns (0-34);
    // NumInsEcole is column 35, added later, so the row predates it. Bit 35
    // (byte 4, bit 3 of the mask) is padding past the row's columns; the
    // oracles take it as "present" and read 4 bytes of leftover text.
    why: "oracles read a padding bit of the null mask",
  },
];

// Applies the entries for `file` (a base name) to our dump, in place;
// returns notes for the entries applied and problems for those that no
// longer match our dump.
export function applyKnownDifferences(file, dump) {
  const notes = [];
  const problems = [];
  for (const k of KNOWN_DIFFERENCES) {
    if (k.file !== file) continue;
    const where = `${k.table}.${k.column} where ${k.key[0]} = ${JSON.stringify(k.key[1])}`;
    const table = dump.tables.find((t) => t.name === k.table);
    const keyIndex = table ? table.columns.findIndex((c) => c.name === k.key[0]) : -1;
    const index = table ? table.columns.findIndex((c) => c.name === k.column) : -1;
    const rows = keyIndex < 0 || index < 0 || !table.rows ? [] : table.rows.filter((r) => r[keyIndex] === k.key[1]);
    if (rows.length !== 1 || rows[0][index] !== k.ours) {
      problems.push(`known oracle error ${where} (${k.why}) expects our value ${JSON.stringify(k.ours)} in one row; found ${rows.length} row(s)${rows.length === 1 ? ` holding ${JSON.stringify(rows[0][index])}` : ""}`);
      continue;
    }
    rows[0][index] = k.theirs;
    notes.push(`known oracle error ${where}: we read ${JSON.stringify(k.ours)}, the oracle ${JSON.stringify(k.theirs)} (${k.why}; see lib/known-differences.mjs)`);
  }
  return { notes, problems };
}

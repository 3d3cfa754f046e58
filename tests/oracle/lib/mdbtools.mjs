// Cross-check of a canonical dump against Debian's mdbtools (mdb-ver,
// mdb-tables, mdb-schema, mdb-export), as far as their text output can
// express the data. mdbtools reads the file with its own code (including
// Jet 3 text through iconv and overflow rows, which mdb-reader does not
// handle the same way), so agreement is a second, independent opinion.
//
// Normalisation, per column type (mdbtools' text on the left):
//   boolean   0/1                        -> false/true
//   byte, integer, long                  exact integers
//   currency  "3.5000"                   exact string
//   numeric   "-12.3"                    equal after dropping trailing fraction zeros
//   single    ~6-7 significant digits    relative difference <= 5e-7
//   double    ~15 significant digits     relative difference <= 5e-15
//   datetime  "YYYY-MM-DD HH:MM:SS"      mdbtools prints whole seconds: equal to
//                                        ours with the milliseconds cut or rounded.
//                                        mdb-export 1.0 prints every date before
//                                        1900-01-01 as "1900-01-00 00:00:00"
//                                        (jet3/testIndexCodesV1997.mdb, Table6:
//                                        1805-06-12, stored as -34533.0, and
//                                        1899-12-29 02:24, stored as -1.1); such
//                                        values are left to the mdb-reader check
//   text, memo                           exact, after undoing mdb-export's
//                                        C-style escapes (-e); Jet 3 text: a "?"
//                                        from mdb-export stands for a byte its
//                                        iconv cannot convert, see JET3_UNMAPPED;
//                                        compared only up to the first U+0000:
//                                        mdb-export ends text there
//                                        (jet3/queryTestV1997.mdb, MSysQueries:
//                                        the memo "CREATE TABLE Table5 (col1 CHAR,
//                                        col2 CHAR);" is stored with a trailing
//                                        NUL, which mdb-export drops)
//   ole                                  hex (-b hex) equal to our base64 bytes
//   binary                               hex (-b hex) of our bytes up to the first
//                                        zero byte; NULL when that prefix is empty.
//                                        mdb-export 1.0 handles binary values as C
//                                        strings: jet4/bigIndexTestV2000.mdb,
//                                        MSysACEs.SID of ObjectId 5 holds 102 bytes
//                                        whose byte 44 is 00 (...90 19 00 94 89...);
//                                        mdb-export prints the first 44 only, and
//                                        MSysQueries.Order = 00 00 00 01 in
//                                        jet3/queryTestV1997.mdb comes out as NULL.
//   text, memo (empty)                   mdb-export prints a value of length 0
//                                        as NULL: an empty text or memo of ours
//                                        equals its NULL (real/jet4/
//                                        mvocp+bbs__data_data.mdb, topads, page 47
//                                        row 0 at 0x2FFE7: 02 00 | 01 00 00 00 |
//                                        00 00 00 80 00*8 | 12 00 06 00 01 00 | 03,
//                                        a memo of length 0 stored inline with
//                                        its null-mask bit set; mdb-reader gives
//                                        "" as we do). A NULL of ours is still
//                                        never equal to a text mdb-export prints.
//   guid                                 the same 32 hex digits, ignoring letter
//                                        case, braces and dashes: with -b hex,
//                                        mdb-export 1.0 prints the hex of the
//                                        ASCII text instead (decoded first), and
//                                        that text lacks the last dash
//                                        (jet3/testIndexCodesV1997.mdb, Table13,
//                                        row0: "{8E39276A-BCA8-4AC4-891E49911D8438DD}")
//   unknown_0xNN                         not compared (mdbtools has no export for it)
// Rows are compared as multisets. Table lists are compared as sets (every
// table, with -S). Schemas from mdb-schema (user tables only) give column
// names, order, types and text lengths.
import { execFileSync } from "node:child_process";

const NULL_MARK = "\\N";
const MAX_REPORTED = 20;

function run(tool, args) {
  try {
    return execFileSync(tool, args, { maxBuffer: 1 << 30, stdio: ["ignore", "pipe", "pipe"] }).toString("utf8");
  } catch (err) {
    const stderr = err.stderr ? err.stderr.toString("utf8").trim() : "";
    throw new Error(`${tool} ${args.join(" ")} failed: ${stderr || err.message}`);
  }
}

function unescapeField(text) {
  return text.replace(/\\(.)/g, (_, c) => ({ n: "\n", r: "\r", t: "\t", "\\": "\\" })[c] ?? `\\${c}`);
}

// Parses `mdb-export -Q -e -d TAB -0 \N` output: a header line, then one
// line per row; mdb-export escapes tabs, newlines and backslashes inside
// values, so splitting on them is safe.
export function parseExport(text) {
  const lines = text.split("\n");
  if (lines.at(-1) === "") lines.pop();
  const header = lines.shift()?.split("\t") ?? [];
  const rows = lines.map((line) => line.split("\t").map((f) => (f === NULL_MARK ? null : unescapeField(f))));
  return { header, rows };
}

// The five bytes code page 1252 leaves undefined (81 8D 8F 90 9D). glibc's
// iconv refuses them, so mdb-export prints "?"; a reader may give U+FFFD or,
// as Windows does, the C1 control of the same number. Seen in
// jet3/testIndexCodesV1997.mdb, page 47 (file offsets 0x17bb2-0x17dbe), e.g.
// Table1 "row129" at 0x17dbe: 41 41 81 41 41 ("AA", 81, "AA").
const JET3_UNMAPPED = new Set(["\ufffd", "\u0081", "\u008d", "\u008f", "\u0090", "\u009d"]);

function sameJet3Text(ours, theirs) {
  const a = Array.from(ours);
  const b = Array.from(theirs);
  return a.length === b.length && a.every((c, i) => c === b[i] || (b[i] === "?" && JET3_UNMAPPED.has(c)));
}

const trimFraction = (s) => (s.includes(".") ? s.replace(/0+$/, "").replace(/\.$/, "") : s);

function close(a, b, tolerance) {
  if (a === b) return true;
  return Math.abs(a - b) <= tolerance * Math.max(Math.abs(a), Math.abs(b));
}

function base64ToHex(b64) {
  return Buffer.from(b64, "base64").toString("hex").toUpperCase();
}

// Whether mdbtools' text `theirs` expresses our dump value `ours` of column
// type `type`; null means the type is not compared.
export function sameValue(type, ours, theirs, format = "jet4") {
  if (type.startsWith("unknown_")) return null;
  if (ours === null || theirs === null) {
    if (ours !== null && type === "binary") return ours === "" || base64ToHex(ours).startsWith("00");
    if (ours !== null && (type === "text" || type === "memo")) return ours.split("\u0000")[0] === "";
    // mdb-export writes booleans as 0/1 only; ours are never null either.
    return ours === theirs;
  }
  switch (type) {
    case "boolean":
      return theirs === (ours ? "1" : "0");
    case "byte":
    case "integer":
    case "long":
      return /^-?\d+$/.test(theirs) && Number(theirs) === ours;
    case "currency":
      return theirs === ours;
    case "numeric":
      return trimFraction(theirs) === trimFraction(ours);
    case "single":
    case "double": {
      if (typeof ours === "string") return theirs.toLowerCase().replace(/^inf$/, "infinity") === ours.toLowerCase();
      const value = Number(theirs);
      return Number.isFinite(value) && close(value, ours, type === "single" ? 5e-7 : 5e-15);
    }
    case "datetime": {
      const [whole, millis = "0"] = ours.split(".");
      if (theirs === whole) return true;
      if (theirs === "1900-01-00 00:00:00" && whole < "1900-01-01") return null;
      // Accept mdbtools rounding to the second instead of cutting.
      if (Number(millis.padEnd(3, "0")) < 500) return false;
      const t = new Date(whole.replace(" ", "T") + "Z");
      if (Number.isNaN(t.getTime())) return false;
      t.setUTCSeconds(t.getUTCSeconds() + 1);
      return theirs === t.toISOString().slice(0, 19).replace("T", " ");
    }
    case "text":
    case "memo": {
      const nul = ours.indexOf("\u0000");
      const expected = nul < 0 ? ours : ours.slice(0, nul);
      return theirs === expected || (format === "jet3" && sameJet3Text(expected, theirs));
    }
    case "ole":
      return theirs.toUpperCase() === base64ToHex(ours);
    case "binary": {
      const hex = base64ToHex(ours);
      let end = 0;
      while (end < hex.length && hex.slice(end, end + 2) !== "00") end += 2;
      return end === 0 ? theirs === null || theirs === "" : theirs.toUpperCase() === hex.slice(0, end);
    }
    case "guid":
      if (/^7B([0-9A-F]{2})+7D$/i.test(theirs)) theirs = Buffer.from(theirs, "hex").toString("latin1");
      return theirs.replace(/[{}-]/g, "").toUpperCase() === ours.replace(/[{}-]/g, "").toUpperCase();
    default:
      throw new Error(`unexpected column type ${type} in the dump`);
  }
}

// Parses mdb-schema's CREATE TABLE blocks: table -> [{name, type}].
export function parseSchema(text) {
  const tables = new Map();
  let current = null;
  for (const line of text.split("\n")) {
    const start = /^CREATE TABLE \[(.*)\]\s*$/.exec(line);
    if (start) {
      current = [];
      tables.set(start[1], current);
      continue;
    }
    const col = /^\t\[(.*)\]\t+(.*?)(?: NOT NULL)?,?\s*$/.exec(line);
    if (current && col) current.push({ name: col[1], type: col[2] });
    if (/^\);/.test(line)) current = null;
  }
  return tables;
}

// Our (type, length) in mdb-schema's words; null where it prints nothing we
// can check.
function schemaType(column, format) {
  const simple = {
    boolean: "Boolean",
    byte: "Byte",
    integer: "Integer",
    long: "Long Integer",
    currency: "Currency",
    single: "Single",
    double: "Double",
    datetime: "DateTime",
    guid: "Replication ID",
  };
  if (simple[column.type]) return [simple[column.type]];
  if (column.type === "text") return [`Text (${format === "jet4" ? column.length / 2 : column.length})`];
  // mdbtools 1.0 prints a made-up "(255)" after these: compare the kind only.
  if (column.type === "memo") return ["Memo/Hyperlink (255)"];
  if (column.type === "ole") return ["OLE (255)"];
  if (column.type === "numeric") return null; // precision/scale are not in our dump
  return null;
}

export function compareWithMdbtools(file, dump) {
  const diffs = [];
  const notes = [];
  const version = run("mdb-ver", [file]).trim();
  const expectedVersion = { jet3: "JET3", jet4: "JET4" }[dump.format];
  if (version !== expectedVersion) diffs.push(`format: mdb-ver says ${version}, dump says ${dump.format}`);

  const theirTables = run("mdb-tables", ["-1", "-S", file]).split("\n").filter((l) => l !== "");
  const ourTables = dump.tables.map((t) => t.name);
  for (const n of theirTables) if (!ourTables.includes(n)) diffs.push(`table ${n}: listed by mdb-tables, not in the dump`);
  for (const n of ourTables) if (!theirTables.includes(n)) diffs.push(`table ${n}: in the dump, not listed by mdb-tables`);

  const schema = parseSchema(run("mdb-schema", [file, "access"]));
  for (const [name, cols] of schema) {
    const table = dump.tables.find((t) => t.name === name);
    if (!table) {
      diffs.push(`table ${name}: in mdb-schema, not in the dump`);
      continue;
    }
    const ours = table.columns.map((c) => c.name);
    const theirs = cols.map((c) => c.name);
    if (ours.join("\u0000") !== theirs.join("\u0000")) {
      diffs.push(`table ${name}: columns by mdb-schema [${theirs.join(", ")}], dump [${ours.join(", ")}]`);
      continue;
    }
    table.columns.forEach((c, i) => {
      const expected = schemaType(c, dump.format);
      if (expected && !expected.includes(cols[i].type)) {
        diffs.push(`table ${name}: column ${c.name} is ${cols[i].type} by mdb-schema, ${c.type}(${c.length}) in the dump`);
      }
    });
  }

  for (const table of dump.tables) {
    if (!theirTables.includes(table.name)) continue;
    const where = `table ${table.name}`;
    const exported = parseExport(
      run("mdb-export", ["-Q", "-e", "-d", "\t", "-0", NULL_MARK, "-b", "hex", "-T", "%Y-%m-%d %H:%M:%S", file, table.name]),
    );
    const names = table.columns.map((c) => c.name);
    if (exported.header.join("\u0000") !== names.join("\u0000")) {
      diffs.push(`${where}: columns by mdb-export [${exported.header.join(", ")}], dump [${names.join(", ")}]`);
      continue;
    }
    if (exported.rows.length !== table.rows.length) {
      diffs.push(`${where}: mdb-export gives ${exported.rows.length} rows, the dump ${table.rows.length}`);
    }
    const skipped = table.columns.filter((c) => c.type.startsWith("unknown_")).map((c) => c.name);
    if (skipped.length) notes.push(`${where}: column(s) ${skipped.join(", ")} of a type mdbtools cannot export, not compared`);
    const matches = (row, theirs) =>
      theirs.length === row.length && row.every((v, i) => sameValue(table.columns[i].type, v, theirs[i], dump.format) !== false);
    // Multiset match: each mdbtools row consumes one equal row of ours.
    const unmatched = [...table.rows];
    const extra = [];
    for (const theirs of exported.rows) {
      const i = unmatched.findIndex((row) => matches(row, theirs));
      if (i >= 0) unmatched.splice(i, 1);
      else extra.push(theirs);
    }
    let reported = 0;
    const show = (v) => (v === null ? "NULL" : JSON.stringify(v).slice(0, 160));
    for (const row of unmatched) {
      if (reported++ >= MAX_REPORTED) break;
      // Name the columns that differ from the closest mdbtools row left over.
      let best = null;
      let bestScore = -1;
      extra.forEach((theirs, j) => {
        const score = row.filter((v, i) => sameValue(table.columns[i].type, v, theirs[i], dump.format) !== false).length;
        if (score > bestScore) [best, bestScore] = [j, score];
      });
      if (best !== null && bestScore * 2 >= row.length) {
        const theirs = extra.splice(best, 1)[0];
        const changes = row
          .map((v, i) => (sameValue(table.columns[i].type, v, theirs[i], dump.format) === false ? `${table.columns[i].name}: dump ${show(v)}, mdb-export ${show(theirs[i])}` : null))
          .filter(Boolean);
        diffs.push(`${where}: row ${show(row)}\n    differs in ${changes.join("\n               ")}`);
      } else {
        diffs.push(`${where}: dump row not given by mdb-export: ${show(row)}`);
      }
    }
    for (const row of extra) {
      if (reported++ >= MAX_REPORTED) break;
      diffs.push(`${where}: mdb-export row not in the dump: ${show(row)}`);
    }
    if (reported > MAX_REPORTED) diffs.push(`${where}: (further differing rows not listed)`);
  }
  return { diffs, notes };
}

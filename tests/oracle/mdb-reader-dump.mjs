#!/usr/bin/env node
// mdb-reader-dump.mjs FILE [PASSWORD]
// Writes the canonical dump of FILE (see README.md here) as read by the npm
// package mdb-reader, for comparison with `quorlen-cli dump`.
import { register } from "node:module";
import { readFileSync } from "node:fs";
import { formatDateTime, formatDouble, formatSingle, normaliseDecimal, stringifyDump } from "./lib/values.mjs";

register("./lib/mdb-reader-hooks.mjs", import.meta.url);
const { default: MDBReader } = await import("mdb-reader");
const readerUrl = import.meta.resolve("mdb-reader");
const { jet3Format } = await import(new URL("./JetFormat/Jet3Format.js", readerUrl));
const { jet4Format } = await import(new URL("./JetFormat/Jet4Format.js", readerUrl));
// ACE formats by the version byte at 0x14 (mdb-reader shares one format
// object among 2010 and later).
const aceNames = { 2: "ace12", 3: "ace14", 4: "ace15", 5: "ace16", 6: "ace17" };

// mdb-reader's type names to the dump's.
const typeNames = {
  boolean: "boolean",
  byte: "byte",
  integer: "integer",
  long: "long",
  currency: "currency",
  float: "single",
  double: "double",
  datetime: "datetime",
  binary: "binary",
  text: "text",
  ole: "ole",
  memo: "memo",
  repid: "guid",
  numeric: "numeric",
  complex: "complex",
  bigint: "bigint",
  datetimextended: "datetime_extended",
};

function dumpType(column) {
  if (typeNames[column.type]) return typeNames[column.type];
  if (/^unknown_0x[0-9a-f]{2}$/.test(column.type)) return column.type;
  throw new Error(`column ${column.name}: type ${column.type} is not one the dump knows`);
}

function dumpValue(type, column, value) {
  if (type === "boolean") {
    if (typeof value !== "boolean") throw new Error(`column ${column.name}: boolean read as ${value}`);
    return value;
  }
  if (value === null) return null;
  switch (type) {
    case "byte":
    case "integer":
    case "long":
      return value;
    case "currency":
      // mdb-reader builds currency as an exact decimal string; a number
      // here would already have lost digits.
      if (typeof value !== "string") throw new Error(`column ${column.name}: currency read as ${typeof value}`);
      return normaliseDecimal(value, 4);
    case "numeric":
      if (typeof value !== "string") throw new Error(`column ${column.name}: numeric read as ${typeof value}`);
      return normaliseDecimal(value, column.scale);
    case "single":
      return formatSingle(value);
    case "double":
      return formatDouble(value);
    case "datetime":
      if (typeof value?.rawDays !== "number") throw new Error(`column ${column.name}: no raw date/time value`);
      return formatDateTime(value.rawDays);
    case "text":
    case "memo":
      return value;
    case "complex":
      return value;
    case "bigint":
      return value.toString();
    case "datetime_extended": {
      // mdb-reader: "YYYY.MM.DD HH:MM:SS.nnnnnnnnn"; the dump: "-" between
      // the date's parts, the 100 ns digits only when not zero.
      const m = /^(\d{4})\.(\d{2})\.(\d{2}) (\d{2}:\d{2}:\d{2})\.(\d{7})00$/.exec(value);
      if (!m) throw new Error(`column ${column.name}: unexpected extended date/time ${value}`);
      return `${m[1]}-${m[2]}-${m[3]} ${m[4]}` + (m[5] === "0000000" ? "" : `.${m[5]}`);
    }
    case "guid": {
      // mdb-reader gives "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" with the first
      // three groups already in display order.
      if (!/^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/i.test(value)) {
        throw new Error(`column ${column.name}: unexpected GUID ${value}`);
      }
      return `{${value.toUpperCase()}}`;
    }
    default: // binary, ole, unknown_0xNN
      if (!Buffer.isBuffer(value)) throw new Error(`column ${column.name}: ${type} read as ${typeof value}`);
      return value.toString("base64");
  }
}

export function dumpFile(path, password) {
  const bytes = readFileSync(path);
  const reader = new MDBReader(bytes, password === undefined ? {} : { password });
  const format =
    reader.jetFormat === jet3Format ? "jet3" : reader.jetFormat === jet4Format ? "jet4" : aceNames[bytes[0x14]];
  if (!format) throw new Error(`${path}: not a Jet 3, Jet 4 or ACE database`);
  const systemNames = new Set(reader.getTableNames({ normalTables: false, systemTables: true }));
  const names = reader.getTableNames({ normalTables: true, systemTables: true });
  // Code-point order (JavaScript's default sort compares UTF-16 units, which
  // differs from code points only for characters beyond U+FFFF).
  names.sort((a, b) => {
    const x = Array.from(a, (c) => c.codePointAt(0));
    const y = Array.from(b, (c) => c.codePointAt(0));
    for (let i = 0; i < Math.min(x.length, y.length); i++) if (x[i] !== y[i]) return x[i] - y[i];
    return x.length - y.length;
  });
  const tables = names.map((name) => {
    const table = reader.getTable(name);
    const columns = table.getColumns();
    const types = columns.map(dumpType);
    const rows = table.getData().map((row) => columns.map((c, i) => dumpValue(types[i], c, row[c.name])));
    return {
      name,
      system: systemNames.has(name),
      columns: columns.map((c, i) => ({ name: c.name, type: types[i], length: c.storedSize })),
      row_count: rows.length,
      rows,
    };
  });
  return { format, page_size: reader.jetFormat.pageSize, tables };
}

if (process.argv[1] && import.meta.url.endsWith(process.argv[1].split("/").pop())) {
  const path = process.argv[2];
  if (!path || process.argv.length > 4) {
    process.stderr.write("usage: mdb-reader-dump.mjs FILE [PASSWORD]\n");
    process.exit(2);
  }
  try {
    process.stdout.write(stringifyDump(dumpFile(path, process.argv[3])));
  } catch (err) {
    process.stderr.write(`mdb-reader-dump: ${err.message}\n`);
    process.exit(1);
  }
}

// Module loader hooks that make mdb-reader report a few facts it reads but
// does not hand out. Nothing here changes how it locates or decodes data;
// each edit only exposes a value (or stops a refusal), and every edit must
// apply exactly once, so an upgraded mdb-reader fails loudly instead of
// silently running unpatched.
//
// 1. column.js: a type code it does not know (0x0D, 0x11 in the Jet 4
//    MSysAccessObjects.Data column) made it throw for the whole table.
//    It now names the type "unknown_0xNN", and data/index.js returns such a
//    column's stored bytes instead of a placeholder sentence.
// 2. Table.js: Boolean columns get size 0 in its column list; the stored
//    length from the table definition is kept as `storedSize` for every type.
// 3. data/datetime.js: values come back as Date objects rounded to the
//    millisecond on a linear time line, which loses the raw day count and
//    puts dates before 1899-12-30 on the wrong side of midnight. The raw
//    double is attached as `rawDays`.
// 4. MDBReader.js: exposes the file format object it detected.

const edits = {
  "/mdb-reader/lib/node/column.js": [
    [
      'throw new Error("Unsupported column type");',
      'return "unknown_0x" + typeValue.toString(16).padStart(2, "0");',
    ],
  ],
  "/mdb-reader/lib/node/data/index.js": [
    [
      "return `Column type ${column.type} is currently not supported`;",
      "return readBinary(buffer);",
    ],
  ],
  "/mdb-reader/lib/node/Table.js": [
    [
      "fixedIndex: columnBuffer.readUInt16LE(",
      "storedSize: columnBuffer.readUInt16LE(this.#database.format.tableDefinitionPage.columnsDefinition.sizeOffset),\n" +
        "                fixedIndex: columnBuffer.readUInt16LE(",
    ],
  ],
  "/mdb-reader/lib/node/data/datetime.js": [
    [
      "return new Date(Math.round((td - daysDiff) * 86400 * 1000));",
      "return Object.assign(new Date(Math.round((td - daysDiff) * 86400 * 1000)), { rawDays: td });",
    ],
  ],
  "/mdb-reader/lib/node/MDBReader.js": [
    [
      "    /**\n     * Date when the database was created",
      "    get jetFormat() {\n        return this.#database.format;\n    }\n" +
        "    /**\n     * Date when the database was created",
    ],
  ],
};

export async function load(url, context, nextLoad) {
  const key = Object.keys(edits).find((k) => url.endsWith(k));
  const result = await nextLoad(url, context);
  if (!key) return result;
  let source = typeof result.source === "string" ? result.source : Buffer.from(result.source).toString("utf8");
  for (const [from, to] of edits[key]) {
    const count = source.split(from).length - 1;
    if (count !== 1) {
      throw new Error(`mdb-reader changed: expected one "${from}" in ${url}, found ${count}`);
    }
    source = source.replace(from, () => to);
  }
  return { ...result, source, shortCircuit: true };
}

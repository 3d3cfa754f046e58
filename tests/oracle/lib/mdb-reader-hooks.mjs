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
// 5. Table.js: a calculated column (ACE; extended flags 0xC0) stores its
//    result wrapped: 16 bytes, the result's length (4), the result, 3
//    bytes. mdb-reader reads the wrapper as the value; the result is
//    unwrapped before it is decoded (an empty result is NULL).
// 6. data/index.js: a complex column (ACE attachments, multi-valued fields)
//    gives the 4-byte id its row stores, not the flat table's rows it
//    resolves (those rows are dumped as the flat table itself).

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
    ["[ColumnTypes.Complex]: readComplex,", "[ColumnTypes.Complex]: (buffer) => buffer.readInt32LE(0),"],
  ],
  "/mdb-reader/lib/node/Table.js": [
    [
      "fixedIndex: columnBuffer.readUInt16LE(",
      "storedSize: columnBuffer.readUInt16LE(this.#database.format.tableDefinitionPage.columnsDefinition.sizeOffset),\n" +
        "                fixedIndex: columnBuffer.readUInt16LE(",
    ],
    [
      "...parseColumnFlags(columnBuffer.readUInt8(this.#database.format.tableDefinitionPage.columnsDefinition.flagsOffset)),",
      "...parseColumnFlags(columnBuffer.readUInt8(this.#database.format.tableDefinitionPage.columnsDefinition.flagsOffset)),\n" +
        "                calculated: this.#database.format.pageSize === 4096 && (columnBuffer.readUInt8(this.#database.format.tableDefinitionPage.columnsDefinition.flagsOffset + 1) & 0xc0) === 0xc0,",
    ],
    [
      "value = readFieldValue(pageBuffer.slice(start, start + size), column, this.#database);",
      "let field = pageBuffer.slice(start, start + size);\n" +
        "                    if (column.calculated && field.length >= 20) field = field.slice(20, 20 + field.readUInt32LE(16));\n" +
        "                    value = column.calculated && field.length === 0 ? null : readFieldValue(field, column, this.#database);",
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

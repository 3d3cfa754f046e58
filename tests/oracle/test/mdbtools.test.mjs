import { test } from "node:test";
import assert from "node:assert/strict";
import { parseExport, parseSchema, sameValue } from "../lib/mdbtools.mjs";

test("mdb-export output with escapes and NULL marks", () => {
  const text = "A\tB\tC\n" + "a\\tb\\nc\\\\\t\\N\t\n" + "\\\\N\t1\tx\n";
  assert.deepEqual(parseExport(text), {
    header: ["A", "B", "C"],
    rows: [
      ["a\tb\nc\\", null, ""],
      ["\\N", "1", "x"],
    ],
  });
});

test("values are matched after the documented normalisation only", () => {
  assert.equal(sameValue("boolean", true, "1"), true);
  assert.equal(sameValue("boolean", false, "1"), false);
  assert.equal(sameValue("long", -5, "-5"), true);
  assert.equal(sameValue("long", 5, "5.0"), false);
  assert.equal(sameValue("currency", "3.5000", "3.5000"), true);
  assert.equal(sameValue("currency", "3.5000", "3.5"), false);
  assert.equal(sameValue("numeric", "-12.300", "-12.3"), true);
  assert.equal(sameValue("numeric", "120", "12"), false);
  assert.equal(sameValue("single", 0.1, "0.1"), true);
  assert.equal(sameValue("single", 0.1, "0.1001"), false);
  assert.equal(sameValue("double", 444.555, "444.555"), true);
  assert.equal(sameValue("double", 444.555, "444.556"), false);
  assert.equal(sameValue("datetime", "2010-07-23 00:15:59.056", "2010-07-23 00:15:59"), true);
  assert.equal(sameValue("datetime", "2010-08-01 15:33:00.534", "2010-08-01 15:33:01"), true);
  assert.equal(sameValue("datetime", "2010-08-01 15:33:00.434", "2010-08-01 15:33:01"), false);
  assert.equal(sameValue("datetime", "1999-12-31 23:59:59.700", "2000-01-01 00:00:00"), true);
  assert.equal(sameValue("text", "CREATE TABLE x;\u0000", "CREATE TABLE x;"), true);
  assert.equal(sameValue("text", "abc", "ab"), false);
  // mdb-export prints an empty value as NULL; a non-empty one never is.
  assert.equal(sameValue("text", "", null), true);
  assert.equal(sameValue("memo", "\u0000x", null), true);
  assert.equal(sameValue("text", "a", null), false);
  assert.equal(sameValue("text", null, ""), false);
  assert.equal(sameValue("ole", Buffer.from([0, 1, 0xab]).toString("base64"), "0001AB"), true);
  assert.equal(sameValue("binary", Buffer.from([1, 2, 0, 3]).toString("base64"), "0102"), true);
  assert.equal(sameValue("binary", Buffer.from([1, 2, 0, 3]).toString("base64"), "010200"), false);
  assert.equal(sameValue("binary", Buffer.from([0, 1]).toString("base64"), null), true);
  assert.equal(sameValue("binary", Buffer.from([1]).toString("base64"), null), false);
  const guid = "{8E39276A-BCA8-4AC4-891E-49911D8438DD}";
  assert.equal(sameValue("guid", guid, Buffer.from("{8E39276A-BCA8-4AC4-891E49911D8438DD}").toString("hex")), true);
  assert.equal(sameValue("guid", guid, "{8E39276A-BCA8-4AC4-891E-49911D8438DE}"), false);
  assert.equal(sameValue("unknown_0x11", "AAAA", "zz"), null);
  assert.equal(sameValue("long", null, null), true);
  assert.equal(sameValue("long", null, "0"), false);
});

test("mdb-schema column lists", () => {
  const text = "CREATE TABLE [T 1]\n (\n\t[A]\t\t\tText (50), \n\t[B]\t\t\tBoolean NOT NULL, \n\t[C]\t\t\tLong Integer\n);\n";
  assert.deepEqual([...parseSchema(text)], [
    ["T 1", [{ name: "A", type: "Text (50)" }, { name: "B", type: "Boolean" }, { name: "C", type: "Long Integer" }]],
  ]);
});

test("Jet 3 bytes that code page 1252 leaves undefined", () => {
  assert.equal(sameValue("text", "AA\u0081AA", "AA?AA", "jet3"), true);
  assert.equal(sameValue("text", "AA\ufffdAA", "AA?AA", "jet3"), true);
  assert.equal(sameValue("text", "AA\u0081AA", "AA?AA", "jet4"), false);
  assert.equal(sameValue("text", "AA\u0082AA", "AA?AA", "jet3"), false);
  assert.equal(sameValue("text", "AAxAA", "AA?AA", "jet3"), false);
});

test("dates before 1900 are not checked against mdbtools", () => {
  assert.equal(sameValue("datetime", "1805-06-12 00:00:00", "1900-01-00 00:00:00"), null);
  assert.equal(sameValue("datetime", "1905-06-12 00:00:00", "1900-01-00 00:00:00"), false);
});

import { test } from "node:test";
import assert from "node:assert/strict";
import { compareDumps, objectKeys } from "../lib/compare.mjs";

// A small catalog: the Tables container, two tables, one query, ACEs and
// navigation-pane rows that refer to them by id.
function sample({ ordersId = 30, customersId = 40, queryId = -2147483640, orderRows } = {}) {
  const col = (name, type, length) => ({ name, type, length });
  const table = (name, system, columns, rows) => ({ name, system, columns, row_count: rows.length, rows });
  return {
    format: "jet4",
    page_size: 4096,
    tables: [
      table("Customers", false, [col("Id", "long", 4), col("Name", "text", 100)], [
        [1, "Ann"],
        [2, "Bob"],
      ]),
      table("MSysACEs", true, [col("ObjectId", "long", 4), col("ACM", "long", 4)], [
        [ordersId, 1],
        [customersId, 2],
        [queryId, 3],
        [999, 4], // an id no object has: compared as it is
      ]),
      table("MSysNavPaneObjectIDs", true, [col("Id", "long", 4), col("Name", "text", 510)], [
        [ordersId, "Orders"],
        [customersId, "Customers"],
      ]),
      table(
        "MSysObjects",
        true,
        [col("Id", "long", 4), col("ParentId", "long", 4), col("Name", "text", 510), col("Type", "integer", 2)],
        [
          [251658241, 251658240, "Tables", 3],
          [ordersId, 251658241, "Orders", 1],
          [customersId, 251658241, "Customers", 1],
          [queryId, 251658241, "Big orders", 5],
        ],
      ),
      table("MSysQueries", true, [col("ObjectId", "long", 4), col("Name1", "text", 510)], [[queryId, "Orders"]]),
      table(
        "Orders",
        false,
        [col("OrderId", "long", 4), col("Amount", "currency", 8), col("Weight", "single", 4)],
        orderRows ?? [
          [1, "10.0000", 0.1],
          [2, "-3.5000", -0],
          [2, "-3.5000", -0],
        ],
      ),
    ],
  };
}

test("identical dumps agree", () => {
  assert.deepEqual(compareDumps(sample(), sample()), []);
});

test("object ids are compared through the objects they name", () => {
  // A compaction moved both tables' definitions and renumbered the query.
  const moved = sample({ ordersId: 17, customersId: 23, queryId: -2147483630 });
  assert.deepEqual(compareDumps(sample(), moved), []);
  // Swapping which table an ACE belongs to is a real change.
  const swapped = sample();
  swapped.tables[1].rows[0][0] = 40;
  swapped.tables[1].rows[1][0] = 30;
  const diffs = compareDumps(sample(), swapped);
  assert.ok(diffs.some((d) => d.includes("table MSysACEs") && d.includes("Tables/Customers")), diffs.join("\n"));
});

test("ids outside the catalog are compared as they stand", () => {
  const other = sample();
  other.tables[1].rows[3][0] = 998;
  const diffs = compareDumps(sample(), other);
  assert.ok(diffs.some((d) => d.includes("unlisted id 999") && d.includes("unlisted id 998")), diffs.join("\n"));
});

test("rows compare as multisets", () => {
  const reordered = sample({ orderRows: [[2, "-3.5000", -0], [1, "10.0000", 0.1], [2, "-3.5000", -0]] });
  assert.deepEqual(compareDumps(sample(), reordered), []);
  // Same set of rows, but one duplicate fewer and another row twice.
  const counts = sample({ orderRows: [[1, "10.0000", 0.1], [1, "10.0000", 0.1], [2, "-3.5000", -0]] });
  const diffs = compareDumps(sample(), counts);
  assert.ok(diffs.some((d) => d.includes("1 row(s) only in A, 1 row(s) only in B")), diffs.join("\n"));
});

test("with rowOrder, rows must also come in the same order, ids through their objects", () => {
  const reordered = sample({ orderRows: [[2, "-3.5000", -0], [1, "10.0000", 0.1], [2, "-3.5000", -0]] });
  const diffs = compareDumps(sample(), reordered, ["A", "B"], { rowOrder: true });
  assert.equal(diffs.length, 1, diffs.join("\n"));
  assert.match(diffs[0], /table Orders: rows in another order; row 0 is \{OrderId: 1,.*\} in A, \{OrderId: 2,/);
  const moved = sample({ ordersId: 17, customersId: 23, queryId: -2147483630 });
  assert.deepEqual(compareDumps(sample(), moved, ["A", "B"], { rowOrder: true }), []);
});

test("a changed value is reported with its table, row and column", () => {
  const changed = sample({ orderRows: [[1, "10.0001", 0.1], [2, "-3.5000", -0], [2, "-3.5000", -0]] });
  const diffs = compareDumps(sample(), changed);
  const report = diffs.join("\n");
  assert.match(report, /table Orders: row \{OrderId: 1, Amount: "10.0000", Weight: 0.1\}/);
  assert.match(report, /Amount: A "10.0000", B "10.0001"/);
});

test("values differing only in type or sign are differences", () => {
  for (const value of [0, "-0", 0.10000000149011612]) {
    const other = sample({ orderRows: [[1, "10.0000", 0.1], [2, "-3.5000", value], [2, "-3.5000", -0]] });
    assert.notDeepEqual(compareDumps(sample(), other), [], `Weight ${JSON.stringify(value)} instead of -0`);
  }
  const text = sample({ orderRows: [[1, "10.0000", 0.1], ["2", "-3.5000", -0], [2, "-3.5000", -0]] });
  assert.notDeepEqual(compareDumps(sample(), text), []);
});

test("missing tables and columns, and column changes, are reported", () => {
  const missing = sample();
  missing.tables.splice(0, 1);
  assert.deepEqual(compareDumps(sample(), missing), ["table Customers: only in A"]);

  const columns = sample();
  const orders = columns.tables[5];
  orders.columns[1] = { name: "Amount", type: "double", length: 8 };
  orders.columns[2] = { name: "Weight", type: "single", length: 8 };
  const diffs = compareDumps(sample(), columns);
  assert.ok(diffs.includes("table Orders: column Amount type A currency, B double"), diffs.join("\n"));
  assert.ok(diffs.includes("table Orders: column Weight length A 4, B 8"), diffs.join("\n"));

  const dropped = sample();
  dropped.tables[0].columns.pop();
  dropped.tables[0].rows = dropped.tables[0].rows.map((r) => r.slice(0, 1));
  assert.ok(compareDumps(sample(), dropped).includes("table Customers: column Name only in A"));
});

test("system flag, row_count, format and table order are compared", () => {
  const other = sample();
  other.format = "jet3";
  other.tables[0].system = true;
  other.tables[0].row_count = 3;
  [other.tables[4], other.tables[5]] = [other.tables[5], other.tables[4]];
  const report = compareDumps(sample(), other).join("\n");
  assert.match(report, /format: A "jet4", B "jet3"/);
  assert.match(report, /table Customers: system A false, B true/);
  assert.match(report, /B says row_count 3 but lists 2 rows/);
  assert.match(report, /table order differs/);
});

test("object keys follow the parent chain and flag duplicates", () => {
  const dump = sample();
  const { keys, problems } = objectKeys(dump);
  assert.equal(keys.get(30), "#251658240/Tables/Orders");
  assert.deepEqual(problems, []);
  dump.tables[3].rows.push([41, 251658241, "Orders", 1]);
  assert.equal(objectKeys(dump).problems.length, 1);
});

test("a compaction may drop navigation-pane rows of deleted objects, and only those", () => {
  const source = sample();
  source.tables[2].rows.push([777, "Deleted form"]);
  source.tables[2].row_count = 3;
  const copy = sample();
  assert.ok(compareDumps(source, copy).length > 0);
  assert.deepEqual(compareDumps(source, copy, ["source", "copy"], { dropStaleNavPane: true }), []);
  // A row of an object that is still there must stay.
  const lost = sample();
  lost.tables[2].rows.pop();
  lost.tables[2].row_count = 1;
  const diffs = compareDumps(sample(), lost, ["source", "copy"], { dropStaleNavPane: true });
  assert.ok(diffs.some((d) => d.includes("MSysNavPaneObjectIDs")), diffs.join("\n"));
});

test("a compaction may drop MSysACEs rows of deleted objects, and only those", () => {
  const copy = sample();
  copy.tables[1].rows = copy.tables[1].rows.filter((r) => r[0] !== 999);
  copy.tables[1].row_count = copy.tables[1].rows.length;
  assert.deepEqual(compareDumps(sample(), copy, ["source", "copy"], { dropStaleNavPane: true }), []);
  const lost = sample();
  lost.tables[1].rows.shift();
  lost.tables[1].row_count = lost.tables[1].rows.length;
  const diffs = compareDumps(sample(), lost, ["source", "copy"], { dropStaleNavPane: true });
  assert.ok(diffs.some((d) => d.includes("MSysACEs")), diffs.join("\n"));
});

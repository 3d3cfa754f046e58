// Compares two canonical dumps the way the dump's contract says: tables by
// name, columns by name, type and length, rows as multisets, catalog object
// ids through the names of the objects they denote; everything else exactly.
import { jsonValue } from "./values.mjs";

// Columns holding an object id of the catalog, by table (names compared
// without regard to letter case, as the database itself does).
export const ID_COLUMNS = {
  msysobjects: ["id", "parentid"],
  msysaces: ["objectid"],
  msyscomplexcolumns: ["complextypeobjectid", "flattableid", "conceptualtableid"],
  msysqueries: ["objectid"],
  msysnavpaneobjectids: ["id"],
  msysnavpanegrouptoobjects: ["objectid"],
};

const lower = (s) => String(s).toLowerCase();

// Maps every object id of a dump's MSysObjects to a name that survives a
// change of ids: the chain of object names from the root down
// ("Tables/Orders"), anchored at the raw id of the outermost parent that is
// not itself an object. Ids held by two objects are reported as problems.
export function objectKeys(dump) {
  const keys = new Map();
  const problems = [];
  const table = dump.tables.find((t) => lower(t.name) === "msysobjects");
  if (!table) return { keys, problems };
  const col = (name) => table.columns.findIndex((c) => lower(c.name) === name);
  const [idCol, parentCol, nameCol] = [col("id"), col("parentid"), col("name")];
  if (idCol < 0 || parentCol < 0 || nameCol < 0) {
    problems.push("MSysObjects lacks one of the columns Id, ParentId, Name");
    return { keys, problems };
  }
  const objects = new Map();
  for (const row of table.rows) {
    const id = row[idCol];
    if (objects.has(id)) problems.push(`MSysObjects: object id ${id} occurs more than once`);
    objects.set(id, { parent: row[parentCol], name: row[nameCol] });
  }
  const resolve = (id, seen = new Set()) => {
    if (keys.has(id)) return keys.get(id);
    const obj = objects.get(id);
    if (!obj) return `#${id}`;
    if (seen.has(id)) return `#cycle:${id}`;
    seen.add(id);
    const key = `${resolve(obj.parent, seen)}/${obj.name}`;
    keys.set(id, key);
    return key;
  };
  for (const id of objects.keys()) resolve(id);
  const byKey = new Map();
  for (const [id, key] of keys) {
    if (byKey.has(key)) problems.push(`MSysObjects: ids ${byKey.get(key)} and ${id} both name ${key}`);
    byKey.set(key, id);
  }
  return { keys, problems };
}

function canonicalId(value, keys) {
  if (value === null) return null;
  return keys.has(value) ? `object ${keys.get(value)}` : `unlisted id ${value}`;
}

function rowKey(row) {
  return jsonValue(row);
}

function describeRow(row, columns) {
  return "{" + columns.map((c, i) => `${c.name}: ${shorten(jsonValue(row[i]))}`).join(", ") + "}";
}

function shorten(text, limit = 120) {
  return text.length > limit ? `${text.slice(0, limit)}... (${text.length} chars)` : text;
}

// Pairs each row only in A with the most similar row only in B, so that a
// changed value is reported as such rather than as one missing and one
// extra row.
function pairRows(onlyA, onlyB) {
  const pairs = [];
  const restB = [...onlyB];
  const restA = [];
  for (const a of onlyA) {
    let best = -1;
    let bestScore = 0;
    restB.forEach((b, j) => {
      let score = 0;
      for (let i = 0; i < a.length; i++) if (jsonValue(a[i]) === jsonValue(b[i])) score++;
      if (score > bestScore) [best, bestScore] = [j, score];
    });
    if (best >= 0 && bestScore * 2 >= a.length) pairs.push([a, restB.splice(best, 1)[0]]);
    else restA.push(a);
  }
  return { pairs, restA, restB };
}

const MAX_ROWS_REPORTED = 20;

// Returns a list of human-readable differences; empty when the dumps agree.
// options.dropStaleNavPane: navigation-pane and MSysACEs rows whose object id
// names no object of their own dump are left out on both sides (a compaction
// drops these leftovers of deleted objects). options.rowOrder: rows that agree as
// multisets must also come in the same order (a copy lists rows as its
// source stores them).
export function compareDumps(a, b, labels = ["A", "B"], options = {}) {
  const [la, lb] = labels;
  const diffs = [];
  for (const field of ["format", "page_size"]) {
    if (a[field] !== b[field]) diffs.push(`${field}: ${la} ${jsonValue(a[field])}, ${lb} ${jsonValue(b[field])}`);
  }
  const idsA = objectKeys(a);
  const idsB = objectKeys(b);
  diffs.push(...idsA.problems.map((p) => `${la}: ${p}`), ...idsB.problems.map((p) => `${lb}: ${p}`));

  const namesA = a.tables.map((t) => t.name);
  const namesB = b.tables.map((t) => t.name);
  for (const [label, names] of [[la, namesA], [lb, namesB]]) {
    const seen = new Set();
    for (const n of names) {
      if (seen.has(n)) diffs.push(`${label}: table ${n} listed twice`);
      seen.add(n);
    }
  }
  const tablesB = new Map(b.tables.map((t) => [t.name, t]));
  const tablesA = new Map(a.tables.map((t) => [t.name, t]));
  for (const n of namesA) if (!tablesB.has(n)) diffs.push(`table ${n}: only in ${la}`);
  for (const n of namesB) if (!tablesA.has(n)) diffs.push(`table ${n}: only in ${lb}`);
  const common = namesA.filter((n) => tablesB.has(n));
  const orderA = common.join("\u0000");
  const orderB = namesB.filter((n) => tablesA.has(n)).join("\u0000");
  if (orderA !== orderB) diffs.push(`table order differs between ${la} and ${lb}`);

  for (const name of common) {
    let [ta, tb] = [tablesA.get(name), tablesB.get(name)];
    if (options.dropStaleNavPane && (lower(name).startsWith("msysnavpane") || lower(name) === "msysaces")) {
      [ta, tb] = [withoutStaleIds(ta, idsA.keys), withoutStaleIds(tb, idsB.keys)];
    }
    diffs.push(...compareTables(ta, tb, idsA.keys, idsB.keys, labels, options));
  }
  return diffs;
}

function withoutStaleIds(table, keys) {
  const idCols = new Set(ID_COLUMNS[lower(table.name)] ?? []);
  const positions = table.columns.flatMap((c, i) => (idCols.has(lower(c.name)) ? [i] : []));
  const rows = table.rows.filter(
    (r) => !Array.isArray(r) || !positions.some((i) => r[i] !== null && r[i] !== undefined && !keys.has(r[i])),
  );
  const dropped = table.rows.length - rows.length;
  return { ...table, rows, row_count: table.row_count - dropped };
}

function compareTables(ta, tb, keysA, keysB, [la, lb], options = {}) {
  const where = `table ${ta.name}`;
  const diffs = [];
  if (ta.system !== tb.system) diffs.push(`${where}: system ${la} ${ta.system}, ${lb} ${tb.system}`);

  // Columns, matched by name.
  const colsB = new Map(tb.columns.map((c, i) => [c.name, i]));
  const colsA = new Map(ta.columns.map((c, i) => [c.name, i]));
  const shared = [];
  for (const [i, c] of ta.columns.entries()) {
    if (!colsB.has(c.name)) {
      diffs.push(`${where}: column ${c.name} only in ${la}`);
      continue;
    }
    const d = tb.columns[colsB.get(c.name)];
    if (c.type !== d.type) diffs.push(`${where}: column ${c.name} type ${la} ${c.type}, ${lb} ${d.type}`);
    if (c.length !== d.length) diffs.push(`${where}: column ${c.name} length ${la} ${c.length}, ${lb} ${d.length}`);
    shared.push([i, colsB.get(c.name)]);
  }
  for (const c of tb.columns) if (!colsA.has(c.name)) diffs.push(`${where}: column ${c.name} only in ${lb}`);
  const orderA = ta.columns.filter((c) => colsB.has(c.name)).map((c) => c.name);
  const orderB = tb.columns.filter((c) => colsA.has(c.name)).map((c) => c.name);
  if (orderA.join("\u0000") !== orderB.join("\u0000")) {
    diffs.push(`${where}: column order ${la} [${orderA.join(", ")}], ${lb} [${orderB.join(", ")}]`);
  }

  for (const [label, t] of [[la, ta], [lb, tb]]) {
    if (t.row_count !== t.rows.length) diffs.push(`${where}: ${label} says row_count ${t.row_count} but lists ${t.rows.length} rows`);
    t.rows.forEach((r, i) => {
      if (!Array.isArray(r) || r.length !== t.columns.length) {
        diffs.push(`${where}: ${label} row ${i} has ${Array.isArray(r) ? r.length : "no"} values for ${t.columns.length} columns`);
      }
    });
  }
  if (ta.row_count !== tb.row_count) diffs.push(`${where}: row_count ${la} ${ta.row_count}, ${lb} ${tb.row_count}`);

  // Rows as multisets over the shared columns, in A's column order, with
  // object ids replaced by the names of the objects they denote.
  const idCols = new Set(ID_COLUMNS[lower(ta.name)] ?? []);
  const project = (row, side) =>
    shared.map(([ia, ib]) => {
      const index = side === 0 ? ia : ib;
      const value = Array.isArray(row) ? row[index] : undefined;
      if (!idCols.has(lower(ta.columns[ia].name))) return value === undefined ? "<missing>" : value;
      return canonicalId(value, side === 0 ? keysA : keysB);
    });
  const sharedColumns = shared.map(([ia]) => ta.columns[ia]);
  const counts = new Map();
  const rowsA = ta.rows.map((r) => project(r, 0));
  const rowsB = tb.rows.map((r) => project(r, 1));
  for (const r of rowsA) {
    const k = rowKey(r);
    const e = counts.get(k) ?? { row: r, n: 0 };
    e.n++;
    counts.set(k, e);
  }
  const onlyB = [];
  for (const r of rowsB) {
    const e = counts.get(rowKey(r));
    if (e && e.n > 0) e.n--;
    else onlyB.push(r);
  }
  const onlyA = [];
  for (const e of counts.values()) for (let i = 0; i < e.n; i++) onlyA.push(e.row);
  if (onlyA.length === 0 && onlyB.length === 0) {
    if (options.rowOrder) {
      const first = rowsA.findIndex((r, i) => rowKey(r) !== rowKey(rowsB[i]));
      if (first >= 0) {
        diffs.push(
          `${where}: rows in another order; row ${first} is ${describeRow(rowsA[first], sharedColumns)} in ${la}, ` +
            `${describeRow(rowsB[first], sharedColumns)} in ${lb}`,
        );
      }
    }
    return diffs;
  }

  diffs.push(`${where}: ${onlyA.length} row(s) only in ${la}, ${onlyB.length} row(s) only in ${lb}`);
  const { pairs, restA, restB } = pairRows(onlyA, onlyB);
  let reported = 0;
  for (const [ra, rb] of pairs) {
    if (reported++ >= MAX_ROWS_REPORTED) break;
    const changes = sharedColumns
      .map((c, i) => (jsonValue(ra[i]) === jsonValue(rb[i]) ? null : `${c.name}: ${la} ${shorten(jsonValue(ra[i]))}, ${lb} ${shorten(jsonValue(rb[i]))}`))
      .filter(Boolean);
    diffs.push(`${where}: row ${describeRow(ra, sharedColumns)}\n    differs in ${changes.join("\n               ")}`);
  }
  for (const r of restA) {
    if (reported++ >= MAX_ROWS_REPORTED) break;
    diffs.push(`${where}: row only in ${la}: ${describeRow(r, sharedColumns)}`);
  }
  for (const r of restB) {
    if (reported++ >= MAX_ROWS_REPORTED) break;
    diffs.push(`${where}: row only in ${lb}: ${describeRow(r, sharedColumns)}`);
  }
  if (reported > MAX_ROWS_REPORTED) diffs.push(`${where}: (further differing rows not listed)`);
  return diffs;
}

// Value formatting of the canonical dump, written independently of the
// engine's own code so the two can check each other.

const MS_PER_DAY = 86400000;
const EPOCH_UTC = Date.UTC(1899, 11, 30); // day 0 of the stored day count

// Shortest decimal that reads back as the same 32-bit float.
export function formatSingle(value) {
  const special = nonFinite(value);
  if (special !== undefined) return special;
  const f = Math.fround(value);
  if (f === 0) return Object.is(f, -0) ? -0 : 0;
  for (let digits = 1; digits <= 9; digits++) {
    const candidate = Number(f.toPrecision(digits));
    if (Math.fround(candidate) === f) return candidate;
  }
  return f; // not reached: 9 significant digits always round-trip a float32
}

// Shortest decimal that reads back as the same double: JavaScript's own
// number-to-string conversion, with the non-finite values as strings.
export function formatDouble(value) {
  const special = nonFinite(value);
  return special !== undefined ? special : value;
}

function nonFinite(value) {
  if (Number.isNaN(value)) return "NaN";
  if (value === Infinity) return "Infinity";
  if (value === -Infinity) return "-Infinity";
  return undefined;
}

// Stored day count (days since 1899-12-30, fraction = time of day) to
// "YYYY-MM-DD HH:MM:SS[.mmm]". The whole-day part is truncated toward zero and
// the fraction's absolute value is the time of day, so -1.25 is
// 1899-12-29 06:00:00. A time rounding to 24:00 moves to the next day, away
// from the epoch for negative values.
export function formatDateTime(days) {
  if (!Number.isFinite(days)) throw new RangeError(`date/time value ${days} is not a finite number`);
  let whole = Math.trunc(days);
  let ms = Math.round(Math.abs(days - whole) * MS_PER_DAY);
  if (ms === MS_PER_DAY) {
    ms = 0;
    whole += days < 0 ? -1 : 1;
  }
  const date = new Date(EPOCH_UTC + whole * MS_PER_DAY);
  if (Number.isNaN(date.getTime())) throw new RangeError(`date/time value ${days} is out of range`);
  const year = date.getUTCFullYear();
  const yearText = year < 0 ? "-" + String(-year).padStart(4, "0") : String(year).padStart(4, "0");
  const two = (n) => String(n).padStart(2, "0");
  const hours = Math.floor(ms / 3600000);
  const minutes = Math.floor(ms / 60000) % 60;
  const seconds = Math.floor(ms / 1000) % 60;
  const millis = ms % 1000;
  let text = `${yearText}-${two(date.getUTCMonth() + 1)}-${two(date.getUTCDate())} ${two(hours)}:${two(minutes)}:${two(seconds)}`;
  if (millis !== 0) text += "." + String(millis).padStart(3, "0");
  return text;
}

// Exact decimal with `scale` fraction digits from an integer (BigInt) count
// of 10^-scale units.
export function formatScaled(units, scale) {
  const negative = units < 0n;
  const digits = (negative ? -units : units).toString().padStart(scale + 1, "0");
  const text = scale > 0 ? `${digits.slice(0, -scale)}.${digits.slice(-scale)}` : digits;
  return negative ? "-" + text : text;
}

// A decimal string such as "-12.3" or "0.0001" (as mdb-reader gives currency
// and numeric values) brought to exactly `scale` fraction digits. Refuses to
// drop non-zero digits rather than rounding.
export function normaliseDecimal(text, scale) {
  const match = /^(-?)(\d+)(?:\.(\d*))?$/.exec(String(text));
  if (!match) throw new Error(`not a decimal number: ${JSON.stringify(text)}`);
  const [, sign, whole, fraction = ""] = match;
  if (fraction.length > scale && /[^0]/.test(fraction.slice(scale))) {
    throw new Error(`${text} has more than ${scale} fraction digits`);
  }
  const units = BigInt(whole + fraction.slice(0, scale).padEnd(scale, "0"));
  const formatted = formatScaled(units, scale);
  // A stored negative zero keeps its sign visible rather than being hidden.
  return sign ? "-" + formatted : formatted;
}

// JSON text of one value, writing -0 with its sign (JSON.stringify drops it).
export function jsonValue(v) {
  if (typeof v === "number") return Object.is(v, -0) ? "-0" : JSON.stringify(v);
  if (Array.isArray(v)) return `[${v.map(jsonValue).join(",")}]`;
  if (v !== null && typeof v === "object") {
    return `{${Object.entries(v).map(([k, x]) => `${JSON.stringify(k)}:${jsonValue(x)}`).join(",")}}`;
  }
  return JSON.stringify(v);
}

// A dump as text: one line per column and per row, so that a diff of two
// dumps reads well.
export function stringifyDump(dump) {
  const out = [];
  out.push(`{"format":${jsonValue(dump.format)},"page_size":${jsonValue(dump.page_size)},"tables":[`);
  dump.tables.forEach((table, t) => {
    out.push(`{"name":${jsonValue(table.name)},"system":${jsonValue(table.system)},"columns":[`);
    out.push(table.columns.map(jsonValue).join(",\n"));
    out.push(`],"row_count":${jsonValue(table.row_count)},"rows":[`);
    out.push(table.rows.map(jsonValue).join(",\n"));
    out.push(`]}${t + 1 < dump.tables.length ? "," : ""}`);
  });
  out.push("]}");
  return out.filter((line) => line !== "").join("\n") + "\n";
}

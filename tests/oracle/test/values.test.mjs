import { test } from "node:test";
import assert from "node:assert/strict";
import { formatDateTime, formatDouble, formatSingle, jsonValue, normaliseDecimal } from "../lib/values.mjs";

test("single: the shortest decimal that reads back as the same float", () => {
  assert.equal(formatSingle(Math.fround(0.1)), 0.1);
  assert.equal(formatSingle(Math.fround(1 / 3)), 0.33333334);
  assert.equal(formatSingle(Math.fround(3.4028234663852886e38)), 3.4028235e38);
  assert.equal(formatSingle(Math.fround(1.401298464324817e-45)), 1e-45);
  assert.equal(formatSingle(16777217), 16777216);
  assert.ok(Object.is(formatSingle(-0), -0));
  assert.equal(formatSingle(NaN), "NaN");
  assert.equal(formatSingle(-Infinity), "-Infinity");
  // Every value round-trips and no shorter decimal would.
  for (const bits of [0x3f8ccccd, 0x4b189680, 0x00800000, 0x7f7fffff, 0x3eaaaaab, 0xc2f6e979]) {
    const f = new Float32Array(new Uint32Array([bits]).buffer)[0];
    const shortest = formatSingle(f);
    assert.equal(Math.fround(shortest), f);
    const digits = shortest.toExponential().replace(/e.*$/, "").replace(/[-.]/g, "").length;
    if (digits > 1) assert.notEqual(Math.fround(Number(f.toPrecision(digits - 1))), f);
  }
});

test("double: shortest form, non-finite values as strings", () => {
  assert.equal(jsonValue(formatDouble(0.1 + 0.2)), "0.30000000000000004");
  assert.equal(formatDouble(Infinity), "Infinity");
  assert.equal(formatDouble(NaN), "NaN");
  assert.equal(jsonValue(formatDouble(-0)), "-0");
});

test("date/time from the stored day count", () => {
  assert.equal(formatDateTime(0), "1899-12-30 00:00:00");
  assert.equal(formatDateTime(36526.5), "2000-01-01 12:00:00");
  assert.equal(formatDateTime(-1.25), "1899-12-29 06:00:00");
  assert.equal(formatDateTime(-0.5), "1899-12-30 12:00:00");
  assert.equal(formatDateTime(1 + 1.5 / 86400), "1899-12-31 00:00:01.500");
  assert.equal(formatDateTime(2 + 0.0004 / 86400), "1900-01-01 00:00:00");
  // A time rounding up to 24:00 moves to the next day, away from the epoch.
  assert.equal(formatDateTime(1 - 0.0001 / 86400), "1899-12-31 00:00:00");
  assert.equal(formatDateTime(-1 - (1 - 0.0001 / 86400)), "1899-12-28 00:00:00");
  assert.equal(formatDateTime(-0.9999999999), "1899-12-29 00:00:00");
  assert.equal(formatDateTime(2958465.99999), "9999-12-31 23:59:59.136");
  assert.equal(formatDateTime(-657434), "0100-01-01 00:00:00");
  assert.throws(() => formatDateTime(NaN));
});

test("exact decimals keep exactly the scale", () => {
  assert.equal(normaliseDecimal("3.5", 4), "3.5000");
  assert.equal(normaliseDecimal("-1234.56", 4), "-1234.5600");
  assert.equal(normaliseDecimal("0.0001", 4), "0.0001");
  assert.equal(normaliseDecimal("922337203685477.5807", 4), "922337203685477.5807");
  assert.equal(normaliseDecimal("-12.300", 3), "-12.300");
  assert.equal(normaliseDecimal("42", 0), "42");
  assert.throws(() => normaliseDecimal("1.23456", 4));
  assert.throws(() => normaliseDecimal("1e5", 2));
});

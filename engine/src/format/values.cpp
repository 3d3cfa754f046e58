#include "engine/values.h"
#include "format/text.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "base/bytes.h"

namespace engine {

void FormatCurrency(int64_t v, std::string& out) {
  uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  if (v < 0) out.push_back('-');
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, mag / 10000);
  out.append(buf, r.ptr);
  uint64_t frac = mag % 10000;
  out.push_back('.');
  out.push_back(static_cast<char>('0' + frac / 1000));
  out.push_back(static_cast<char>('0' + frac / 100 % 10));
  out.push_back(static_cast<char>('0' + frac / 10 % 10));
  out.push_back(static_cast<char>('0' + frac % 10));
}

namespace {
// Shortest digits that read back as the same value, laid out the way
// JavaScript prints numbers: plain decimals for 1e-7 <= |x| < 1e21, an
// exponent otherwise ("1e+21", "1.5e-7").
template <typename T>
void FormatFloating(T value, std::string& out) {
  if (std::isnan(value)) {
    out += "\"NaN\"";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    return;
  }
  if (value == 0) {
    out.push_back('0');
    return;
  }
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[40];
  int k = 0;
  while (p < r.ptr && *p != 'e') {
    if (*p != '.') digits[k++] = *p;
    ++p;
  }
  int exp = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), r.ptr, exp);
  int n = exp + 1;  // digits before the decimal point
  if (k <= n && n <= 21) {
    out.append(digits, static_cast<size_t>(k));
    out.append(static_cast<size_t>(n - k), '0');
  } else if (0 < n && n <= 21) {
    out.append(digits, static_cast<size_t>(n));
    out.push_back('.');
    out.append(digits + n, static_cast<size_t>(k - n));
  } else if (-6 < n && n <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-n), '0');
    out.append(digits, static_cast<size_t>(k));
  } else {
    out.push_back(digits[0]);
    if (k > 1) {
      out.push_back('.');
      out.append(digits + 1, static_cast<size_t>(k - 1));
    }
    out.push_back('e');
    out.push_back(n - 1 < 0 ? '-' : '+');
    char ebuf[8];
    auto er = std::to_chars(ebuf, ebuf + sizeof ebuf, n - 1 < 0 ? 1 - n : n - 1);
    out.append(ebuf, er.ptr);
  }
}

void Append2(int v, std::string& out) {
  out.push_back(static_cast<char>('0' + v / 10));
  out.push_back(static_cast<char>('0' + v % 10));
}
// "YYYY-MM-DD" (a leading '-' before year 0) of a day count from
// 1970-01-01, proleptic Gregorian.
void AppendCivilDate(int64_t days_since_1970, std::string& out) {
  int64_t z = days_since_1970 + 719468;  // from 0000-03-01
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char buf[48];
  int n;
  if (y >= 0) {
    n = std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(y));
  } else {
    n = std::snprintf(buf, sizeof buf, "-%04lld", static_cast<long long>(-y));
  }
  out.append(buf, static_cast<size_t>(n));
  out.push_back('-');
  Append2(static_cast<int>(m), out);
  out.push_back('-');
  Append2(static_cast<int>(d), out);
}

// " HH:MM:SS" of seconds into the day.
void AppendTimeOfDay(int64_t secs, std::string& out) {
  out.push_back(' ');
  Append2(static_cast<int>(secs / 3600), out);
  out.push_back(':');
  Append2(static_cast<int>(secs / 60 % 60), out);
  out.push_back(':');
  Append2(static_cast<int>(secs % 60), out);
}

}  // namespace

void FormatDouble(double value, std::string& out) {
  FormatFloating(value, out);
}
void FormatSingle(float value, std::string& out) {
  FormatFloating(value, out);
}

void FormatDateTime(double days, std::string& out) {
  if (!std::isfinite(days) || std::fabs(days) > 1e8) {
    // Far outside any calendar Access shows; keep the number visible.
    out += "invalid date ";
    std::string num;
    FormatDouble(days, num);
    if (!num.empty() && num[0] == '"') num = num.substr(1, num.size() - 2);
    out += num;
    return;
  }
  double whole = std::trunc(days);
  double frac = std::fabs(days - whole);
  auto day = static_cast<int64_t>(whole);
  auto ms = static_cast<int64_t>(std::llround(frac * 86400000.0));
  if (ms >= 86400000) {
    ms -= 86400000;
    day += days < 0 ? -1 : 1;
  }
  AppendCivilDate(day - 25569, out);  // 1899-12-30 is 25569 days before 1970-01-01
  AppendTimeOfDay(ms / 1000, out);
  int64_t milli = ms % 1000;
  if (milli != 0) {
    out.push_back('.');
    out.push_back(static_cast<char>('0' + milli / 100));
    out.push_back(static_cast<char>('0' + milli / 10 % 10));
    out.push_back(static_cast<char>('0' + milli % 10));
  }
}

bool FormatDateTimeExtended(ByteSpan v, std::string& out) {
  auto digits = [&](size_t at, size_t n, uint64_t& value) {
    value = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (v[i] < '0' || v[i] > '9') return false;
      value = value * 10 + (v[i] - '0');
    }
    return true;
  };
  uint64_t days = 0, seconds = 0, ticks = 0;
  if (v.size() < 41 || v[19] != ':' || v[39] != ':' || !digits(0, 19, days) ||
      !digits(20, 12, seconds) || !digits(32, 7, ticks) || seconds >= 86400 ||
      days > 3652058) {  // 9999-12-31
    return false;
  }
  AppendCivilDate(static_cast<int64_t>(days) - 719162, out);  // 0001-01-01 to 1970-01-01
  AppendTimeOfDay(static_cast<int64_t>(seconds), out);
  if (ticks != 0) {
    char buf[16];
    int n = std::snprintf(buf, sizeof buf, ".%07llu", static_cast<unsigned long long>(ticks));
    out.append(buf, static_cast<size_t>(n));
  }
  return true;
}

void FormatGuid(ByteSpan b, std::string& out) {
  static const char kHex[] = "0123456789ABCDEF";
  auto hex = [&](uint8_t v) {
    out.push_back(kHex[v >> 4]);
    out.push_back(kHex[v & 15]);
  };
  if (b.size() != 16) return;
  out.push_back('{');
  for (int i = 3; i >= 0; --i) hex(b[i]);
  out.push_back('-');
  hex(b[5]);
  hex(b[4]);
  out.push_back('-');
  hex(b[7]);
  hex(b[6]);
  out.push_back('-');
  hex(b[8]);
  hex(b[9]);
  out.push_back('-');
  for (int i = 10; i < 16; ++i) hex(b[i]);
  out.push_back('}');
}

bool FormatNumeric(ByteSpan b, uint8_t scale, std::string& out) {
  if (b.size() != 17) return false;
  // Magnitude: four 32-bit little-endian words, most significant first.
  uint32_t words[4];
  for (int i = 0; i < 4; ++i) words[i] = Le32(b.data() + 1 + 4 * i);
  // Repeated division by 10 over the 128-bit value held as four words.
  char digits[320];
  int n = 0;
  bool zero = (words[0] | words[1] | words[2] | words[3]) == 0;
  while ((words[0] | words[1] | words[2] | words[3]) != 0) {
    uint64_t rem = 0;
    for (int i = 0; i < 4; ++i) {
      uint64_t cur = (rem << 32) | words[i];
      words[i] = static_cast<uint32_t>(cur / 10);
      rem = cur % 10;
    }
    digits[n++] = static_cast<char>('0' + rem);
  }
  while (n <= scale) digits[n++] = '0';
  if ((b[0] & 0x80) && !zero) out.push_back('-');
  for (int i = n - 1; i >= 0; --i) {
    out.push_back(digits[i]);
    if (i == scale && scale > 0) out.push_back('.');
  }
  return true;
}

void AppendBase64(ByteSpan in, std::string& out) {
  static const char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  size_t i = 0;
  size_t n = in.size();
  size_t base = out.size();
  out.resize(base + (n + 2) / 3 * 4);
  char* o = out.data() + base;
  for (; i + 3 <= n; i += 3) {
    uint32_t v =
        (static_cast<uint32_t>(in[i]) << 16) | (static_cast<uint32_t>(in[i + 1]) << 8) | in[i + 2];
    *o++ = kTable[v >> 18];
    *o++ = kTable[(v >> 12) & 63];
    *o++ = kTable[(v >> 6) & 63];
    *o++ = kTable[v & 63];
  }
  if (i < n) {
    uint32_t v = static_cast<uint32_t>(in[i]) << 16;
    if (i + 1 < n) v |= static_cast<uint32_t>(in[i + 1]) << 8;
    *o++ = kTable[v >> 18];
    *o++ = kTable[(v >> 12) & 63];
    *o++ = i + 1 < n ? kTable[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
}

}  // namespace engine

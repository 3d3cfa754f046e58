#include "engine/values.h"

#include <iconv.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <mutex>

#include "bytes.h"

namespace engine {

void AppendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void DecodeUcs2(ByteSpan bytes, std::string& out) {
  size_t n = bytes.size() / 2;
  const uint8_t* p = bytes.data();
  for (size_t i = 0; i < n; ++i) {
    uint32_t u = Le16(p + 2 * i);
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
      uint32_t lo = Le16(p + 2 * (i + 1));
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00), out);
        ++i;
      } else {
        AppendUtf8(0xFFFD, out);
      }
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(0xFFFD, out);
    } else {
      AppendUtf8(u, out);
    }
  }
  // An odd trailing byte is not a character.
  if (bytes.size() % 2 != 0) AppendUtf8(0xFFFD, out);
}

void ExpandCompressedUnicode(ByteSpan in, std::string& ucs2) {
  bool compressed = true;
  size_t i = 0;
  while (i < in.size()) {
    uint8_t b = in[i];
    if (b == 0) {
      compressed = !compressed;
      ++i;
    } else if (compressed) {
      ucs2.push_back(static_cast<char>(b));
      ucs2.push_back('\0');
      ++i;
    } else {
      if (i + 1 >= in.size()) break;  // half a character at the end
      ucs2.push_back(static_cast<char>(in[i]));
      ucs2.push_back(static_cast<char>(in[i + 1]));
      i += 2;
    }
  }
}

TextCodec::TextCodec(JetVersion version, uint16_t code_page)
    : version_(version), code_page_(code_page) {
  if (version_ != JetVersion::kJet3) return;
  uint16_t cp = code_page_ == 0 ? 1252 : code_page_;
  // Double-byte code pages go through iconv per value; every other code
  // page is single-byte and gets a table built once.
  bool dbcs = cp == 932 || cp == 936 || cp == 949 || cp == 950 || cp == 1361;
  iconv_name_ = "CP" + std::to_string(cp);
  if (dbcs) return;
  iconv_t cd = iconv_open("UTF-32LE", iconv_name_.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    cd = iconv_open("UTF-32LE", "CP1252");  // unknown code page: the usual one
  }
  single_byte_ = true;
  for (uint32_t b = 0; b < 256; ++b) {
    // A byte the code page leaves undefined. In 0x80-0x9F it becomes the C1
    // control of the same number, as Windows decodes it: that keeps the five
    // holes of code page 1252 (81 8D 8F 90 9D) apart instead of folding them
    // all into U+FFFD.
    table_[b] = (b >= 0x80 && b <= 0x9F) ? b : 0xFFFD;
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      if (b < 0x80) table_[b] = b;
      continue;
    }
    char in = static_cast<char>(b);
    char outbuf[8];
    char* inp = &in;
    size_t inleft = 1;
    char* outp = outbuf;
    size_t outleft = sizeof outbuf;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inp, &inleft, &outp, &outleft) != static_cast<size_t>(-1) && outleft == 4) {
      table_[b] = Le32(reinterpret_cast<const uint8_t*>(outbuf));
    }
  }
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
}

TextCodec::~TextCodec() = default;

void TextCodec::DecodeCodePage(ByteSpan stored, std::string& out) const {
  if (single_byte_) {
    for (uint8_t b : stored) {
      if (b < 0x80 && table_[b] == b) {
        out.push_back(static_cast<char>(b));
      } else {
        AppendUtf8(table_[b], out);
      }
    }
    return;
  }
  iconv_t cd = iconv_open("UTF-8", iconv_name_.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (uint8_t b : stored) AppendUtf8(b < 0x80 ? b : 0xFFFD, out);
    return;
  }
  char* inp = reinterpret_cast<char*>(const_cast<uint8_t*>(stored.data()));
  size_t inleft = stored.size();
  std::string buffer(stored.size() * 4 + 8, '\0');
  while (inleft > 0) {
    char* outp = buffer.data();
    size_t outleft = buffer.size();
    size_t r = iconv(cd, &inp, &inleft, &outp, &outleft);
    out.append(buffer.data(), buffer.size() - outleft);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // Invalid or incomplete sequence: replace one byte and go on.
      AppendUtf8(0xFFFD, out);
      ++inp;
      --inleft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
}

void TextCodec::DecodeValue(ByteSpan stored, std::string& out) const {
  if (version_ == JetVersion::kJet3) {
    DecodeCodePage(stored, out);
    return;
  }
  if (stored.size() >= 2 && stored[0] == 0xFF && stored[1] == 0xFE) {
    std::string ucs2;
    ucs2.reserve(stored.size() * 2);
    ExpandCompressedUnicode(stored.subspan(2), ucs2);
    DecodeUcs2(ByteSpan(reinterpret_cast<const uint8_t*>(ucs2.data()), ucs2.size()), out);
    return;
  }
  DecodeUcs2(stored, out);
}

void TextCodec::DecodeName(ByteSpan stored, std::string& out) const {
  if (version_ == JetVersion::kJet3) {
    DecodeCodePage(stored, out);
  } else {
    DecodeUcs2(stored, out);
  }
}

std::string TextCodec::Name(ByteSpan stored) const {
  std::string out;
  DecodeName(stored, out);
  return out;
}

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
  // Days since 1899-12-30 -> civil date (proleptic Gregorian).
  int64_t z = day - 25569 + 719468;  // 1899-12-30 is 25569 days before 1970-01-01
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
  out.push_back(' ');
  int64_t secs = ms / 1000;
  Append2(static_cast<int>(secs / 3600), out);
  out.push_back(':');
  Append2(static_cast<int>(secs / 60 % 60), out);
  out.push_back(':');
  Append2(static_cast<int>(secs % 60), out);
  int64_t milli = ms % 1000;
  if (milli != 0) {
    out.push_back('.');
    out.push_back(static_cast<char>('0' + milli / 100));
    out.push_back(static_cast<char>('0' + milli / 10 % 10));
    out.push_back(static_cast<char>('0' + milli % 10));
  }
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

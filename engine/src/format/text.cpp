#include "format/text.h"

#include <iconv.h>

#include <cstring>
#include <mutex>

#include "base/bytes.h"
#include "base/unicode.h"

namespace engine {

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

}  // namespace engine

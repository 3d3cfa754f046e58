// Stored text (Jet 4 UCS-2, compressed or not; Jet 3 code pages) to UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/unicode.h"
#include "engine/types.h"

namespace engine {

// Turns stored text into UTF-8.
//   Jet 4: UCS-2 little-endian; a value starting FF FE is "compressed":
//          one byte per character (U+0001..U+00FF) with 0x00 toggling to
//          2-byte units and back.
//   Jet 3: bytes in the database's code page, converted with iconv.
// Characters that cannot be decoded (lone surrogates, bytes the code page
// leaves undefined) become U+FFFD.
class TextCodec {
 public:
  TextCodec(JetVersion version, uint16_t code_page);
  ~TextCodec();
  TextCodec(const TextCodec&) = delete;
  TextCodec& operator=(const TextCodec&) = delete;

  JetVersion version() const { return version_; }
  uint16_t code_page() const { return code_page_; }

  // A Text or Memo value (Jet 4: compression detected). Appends to out.
  void DecodeValue(ByteSpan stored, std::string& out) const;
  // A name in a table definition or property blob (Jet 4: plain UCS-2).
  void DecodeName(ByteSpan stored, std::string& out) const;
  std::string Name(ByteSpan stored) const;

 private:
  void DecodeCodePage(ByteSpan stored, std::string& out) const;

  JetVersion version_;
  uint16_t code_page_;
  bool single_byte_ = false;
  uint32_t table_[256] = {};  // single-byte code pages: byte -> code point
  std::string iconv_name_;    // multi-byte code pages
};

// Expands Jet 4 compressed text (the bytes after FF FE) to UCS-2 LE.
void ExpandCompressedUnicode(ByteSpan compressed, std::string& ucs2_out);

}  // namespace engine

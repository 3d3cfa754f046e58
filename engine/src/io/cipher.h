// RC4 and the page keystream of encoded databases.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/types.h"

namespace engine {

// RC4 stream cipher; used for the header mask and for encoded pages.
class Rc4 {
 public:
  explicit Rc4(ByteSpan key);
  // XORs the keystream over data (encoding and decoding are the same).
  void Apply(uint8_t* data, size_t length);

 private:
  std::array<uint8_t, 256> s_{};
  uint8_t i_ = 0;
  uint8_t j_ = 0;
};

// XORs `length` bytes of page `page_number` with the page keystream of a
// database whose key is `database_key` (no-op for key 0).
void ApplyPageCipher(uint8_t* page, size_t length, uint32_t page_number, uint32_t database_key);

// A page cipher other than the Jet keystream above (the schemes of
// password-protected ACE files). Pages are coded one at a time, in place;
// page 0 is never coded. Encode undoes Decode, so a writer can keep the
// source's scheme, parameters and password.
class PageCipher {
 public:
  virtual ~PageCipher() = default;
  virtual void Decode(uint8_t* page, size_t length, uint32_t page_number) const = 0;
  virtual void Encode(uint8_t* page, size_t length, uint32_t page_number) const = 0;
};

}  // namespace engine

// RC4 and the page keystream of encoded databases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/types.h"

namespace engine {

// RC4 stream cipher (libcrypto's); used for the header mask and for
// encoded pages.
class Rc4 {
 public:
  explicit Rc4(ByteSpan key);
  ~Rc4();
  Rc4(const Rc4&) = delete;
  Rc4& operator=(const Rc4&) = delete;
  // XORs the keystream over data (encoding and decoding are the same); a
  // second call goes on where the first stopped.
  void Apply(uint8_t* data, size_t length);

 private:
  struct State;
  std::unique_ptr<State> state_;
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

#include "io/cipher.h"

#include <utility>

namespace engine {

Rc4::Rc4(ByteSpan key) {
  for (int i = 0; i < 256; ++i) s_[i] = static_cast<uint8_t>(i);
  if (key.empty()) return;
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + s_[i] + key[i % key.size()]);
    std::swap(s_[i], s_[j]);
  }
}

void Rc4::Apply(uint8_t* data, size_t length) {
  // The state is worked on in locals: `data` may alias any byte, so through
  // the members every store to it would force the state to be reloaded.
  std::array<uint8_t, 256> s = s_;
  uint8_t i = i_;
  uint8_t j = j_;
  for (size_t n = 0; n < length; ++n) {
    i = static_cast<uint8_t>(i + 1);
    const uint8_t si = s[i];
    j = static_cast<uint8_t>(j + si);
    const uint8_t sj = s[j];
    s[i] = sj;
    s[j] = si;
    data[n] ^= s[static_cast<uint8_t>(si + sj)];
  }
  s_ = s;
  i_ = i;
  j_ = j;
}

void ApplyPageCipher(uint8_t* page, size_t length, uint32_t page_number, uint32_t database_key) {
  if (database_key == 0) return;
  uint32_t k = database_key ^ page_number;
  uint8_t key[4] = {static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8),
                    static_cast<uint8_t>(k >> 16), static_cast<uint8_t>(k >> 24)};
  Rc4 rc4(ByteSpan(key, 4));
  rc4.Apply(page, length);
}

}  // namespace engine

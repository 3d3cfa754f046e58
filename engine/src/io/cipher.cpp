#include "io/cipher.h"

// RC4 has no EVP form outside OpenSSL 3's legacy provider, which a system
// may not load; the plain functions are always in libcrypto.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/rc4.h>

#include <algorithm>
#include <climits>

namespace engine {

struct Rc4::State {
  RC4_KEY key;
};

Rc4::Rc4(ByteSpan key) : state_(std::make_unique<State>()) {
  // The key schedule needs a byte of key: with none, the permutation stays
  // the identity.
  if (key.empty()) {
    for (int i = 0; i < 256; ++i) state_->key.data[i] = static_cast<RC4_INT>(i);
    state_->key.x = 0;
    state_->key.y = 0;
    return;
  }
  RC4_set_key(&state_->key, static_cast<int>(std::min<size_t>(key.size(), INT_MAX)), key.data());
}

Rc4::~Rc4() = default;

void Rc4::Apply(uint8_t* data, size_t length) {
  RC4(&state_->key, length, data, data);
}

void ApplyPageCipher(uint8_t* page, size_t length, uint32_t page_number, uint32_t database_key) {
  if (database_key == 0) return;
  uint32_t k = database_key ^ page_number;
  const uint8_t key[4] = {static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8),
                          static_cast<uint8_t>(k >> 16), static_cast<uint8_t>(k >> 24)};
  // On the stack: this runs once a page.
  RC4_KEY schedule;
  RC4_set_key(&schedule, 4, key);
  RC4(&schedule, length, page, page);
}

}  // namespace engine

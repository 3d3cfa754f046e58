// The page encryption of password-protected ACE files: the encryption
// header page 0 carries (a 16-bit length at 0x299, the header after it) and
// the page ciphers it describes. Two schemes are read: RC4 through the
// CryptoAPI key derivation (version 2.2 / 3.2 / 4.2 headers with the CryptoAPI
// flag, as Access 2007 writes them) and the agile scheme (version 4.4, an XML
// descriptor: AES-CBC pages, keys derived from the password by an iterated
// hash, as Access 2010 and later write them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.h"
#include "engine/types.h"
#include "io/cipher.h"

namespace engine {

enum class OfficeScheme {
  kRc4CryptoApi,  // RC4, keys from SHA-1 of the salted password hash
  kAesStandard,   // AES-ECB, CryptoAPI key derivation after 50000 hash rounds
  kAesCryptoApi,  // the same without the rounds (a CryptoAPI header naming AES
                  // without the AES flag)
  kAgile,
};

// What the encryption header says, checked for plausibility.
struct OfficeEncryption {
  OfficeScheme scheme = OfficeScheme::kAgile;
  uint16_t version_major = 0;
  uint16_t version_minor = 0;
  std::string cipher;  // "RC4", "AES"
  std::string hash;    // "SHA1", "SHA512", ...
  uint32_t key_bits = 0;
  uint32_t block_size = 0;  // the page cipher's (AES: 16; RC4: 0)
  uint32_t spin_count = 0;  // agile: iterations of the password hash
  // RC4 CryptoAPI: the password salt and the encrypted verifier and its hash.
  // Agile: the key data salt (page IVs) and, below, the password key
  // encryptor's own parameters.
  std::vector<uint8_t> salt;
  std::vector<uint8_t> verifier;
  std::vector<uint8_t> verifier_hash;
  uint32_t verifier_hash_size = 0;
  // Agile only.
  std::string password_hash;
  std::string password_cipher;
  uint32_t password_key_bits = 0;
  uint32_t password_block_size = 0;
  std::vector<uint8_t> password_salt;
  std::vector<uint8_t> encrypted_key;
};

// Where the header's length sits on page 0, and the most it can take.
inline constexpr uint32_t kOfficeHeaderOffset = 0x299;

// Reads the encryption header of an ACE file's page 0 (unmasked). 3343 for a
// scheme this build does not read (naming it); 3049 for a header whose
// lengths, counts or values cannot be right.
Result<OfficeEncryption> ReadOfficeEncryption(ByteSpan page0);

// The page cipher for `password` (UTF-8): 3031 when the header's verifier
// shows the password is not the file's. `database_key` is page 0's key
// (XORed with the page number, it keys each page).
Result<std::unique_ptr<PageCipher>> OpenOfficeCipher(const OfficeEncryption& encryption,
                                                     uint32_t database_key,
                                                     std::string_view password);

}  // namespace engine

#include "io/office_cipher.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

#include "base/bytes.h"
#include "base/unicode.h"

namespace engine {

namespace {

constexpr uint32_t kCryptoApiFlag = 0x04;
constexpr uint32_t kAesFlag = 0x20;
constexpr uint32_t kAlgRc4 = 0x6801;
constexpr uint32_t kAlgSha1 = 0x8004;
constexpr uint32_t kAlgAes128 = 0x660E;  // 0x660F: 192 bits, 0x6610: 256
constexpr uint32_t kAlgAes256 = 0x6610;
// The standard AES scheme's iterations of the password hash.
constexpr uint32_t kStandardSpinCount = 50'000;
// Office allows at most ten million iterations; more would only stall.
constexpr uint32_t kMaxSpinCount = 10'000'000;
// Passwords longer than this are cut by Access.
constexpr size_t kMaxPasswordChars = 255;

// The block keys of the agile scheme's password key encryptor.
constexpr uint8_t kVerifierInputBlock[] = {0xfe, 0xa7, 0xd2, 0x76, 0x3b, 0x4b, 0x9e, 0x79};
constexpr uint8_t kVerifierValueBlock[] = {0xd7, 0xaa, 0x0f, 0x6d, 0x30, 0x61, 0x34, 0x4e};
constexpr uint8_t kKeyValueBlock[] = {0x14, 0x6e, 0x0b, 0xe7, 0xab, 0xac, 0xd0, 0xd6};

Error BadHeader(const std::string& what) {
  return Damaged("damaged encryption header on page 0: " + what);
}

std::string Num(uint64_t v) {
  return std::to_string(v);
}

// RC4 lives in OpenSSL 3's legacy provider: a library context of our own
// loads it (with the default provider beside it) so that the process's
// default context is left as it is.
OSSL_LIB_CTX* CipherContext() {
  static OSSL_LIB_CTX* ctx = [] {
    OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
    if (c != nullptr) {
      OSSL_PROVIDER_load(c, "default");
      OSSL_PROVIDER_load(c, "legacy");
    }
    return c;
  }();
  return ctx;
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct MdFree {
  void operator()(EVP_MD* m) const { EVP_MD_free(m); }
};
struct CipherFree {
  void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
using MdPtr = std::shared_ptr<EVP_MD>;
using CipherPtr = std::shared_ptr<EVP_CIPHER>;

MdPtr FetchHash(const std::string& name) {
  static const char* const kNames[][2] = {
      {"SHA1", "SHA1"}, {"SHA256", "SHA2-256"}, {"SHA384", "SHA2-384"}, {"SHA512", "SHA2-512"}};
  for (const auto& n : kNames) {
    if (name == n[0]) return MdPtr(EVP_MD_fetch(CipherContext(), n[1], nullptr), MdFree());
  }
  return nullptr;
}

// AES for `key_bits` (CBC, or ECB) or RC4.
CipherPtr FetchCipher(const std::string& name, uint32_t key_bits, bool ecb = false) {
  std::string openssl;
  if (name == "RC4") {
    openssl = "RC4";
  } else if (name == "AES" && (key_bits == 128 || key_bits == 192 || key_bits == 256)) {
    openssl = "AES-" + Num(key_bits) + (ecb ? "-ECB" : "-CBC");
  } else {
    return nullptr;
  }
  return CipherPtr(EVP_CIPHER_fetch(CipherContext(), openssl.c_str(), nullptr), CipherFree());
}

[[noreturn]] void CryptoFailure(const char* what) {
  Fail(ErrorCode::kDamaged, std::string("the cryptographic library failed to ") + what);
}

std::vector<uint8_t> Digest(const EVP_MD* md, std::initializer_list<ByteSpan> parts) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex2(ctx.get(), md, nullptr) != 1) CryptoFailure("start a hash");
  for (ByteSpan p : parts) {
    if (EVP_DigestUpdate(ctx.get(), p.data(), p.size()) != 1) CryptoFailure("hash");
  }
  std::vector<uint8_t> out(static_cast<size_t>(EVP_MD_get_size(md)));
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), &n) != 1) CryptoFailure("finish a hash");
  out.resize(n);
  return out;
}

// Cut to `length`, or filled up to it with `fill`.
std::vector<uint8_t> Fit(std::vector<uint8_t> v, size_t length, uint8_t fill = 0) {
  v.resize(length, fill);
  return v;
}

std::array<uint8_t, 4> Le32Bytes(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

ByteSpan Span(const std::vector<uint8_t>& v) {
  return ByteSpan(v.data(), v.size());
}

// In-place encryption or decryption, no padding: `length` a multiple of the
// block size for block ciphers.
void RunCipher(const EVP_CIPHER* cipher, ByteSpan key, ByteSpan iv, bool encrypt, uint8_t* data,
               size_t length) {
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx ||
      EVP_CipherInit_ex2(ctx.get(), cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key.size())) != 1 ||
      EVP_CipherInit_ex2(ctx.get(), nullptr, key.data(), iv.empty() ? nullptr : iv.data(), -1,
                         nullptr) != 1) {
    CryptoFailure("set up a cipher");
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  size_t done = 0;
  while (done < length) {
    const int chunk = static_cast<int>(std::min<size_t>(length - done, 1 << 20));
    int out = 0;
    if (EVP_CipherUpdate(ctx.get(), data + done, &out, data + done, chunk) != 1 || out != chunk) {
      CryptoFailure("run a cipher");
    }
    done += static_cast<size_t>(chunk);
  }
}

std::vector<uint8_t> Utf16Password(std::string_view password) {
  std::vector<uint8_t> out;
  size_t chars = 0;
  for (uint32_t cp : Utf8CodePoints(password)) {
    if (chars++ == kMaxPasswordChars) break;
    auto unit = [&](uint32_t u) {
      out.push_back(static_cast<uint8_t>(u));
      out.push_back(static_cast<uint8_t>(u >> 8));
    };
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

// ---- RC4 CryptoAPI ----

class Rc4CryptoApiCipher final : public PageCipher {
 public:
  Rc4CryptoApiCipher(CipherPtr rc4, MdPtr sha1, std::vector<uint8_t> base_hash, uint32_t key_bits,
                     uint32_t database_key)
      : rc4_(std::move(rc4)),
        sha1_(std::move(sha1)),
        base_hash_(std::move(base_hash)),
        key_bits_(key_bits),
        database_key_(database_key) {}

  // The RC4 key of block `block`: the salted password hash and the block's
  // number hashed, cut to the key size; a 40-bit key is zero-filled to 128
  // bits.
  std::vector<uint8_t> BlockKey(uint32_t block) const {
    const auto b = Le32Bytes(block);
    std::vector<uint8_t> key =
        Fit(Digest(sha1_.get(), {Span(base_hash_), ByteSpan(b.data(), 4)}), key_bits_ / 8);
    if (key_bits_ == 40) key.resize(16, 0);
    return key;
  }
  void Apply(uint8_t* data, size_t length, uint32_t block) const {
    std::vector<uint8_t> key = BlockKey(block);
    RunCipher(rc4_.get(), Span(key), {}, true, data, length);
  }

  void Decode(uint8_t* page, size_t length, uint32_t page_number) const override {
    Apply(page, length, database_key_ ^ page_number);
  }
  void Encode(uint8_t* page, size_t length, uint32_t page_number) const override {
    Apply(page, length, database_key_ ^ page_number);
  }

 private:
  CipherPtr rc4_;
  MdPtr sha1_;
  std::vector<uint8_t> base_hash_;
  uint32_t key_bits_;
  uint32_t database_key_;
};

// The password hashed with the salt, rehashed `rounds` times with the
// round's number in front.
std::vector<uint8_t> IteratedHash(const EVP_MD* md, ByteSpan salt, ByteSpan password,
                                  uint32_t rounds) {
  std::vector<uint8_t> h = Digest(md, {salt, password});
  for (uint32_t i = 0; i < rounds; ++i) {
    const auto b = Le32Bytes(i);
    h = Digest(md, {ByteSpan(b.data(), 4), Span(h)});
  }
  return h;
}

// ---- AES through the CryptoAPI key derivation ----

class AesCryptoApiCipher final : public PageCipher {
 public:
  AesCryptoApiCipher(CipherPtr aes_ecb, MdPtr sha1, std::vector<uint8_t> password_hash,
                     uint32_t key_bits, uint32_t database_key)
      : aes_(std::move(aes_ecb)),
        sha1_(std::move(sha1)),
        password_hash_(std::move(password_hash)),
        key_bits_(key_bits),
        database_key_(database_key) {}

  // The key of block `block`: the password hash and the block number hashed,
  // then stretched as CryptDeriveKey does (the hash XORed into 64 bytes of
  // 0x36 and of 0x5C, each hashed, the two joined and cut to the key size).
  std::vector<uint8_t> BlockKey(uint32_t block) const {
    const auto b = Le32Bytes(block);
    const std::vector<uint8_t> h =
        Digest(sha1_.get(), {Span(password_hash_), ByteSpan(b.data(), 4)});
    std::vector<uint8_t> key;
    for (uint8_t fill : {uint8_t{0x36}, uint8_t{0x5C}}) {
      std::array<uint8_t, 64> x;
      x.fill(fill);
      for (size_t i = 0; i < h.size() && i < x.size(); ++i) x[i] ^= h[i];
      std::vector<uint8_t> part = Digest(sha1_.get(), {ByteSpan(x.data(), x.size())});
      key.insert(key.end(), part.begin(), part.end());
    }
    return Fit(std::move(key), key_bits_ / 8);
  }
  void Apply(uint8_t* data, size_t length, uint32_t block, bool encrypt) const {
    std::vector<uint8_t> key = BlockKey(block);
    RunCipher(aes_.get(), Span(key), {}, encrypt, data, length - length % 16);
  }

  void Decode(uint8_t* page, size_t length, uint32_t page_number) const override {
    Apply(page, length, database_key_ ^ page_number, false);
  }
  void Encode(uint8_t* page, size_t length, uint32_t page_number) const override {
    Apply(page, length, database_key_ ^ page_number, true);
  }

 private:
  CipherPtr aes_;
  MdPtr sha1_;
  std::vector<uint8_t> password_hash_;
  uint32_t key_bits_;
  uint32_t database_key_;
};

// ---- agile ----

class AgileCipher final : public PageCipher {
 public:
  AgileCipher(CipherPtr aes, MdPtr hash, std::vector<uint8_t> key, std::vector<uint8_t> salt,
              uint32_t block_size, uint32_t database_key)
      : aes_(std::move(aes)),
        hash_(std::move(hash)),
        key_(std::move(key)),
        salt_(std::move(salt)),
        block_size_(block_size),
        database_key_(database_key) {}

  void Decode(uint8_t* page, size_t length, uint32_t page_number) const override {
    Run(page, length, page_number, false);
  }
  void Encode(uint8_t* page, size_t length, uint32_t page_number) const override {
    Run(page, length, page_number, true);
  }

 private:
  // Each page is one CBC chain; its IV is the key data salt and the page's
  // key hashed, cut to the block size.
  void Run(uint8_t* page, size_t length, uint32_t page_number, bool encrypt) const {
    const auto b = Le32Bytes(database_key_ ^ page_number);
    std::vector<uint8_t> iv =
        Fit(Digest(hash_.get(), {Span(salt_), ByteSpan(b.data(), 4)}), block_size_);
    RunCipher(aes_.get(), Span(key_), Span(iv), encrypt, page, length - length % block_size_);
  }

  CipherPtr aes_;
  MdPtr hash_;
  std::vector<uint8_t> key_;
  std::vector<uint8_t> salt_;
  uint32_t block_size_;
  uint32_t database_key_;
};

// The attributes of the first element named `name` (or `*:name`) in `xml`.
// The descriptor is machine-written: name="value" pairs, no entities in the
// values this reader uses.
bool ElementAttributes(std::string_view xml, std::string_view name,
                       std::vector<std::pair<std::string, std::string>>& out) {
  size_t at = 0;
  while ((at = xml.find('<', at)) != std::string_view::npos) {
    ++at;
    size_t end = xml.find_first_of(" \t\r\n/>", at);
    if (end == std::string_view::npos) return false;
    std::string_view tag = xml.substr(at, end - at);
    if (size_t colon = tag.find(':'); colon != std::string_view::npos) tag.remove_prefix(colon + 1);
    if (tag != name) continue;
    size_t close = xml.find('>', end);
    if (close == std::string_view::npos) return false;
    std::string_view body = xml.substr(end, close - end);
    size_t p = 0;
    while (true) {
      size_t eq = body.find('=', p);
      if (eq == std::string_view::npos) break;
      size_t name_start = body.find_last_of(" \t\r\n", eq);
      name_start = name_start == std::string_view::npos ? 0 : name_start + 1;
      if (eq + 1 >= body.size() || (body[eq + 1] != '"' && body[eq + 1] != '\'')) return false;
      size_t value_end = body.find(body[eq + 1], eq + 2);
      if (value_end == std::string_view::npos) return false;
      out.emplace_back(std::string(body.substr(name_start, eq - name_start)),
                       std::string(body.substr(eq + 2, value_end - eq - 2)));
      p = value_end + 1;
    }
    return true;
  }
  return false;
}

class Attributes {
 public:
  Attributes(std::string_view element, std::vector<std::pair<std::string, std::string>> a)
      : element_(element), a_(std::move(a)) {}

  Result<std::string> Text(const char* name) const {
    for (const auto& [k, v] : a_) {
      if (k == name) return v;
    }
    return BadHeader("the descriptor's " + element_ + " has no " + name);
  }
  Result<uint32_t> Number(const char* name, uint32_t low, uint32_t high) const {
    auto t = Text(name);
    if (!t.ok()) return t.error();
    const std::string& s = t.value();
    uint64_t v = 0;
    if (s.empty() || s.size() > 10) return BadNumber(name, s);
    for (char c : s) {
      if (c < '0' || c > '9') return BadNumber(name, s);
      v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v < low || v > high) return BadNumber(name, s);
    return static_cast<uint32_t>(v);
  }
  Result<std::vector<uint8_t>> Base64(const char* name, size_t max) const {
    auto t = Text(name);
    if (!t.ok()) return t.error();
    const std::string& s = t.value();
    if (s.empty() || s.size() % 4 != 0 || s.size() / 4 * 3 > max) {
      return BadHeader("the descriptor's " + element_ + " " + name + " is not base64 of at most " +
                       Num(max) + " bytes");
    }
    std::vector<uint8_t> out(s.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(s.data()),
                            static_cast<int>(s.size()));
    if (n < 0) return BadHeader("the descriptor's " + element_ + " " + name + " is not base64");
    size_t pad = (s.back() == '=') + (s.size() > 1 && s[s.size() - 2] == '=');
    out.resize(static_cast<size_t>(n) - pad);
    return out;
  }

 private:
  Error BadNumber(const char* name, const std::string& s) const {
    return BadHeader("the descriptor's " + element_ + " " + name + " \"" + s.substr(0, 16) +
                     "\" is out of range");
  }
  std::string element_;
  std::vector<std::pair<std::string, std::string>> a_;
};

Result<OfficeEncryption> ReadAgile(ByteSpan info, OfficeEncryption e) {
  if (info.size() < 8 || Le32(info.data() + 4) != 0x40) {
    return BadHeader("the agile descriptor's reserved field is not 0x40");
  }
  std::string_view xml(reinterpret_cast<const char*>(info.data() + 8), info.size() - 8);
  std::vector<std::pair<std::string, std::string>> kd, ek;
  if (!ElementAttributes(xml, "keyData", kd)) return BadHeader("the descriptor has no keyData");
  if (!ElementAttributes(xml, "encryptedKey", ek)) {
    return BadHeader("the descriptor has no password key encryptor");
  }
  Attributes key_data("keyData", std::move(kd));
  Attributes encryptor("password key encryptor", std::move(ek));
  // Digest sizes are at most 64 bytes and AES keys 32: anything larger in
  // the descriptor is not Office's.
  auto must = [](auto r, auto& into) -> Status {
    if (!r.ok()) return r.error();
    into = std::move(r.value());
    return Status();
  };
  Status st;
  if (!(st = must(key_data.Text("cipherAlgorithm"), e.cipher)).ok() ||
      !(st = must(key_data.Text("hashAlgorithm"), e.hash)).ok() ||
      !(st = must(key_data.Number("keyBits", 40, 512), e.key_bits)).ok() ||
      !(st = must(key_data.Number("blockSize", 2, 64), e.block_size)).ok() ||
      !(st = must(key_data.Base64("saltValue", 64), e.salt)).ok() ||
      !(st = must(encryptor.Text("cipherAlgorithm"), e.password_cipher)).ok() ||
      !(st = must(encryptor.Text("hashAlgorithm"), e.password_hash)).ok() ||
      !(st = must(encryptor.Number("keyBits", 40, 512), e.password_key_bits)).ok() ||
      !(st = must(encryptor.Number("blockSize", 2, 64), e.password_block_size)).ok() ||
      !(st = must(encryptor.Number("spinCount", 0, kMaxSpinCount), e.spin_count)).ok() ||
      !(st = must(encryptor.Base64("saltValue", 64), e.password_salt)).ok() ||
      !(st = must(encryptor.Base64("encryptedVerifierHashInput", 64), e.verifier)).ok() ||
      !(st = must(encryptor.Base64("encryptedVerifierHashValue", 128), e.verifier_hash)).ok() ||
      !(st = must(encryptor.Base64("encryptedKeyValue", 64), e.encrypted_key)).ok()) {
    return st.error();
  }
  for (const auto& [cipher, hash, bits, block] :
       {std::tuple{e.cipher, e.hash, e.key_bits, e.block_size},
        std::tuple{e.password_cipher, e.password_hash, e.password_key_bits,
                   e.password_block_size}}) {
    if (cipher != "AES" || (bits != 128 && bits != 192 && bits != 256) || block != 16) {
      return Unrecognized("the agile encryption uses cipher " + cipher.substr(0, 16) + " with " +
                          Num(bits) + "-bit keys and " + Num(block) +
                          "-byte blocks; this build reads AES-CBC only");
    }
    if (!FetchHash(hash)) {
      return Unrecognized("the agile encryption uses hash " + hash.substr(0, 16) +
                          "; this build reads SHA1, SHA256, SHA384 and SHA512");
    }
  }
  auto cbc = [](const Attributes& a) {
    auto t = a.Text("cipherChaining");
    return t.ok() && t.value() == "ChainingModeCBC";
  };
  if (!cbc(key_data) || !cbc(encryptor)) {
    return Unrecognized("the agile encryption uses a chaining mode other than CBC");
  }
  if (e.password_salt.size() < e.password_block_size || e.salt.empty() || e.verifier.empty() ||
      e.verifier.size() % 16 != 0 || e.verifier_hash.size() % 16 != 0 ||
      e.encrypted_key.size() % 16 != 0 || e.encrypted_key.size() < e.key_bits / 8) {
    return BadHeader("the agile descriptor's salt, verifier or key sizes disagree");
  }
  return e;
}

// The provider name of a CryptoAPI header (UTF-16 after the 32 fixed
// bytes), for the key size of an RC4 header that gives none.
bool NamesBaseProvider(const uint8_t* name, size_t length) {
  std::string ascii;
  for (size_t i = 0; i + 1 < length; i += 2) {
    ascii += static_cast<char>(std::tolower(name[i + 1] == 0 ? name[i] : '?'));
  }
  return ascii.find_first_not_of(std::string(" \0", 2)) == std::string::npos ||
         ascii.find(" base ") != std::string::npos;
}

// A CryptoAPI header (flags, sizes, algorithms, provider name) and the
// verifier after it. `aes_flag`: the header says AES outright (the standard
// scheme); without it an AES algorithm is the variant that derives its keys
// without the iterated hash.
Result<OfficeEncryption> ReadCryptoApi(ByteSpan info, OfficeEncryption e, bool aes_flag) {
  if (info.size() < 12) return BadHeader("the CryptoAPI header is cut short");
  const uint32_t header_length = Le32(info.data() + 8);
  if (header_length < 32 || header_length > info.size() - 12) {
    return BadHeader("the CryptoAPI header claims " + Num(header_length) + " bytes; " +
                     Num(info.size() - 12) + " follow");
  }
  const uint8_t* h = info.data() + 12;
  const uint32_t alg = Le32(h + 8);
  const uint32_t hash_alg = Le32(h + 12);
  uint32_t key_bits = Le32(h + 16);
  char alg_hex[16];
  std::snprintf(alg_hex, sizeof alg_hex, "0x%04X", alg);
  if (hash_alg != 0 && hash_alg != kAlgSha1) {
    return Unrecognized("the CryptoAPI encryption hashes with algorithm " + Num(hash_alg) +
                        "; this build reads SHA-1");
  }
  if ((alg == 0 && !aes_flag) || alg == kAlgRc4) {
    if (aes_flag) return Unrecognized("the CryptoAPI header names both AES and RC4");
    e.scheme = OfficeScheme::kRc4CryptoApi;
    e.cipher = "RC4";
    if (key_bits == 0) key_bits = NamesBaseProvider(h + 32, header_length - 32) ? 40 : 128;
    if (key_bits < 40 || key_bits > 128 || key_bits % 8 != 0) {
      return BadHeader("the RC4 key size " + Num(key_bits) + " is not 40 to 128 bits");
    }
  } else if (alg == 0 || (alg >= kAlgAes128 && alg <= kAlgAes256)) {
    const uint32_t bits = alg == 0 ? 128 : 128 + 64 * (alg - kAlgAes128);
    if (key_bits == 0) key_bits = bits;
    if (key_bits != bits) {
      return BadHeader("the AES key size " + Num(key_bits) + " disagrees with algorithm " +
                       alg_hex);
    }
    e.scheme = aes_flag ? OfficeScheme::kAesStandard : OfficeScheme::kAesCryptoApi;
    e.cipher = "AES";
    e.block_size = 16;
    e.spin_count = aes_flag ? kStandardSpinCount : 0;
  } else {
    return Unrecognized(std::string("the CryptoAPI encryption uses algorithm ") + alg_hex +
                        "; this build reads RC4 and AES");
  }
  e.hash = "SHA1";
  e.key_bits = key_bits;
  // The verifier: salt size, salt, encrypted verifier, hash size, encrypted
  // hash (RC4: the 20 bytes of SHA-1; AES: two blocks).
  const size_t hash_bytes = e.cipher == "RC4" ? 20 : 32;
  const size_t v = 12 + size_t{header_length};
  if (info.size() < v + 4 + 16 + 16 + 4 + hash_bytes) {
    return BadHeader("the CryptoAPI verifier is cut short");
  }
  if (Le32(info.data() + v) != 16) {
    return BadHeader("the CryptoAPI salt is " + Num(Le32(info.data() + v)) + " bytes, not 16");
  }
  e.salt.assign(info.data() + v + 4, info.data() + v + 20);
  e.verifier.assign(info.data() + v + 20, info.data() + v + 36);
  e.verifier_hash_size = Le32(info.data() + v + 36);
  if (e.verifier_hash_size == 0 || e.verifier_hash_size > 20) {
    return BadHeader("the CryptoAPI verifier hash is " + Num(e.verifier_hash_size) +
                     " bytes; SHA-1 gives 20");
  }
  e.verifier_hash.assign(info.data() + v + 40, info.data() + v + 40 + hash_bytes);
  return e;
}

}  // namespace

Result<OfficeEncryption> ReadOfficeEncryption(ByteSpan page0) {
  if (page0.size() < kOfficeHeaderOffset + 2) return BadHeader("page 0 is too short to hold it");
  const uint32_t length = Le16(page0.data() + kOfficeHeaderOffset);
  const size_t start = kOfficeHeaderOffset + 2;
  if (length < 8 || length > page0.size() - start) {
    return BadHeader("it claims " + Num(length) + " bytes at 0x29B; page 0 holds " +
                     Num(page0.size() - start) + " after it");
  }
  ByteSpan info(page0.data() + start, length);
  OfficeEncryption e;
  e.version_major = Le16(info.data());
  e.version_minor = Le16(info.data() + 2);
  const std::string version = Num(e.version_major) + "." + Num(e.version_minor);
  if (e.version_major == 4 && e.version_minor == 4) {
    e.scheme = OfficeScheme::kAgile;
    return ReadAgile(info, std::move(e));
  }
  if (e.version_minor == 2 && e.version_major >= 2 && e.version_major <= 4) {
    const uint32_t flags = Le32(info.data() + 4);
    if ((flags & kCryptoApiFlag) == 0) {
      return Unrecognized("the encryption header (version " + version +
                          ") names no CryptoAPI scheme");
    }
    return ReadCryptoApi(info, std::move(e), (flags & kAesFlag) != 0);
  }
  return Unrecognized("the file's encryption (header version " + version +
                      ") is not one this build reads");
}

Result<std::unique_ptr<PageCipher>> OpenOfficeCipher(const OfficeEncryption& e,
                                                     uint32_t database_key,
                                                     std::string_view password) {
  try {
    const std::vector<uint8_t> pw = Utf16Password(password);
    const Error wrong(ErrorCode::kWrongPassword,
                      password.empty() ? "the database is encrypted with a password; none was given"
                                       : "wrong database password (the encryption header's "
                                         "verifier does not match it)");
    if (e.scheme == OfficeScheme::kRc4CryptoApi) {
      CipherPtr rc4 = FetchCipher("RC4", e.key_bits);
      MdPtr sha1 = FetchHash("SHA1");
      if (!rc4 || !sha1) {
        return Unrecognized(
            "RC4 is not available from the cryptographic library (OpenSSL's legacy provider)");
      }
      auto base = Digest(sha1.get(), {Span(e.salt), Span(pw)});
      auto cipher = std::make_unique<Rc4CryptoApiCipher>(rc4, sha1, std::move(base), e.key_bits,
                                                         database_key);
      // Block 0's key decrypts the verifier and then, the stream running on,
      // its hash.
      std::vector<uint8_t> v = e.verifier;
      v.insert(v.end(), e.verifier_hash.begin(), e.verifier_hash.end());
      cipher->Apply(v.data(), v.size(), 0);
      auto expect = Digest(sha1.get(), {ByteSpan(v.data(), 16)});
      if (std::memcmp(expect.data(), v.data() + 16, e.verifier_hash_size) != 0) return wrong;
      return std::unique_ptr<PageCipher>(std::move(cipher));
    }
    if (e.scheme == OfficeScheme::kAesStandard || e.scheme == OfficeScheme::kAesCryptoApi) {
      CipherPtr aes = FetchCipher("AES", e.key_bits, true);
      MdPtr sha1 = FetchHash("SHA1");
      if (!aes || !sha1) return Unrecognized("AES is not available from the cryptographic library");
      auto hash = IteratedHash(sha1.get(), Span(e.salt), Span(pw), e.spin_count);
      auto cipher = std::make_unique<AesCryptoApiCipher>(aes, sha1, std::move(hash), e.key_bits,
                                                         database_key);
      std::vector<uint8_t> v = e.verifier;
      v.insert(v.end(), e.verifier_hash.begin(), e.verifier_hash.end());
      cipher->Apply(v.data(), v.size(), 0, false);
      auto expect = Digest(sha1.get(), {ByteSpan(v.data(), 16)});
      if (std::memcmp(expect.data(), v.data() + 16, e.verifier_hash_size) != 0) return wrong;
      return std::unique_ptr<PageCipher>(std::move(cipher));
    }
    CipherPtr aes = FetchCipher(e.cipher, e.key_bits);
    CipherPtr password_aes = FetchCipher(e.password_cipher, e.password_key_bits);
    MdPtr hash = FetchHash(e.hash);
    MdPtr password_hash = FetchHash(e.password_hash);
    if (!aes || !password_aes || !hash || !password_hash) {
      return Unrecognized(
          "the file's cipher or hash is not available from the cryptographic library");
    }
    const std::vector<uint8_t> h =
        IteratedHash(password_hash.get(), Span(e.password_salt), Span(pw), e.spin_count);
    const ByteSpan iv(e.password_salt.data(), e.password_block_size);
    auto unwrap = [&](ByteSpan block, const std::vector<uint8_t>& sealed) {
      std::vector<uint8_t> key =
          Fit(Digest(password_hash.get(), {Span(h), block}), e.password_key_bits / 8, 0x36);
      std::vector<uint8_t> out = sealed;
      RunCipher(password_aes.get(), Span(key), iv, false, out.data(), out.size());
      return out;
    };
    std::vector<uint8_t> input = unwrap(ByteSpan(kVerifierInputBlock, 8), e.verifier);
    std::vector<uint8_t> value = unwrap(ByteSpan(kVerifierValueBlock, 8), e.verifier_hash);
    std::vector<uint8_t> expect = Digest(password_hash.get(), {Span(input)});
    if (value.size() < expect.size() ||
        std::memcmp(value.data(), expect.data(), expect.size()) != 0) {
      return wrong;
    }
    std::vector<uint8_t> key =
        Fit(unwrap(ByteSpan(kKeyValueBlock, 8), e.encrypted_key), e.key_bits / 8);
    return std::unique_ptr<PageCipher>(std::make_unique<AgileCipher>(
        aes, hash, std::move(key), e.salt, e.block_size, database_key));
  } catch (EngineFailure& failure) {
    return std::move(failure.error);
  }
}

}  // namespace engine

// Encrypted ACE files: their encryption headers, page ciphers both ways, and
// what a wrong password or a damaged header gives.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <set>

#include "base/bytes.h"
#include "corpus_files.h"
#include "engine/check.h"
#include "format/header.h"
#include "format/pages.h"
#include "io/office_cipher.h"
#include "reader/database.h"
#include "reader/dump.h"

namespace engine {
namespace {

std::vector<uint8_t> Bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<corpus::File> EncryptedAceFiles() {
  std::vector<corpus::File> out;
  for (auto& f : corpus::AceFiles()) {
    if (!f.password.empty()) out.push_back(std::move(f));
  }
  return out;
}

Result<std::unique_ptr<Database>> OpenBytes(const std::vector<uint8_t>& bytes,
                                            const std::string& password) {
  return Database::Open(FileSource::FromBuffer(bytes), {.password = password});
}

// The file's encryption header as page 0 holds it.
Result<OfficeEncryption> HeaderOf(const std::vector<uint8_t>& bytes) {
  auto h = DecodeHeader(ByteSpan(bytes.data(), bytes.size()));
  if (!h.ok()) return h.error();
  return ReadOfficeEncryption(ByteSpan(h.value().unmasked.data(), h.value().unmasked.size()));
}

TEST(AceEncryption, EveryEncryptedFileOpensDumpsAndChecksWithItsPassword) {
  const auto files = EncryptedAceFiles();
  if (files.empty()) GTEST_SKIP() << "no encrypted ACE files under " << QUORLEN_CORPUS_DIR;
  std::set<OfficeScheme> schemes;
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const std::vector<uint8_t> bytes = Bytes(f.path);
    auto e = HeaderOf(bytes);
    ASSERT_TRUE(e.ok()) << e.error().ToString();
    schemes.insert(e.value().scheme);

    auto db = OpenBytes(bytes, f.password);
    ASSERT_TRUE(db.ok()) << db.error().ToString();
    EXPECT_TRUE(db.value()->pager().encoded());
    auto dump = DumpToString(*db.value());
    ASSERT_TRUE(dump.ok()) << dump.error().ToString();
    EXPECT_NE(dump.value().find("\"rows\""), std::string::npos);
    EXPECT_GT(db.value()->tables().size(), 0u);

    CheckOptions options;
    options.password = f.password;
    auto report = CheckDatabase(FileSource::FromBuffer(bytes), options);
    ASSERT_TRUE(report.ok()) << report.error().ToString();
    EXPECT_EQ(report.value().damage_count(), 0u) << FormatCheckReport(report.value());

    for (const std::string& wrong : {std::string(), f.password + "x", std::string("TEST123")}) {
      auto refused = OpenBytes(bytes, wrong);
      ASSERT_FALSE(refused.ok()) << "password '" << wrong << "'";
      EXPECT_EQ(refused.error().number(), 3031) << refused.error().ToString();
      EXPECT_NE(refused.error().description().find("password"), std::string::npos);
      CheckOptions bad;
      bad.password = wrong;
      auto unchecked = CheckDatabase(FileSource::FromBuffer(bytes), bad);
      ASSERT_FALSE(unchecked.ok());
      EXPECT_EQ(unchecked.error().number(), 3031);
    }
  }
  // The corpus holds RC4 CryptoAPI, agile and the CryptoAPI AES variant
  // without hash rounds (no file of the standard AES scheme).
  EXPECT_EQ(schemes.size(), 3u);
}

// Decoding then encoding every page of each file gives back its bytes;
// decoded pages carry page types a database has.
TEST(AceEncryption, PageCipherRoundTripsRealPages) {
  const auto files = EncryptedAceFiles();
  if (files.empty()) GTEST_SKIP() << "no encrypted ACE files under " << QUORLEN_CORPUS_DIR;
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const std::vector<uint8_t> bytes = Bytes(f.path);
    auto h = DecodeHeader(ByteSpan(bytes.data(), bytes.size()));
    ASSERT_TRUE(h.ok());
    auto e = HeaderOf(bytes);
    ASSERT_TRUE(e.ok());
    auto cipher = OpenOfficeCipher(e.value(), h.value().database_key, f.password);
    ASSERT_TRUE(cipher.ok()) << cipher.error().ToString();
    const uint32_t size = h.value().page_size;
    size_t typed = 0, pages = 0, changed = 0;
    for (uint64_t at = size; at + size <= bytes.size(); at += size) {
      const auto number = static_cast<uint32_t>(at / size);
      std::vector<uint8_t> page(bytes.begin() + at, bytes.begin() + at + size);
      cipher.value()->Decode(page.data(), size, number);
      changed += std::memcmp(page.data(), bytes.data() + at, size) != 0;
      typed += page[0] <= 0x08 && page[1] == 0x01;
      // The same page under another number decodes to something else.
      std::vector<uint8_t> elsewhere(bytes.begin() + at, bytes.begin() + at + size);
      cipher.value()->Decode(elsewhere.data(), size, number + 1);
      EXPECT_NE(elsewhere, page) << "page " << number;
      cipher.value()->Encode(page.data(), size, number);
      ASSERT_EQ(0, std::memcmp(page.data(), bytes.data() + at, size)) << "page " << number;
      ++pages;
    }
    EXPECT_EQ(changed, pages);
    // Free pages are zeros, which carry no type; the rest do.
    EXPECT_GT(typed, pages / 2) << typed << " of " << pages;
  }
}

// Page 0 of `file` with the encryption header's bytes changed by `edit`
// (offsets from the start of the header, after its length).
std::vector<uint8_t> Edited(const std::vector<uint8_t>& bytes,
                            const std::function<void(uint8_t*, uint16_t&)>& edit) {
  std::vector<uint8_t> out = bytes;
  uint16_t length = Le16(out.data() + kOfficeHeaderOffset);
  edit(out.data() + kOfficeHeaderOffset + 2, length);
  out[kOfficeHeaderOffset] = static_cast<uint8_t>(length);
  out[kOfficeHeaderOffset + 1] = static_cast<uint8_t>(length >> 8);
  return out;
}

void ReplaceText(uint8_t* info, uint16_t length, const std::string& from, const std::string& to) {
  ASSERT_EQ(from.size(), to.size());
  std::string_view text(reinterpret_cast<const char*>(info), length);
  size_t at = text.find(from);
  ASSERT_NE(at, std::string_view::npos) << from;
  std::memcpy(info + at, to.data(), to.size());
}

struct Case {
  const char* what;
  std::function<void(uint8_t*, uint16_t&)> edit;
  int number;
};

void ExpectRefused(const corpus::File& f, const std::vector<Case>& cases) {
  const std::vector<uint8_t> bytes = Bytes(f.path);
  for (const Case& c : cases) {
    SCOPED_TRACE(f.name + ": " + c.what);
    auto r = OpenBytes(Edited(bytes, c.edit), f.password);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().number(), c.number) << r.error().ToString();
    EXPECT_FALSE(r.error().description().empty());
  }
}

const corpus::File* FindFile(const std::vector<corpus::File>& files, std::string_view name) {
  for (const auto& f : files) {
    if (f.name.ends_with(name)) return &f;
  }
  return nullptr;
}

TEST(AceEncryption, DamagedHeadersAreRefusedWithANumber) {
  const auto files = EncryptedAceFiles();
  const corpus::File* agile = FindFile(files, "db2013-enc.accdb");
  const corpus::File* rc4 = FindFile(files, "db2007-oldenc.accdb");
  if (agile == nullptr || rc4 == nullptr) GTEST_SKIP() << "no encrypted ACE test files";
  const std::vector<Case> either = {
      {"length past page 0", [](uint8_t*, uint16_t& n) { n = 0xFFFF; }, 3049},
      {"length too short", [](uint8_t*, uint16_t& n) { n = 6; }, 3049},
      {"unknown version", [](uint8_t* p, uint16_t&) { p[0] = 9; }, 3343},
      {"extensible version",
       [](uint8_t* p, uint16_t&) {
         p[0] = 4;
         p[2] = 3;
       },
       3343},
  };
  ExpectRefused(*agile, either);
  ExpectRefused(*rc4, either);
  ExpectRefused(
      *agile,
      {
          {"reserved field", [](uint8_t* p, uint16_t&) { p[4] = 0x41; }, 3049},
          {"descriptor cut", [](uint8_t*, uint16_t& n) { n = 200; }, 3049},
          {"spin count not a number",
           [](uint8_t* p, uint16_t n) {
             ReplaceText(p, n, "spinCount=\"100000\"", "spinCount=\"1x0000\"");
           },
           3049},
          {"salt not base64",
           [](uint8_t* p, uint16_t n) { ReplaceText(p, n, "saltValue=\"j", "saltValue=\"!"); },
           3049},
          {"unknown hash",
           [](uint8_t* p, uint16_t n) {
             ReplaceText(p, n, "hashAlgorithm=\"SHA512\"", "hashAlgorithm=\"MD5XYZ\"");
           },
           3343},
          {"unknown cipher",
           [](uint8_t* p, uint16_t n) {
             ReplaceText(p, n, "cipherAlgorithm=\"AES\"", "cipherAlgorithm=\"DES\"");
           },
           3343},
          {"key size",
           [](uint8_t* p, uint16_t n) { ReplaceText(p, n, "keyBits=\"256\"", "keyBits=\"999\""); },
           3049},
          {"changed verifier",
           [](uint8_t* p, uint16_t n) {
             ReplaceText(p, n, "encryptedVerifierHashInput=\"H", "encryptedVerifierHashInput=\"I");
           },
           3031},
      });
  ExpectRefused(
      *rc4,
      {
          {"header length past the info", [](uint8_t* p, uint16_t&) { p[9] = 0x40; }, 3049},
          {"salt size", [](uint8_t* p, uint16_t&) { p[12 + Le32(p + 8)] = 17; }, 3049},
          {"verifier cut",
           [](uint8_t* p, uint16_t& n) { n = static_cast<uint16_t>(12 + Le32(p + 8) + 30); }, 3049},
          {"unknown algorithm", [](uint8_t* p, uint16_t&) { p[12 + 8] = 0x99; }, 3343},
          {"key size", [](uint8_t* p, uint16_t&) { p[12 + 16] = 0x31; }, 3049},
          {"AES flag with RC4", [](uint8_t* p, uint16_t&) { p[4] |= 0x20; }, 3343},
          {"changed verifier", [](uint8_t* p, uint16_t&) { p[12 + Le32(p + 8) + 20] ^= 1; }, 3031},
      });
}

// Any one byte of a CryptoAPI header changed: a numbered error or a file that
// opens, never a crash.
TEST(AceEncryption, AnyChangedHeaderByteGivesANumberedAnswer) {
  const auto files = EncryptedAceFiles();
  const corpus::File* rc4 = FindFile(files, "db2007-oldenc.accdb");
  if (rc4 == nullptr) GTEST_SKIP() << "no encrypted ACE test files";
  const std::vector<uint8_t> bytes = Bytes(rc4->path);
  const uint16_t length = Le16(bytes.data() + kOfficeHeaderOffset);
  size_t refused = 0;
  for (uint32_t at = 0; at < length + 2u; ++at) {
    for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}}) {
      std::vector<uint8_t> damaged = bytes;
      if (damaged[kOfficeHeaderOffset + at] == value) continue;
      damaged[kOfficeHeaderOffset + at] = value;
      auto r = OpenBytes(damaged, rc4->password);
      if (r.ok()) continue;
      ++refused;
      const int n = r.error().number();
      EXPECT_TRUE(n == 3031 || n == 3049 || n == 3343)
          << "byte " << at << ": " << r.error().ToString();
    }
  }
  EXPECT_GT(refused, 0u);
}

}  // namespace
}  // namespace engine

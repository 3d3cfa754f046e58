// Page 0 held against the rest of the file: a password field that holds no
// plausible password is a damaged header in every command, and repair
// restores what the file still shows.
#include <gtest/gtest.h>

#include "compact_support.h"
#include "corpus_files.h"
#include "engine/check.h"
#include "engine/compact.h"
#include "engine/repair.h"
#include "format/header.h"
#include "small_db.h"

namespace engine {
namespace {

using compact_test::DumpFile;
using compact_test::ReadFile;
using compact_test::ScratchDir;
using compact_test::WriteFile;
using jet_test::Bytes;

// A small file whose page 0 is changed by `tamper` (bytes as stored).
Bytes SmallWith(JetVersion v, const std::string& password, std::function<void(uint8_t*)> tamper) {
  jet_test::SmallDbOptions options;
  options.password = password;
  options.tamper = [&](jet_test::FileBuilder& f) { tamper(f.page(0)); };
  return jet_test::BuildSmallDb(v, options);
}

void FlipDateExponent(uint8_t* page0) {
  page0[0x79] ^= 0x04;
}

struct Outcomes {
  int open = 0, check = 0, compact = 0, repair = 0;
};

Outcomes RunEveryCommand(const Bytes& bytes, const std::string& password,
                         RepairResult* repaired = nullptr) {
  ScratchDir dir;
  WriteFile(dir / "in.mdb", bytes);
  Outcomes o;
  auto number = [](const auto& r) { return r.ok() ? 0 : r.error().number(); };
  o.open = number(Database::Open(dir / "in.mdb", OpenOptions{password}));
  CheckOptions check;
  check.password = password;
  o.check = number(CheckDatabase(dir / "in.mdb", check));
  o.compact = number(CompactDatabase(dir / "in.mdb", dir / "c.mdb", {.password = password}));
  auto r = RepairDatabase(dir / "in.mdb", dir / "r.mdb", {.password = password});
  o.repair = number(r);
  if (r.ok() && repaired != nullptr) {
    *repaired = std::move(r.value());
    auto copy = Database::Open(dir / "r.mdb", OpenOptions{password});
    EXPECT_TRUE(copy.ok()) << copy.error().ToString();
    if (copy.ok()) {
      EXPECT_EQ(static_cast<int64_t>(copy.value()->header().creation_date), 38135);
      EXPECT_EQ(copy.value()->header().password, password);
    }
  }
  return o;
}

const LossRecord* HeaderNote(const RepairResult& r, const std::string& words) {
  for (const LossRecord& l : r.losses) {
    if (l.kind == LossKind::kHeader && l.reason.find(words) != std::string::npos) return &l;
  }
  return nullptr;
}

TEST(HeaderPassword, DamagedCreationDateIsADamagedHeaderAndRepairRestoresIt) {
  for (const std::string password : {"", "open sesame"}) {
    SCOPED_TRACE("password \"" + password + "\"");
    Bytes bytes = SmallWith(JetVersion::kJet4, password, FlipDateExponent);
    RepairResult repaired;
    Outcomes with = RunEveryCommand(bytes, password, &repaired);
    EXPECT_EQ(with.open, 3049);
    EXPECT_EQ(with.check, 3049);
    EXPECT_EQ(with.compact, 3049);
    EXPECT_EQ(with.repair, 0);
    const LossRecord* note = HeaderNote(repaired, "creation date");
    ASSERT_NE(note, nullptr);
    EXPECT_NE(note->reason.find("day 38135"), std::string::npos) << note->reason;
    EXPECT_FALSE(repaired.lost_anything());
    if (!password.empty()) {
      // The restored field still asks for its password.
      Outcomes without = RunEveryCommand(bytes, "");
      EXPECT_EQ(without.open, 3049);
      EXPECT_EQ(without.repair, 3031);
    }
  }
}

TEST(HeaderPassword, GarbledFieldIsADamagedHeaderEverywhere) {
  // Jet 3: nothing masks the field, so a control character in it is damage.
  Bytes jet3 = SmallWith(JetVersion::kJet3, "", [](uint8_t* p) { p[0x42] ^= 0x01; });
  Outcomes o = RunEveryCommand(jet3, "");
  EXPECT_EQ(o.open, 3049);
  EXPECT_EQ(o.check, 3049);
  EXPECT_EQ(o.compact, 3049);
  EXPECT_EQ(o.repair, 3049);
  // Jet 4: a character changed with the padding intact leaves the date
  // nothing to answer for.
  Bytes jet4 = SmallWith(JetVersion::kJet4, "abc", [](uint8_t* p) { p[0x44] ^= 0x60; });
  o = RunEveryCommand(jet4, "");
  EXPECT_EQ(o.open, 3049);
  EXPECT_EQ(o.check, 3049);
  EXPECT_EQ(o.repair, 3049);
}

TEST(HeaderPassword, RestoreLeavesIntactAndUnrecoverableHeadersAlone) {
  Bytes plain = jet_test::BuildSmallDb(JetVersion::kJet4);
  auto h = DecodeHeader(plain);
  ASSERT_TRUE(h.ok());
  DatabaseHeader before = h.value();
  EXPECT_FALSE(RestoreCreationDate(h.value()));
  EXPECT_EQ(h.value().unmasked, before.unmasked);

  // A password of the field's full length leaves no padding to go by.
  Bytes full = SmallWith(JetVersion::kJet4, std::string(20, 'x'), FlipDateExponent);
  auto f = DecodeHeader(full);
  ASSERT_TRUE(f.ok());
  EXPECT_FALSE(RestoreCreationDate(f.value()));
}

std::set<std::string> CheckCodes(const std::string& path) {
  auto report = CheckDatabase(path);
  EXPECT_TRUE(report.ok()) << report.error().ToString();
  std::set<std::string> codes;
  if (report.ok()) {
    for (const CheckProblem& p : report->problems) codes.insert(p.code);
  }
  return codes;
}

std::set<std::string> With(std::set<std::string> codes, const std::string& code) {
  codes.insert(code);
  return codes;
}

// The rows of every table, in a canonical order (compaction reorders them).
std::map<std::string, std::multiset<std::string>> UserRows(const std::string& path) {
  std::map<std::string, std::multiset<std::string>> out;
  nlohmann::json dump = DumpFile(path);
  if (dump.is_null()) return out;
  for (const auto& t : dump["tables"]) {
    const std::string name = t["name"];
    if (name.rfind("MSys", 0) == 0) continue;
    for (const auto& row : t["rows"]) out[name].insert(row.dump());
  }
  return out;
}

struct FieldCase {
  JetVersion version;
  std::function<void(uint8_t*)> damage;
  const char* code;
  const char* restored;
};

TEST(HeaderFields, DisagreementWithTheColumnsIsDamageAndRepairRestoresIt) {
  const FieldCase cases[] = {
      {JetVersion::kJet3, [](uint8_t* p) { p[0x3C] ^= 0x01; }, "header-code-page",
       "restored code page 1252"},
      {JetVersion::kJet3, [](uint8_t* p) { p[0x3A] ^= 0x1D; }, "header-sort-order",
       "restored sort order 1033"},
      {JetVersion::kJet4, [](uint8_t* p) { p[0x6F] ^= 0x20; }, "header-sort-order",
       "restored sort order 1033"},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.code);
    ScratchDir dir;
    WriteFile(dir / "intact.mdb", jet_test::BuildSmallDb(c.version));
    WriteFile(dir / "in.mdb", SmallWith(c.version, "", c.damage));
    const std::set<std::string> intact = CheckCodes(dir / "intact.mdb");
    EXPECT_EQ(CheckCodes(dir / "in.mdb"), With(intact, c.code));
    auto r = RepairDatabase(dir / "in.mdb", dir / "out.mdb");
    ASSERT_TRUE(r.ok()) << r.error().ToString();
    const LossRecord* note = HeaderNote(r.value(), c.restored);
    ASSERT_NE(note, nullptr);
    EXPECT_FALSE(r->lost_anything());
    EXPECT_EQ(CheckCodes(dir / "out.mdb").count(c.code), 0u);
    auto copy = Database::Open(dir / "out.mdb");
    ASSERT_TRUE(copy.ok());
    EXPECT_EQ(copy.value()->header().code_page, 1252);
    EXPECT_EQ(copy.value()->header().sort_order, 0x0409);
    EXPECT_EQ(UserRows(dir / "out.mdb"), UserRows(dir / "intact.mdb"));
  }
}

TEST(HeaderFields, OneDamagedColumnDoesNotOutvotePageZero) {
  // A column definition's code page changed: page 0 still agrees with the
  // other columns, so it is not what is damaged.
  jet_test::SmallDbOptions options;
  options.tamper = [](jet_test::FileBuilder& f) {
    uint8_t* tdef = f.page(5);
    for (size_t at = 0; at + 2 <= f.layout().page_size; ++at) {
      if (tdef[at] == 0xE4 && tdef[at + 1] == 0x04) {  // the first 1252 on the page
        tdef[at] = 0xE5;
        break;
      }
    }
  };
  ScratchDir dir;
  WriteFile(dir / "in.mdb", jet_test::BuildSmallDb(JetVersion::kJet3, options));
  for (const std::string& code : CheckCodes(dir / "in.mdb")) {
    EXPECT_NE(code, "header-code-page");
  }
}

TEST(HeaderFields, RealFileWithADamagedCodePageKeepsItsCharacters) {
  auto files = corpus::Named({"real/jet3/phamtgiang+sellView__Northwind.mdb"});
  if (files.empty()) GTEST_SKIP() << "corpus not found at " << QUORLEN_CORPUS_DIR;
  ScratchDir dir;
  Bytes bytes = ReadFile(files[0].path.string());
  WriteFile(dir / "intact.mdb", bytes);
  bytes[0x3C] ^= 0x01;  // 1252 read as 1253
  WriteFile(dir / "in.mdb", bytes);
  EXPECT_EQ(CheckCodes(dir / "in.mdb"), With(CheckCodes(dir / "intact.mdb"), "header-code-page"));
  auto r = RepairDatabase(dir / "in.mdb", dir / "out.mdb");
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  EXPECT_NE(HeaderNote(r.value(), "restored code page 1252"), nullptr);
  auto intact = UserRows(dir / "intact.mdb");
  auto repaired = UserRows(dir / "out.mdb");
  ASSERT_EQ(intact.count("Orders"), 1u);
  EXPECT_EQ(repaired["Orders"], intact["Orders"]);
  EXPECT_EQ(repaired, intact);
}

}  // namespace
}  // namespace engine

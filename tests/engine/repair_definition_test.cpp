// Repairs of files whose table definitions contradict themselves, or whose
// catalog holds rows that name nothing: every copy passes its own check and
// keeps every row, and the changes are listed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "compact_support.h"
#include "engine/check.h"
#include "engine/repair.h"
#include "format/layout.h"
#include "reader/database.h"
#include "repair_support.h"
#include "salvage/definition_mend.h"
#include "salvage/salvage.h"
#include "salvage_damage.h"

namespace engine {
namespace {

using compact_test::ReadFile;
using compact_test::ScratchDir;
using compact_test::WriteFile;
using Bytes = std::vector<uint8_t>;

using repair_test::RowsOf;

std::vector<std::string> DamageCodes(const std::string& path) {
  auto report = CheckDatabase(path, CheckOptions{});
  EXPECT_TRUE(report.ok()) << report.error().ToString();
  std::vector<std::string> codes;
  if (!report.ok()) return codes;
  for (const auto& p : report->problems) {
    if (p.severity == Severity::kDamage) codes.push_back(p.code + ": " + p.message);
  }
  return codes;
}

// A corpus file, its definitions as the strict reader has them, and a way
// to change a definition's bytes where they lie in the file.
class DamagedDefinition : public ::testing::Test {
 protected:
  bool Load(const std::string& name) {
    bytes_ = ReadFile((std::filesystem::path(QUORLEN_CORPUS_DIR) / name).string());
    if (bytes_.empty()) return false;
    original_ = dir_ / "intact.mdb";
    WriteFile(original_, bytes_);
    auto db = Database::Open(original_, OpenOptions{});
    EXPECT_TRUE(db.ok());
    if (!db.ok()) return false;
    layout_ = &LayoutFor((*db)->version());
    defs_.clear();
    for (const CatalogObject* t : (*db)->tables()) {
      auto def = (*db)->ReadTableDef(t->table_page());
      if (def.ok()) defs_[t->name] = def.value();
    }
    rows_ = RowsOf(original_);
    source_damage_ = DamageCodes(original_).size();
    return true;
  }
  // The byte at `offset` of `def`'s concatenated definition, in the file.
  uint8_t& At(const TableDef& def, size_t offset) {
    const uint32_t ps = layout_->page_size;
    size_t k = offset < ps ? 0 : 1 + (offset - ps) / (ps - 8);
    size_t in = k == 0 ? offset : 8 + (offset - ps) % (ps - 8);
    return bytes_[static_cast<size_t>(def.pages.at(k)) * ps + in];
  }
  void Put32At(const TableDef& def, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) At(def, offset + i) = static_cast<uint8_t>(v >> (8 * i));
  }
  // Repairs the damaged bytes: the copy passes its check, keeps every row,
  // and lists a loss of `kind` naming `element`.
  void ExpectRepairKeepsEverything(LossKind kind, const std::string& element) {
    const std::string source = dir_ / "damaged.mdb", copy = dir_ / "repaired.mdb";
    std::filesystem::remove(copy);
    WriteFile(source, bytes_);
    auto repaired = RepairDatabase(source, copy);
    ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
    EXPECT_LE(DamageCodes(copy).size(), source_damage_)
        << ::testing::PrintToString(DamageCodes(copy));
    EXPECT_EQ(RowsOf(copy), rows_);
    EXPECT_TRUE(
        std::any_of(repaired->losses.begin(), repaired->losses.end(),
                    [&](const LossRecord& r) { return r.kind == kind && r.column == element; }))
        << "no " << LossKindName(kind) << " loss for " << element;
  }
  const TableDef* UserTableWith(const std::function<bool(const TableDef&)>& pred) const {
    for (const auto& [name, def] : defs_) {
      if (name.rfind("MSys", 0) != 0 && pred(def)) return &def;
    }
    return nullptr;
  }

  ScratchDir dir_;
  Bytes bytes_;
  std::string original_;
  const Layout* layout_ = nullptr;
  std::map<std::string, TableDef> defs_;
  std::map<std::string, std::multiset<std::string>> rows_;
  size_t source_damage_ = 0;
};

TEST_F(DamagedDefinition, CalculatedFlagInAJetCatalogIsCleared) {
  // Without the fix every catalog row failed as "not a calculated result"
  // and the tables went with them.
  if (!Load("jet4/testV2003.mdb")) GTEST_SKIP() << "no corpus";
  const TableDef& cat = defs_.at("MSysObjects");
  const ColumnDef* date = cat.FindColumn("DateCreate");
  ASSERT_NE(date, nullptr);
  At(cat, date->definition_offset + layout_->col_extended_flags) |= kColumnCalculated;
  ExpectRepairKeepsEverything(LossKind::kDefinition, "DateCreate");
}

TEST_F(DamagedDefinition, LogicalIndexNamingAMissingPhysicalIndexIsGivenTheOnlyFreeOne) {
  for (const char* file : {"jet3/indexTestV1997.mdb", "jet4/indexTestV2000.mdb"}) {
    SCOPED_TRACE(file);
    if (!Load(file)) GTEST_SKIP() << "no corpus";
    // A logical index alone on its physical index: once damaged, that one
    // is the only physical index no other logical index uses.
    const LogicalIndex* alone = nullptr;
    const TableDef* t = UserTableWith([&](const TableDef& d) {
      for (const LogicalIndex& li : d.logical_indexes) {
        if (std::count_if(d.logical_indexes.begin(), d.logical_indexes.end(),
                          [&](const LogicalIndex& o) { return o.physical == li.physical; }) == 1) {
          alone = &li;
          return true;
        }
      }
      return false;
    });
    ASSERT_NE(t, nullptr);
    Put32At(*t, alone->definition_offset + layout_->lidx_physical, 0x6A00);
    ExpectRepairKeepsEverything(LossKind::kDefinition, alone->name);
  }
}

TEST_F(DamagedDefinition, IndexColumnOrderFlagOutOfRangeIsKeptAscending) {
  for (const char* file : {"jet3/indexTestV1997.mdb", "jet4/indexTestV2000.mdb"}) {
    SCOPED_TRACE(file);
    if (!Load(file)) GTEST_SKIP() << "no corpus";
    const TableDef* t = UserTableWith([](const TableDef& d) {
      return !d.physical_indexes.empty() && !d.physical_indexes[0].columns.empty() &&
             d.physical_indexes[0].columns[0].ascending;
    });
    ASSERT_NE(t, nullptr);
    At(*t, t->physical_indexes[0].definition_offset + layout_->pidx_columns + 2) = 108;
    ExpectRepairKeepsEverything(LossKind::kDefinition, "#0");
  }
}

TEST_F(DamagedDefinition, ZeroedIndexSlotsAndTextLengthAreSetRight) {
  // A zeroed tail reads as column #0 in every slot after the used ones; a
  // flipped byte leaves a text length no text column can have.
  for (const char* file : {"jet3/indexTestV1997.mdb", "jet4/indexTestV2000.mdb"}) {
    SCOPED_TRACE(file);
    if (!Load(file)) GTEST_SKIP() << "no corpus";
    const TableDef* t = UserTableWith([](const TableDef& d) {
      bool text = std::any_of(d.columns.begin(), d.columns.end(), [](const ColumnDef& c) {
        return c.type == static_cast<uint8_t>(ColumnType::kText);
      });
      return text && !d.physical_indexes.empty() && d.physical_indexes[0].columns.size() < 9;
    });
    ASSERT_NE(t, nullptr);
    const PhysicalIndex& pi = t->physical_indexes[0];
    for (size_t s = pi.columns.size() + 1; s < kIndexColumnSlots; ++s) {
      for (size_t b = 0; b < kIndexColumnSlotSize; ++b) {
        At(*t, pi.definition_offset + layout_->pidx_columns + kIndexColumnSlotSize * s + b) = 0;
      }
    }
    const ColumnDef* text = nullptr;
    for (const ColumnDef& c : t->columns) {
      if (c.type == static_cast<uint8_t>(ColumnType::kText)) text = &c;
    }
    At(*t, text->definition_offset + layout_->col_length + 1) = 0xD4;
    ExpectRepairKeepsEverything(LossKind::kDefinition, "#0");
    ExpectRepairKeepsEverything(LossKind::kDefinition, text->name);
  }
}

TEST_F(DamagedDefinition, FixedColumnLengthIsTheSizeOfItsType) {
  if (!Load("jet3/testV1997.mdb")) GTEST_SKIP() << "no corpus";
  const TableDef& cat = defs_.at("MSysObjects");
  const ColumnDef* id = cat.FindColumn("Id");
  ASSERT_NE(id, nullptr);
  At(cat, id->definition_offset + layout_->col_length) = 197;
  ExpectRepairKeepsEverything(LossKind::kDefinition, "Id");
}

TEST_F(DamagedDefinition, LongValueMapListOutOfStepIsSetRight) {
  for (const char* file : {"jet3/testV1997.mdb", "jet4/testV2003.mdb"}) {
    SCOPED_TRACE(file);
    if (!Load(file)) GTEST_SKIP() << "no corpus";
    const TableDef* t =
        UserTableWith([](const TableDef& d) { return d.long_value_maps.size() == 1; });
    if (t == nullptr) continue;
    // The entry now names a column that holds no long values: it is
    // dropped, and the memo/OLE column it belonged to gains a fresh one.
    const ColumnDef* plain = nullptr;
    for (const ColumnDef& c : t->columns) {
      if (!c.holds_long_values()) plain = &c;
    }
    ASSERT_NE(plain, nullptr);
    const uint32_t entry = t->long_value_maps[0].entry_offset;
    At(*t, entry) = static_cast<uint8_t>(plain->number);
    At(*t, entry + 1) = static_cast<uint8_t>(plain->number >> 8);
    ExpectRepairKeepsEverything(LossKind::kDefinition,
                                t->ColumnByNumber(t->long_value_maps[0].column_number)->name);
  }
}

TEST_F(DamagedDefinition, ForeignKeyWhosePartnerDoesNotNameItBackBecomesAnOrdinaryIndex) {
  if (!Load("jet4/indexTestV2000.mdb")) GTEST_SKIP() << "no corpus";
  const TableDef* t = UserTableWith([](const TableDef& d) {
    return std::any_of(d.logical_indexes.begin(), d.logical_indexes.end(),
                       [](const LogicalIndex& li) { return li.fk_table != 0; });
  });
  if (t == nullptr) GTEST_SKIP() << "no relationship in the file";
  const LogicalIndex* fk = nullptr;
  for (const LogicalIndex& li : t->logical_indexes) {
    if (li.fk_table != 0 && fk == nullptr) fk = &li;
  }
  // The partner's side is wiped, as a splice of its page left it.
  const TableDef* partner = nullptr;
  for (const auto& [name, def] : defs_) {
    if (def.first_page == fk->fk_table) partner = &def;
  }
  ASSERT_NE(partner, nullptr);
  for (const LogicalIndex& o : partner->logical_indexes) {
    if (o.number != fk->fk_index) continue;
    Put32At(*partner, o.definition_offset + layout_->lidx_fk_index, 0xFFFFFFFFu);
    Put32At(*partner, o.definition_offset + layout_->lidx_fk_table, 0);
    At(*partner, o.definition_offset + layout_->lidx_fk_role) = 0;
  }
  ExpectRepairKeepsEverything(LossKind::kRelationship, fk->name);
}

TEST_F(DamagedDefinition, CatalogRowWhoseNameHoldsAControlCharacterIsLeftOut) {
  // The key of such a name cannot be made, and the compaction refused the
  // whole file.
  if (!Load("jet4/testV2003.mdb")) GTEST_SKIP() << "no corpus";
  std::string name;
  for (char ch : std::string("Table1")) name += std::string{ch, '\0'};
  auto at = std::search(bytes_.begin(), bytes_.end(), name.begin(), name.end(),
                        [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
  if (at == bytes_.end()) GTEST_SKIP() << "no Table1";
  at[2] = 0;  // "T", then U+0000 where "a" was
  const std::string source = dir_ / "damaged.mdb", copy = dir_ / "repaired.mdb";
  WriteFile(source, bytes_);
  auto repaired = RepairDatabase(source, copy);
  ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
  EXPECT_LE(DamageCodes(copy).size(), source_damage_);
  EXPECT_TRUE(
      std::any_of(repaired->losses.begin(), repaired->losses.end(), [](const LossRecord& r) {
        return r.kind == LossKind::kCatalogRow &&
               r.reason.find("control character") != std::string::npos;
      }));
}

TEST_F(DamagedDefinition, CatalogRowWithoutATypeIsLeftOut) {
  // Such a row names no object; carried over, it failed the copy's check.
  if (!Load("jet4/testV2003.mdb")) GTEST_SKIP() << "no corpus";
  auto db = Database::Open(original_, OpenOptions{});
  ASSERT_TRUE(db.ok());
  const CatalogObject* table = (*db)->FindTable("Table1");
  if (table == nullptr) GTEST_SKIP() << "no Table1";
  const ColumnDef* type = defs_.at("MSysObjects").FindColumn("Type");
  ASSERT_NE(type, nullptr);
  // The row ends where the previous slot's row starts (or the page ends);
  // its null mask is its last bytes, a set bit for a value present.
  const uint32_t ps = layout_->page_size;
  const size_t page = static_cast<size_t>(table->row.page) * ps;
  auto start = [&](uint32_t slot) {
    const size_t at = page + layout_->data_header_size + 2 * slot;
    return static_cast<size_t>((bytes_[at] | (bytes_[at + 1] << 8)) & kRowOffsetMask);
  };
  const size_t end = table->row.row == 0 ? ps : start(table->row.row - 1);
  const size_t columns = defs_.at("MSysObjects").columns.size();
  const size_t mask = page + end - (columns + 7) / 8;
  bytes_[mask + type->number / 8] &= static_cast<uint8_t>(~(1u << (type->number % 8)));
  const std::string source = dir_ / "damaged.mdb", copy = dir_ / "repaired.mdb";
  WriteFile(source, bytes_);
  auto repaired = RepairDatabase(source, copy);
  ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
  EXPECT_LE(DamageCodes(copy).size(), source_damage_)
      << ::testing::PrintToString(DamageCodes(copy));
  EXPECT_TRUE(
      std::any_of(repaired->losses.begin(), repaired->losses.end(), [](const LossRecord& r) {
        return r.kind == LossKind::kCatalogRow &&
               r.reason.find("without a Type") != std::string::npos;
      }));
}

// Every table definition of a corpus file, with what MendDefinition needs;
// false when the corpus is missing.
struct CorpusDefinitions {
  bool Open(const std::string& file) {
    const std::string path = std::string(QUORLEN_CORPUS_DIR) + "/" + file;
    if (ReadFile(path).empty()) return false;
    auto db = Database::Open(path, OpenOptions{});
    EXPECT_TRUE(db.ok());
    if (!db.ok()) return false;
    layout = &LayoutFor((*db)->version());
    text = std::make_unique<TextCodec>((*db)->version(), (*db)->header().code_page);
    defs.clear();
    for (const CatalogObject* t : (*db)->tables()) {
      auto def = (*db)->ReadTableDef(t->table_page());
      EXPECT_TRUE(def.ok()) << t->name;
      if (def.ok()) defs.emplace_back(t->name, def.value());
    }
    return true;
  }
  const Layout* layout = nullptr;
  std::unique_ptr<TextCodec> text;
  std::vector<std::pair<std::string, TableDef>> defs;
};

TEST(MendDefinition, IntactDefinitionsAreLeftAsTheyAre) {
  for (const char* file :
       {"jet3/indexTestV1997.mdb", "jet4/indexTestV2000.mdb", "jet4/testV2003.mdb"}) {
    SCOPED_TRACE(file);
    CorpusDefinitions c;
    if (!c.Open(file)) GTEST_SKIP() << "no corpus";
    for (const auto& [name, def] : c.defs) {
      TableDef copy = def;
      EXPECT_TRUE(MendDefinition(copy, *c.layout, *c.text, false).empty()) << name;
      EXPECT_EQ(copy.raw, def.raw);
    }
  }
}

TEST(MendDefinition, AmbiguousLogicalIndexIsDroppedNotGuessed) {
  CorpusDefinitions c;
  if (!c.Open("jet4/indexTestV2000.mdb")) GTEST_SKIP() << "no corpus";
  for (auto& [name, d] : c.defs) {
    if (d.physical_indexes.size() < 2 || d.logical_indexes.size() != d.physical_indexes.size()) {
      continue;
    }
    // Every physical index is in use by another logical index: the damaged
    // one could have meant any of them.
    d.logical_indexes.push_back(d.logical_indexes[0]);
    d.logical_indexes.back().physical = 0xC3000000u;
    const size_t before = d.logical_indexes.size();
    auto mends = MendDefinition(d, *c.layout, *c.text, false);
    ASSERT_EQ(mends.size(), 1u);
    EXPECT_NE(mends[0].reason.find("dropped"), std::string::npos);
    EXPECT_EQ(d.logical_indexes.size(), before - 1);
    for (const LogicalIndex& li : d.logical_indexes) {
      EXPECT_LT(li.physical, d.physical_indexes.size());
    }
    return;
  }
  GTEST_SKIP() << "no table with two physical indexes";
}

}  // namespace
}  // namespace engine

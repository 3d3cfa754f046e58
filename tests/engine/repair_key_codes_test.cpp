// Index keys in repair from codes the file's own entries teach: characters
// taken out of the built-in tables are learned back exactly; copies of real
// files whose text uses a sort order without built-in codes repair where
// their keys confirm the codes, and otherwise stop with 3049 naming the
// table, the index and the character, leaving the source untouched.
#include <gtest/gtest.h>

#include <filesystem>

#include "compact_support.h"
#include "engine/check.h"
#include "reader/database.h"
#include "engine/repair.h"
#include "keys/learn/index_key_infer.h"
#include "check/index_entries.h"
#include "keys/index_key_text.h"
#include "repair/repair_keys.h"
#include "salvage_damage.h"

namespace engine {
namespace {

using compact_test::ReadFile;
using compact_test::ScratchDir;
using compact_test::WriteFile;
using index_text::TextCode;
using Bytes = std::vector<uint8_t>;

std::filesystem::path Real(const std::string& name) {
  return std::filesystem::path(QUORLEN_CORPUS_DIR) / "real" / name;
}

std::vector<TextCode> Without(index_text::CodeTable table, const std::vector<uint16_t>& drop) {
  std::vector<TextCode> out;
  for (const TextCode& c : table) {
    if (std::find(drop.begin(), drop.end(), c.ch) == drop.end()) out.push_back(c);
  }
  return out;
}

// Accented letters taken out of the tables, learned again from the keys of
// a real file with the built-in tables short of them: every one comes back
// with exactly its built-in code.
TEST(RepairKeyCodes, CharactersMissingFromTheTablesAreLearnedFromTheFilesKeys) {
  struct Case {
    std::string file;
    KeyFormat format;
    std::vector<uint16_t> drop;
  };
  const std::vector<Case> cases = {
      // Spanish Northwind (Jet 4): á é í ó ñ ö.
      {"jet4/OscarMaestre+PruebaAccess__Neptuno.mdb",
       KeyFormat::kJet4,
       {0x00E1, 0x00E9, 0x00ED, 0x00F3, 0x00F1, 0x00F6}},
      // Northwind (Jet 3, code-page bytes): ä é ö ü.
      {"jet3/phamtgiang+sellView__Northwind.mdb", KeyFormat::kJet3, {0xE4, 0xE9, 0xF6, 0xFC}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (!std::filesystem::exists(Real(c.file))) GTEST_SKIP() << "no corpus";
    auto db = Database::Open(Real(c.file).string());
    ASSERT_TRUE(db.ok()) << db.error().ToString();
    const index_text::CodeTable full = c.format == KeyFormat::kJet3
                                           ? index_text::Jet3GeneralCodes()
                                           : index_text::Jet4GeneralLegacyCodes();
    const std::vector<TextCode> reduced = Without(full, c.drop);
    index_text::TextTables known{index_text::Jet3GeneralCodes(),
                                 index_text::Jet4GeneralLegacyCodes()};
    (c.format == KeyFormat::kJet3 ? known.jet3 : known.jet4) = reduced;

    // The file holds characters the built-in tables lack as well.
    LearnedKeyCodes base = LearnKeyCodes(**db);
    LearnedKeyCodes learned = LearnKeyCodes(**db, known);
    EXPECT_GE(learned.stats.missing, c.drop.size());
    EXPECT_GE(learned.stats.learned + learned.stats.derived,
              base.stats.learned + base.stats.derived + c.drop.size());
    EXPECT_GT(learned.stats.observations, base.stats.observations);
    ASSERT_TRUE(learned.codes);
    KeyColumn general;
    general.type = key_type::kText;
    general.format = c.format;
    const ExtraTextCodes::Order* order = learned.codes->Find(general);
    ASSERT_NE(order, nullptr);
    for (uint16_t ch : c.drop) {
      const TextCode* got = index_text::FindCode(order->table, ch);
      ASSERT_NE(got, nullptr) << ch;
      EXPECT_TRUE(index_text::SameCode(*got, *index_text::FindCode(full, ch)))
          << ch << " learned as " << index_text::Describe(*got);
    }
  }
}

// Jet 3 letters whose accent weight the built-in table leaves open: keys
// with an accented letter after them cannot be encoded with it alone. The
// weights the file's keys confirm encode every such key as stored.
TEST(RepairKeyCodes, Jet3WeightsConfirmedByTheKeysEncodeThem) {
  const auto path = Real("jet3/phamtgiang+sellView__Northwind.mdb");
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus";
  auto db = Database::Open(path.string());
  ASSERT_TRUE(db.ok());
  LearnedKeyCodes learned = LearnKeyCodes(**db);
  EXPECT_GT(learned.stats.weights_confirmed, 5u);
  ASSERT_TRUE(learned.codes);
  size_t before = 0, now = 0, wrong = 0;
  Status st = ForEachIndexEntry(**db, [&](const IndexEntryContext& c) {
    if (!c.row_found) return;
    EncodedKey plain = EncodeIndexKey(c.columns, c.values);
    if (plain.ok() || plain.reason.find("accent weight") == std::string::npos) return;
    ++before;
    Bytes key;
    for (size_t i = 0; i < c.columns.size(); ++i) {
      EncodedKey seg = EncodeKeySegment(c.columns[i], c.values[i], learned.codes.get());
      if (!seg.ok()) return;
      key.insert(key.end(), seg.bytes.begin(), seg.bytes.end());
    }
    ++(key == c.entry.key ? now : wrong);
  });
  ASSERT_TRUE(st.ok());
  EXPECT_GT(before, 50u);
  EXPECT_GT(now, before / 2);
  EXPECT_EQ(wrong, 0u);
}

// A damaged copy made the way bench/salvage-score makes copy `n`.
struct DamagedCopy {
  Bytes intact;
  Bytes damaged;
};
std::optional<DamagedCopy> Copy(const std::string& file, uint64_t n) {
  DamagedCopy c;
  c.intact = ReadFile(Real(file).string());
  if (c.intact.empty()) return std::nullopt;
  auto facts = salvage_test::Facts(c.intact, "");
  if (!facts) return std::nullopt;
  c.damaged = c.intact;
  const auto kind = salvage_test::kAllClasses[n % std::size(salvage_test::kAllClasses)];
  auto damage = salvage_test::Apply(c.damaged, *facts, kind, 0x5A17A9E + n);
  if (damage.what.empty()) return std::nullopt;
  return c;
}

TEST(RepairKeyCodes, SortOrderConfirmedByTheFilesKeysRepairs) {
  // Spanish (0x0C0A) names in the catalog; the file is cut inside the
  // catalog's index, so the entries of the last catalog rows are gone and
  // their keys must be encoded from codes the remaining entries confirm.
  auto copy = Copy("jet4/EliasDottori+iGourmet21__db.mdb", 108);
  if (!copy) GTEST_SKIP() << "no corpus";
  ScratchDir dir;
  const std::string src = dir / "damaged.mdb";
  const std::string dst = dir / "repaired.mdb";
  WriteFile(src, copy->damaged);
  auto repaired = RepairDatabase(src, dst);
  ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
  EXPECT_GT(repaired->key_codes.confirmed_general, 20u);
  EXPECT_GT(repaired->key_codes.observations, 0u);
  EXPECT_EQ(ReadFile(src), copy->damaged);
  auto report = CheckDatabase(dst, {});
  ASSERT_TRUE(report.ok()) << report.error().ToString();
  EXPECT_EQ(report->damage_count(), 0u);
}

// The sort order of a column as the file's definition of `table` says.
std::optional<uint16_t> ColumnSortOrder(const std::string& path, const std::string& table,
                                        const std::string& column) {
  auto db = Database::Open(path);
  if (!db.ok()) return std::nullopt;
  const CatalogObject* t = db.value()->FindTable(table);
  if (t == nullptr) return std::nullopt;
  auto def = db.value()->ReadTableDef(static_cast<uint32_t>(t->id));
  if (!def.ok()) return std::nullopt;
  const ColumnDef* c = def->FindColumn(column);
  if (c == nullptr) return std::nullopt;
  return c->sort_order;
}

TEST(RepairKeyCodes, ColumnWithoutAKeyInItsSortOrderIsKeyedUnderGeneral) {
  // Chinese (0x0804) catalog names: no intact key of that order holds a
  // "v", and a catalog row whose entry was cut off holds one. The copy keys
  // the catalog's Name column under General, loses no row for it, and says so.
  auto copy = Copy("jet4/farteryhr+vb6-book-db__db.mdb", 213);
  if (!copy) GTEST_SKIP() << "no corpus";
  ScratchDir dir;
  const std::string src = dir / "damaged.mdb";
  const std::string dst = dir / "repaired.mdb";
  WriteFile(src, copy->damaged);
  auto repaired = RepairDatabase(src, dst);
  ASSERT_TRUE(repaired.ok()) << repaired.error().ToString();
  EXPECT_EQ(ReadFile(src), copy->damaged);

  std::vector<const LossRecord*> changed;
  for (const LossRecord& r : repaired->losses) {
    if (r.kind == LossKind::kSortOrder) changed.push_back(&r);
  }
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(changed[0]->table_name, "MSysObjects");
  EXPECT_EQ(changed[0]->column, "Name");
  EXPECT_EQ(changed[0]->table, 2u);
  EXPECT_NE(changed[0]->reason.find("0x0804"), std::string::npos) << changed[0]->reason;
  EXPECT_NE(changed[0]->reason.find("U+0076 (v)"), std::string::npos) << changed[0]->reason;
  EXPECT_EQ(LossKindName(LossKind::kSortOrder), "sort-order");
  ASSERT_EQ(repaired->stats.sort_order_changes.size(), 1u);
  EXPECT_EQ(repaired->stats.sort_order_changes[0].old_sort_order, 0x0804);

  EXPECT_EQ(ColumnSortOrder(dst, "MSysObjects", "Name"), kGeneralSortOrder);
  EXPECT_EQ(ColumnSortOrder(src, "MSysObjects", "Name"), 0x0804);
  auto report = CheckDatabase(dst, {});
  ASSERT_TRUE(report.ok()) << report.error().ToString();
  EXPECT_EQ(report->damage_count(), 0u);

  // The error table lists the change beside the losses.
  ASSERT_FALSE(repaired->error_table.empty());
  std::string why;
  auto rows = salvage_test::ErrorTableRows(dst, "", repaired->error_table, &why);
  ASSERT_TRUE(rows) << why;
  bool listed = false;
  for (const auto& row : *rows) {
    listed |= row.table == "MSysObjects" &&
              row.description.find("Column Name") != std::string::npos &&
              row.description.find("under General") != std::string::npos;
  }
  EXPECT_TRUE(listed);
}

TEST(RepairKeyCodes, CharacterNames) {
  EXPECT_EQ(KeyCharacterName(KeyFormat::kJet4, 0x00C9), "U+00C9 (\u00C9)");
  EXPECT_EQ(KeyCharacterName(KeyFormat::kJet4, 0x0020), "U+0020 (space)");
  EXPECT_EQ(KeyCharacterName(KeyFormat::kJet4, 0x0007), "U+0007");
  EXPECT_EQ(KeyCharacterName(KeyFormat::kJet3, 0x8A), "0x8A of code page 1252 (U+0160 \u0160)");
  EXPECT_EQ(KeyCharacterName(KeyFormat::kJet3, 0x81), "0x81 of code page 1252 (undefined there)");
  // The encoder's refusal names the character it has no code for.
  KeyColumn col;
  col.type = key_type::kText;
  const Bytes surrogate = {0x3D, 0xD8};  // U+D83D, half of a pair
  EncodedKey key = EncodeKeySegment(col, KeyValue::Bytes(surrogate));
  ASSERT_EQ(key.status, KeyStatus::kNotCovered);
  EXPECT_EQ(key.missing, 0xD83D);
  EXPECT_NE(key.reason.find("U+D83D"), std::string::npos) << key.reason;
  col.sort_order = 0x0804;
  const Bytes v = {'v', 0};
  key = EncodeKeySegment(col, KeyValue::Bytes(v));
  EXPECT_NE(key.reason.find("0x0804"), std::string::npos) << key.reason;
  EXPECT_NE(key.reason.find("U+0076 (v)"), std::string::npos) << key.reason;
}

}  // namespace
}  // namespace engine

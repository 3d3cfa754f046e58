// Ground truth from Access: every leaf entry of every index in the sample
// files (the test files and the real ones, with their passwords) must be the
// encoding of the row it points to, wherever the encoder covers the values;
// entries of indexes without text must all be covered. Keys of text under a
// sort order other than General are counted apart: not verifiable, never
// wrong.
// Also the documented text examples through the compiled-in tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "check/index_entries.h"
#include "corpus_files.h"
#include "keys/index_key.h"
#include "keys/index_key_text.h"
#include "keys/learn/index_key_derive.h"
#include "keys/learn/index_key_infer.h"
#include "reader/database.h"

namespace engine {
namespace {

namespace fs = std::filesystem;

// The files Access wrote: the test files and the real ones (not those of
// other writers, whose keys are not what Access would write).
std::vector<corpus::File> AccessFiles() {
  return corpus::Files({"jet3", "jet4", "ace", "real/jet3", "real/jet4", "real/ace"});
}

struct Counts {
  size_t files = 0;
  size_t entries = 0;
  size_t matched = 0;
  size_t matched_text = 0;
  size_t not_covered = 0;
  size_t other_sort_order = 0;            // text keys under a sort order without codes
  std::map<std::string, size_t> reasons;  // why text keys were not covered
};

void CheckFiles(Counts& jet3, Counts& jet4) {
  for (const corpus::File& file : corpus::Files({"jet3", "jet4", "real/jet3", "real/jet4"})) {
    SCOPED_TRACE(file.name);
    auto db = Database::Open(file.path.string(), OpenOptions{.password = file.password});
    ASSERT_TRUE(db.ok()) << db.error().ToString();
    Counts& counts = db.value()->version() == JetVersion::kJet3 ? jet3 : jet4;
    ++counts.files;
    const std::string& name = file.name;
    Status st = ForEachIndexEntry(*db.value(), [&](const IndexEntryContext& ctx) {
      ++counts.entries;
      const std::string where = name + " table " + ctx.table_object.name + " index " +
                                std::to_string(ctx.index.position) + " row " +
                                std::to_string(ctx.entry.row.page) + ":" +
                                std::to_string(ctx.entry.row.row);
      if (!ctx.row_found) {
        ADD_FAILURE() << where << ": entry points at no live row";
        return;
      }
      bool text = false;
      for (const auto& c : ctx.columns) {
        text |= c.type == key_type::kText || c.type == key_type::kMemo;
      }
      EncodedKey key = EncodeIndexKey(ctx.columns, ctx.values);
      if (key.ok()) {
        if (key.bytes == ctx.entry.key) {
          ++counts.matched;
          counts.matched_text += text;
        } else {
          ADD_FAILURE() << where << "\n  stored  " << engine::HexBytes(ctx.entry.key)
                        << "\n  encoded " << engine::HexBytes(key.bytes);
        }
      } else if (key.status == KeyStatus::kNotCovered && text &&
                 !std::all_of(ctx.columns.begin(), ctx.columns.end(), SortOrderCovered)) {
        ++counts.other_sort_order;
      } else if (key.status == KeyStatus::kNotCovered && text) {
        ++counts.not_covered;
        ++counts.reasons[key.reason];
      } else {
        ADD_FAILURE() << where << ": " << key.reason;
      }
    });
    ASSERT_TRUE(st.ok()) << st.error().ToString();
  }
}

TEST(IndexKeyCorpus, EveryStoredKeyIsTheEncodingOfItsRow) {
  if (AccessFiles().empty()) GTEST_SKIP() << "no sample databases under " << QUORLEN_CORPUS_DIR;
  Counts jet3, jet4;
  CheckFiles(jet3, jet4);
  const KeyCodeCoverage coverage = IndexCodeCoverage();
  std::printf(
      "index keys, Jet 3: %zu files, %zu entries, %zu matched (%zu text), %zu not covered, "
      "%zu under another sort order\n"
      "index keys, Jet 4: %zu files, %zu entries, %zu matched (%zu text), %zu not covered, "
      "%zu under another sort order\n"
      "text codes known: Jet 3 %d byte values (%d with unknown accent weight), Jet 4 %d "
      "characters, General of 2010 %d\n",
      jet3.files, jet3.entries, jet3.matched, jet3.matched_text, jet3.not_covered,
      jet3.other_sort_order, jet4.files, jet4.entries, jet4.matched, jet4.matched_text,
      jet4.not_covered, jet4.other_sort_order, coverage.jet3_known, coverage.jet3_weight_unknown,
      coverage.jet4_known, coverage.jet4_2010_known);
  for (const Counts* c : {&jet3, &jet4}) {
    for (const auto& [reason, n] : c->reasons)
      std::printf("  not covered (%zu): %s\n", n, reason.c_str());
  }
  // The check must have had something to check in each format.
  if (jet3.files > 0) {
    EXPECT_GT(jet3.matched_text, 0u);
  }
  if (jet4.files > 0) {
    EXPECT_GT(jet4.matched_text, 0u);
  }
}

// ACE files: every key with a text column under General of 2010 whose
// characters all have codes is what Access stored, and only characters the
// table lacks leave one uncovered.
TEST(IndexKeyCorpus, General2010KeysAreTheEncodingOfTheirRows) {
  const std::vector<corpus::File> files = corpus::AceFiles();
  if (files.empty()) GTEST_SKIP() << "no ACE files under " << QUORLEN_CORPUS_DIR;
  size_t matched = 0, missing_character = 0, files_with_keys = 0;
  for (const corpus::File& file : files) {
    SCOPED_TRACE(file.name);
    auto db = Database::Open(file.path.string(), OpenOptions{.password = file.password});
    ASSERT_TRUE(db.ok()) << db.error().ToString();
    size_t before = matched + missing_character;
    Status st = ForEachIndexEntry(*db.value(), [&](const IndexEntryContext& ctx) {
      if (!ctx.row_found ||
          !std::any_of(ctx.columns.begin(), ctx.columns.end(), KeysAsGeneral2010)) {
        return;
      }
      const EncodedKey key = EncodeIndexKey(ctx.columns, ctx.values);
      if (key.ok()) {
        ++matched;
        EXPECT_EQ(HexBytes(key.bytes), HexBytes(ctx.entry.key))
            << ctx.table_object.name << " index " << ctx.index.position << " row "
            << ctx.entry.row.page << ":" << ctx.entry.row.row;
      } else {
        ++missing_character;
        EXPECT_NE(key.reason.find("unknown code for character"), std::string::npos) << key.reason;
      }
    });
    ASSERT_TRUE(st.ok()) << st.error().ToString();
    files_with_keys += matched + missing_character > before;
  }
  std::printf(
      "General of 2010: %zu files with keys, %zu reproduced, %zu with a character "
      "without code\n",
      files_with_keys, matched, missing_character);
  EXPECT_GT(files_with_keys, 10u);
  EXPECT_GT(matched, 1000u);
}

// The compiled-in tables are exactly what scripts/gen-index-codes learns from
// the corpus: Access's keys, then what another engine's keys add where
// Access's leave a character open; nothing in them was written by hand.
TEST(IndexKeyCorpus, CompiledTablesAreWhatTheCorpusTeaches) {
  if (corpus::Files({"jet3"}).empty() || corpus::Files({"jet4"}).empty()) {
    GTEST_SKIP() << "no sample databases under " << QUORLEN_CORPUS_DIR;
  }
  using index_text::Observation;
  struct Learning {
    index_text::CodeInference access, other;
    std::vector<Observation> general;  // Access-written keys under General
    explicit Learning(KeyFormat f, uint8_t version = kGeneralLegacyVersion)
        : access(f, version), other(f, version) {}
  };
  Learning jet3(KeyFormat::kJet3), jet4(KeyFormat::kJet4);
  Learning ace(KeyFormat::kJet4, kGeneral2010Version);
  auto learn = [&](const std::vector<corpus::File>& files, bool other) {
    for (const corpus::File& file : files) {
      SCOPED_TRACE(file.name);
      auto db = Database::Open(file.path.string(), OpenOptions{.password = file.password});
      ASSERT_TRUE(db.ok()) << db.error().ToString();
      const bool jet3_file = db.value()->version() == JetVersion::kJet3;
      Status st = ForEachIndexEntry(*db.value(), [&](const IndexEntryContext& ctx) {
        if (!ctx.row_found) return;
        Learning& l = jet3_file ? jet3
                      : std::any_of(ctx.columns.begin(), ctx.columns.end(), KeysAsGeneral2010)
                          ? ace
                          : jet4;
        Observation o;
        o.columns.assign(ctx.columns.begin(), ctx.columns.end());
        for (const auto& v : ctx.values) {
          o.values.push_back({v.is_null, v.boolean, {v.bytes.begin(), v.bytes.end()}});
        }
        o.key = ctx.entry.key;
        if (!other && std::all_of(o.columns.begin(), o.columns.end(), SortOrderCovered)) {
          l.general.push_back(o);
        }
        (other ? l.other : l.access).Add(std::move(o));  // keys without General text are ignored
      });
      ASSERT_TRUE(st.ok()) << st.error().ToString();
    }
  };
  learn(AccessFiles(), false);
  learn(corpus::Files({"other-writers/keys"}), true);
  auto same = [](const std::vector<index_text::TextCode>& learned, index_text::CodeTable compiled,
                 const char* name) {
    ASSERT_EQ(learned.size(), compiled.size())
        << name << ": the compiled table is stale; run scripts/gen-index-codes";
    for (size_t i = 0; i < learned.size(); ++i) {
      EXPECT_TRUE(index_text::SameCode(learned[i], compiled[i]))
          << name << " entry for character " << learned[i].ch << ": learned "
          << index_text::Describe(learned[i]) << ", compiled " << index_text::Describe(compiled[i]);
    }
  };
  for (Learning* l : {&jet3, &jet4, &ace}) {
    l->access.Run();
    l->other.Run();
  }
  auto table = [](KeyFormat format, Learning& l) {
    std::vector<index_text::TextCode> access = l.access.Table();
    if (format == KeyFormat::kJet3) access = index_text::AddJet3Controls(access, l.general).table;
    return index_text::AddOtherWriterCodes(format, access, l.other.Table(), l.general).table;
  };
  same(table(KeyFormat::kJet3, jet3), index_text::Jet3GeneralCodes(), "Jet 3");
  same(table(KeyFormat::kJet4, jet4), index_text::Jet4GeneralLegacyCodes(), "Jet 4");
  same(table(KeyFormat::kJet4, ace), index_text::Jet4General2010Codes(), "General of 2010");
}

// Sort orders whose keys are General's: every Access-written key of the
// corpus under such an order comes out as stored when its text columns are
// encoded as General, and the encoder covers them (KeysAsGeneral). Orders
// with a key that does not are listed, so a claim the keys do not prove
// fails here.
TEST(IndexKeyCorpus, SortOrdersThatKeyAsGeneral) {
  if (AccessFiles().empty()) GTEST_SKIP() << "no sample databases under " << QUORLEN_CORPUS_DIR;
  struct Tally {
    size_t matched = 0, mismatched = 0, not_covered = 0;
    std::set<uint16_t> beyond_ascii;  // characters above U+007F in matched keys
  };
  std::map<std::string, Tally> orders;  // "Jet 4 0x040C version 0"
  for (const corpus::File& file : AccessFiles()) {
    SCOPED_TRACE(file.name);
    auto db = Database::Open(file.path.string(), OpenOptions{.password = file.password});
    ASSERT_TRUE(db.ok()) << db.error().ToString();
    Status st = ForEachIndexEntry(*db.value(), [&](const IndexEntryContext& ctx) {
      if (!ctx.row_found) return;
      std::vector<KeyColumn> general(ctx.columns.begin(), ctx.columns.end());
      std::string order;
      bool as_general = true;
      for (KeyColumn& c : general) {
        if (c.type != key_type::kText && c.type != key_type::kMemo) continue;
        if (c.sort_order == kGeneralSortOrder && c.sort_order_version == 0) continue;
        char name[64];
        std::snprintf(name, sizeof name, "%s 0x%04X %s %d",
                      c.format == KeyFormat::kJet3 ? "Jet 3" : "Jet 4", c.sort_order,
                      c.format == KeyFormat::kJet3 ? "code page" : "version",
                      c.format == KeyFormat::kJet3 ? c.code_page : c.sort_order_version);
        order = name;
        as_general &= KeysAsGeneral(c);
        c.sort_order = kGeneralSortOrder;
        c.sort_order_version = 0;
      }
      if (order.empty()) return;
      // Jet 3 text under another code page holds other characters.
      if (std::any_of(general.begin(), general.end(), [](const KeyColumn& c) {
            return c.format == KeyFormat::kJet3 && c.code_page != 1252;
          })) {
        return;
      }
      Tally& t = orders[order];
      const EncodedKey key = EncodeIndexKey(general, ctx.values);
      if (!key.ok()) {
        ++t.not_covered;
      } else if (key.bytes == ctx.entry.key) {
        ++t.matched;
        for (size_t i = 0; i < general.size(); ++i) {
          if (general[i].type != key_type::kText && general[i].type != key_type::kMemo) continue;
          for (uint16_t ch : index_text::TextChars(general[i].format, ctx.values[i].bytes)) {
            if (ch > 0x7F) t.beyond_ascii.insert(ch);
          }
        }
      } else {
        ++t.mismatched;
      }
      if (as_general) {
        // Claimed: the encoder makes it by itself, and it is what Access stored.
        const EncodedKey own = EncodeIndexKey(ctx.columns, ctx.values);
        if (own.ok()) {
          EXPECT_EQ(HexBytes(own.bytes), HexBytes(ctx.entry.key)) << order;
        } else {
          EXPECT_EQ(own.status, KeyStatus::kNotCovered) << order << ": " << own.reason;
        }
      }
    });
    ASSERT_TRUE(st.ok()) << st.error().ToString();
  }
  size_t claimed = 0;
  for (const auto& [order, t] : orders) {
    std::printf(
        "  sort order %s: %zu keys as General (%zu characters beyond ASCII), %zu otherwise, %zu "
        "not covered\n",
        order.c_str(), t.matched, t.beyond_ascii.size(), t.mismatched, t.not_covered);
  }
  for (uint16_t lcid : GeneralEquivalentSortOrders()) {
    KeyColumn c;
    c.type = key_type::kText;
    c.sort_order = lcid;
    EXPECT_TRUE(KeysAsGeneral(c));
    char name[64];
    std::snprintf(name, sizeof name, "Jet 4 0x%04X version 0", lcid);
    auto it = orders.find(name);
    if (it == orders.end()) continue;  // not in this corpus: claimed elsewhere
    ++claimed;
    EXPECT_GT(it->second.matched, 0u) << name;
    EXPECT_EQ(it->second.mismatched, 0u) << name;
  }
  EXPECT_GT(claimed, 0u) << "no claimed sort order met in the corpus";
}

// The documented examples, through the compiled-in tables.
TEST(IndexKeyCorpus, DocumentedTextExamples) {
  auto text = [](KeyFormat format, bool ascending, std::vector<uint8_t> stored) {
    KeyColumn c;
    c.type = key_type::kText;
    c.format = format;
    c.ascending = ascending;
    EncodedKey key = EncodeKeySegment(c, KeyValue::Bytes(stored));
    EXPECT_TRUE(key.ok()) << key.reason;
    return key.bytes;
  };
  using B = std::vector<uint8_t>;
  const KeyFormat j3 = KeyFormat::kJet3, j4 = KeyFormat::kJet4;
  EXPECT_EQ(text(j3, true, B{'a', 'b', 'c'}), (B{0x7F, 0x60, 0x61, 0x62, 0x00}));
  EXPECT_EQ(text(j3, true, B{0xC1, 'b', 'c'}), (B{0x7F, 0x60, 0x61, 0x62, 0x04, 0x00}));
  EXPECT_EQ(text(j3, false, B{0xC1, 'b', 'c'}), (B{0x80, 0x9F, 0x9E, 0x9D, 0xFB, 0xFF}));
  // Case folds; trailing spaces do not count.
  EXPECT_EQ(text(j3, true, B{'A', 'B', 'C', ' '}), text(j3, true, B{'a', 'b', 'c'}));
  EXPECT_EQ(text(j4, true, B{'a', 0, 'b', 0, 'c', 0}), (B{0x7F, 0x4A, 0x4C, 0x4D, 0x01, 0x00}));
  EXPECT_EQ(text(j4, false, B{'a', 0, 'b', 0, 'c', 0}),
            (B{0x80, 0xB5, 0xB3, 0xB2, 0xFE, 0xFF, 0x00}));
  EXPECT_EQ(text(j4, true, B{'-', 0, '1', 0}),
            (B{0x7F, 0x38, 0x01, 0x01, 0x01, 0x01, 0x80, 0x07, 0x06, 0x82, 0x00}));
  EXPECT_EQ(text(j4, true, B{'A', 0, 'B', 0, 'C', 0, ' ', 0}),
            text(j4, true, B{'a', 0, 'b', 0, 'c', 0}));
}

}  // namespace
}  // namespace engine

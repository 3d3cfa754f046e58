// The reader end to end on small databases built in memory: catalog, rows
// of every kind, long values of every form, encoded pages, passwords, the
// dump's exact layout, and damage of each structure.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "format/row.h"
#include "reader/database.h"
#include "reader/dump.h"
#include "small_db.h"

namespace engine {
namespace {

using jet_test::BuildSmallDb;
using jet_test::Bytes;
using jet_test::FileBuilder;
using jet_test::SmallDbOptions;

Result<std::unique_ptr<Database>> OpenBytes(Bytes bytes, const std::string& password = "") {
  return Database::Open(FileSource::FromBuffer(std::move(bytes)), OpenOptions{password});
}

class SmallDb : public ::testing::TestWithParam<JetVersion> {
 protected:
  JetVersion v() const { return GetParam(); }
  const char* format() const { return v() == JetVersion::kJet3 ? "jet3" : "jet4"; }

  nlohmann::json Dump(const SmallDbOptions& options = {}, const std::string& password = "") {
    auto db = OpenBytes(BuildSmallDb(v(), options), password);
    EXPECT_TRUE(db.ok()) << db.error().ToString();
    if (!db.ok()) return {};
    auto text = DumpToString(*db.value());
    EXPECT_TRUE(text.ok()) << text.error().ToString();
    return text.ok() ? nlohmann::json::parse(text.value()) : nlohmann::json();
  }

  // Expects opening, or dumping, the tampered database to fail with 3049
  // and a description containing `words`.
  void ExpectDamage(const std::function<void(FileBuilder&)>& tamper, const std::string& words) {
    SmallDbOptions options;
    options.tamper = tamper;
    auto db = OpenBytes(BuildSmallDb(v(), options));
    Error error(0, "");
    if (!db.ok()) {
      error = db.error();
    } else {
      auto text = DumpToString(*db.value());
      ASSERT_FALSE(text.ok()) << "damage went unnoticed: " << words;
      error = text.error();
    }
    EXPECT_EQ(error.number(), 3049) << error.ToString();
    EXPECT_NE(error.description().find(words), std::string::npos) << error.ToString();
  }
};

INSTANTIATE_TEST_SUITE_P(BothVersions, SmallDb,
                         ::testing::Values(JetVersion::kJet3, JetVersion::kJet4),
                         [](const ::testing::TestParamInfo<JetVersion>& p) {
                           return p.param == JetVersion::kJet3 ? "Jet3" : "Jet4";
                         });

TEST_P(SmallDb, CatalogAndTables) {
  auto db = OpenBytes(BuildSmallDb(v()));
  ASSERT_TRUE(db.ok()) << db.error().ToString();
  const Database& d = *db.value();
  EXPECT_EQ(d.version(), v());
  EXPECT_EQ(d.header().code_page, 1252);
  EXPECT_EQ(d.header().sort_order, 0x0409);
  ASSERT_EQ(d.objects().size(), 3u);
  EXPECT_EQ(d.objects()[2].name, "Tables");
  EXPECT_EQ(d.objects()[2].type, 3);
  auto tables = d.tables();
  ASSERT_EQ(tables.size(), 2u);
  EXPECT_EQ(tables[0]->name, "MSysObjects");
  EXPECT_TRUE(tables[0]->is_system());
  EXPECT_EQ(tables[1]->name, "T");
  EXPECT_EQ(tables[1]->table_page(), 5u);

  auto def = d.ReadTableDef(5);
  ASSERT_TRUE(def.ok()) << def.error().ToString();
  const TableDef& t = def.value();
  EXPECT_EQ(t.max_cols, 10);
  EXPECT_EQ(t.num_var_cols, 5);
  ASSERT_EQ(t.columns.size(), 9u);
  EXPECT_EQ(t.columns[0].name, "Notes");  // definition order kept
  EXPECT_EQ(t.ColumnsByNumber()[0]->name, "ID");
  EXPECT_EQ(t.parsed_length, t.tdef_len);
  ASSERT_EQ(t.long_value_maps.size(), 2u);
  EXPECT_EQ(t.long_value_maps[1].column_number, 6);

  // Rows in storage order; the overflow row reports both of its places.
  std::vector<std::pair<RowPointer, RowPointer>> seen;
  ASSERT_TRUE(d.ScanRows(t, [&](const RowRef& r) {
                 seen.emplace_back(r.location, r.data);
                 return true;
               }).ok());
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].first, (RowPointer{6, 0}));
  EXPECT_EQ(seen[1].first, (RowPointer{6, 2}));
  EXPECT_EQ(seen[1].second, (RowPointer{6, 3}));
  EXPECT_EQ(seen[2].first, (RowPointer{6, 4}));

  auto global = d.GlobalUsageMap();
  ASSERT_TRUE(global.ok());
  EXPECT_EQ(global.value().pages, std::vector<uint32_t>{8});
  EXPECT_EQ(global.value().pages_beyond_file, 503u);

  std::vector<uint8_t> value;
  std::vector<RowPointer> pieces;
  auto page6 = d.ReadDataPage(6);
  ASSERT_TRUE(page6.ok());
  EXPECT_TRUE(page6.value().slots[1].deleted());
  EXPECT_TRUE(page6.value().slots[2].lookup());
  EXPECT_FALSE(page6.value().slots[3].live());

  auto summary = Summarize(d);
  ASSERT_TRUE(summary.ok()) << summary.error().ToString();
  EXPECT_EQ(summary.value().page_count, 9u);
  EXPECT_EQ(summary.value().free_pages, 1u);
  EXPECT_EQ(summary.value().page_types.at(0x01), 5u);
  EXPECT_EQ(summary.value().tables[1].rows, 3u);
}

TEST_P(SmallDb, DumpValuesOfEveryKind) {
  nlohmann::json dump = Dump();
  EXPECT_EQ(dump["format"], format());
  EXPECT_EQ(dump["page_size"], v() == JetVersion::kJet3 ? 2048 : 4096);
  ASSERT_EQ(dump["tables"].size(), 2u);
  const auto& t = dump["tables"][1];
  EXPECT_EQ(t["name"], "T");
  EXPECT_EQ(t["system"], false);
  nlohmann::json columns = nlohmann::json::parse(R"([
    {"name": "ID", "type": "long", "length": 4}, {"name": "Flag", "type": "boolean", "length": 1},
    {"name": "Name", "type": "text", "length": 100},
    {"name": "Amount", "type": "currency", "length": 8},
    {"name": "When", "type": "datetime", "length": 8}, {"name": "Notes", "type": "memo", "length": 0},
    {"name": "Blob", "type": "ole", "length": 0}, {"name": "Later", "type": "text", "length": 20},
    {"name": "G", "type": "guid", "length": 16}])");
  EXPECT_EQ(t["columns"], columns);
  EXPECT_EQ(t["row_count"], 3);
  nlohmann::json rows = nlohmann::json::parse(R"([
    [1, true, "Zo\u00eb", "-1234.5600", "1899-12-29 06:00:00", "hello memo", "AQIDBAU=", "x",
     "{01020304-0506-0708-090A-0B0C0D0E0F10}"],
    [3, false, "third", null, "1899-12-30 12:00:00", "chained memo value", null, null, null],
    [4, true, "old", null, null, null, null, null, null]])");
  EXPECT_EQ(t["rows"], rows);
}

TEST_P(SmallDb, DumpLayoutAndKeyOrder) {
  auto db = OpenBytes(BuildSmallDb(v()));
  ASSERT_TRUE(db.ok());
  auto text = DumpToString(*db.value());
  ASSERT_TRUE(text.ok());
  std::string expected_start =
      std::string("{\n  \"format\": \"") + format() +
      "\",\n  \"page_size\": " + (v() == JetVersion::kJet3 ? "2048" : "4096") +
      ",\n  \"tables\": [\n    {\n      \"name\": \"MSysObjects\",\n"
      "      \"system\": true,\n      \"columns\": [ { \"name\": \"Id\", "
      "\"type\": \"long\", \"length\": 4 }, ";
  EXPECT_EQ(text.value().substr(0, expected_start.size()), expected_start);
  EXPECT_NE(text.value().find("\"row_count\": 3,\n      \"rows\": [ [1, true, \"Zo"),
            std::string::npos);
  EXPECT_NE(text.value().find("[4, true, \"old\", null, null, null, null, null, null] ]\n    }\n"),
            std::string::npos);
  EXPECT_TRUE(text.value().ends_with("\n    }\n  ]\n}\n"));
}

TEST_P(SmallDb, WriteFailureIsAnIoError) {
  auto db = OpenBytes(BuildSmallDb(v()));
  ASSERT_TRUE(db.ok());
  Status st = WriteDump(*db.value(), [](std::string_view) { return false; });
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().number(), 3043);
}

TEST_P(SmallDb, EncodedPagesReadTheSame) {
  SmallDbOptions encoded;
  encoded.key = 0x5A17C3E1;
  Bytes plain = BuildSmallDb(v());
  Bytes coded = BuildSmallDb(v(), encoded);
  EXPECT_NE(Bytes(plain.begin() + 2048, plain.end()), Bytes(coded.begin() + 2048, coded.end()));
  EXPECT_EQ(Dump(encoded), Dump());
}

TEST_P(SmallDb, PasswordIsRequired) {
  SmallDbOptions locked;
  locked.password = "s3cret";
  auto none = OpenBytes(BuildSmallDb(v(), locked));
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().number(), 3031);
  auto wrong = OpenBytes(BuildSmallDb(v(), locked), "S3CRET");
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().number(), 3031);
  auto right = OpenBytes(BuildSmallDb(v(), locked), "s3cret");
  ASSERT_TRUE(right.ok()) << right.error().ToString();
  EXPECT_EQ(right.value()->header().password, "s3cret");
  // A file without a password ignores one given.
  EXPECT_TRUE(OpenBytes(BuildSmallDb(v()), "anything").ok());
}

TEST_P(SmallDb, DamagedStructuresAreNamed) {
  const auto& L = LayoutFor(v());
  auto lval_row_start = [&](FileBuilder& f, int row) {
    return jet_test::Bytes::size_type((f.page(7)[L.data_header_size + 2 * row] |
                                       (f.page(7)[L.data_header_size + 2 * row + 1] << 8)) &
                                      0x1FFF);
  };
  // Long-value chain that loops: the first piece points at itself.
  ExpectDamage(
      [&](FileBuilder& f) { jet_test::Put32(f.page(7) + lval_row_start(f, 1), (7 << 8) | 1); },
      "loops back to page 7 row 1");
  // A chain that ends early.
  ExpectDamage([&](FileBuilder& f) { jet_test::Put32(f.page(7) + lval_row_start(f, 1), 0); },
               "chain ends after");
  // Long value pointing past the end of the file.
  ExpectDamage([&](FileBuilder& f) { jet_test::Put32(f.page(7) + 4, 0x4C41564D); },
               "not a long-value (LVAL) page");
  // The table's data page claims another owner.
  ExpectDamage([&](FileBuilder& f) { jet_test::Put32(f.page(6) + 4, 9); },
               "data page 6 belongs to page 9");
  // The overflow pointer names a row that does not exist.
  ExpectDamage(
      [&](FileBuilder& f) {
        size_t start =
            (f.page(6)[L.data_header_size + 4] | (f.page(6)[L.data_header_size + 5] << 8)) & 0x1FFF;
        f.page(6)[start] = 40;
      },
      "which does not exist");
  // A row slot pointing into the header.
  ExpectDamage([&](FileBuilder& f) { jet_test::Put16(f.page(6) + L.data_header_size, 3); },
               "data page 6 row 0");
  // A usage map of an unknown type.
  ExpectDamage([&](FileBuilder& f) { f.page(3)[L.page_size - 69] = 7; },
               "unknown usage map type 7");
  // A row count larger than the page can hold.
  ExpectDamage([&](FileBuilder& f) { jet_test::Put16(f.page(6) + L.data_row_count_offset, 3000); },
               "does not fit the page");
  // The table definition chain loops.
  ExpectDamage([&](FileBuilder& f) { jet_test::Put32(f.page(5) + 4, 5); }, "loops back to page 5");
  // The catalog is not where it must be.
  ExpectDamage([&](FileBuilder& f) { f.page(2)[0] = 0x01; }, "catalog");
  // Column counts that cannot fit the definition.
  ExpectDamage([&](FileBuilder& f) { jet_test::Put16(f.page(5) + L.tdef_num_cols, 60000); },
               "60000 columns do not fit");
  // A variable offset beyond the row.
  ExpectDamage(
      [&](FileBuilder& f) {
        size_t end = L.page_size;  // row 0 ends at the page end
        size_t mask = 2;
        size_t eod_at = v() == JetVersion::kJet4 ? end - mask - 4 - 2 * 5 : 0;
        if (v() == JetVersion::kJet4) {
          jet_test::Put16(f.page(6) + eod_at, 4000);
        } else {
          // Jet 3: the first offset byte sits before the jump table.
          size_t row_start =
              (f.page(6)[L.data_header_size] | (f.page(6)[L.data_header_size + 1] << 8)) & 0x1FFF;
          size_t length = end - row_start;
          size_t jumps = (length - 1) / 256;
          f.page(6)[end - mask - 2 - jumps - 5] = 0xF0;  // eod
        }
      },
      "outside the data area");
}

TEST_P(SmallDb, TruncationAtAnyLengthFailsCleanly) {
  Bytes full = BuildSmallDb(v());
  for (size_t cut = 0; cut < full.size(); cut += 97) {
    auto db = OpenBytes(Bytes(full.begin(), full.begin() + static_cast<ptrdiff_t>(cut)));
    if (!db.ok()) {
      EXPECT_TRUE(db.error().number() == 3343 || db.error().number() == 3049)
          << cut << ": " << db.error().ToString();
      continue;
    }
    auto text = DumpToString(*db.value());
    if (!text.ok()) {
      EXPECT_EQ(text.error().number(), 3049) << cut;
    }
  }
}

TEST(Header, RefusesWhatIsNotJet3OrJet4) {
  auto code_of = [](Bytes b) {
    auto db = OpenBytes(std::move(b));
    return db.ok() ? 0 : db.error().number();
  };
  EXPECT_EQ(code_of({}), 3343);
  EXPECT_EQ(code_of(Bytes(10, 0)), 3343);
  Bytes jet4 = BuildSmallDb(JetVersion::kJet4);
  Bytes ace = jet4;
  ace[0x14] = 2;
  EXPECT_EQ(code_of(ace), 3343);
  Bytes future = jet4;
  future[0x14] = 0x42;
  EXPECT_EQ(code_of(future), 3343);
  // ACE's engine name with Jet 4's version byte is neither.
  Bytes text = jet4;
  std::memcpy(text.data() + 4, "Standard ACE DB", 15);
  EXPECT_EQ(code_of(text), 3343);
  // With a version byte of 2..6 it is ACE, read with Jet 4's layout.
  text[0x14] = 3;
  auto ace14 = OpenBytes(text);
  ASSERT_TRUE(ace14.ok()) << ace14.error().ToString();
  EXPECT_EQ(ace14.value()->header().format, FileFormat::kAce14);
  EXPECT_EQ(FileFormatName(ace14.value()->header().format), "ace14");
  text[0x14] = 7;
  EXPECT_EQ(code_of(text), 3343);
  Bytes one_page(jet4.begin(), jet4.begin() + 4096);
  EXPECT_EQ(code_of(one_page), 3049);
  Bytes half_page(jet4.begin(), jet4.begin() + 3000);
  EXPECT_EQ(code_of(half_page), 3343);
}

TEST(Header, PasswordAreaUnmasked) {
  // The Jet 4 password is XORed with the integer part of the creation date.
  jet_test::FileBuilder f(JetVersion::kJet4, 3);
  f.Header(1252, 0, "password", 44568.25);
  auto h = DecodeHeader(f.bytes());
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h.value().password, "password");
  EXPECT_DOUBLE_EQ(h.value().creation_date, 44568.25);
  EXPECT_EQ(h.value().raw_password[0], 'p');
  EXPECT_EQ(h.value().raw_password[1], 0);
}

}  // namespace
}  // namespace engine

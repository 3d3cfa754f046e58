// A small but complete database built in memory, for both versions:
//   0 header   1 global usage map   2 MSysObjects definition   3 usage-map rows
//   4 MSysObjects rows   5 definition of table "T"   6 rows of T   7 LVAL page
//   8 a free page
// T has columns of most types, a deleted column (number 7, variable slot 3),
// and rows of every kind: live, deleted, an overflow pointer with its
// target, and a row written before the last columns were added. Its long
// values use all three forms (inline, single LVAL row, chain).
#pragma once

#include <functional>

#include "jet_builder.h"

namespace jet_test {

struct SmallDbOptions {
  uint32_t key = 0;
  std::string password;
  // Called on the builder after everything is laid out, before encoding.
  std::function<void(FileBuilder&)> tamper;
};

inline Bytes Text(engine::JetVersion v, const std::string& ascii) {
  return v == engine::JetVersion::kJet4 ? Ucs2(ascii) : Ascii(ascii);
}

inline Bytes LongValueField(uint32_t kind_bits, uint32_t length, uint32_t pointer,
                            const Bytes& inline_data = {}) {
  Bytes b;
  Append32(b, kind_bits | length);
  Append32(b, pointer);
  Append32(b, 0);
  b.insert(b.end(), inline_data.begin(), inline_data.end());
  return b;
}

inline Bytes Fixed(std::initializer_list<Bytes> parts, size_t size) {
  Bytes f;
  for (const auto& p : parts) f.insert(f.end(), p.begin(), p.end());
  f.resize(size, 0);
  return f;
}

inline Bytes Le64Bytes(uint64_t v) {
  Bytes b;
  Append32(b, static_cast<uint32_t>(v));
  Append32(b, static_cast<uint32_t>(v >> 32));
  return b;
}

inline Bytes DoubleBytes(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  return Le64Bytes(bits);
}

inline constexpr uint32_t kTablesContainer = 0x0F000001;

inline Bytes BuildSmallDb(engine::JetVersion v, const SmallDbOptions& options = {}) {
  FileBuilder f(v, 9);
  f.Header(1252, options.key, options.password);
  const bool jet4 = v == engine::JetVersion::kJet4;

  // Page 1: the global map marks page 8 free (and everything past the file).
  std::vector<uint32_t> free_pages = {8};
  for (uint32_t p = 9; p < 512; ++p) free_pages.push_back(p);
  f.DataPage(1, 1, {FileBuilder::InlineMap(0, free_pages), FileBuilder::InlineMap(0, {})});

  // MSysObjects: Id, ParentId, Type, Flags fixed; Name variable.
  TableSpec cat;
  cat.table_type = 'S';
  cat.max_cols = 5;
  cat.num_var_cols = 1;
  cat.num_rows = 3;
  cat.owned_map = (3 << 8) | 0;
  cat.columns = {{0x04, 0, 0, 0x13, 0, 4, "Id"},
                 {0x04, 1, 0, 0x13, 4, 4, "ParentId"},
                 {0x0A, 2, 0, 0x12, 0, 255, "Name"},
                 {0x03, 3, 0, 0x13, 8, 2, "Type"},
                 {0x04, 4, 0, 0x13, 10, 4, "Flags"}};
  f.TableDef(2, BuildTableDef(v, cat));

  auto catalog_row = [&](uint32_t id, uint32_t parent, const std::string& name, uint16_t type,
                         uint32_t flags) {
    RowSpec r;
    r.columns = 5;
    Bytes t16;
    Append16(t16, type);
    r.fixed = Fixed({Le32Bytes(id), Le32Bytes(parent), t16, Le32Bytes(flags)}, 14);
    r.vars = {Text(v, name)};
    r.present = {0, 1, 2, 3, 4};
    return BuildRow(v, r);
  };
  f.DataPage(4, 2,
             {catalog_row(2, kTablesContainer, "MSysObjects", 1, 0x80000000u),
              catalog_row(5, kTablesContainer, "T", 1, 0),
              catalog_row(kTablesContainer, 0x0F000000, "Tables", 3, 0x80000000u)});

  // Table T.
  TableSpec t;
  t.max_cols = 10;
  t.num_var_cols = 5;
  t.num_rows = 3;
  t.owned_map = (3 << 8) | 1;
  t.columns = {{0x0C, 5, 1, 0x02, 0, 0, "Notes"},  // Jet 4 lists columns out of order
               {0x04, 0, 0, 0x03, 0, 4, "ID"},     {0x01, 1, 0, 0x03, 0, 1, "Flag"},
               {0x0A, 2, 0, 0x02, 0, 100, "Name"}, {0x05, 3, 0, 0x03, 4, 8, "Amount"},
               {0x08, 4, 0, 0x03, 12, 8, "When"},  {0x0B, 6, 2, 0x02, 0, 0, "Blob"},
               {0x0A, 8, 4, 0x02, 0, 20, "Later"}, {0x0F, 9, 0, 0x03, 20, 16, "G"}};
  t.lv_maps = {{5, (3 << 8) | 2, 0}, {6, (3 << 8) | 2, 0}};
  f.TableDef(5, BuildTableDef(v, t));

  // Usage-map rows: MSysObjects owns page 4, T owns page 6, the LVAL page 7.
  f.DataPage(3, 0,
             {FileBuilder::InlineMap(0, {4}), FileBuilder::InlineMap(0, {6}),
              FileBuilder::InlineMap(0, {7})});

  Bytes guid = {0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07,
                0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
  Bytes name0 = jet4 ? Bytes{0xFF, 0xFE, 'Z', 'o', 0xEB} : Bytes{'Z', 'o', 0xEB};
  Bytes memo0 = Text(v, "hello memo");
  RowSpec r0;
  r0.columns = 10;
  r0.fixed = Fixed(
      {Le32Bytes(1), Le64Bytes(static_cast<uint64_t>(-12345600LL)), DoubleBytes(-1.25), guid}, 36);
  r0.vars = {name0, LongValueField(0x80000000u, static_cast<uint32_t>(memo0.size()), 0, memo0),
             LongValueField(0x40000000u, 5, (7 << 8) | 0), std::nullopt, Text(v, "x")};
  r0.present = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

  Bytes memo3 = Text(v, "chained memo value");
  size_t split = memo3.size() / 2;
  RowSpec r3;
  r3.columns = 10;
  r3.fixed = Fixed({Le32Bytes(3), Le64Bytes(0), DoubleBytes(0.5)}, 36);
  r3.vars = {Text(v, "third"), LongValueField(0, static_cast<uint32_t>(memo3.size()), (7 << 8) | 1),
             std::nullopt, std::nullopt, std::nullopt};
  r3.present = {0, 2, 4, 5};

  RowSpec r4;  // written when the table had three columns
  r4.columns = 3;
  r4.fixed = Fixed({Le32Bytes(4)}, 36);
  r4.vars = {Text(v, "old")};
  r4.present = {0, 1, 2};

  Bytes deleted(8, 0xAA);
  Bytes pointer = Le32Bytes((6 << 8) | 3);
  f.DataPage(6, 5, {BuildRow(v, r0), deleted, pointer, BuildRow(v, r3), BuildRow(v, r4)},
             {0, 0xC000, 0x4000, 0x8000, 0});

  Bytes piece1 = Le32Bytes((7 << 8) | 2);
  piece1.insert(piece1.end(), memo3.begin(), memo3.begin() + static_cast<ptrdiff_t>(split));
  Bytes piece2 = Le32Bytes(0);
  piece2.insert(piece2.end(), memo3.begin() + static_cast<ptrdiff_t>(split), memo3.end());
  f.DataPage(7, 0x4C41564Cu, {Bytes{1, 2, 3, 4, 5}, piece1, piece2});

  if (options.tamper) options.tamper(f);
  return f.Finish();
}

}  // namespace jet_test

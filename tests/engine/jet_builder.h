// Builds small Jet 3 / Jet 4 files byte by byte for the reader's tests:
// page 0 with its mask, data pages with row-offset tables, rows with their
// trailers (Jet 3 jump tables included), table definitions and a catalog.
// Only what the tests need; every layout here is written independently of
// the reader's decoders, from the byte tables in the headers' comments.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "format/layout.h"
#include "format/header.h"
#include "io/cipher.h"

namespace jet_test {

using Bytes = std::vector<uint8_t>;

inline void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Append16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Append32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline Bytes Le32Bytes(uint32_t v) {
  Bytes b;
  Append32(b, v);
  return b;
}
inline Bytes Ucs2(const std::string& ascii) {
  Bytes b;
  for (char c : ascii) Append16(b, static_cast<uint8_t>(c));
  return b;
}
inline Bytes Ascii(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// A row: column count, fixed area, variable values, null-mask bits.
struct RowSpec {
  uint16_t columns = 0;
  Bytes fixed;                             // the fixed area (after the count)
  std::vector<std::optional<Bytes>> vars;  // by variable index; nullopt = empty slot
  std::vector<int> present;                // column numbers whose mask bit is set
  bool var_part = true;                    // false: table without variable columns
};

inline Bytes BuildRow(engine::JetVersion v, const RowSpec& spec) {
  const bool jet4 = v == engine::JetVersion::kJet4;
  Bytes row;
  if (jet4) {
    Append16(row, spec.columns);
  } else {
    row.push_back(static_cast<uint8_t>(spec.columns));
  }
  row.insert(row.end(), spec.fixed.begin(), spec.fixed.end());
  std::vector<uint32_t> offsets;
  for (const auto& value : spec.vars) {
    offsets.push_back(static_cast<uint32_t>(row.size()));
    if (value) row.insert(row.end(), value->begin(), value->end());
  }
  uint32_t eod = static_cast<uint32_t>(row.size());
  Bytes mask((spec.columns + 7) / 8, 0);
  for (int n : spec.present) mask[n / 8] |= static_cast<uint8_t>(1 << (n % 8));
  const size_t v_count = spec.vars.size();
  if (spec.var_part) {
    if (jet4) {
      Append16(row, eod);
      for (size_t i = v_count; i-- > 0;) Append16(row, offsets[i]);
      Append16(row, static_cast<uint32_t>(v_count));
    } else {
      // Jet 3: offsets are single bytes; the jump table gives the high part.
      std::vector<uint32_t> all = offsets;
      all.push_back(eod);
      size_t boundaries = eod / 256;
      std::vector<uint8_t> jumps;
      for (size_t k = 1; k <= boundaries; ++k) {
        size_t first = 0;
        while (first < all.size() && all[first] < 256 * k) ++first;
        jumps.push_back(static_cast<uint8_t>(first));
      }
      auto length = [&](size_t j) { return eod + 1 + v_count + j + 1 + mask.size(); };
      while ((length(jumps.size()) - 1) / 256 > jumps.size()) jumps.push_back(0xFF);
      row.push_back(static_cast<uint8_t>(eod));
      for (size_t i = v_count; i-- > 0;) row.push_back(static_cast<uint8_t>(offsets[i]));
      // Jump byte 0 sits right before the variable count.
      for (size_t k = jumps.size(); k-- > 0;) row.push_back(jumps[k]);
      row.push_back(static_cast<uint8_t>(v_count));
    }
  }
  row.insert(row.end(), mask.begin(), mask.end());
  return row;
}

struct ColumnSpec {
  uint8_t type = 0;
  uint16_t number = 0;
  uint16_t var_index = 0;
  uint8_t flags = 0;
  uint16_t fixed_offset = 0;
  uint16_t length = 0;
  std::string name;
  uint8_t scale = 0;  // Jet 4 Decimal
};

struct TableSpec {
  uint8_t table_type = 'N';
  uint16_t max_cols = 0;
  uint16_t num_var_cols = 0;
  uint32_t num_rows = 0;
  uint32_t owned_map = 0;  // row pointer (page << 8 | row)
  uint32_t free_map = 0;
  std::vector<ColumnSpec> columns;
  // One physical + one logical index over the listed column numbers.
  std::vector<uint16_t> index_columns;
  uint32_t index_root = 0;
  uint32_t index_map = 0;
  std::string index_name = "PrimaryKey";
  // (column number, owned map, free map) per long-value column.
  std::vector<std::tuple<uint16_t, uint32_t, uint32_t>> lv_maps;
};

// The concatenated definition (first page header included, no continuation headers).
inline Bytes BuildTableDef(engine::JetVersion v, const TableSpec& t) {
  const engine::Layout& L = engine::LayoutFor(v);
  const bool jet4 = v == engine::JetVersion::kJet4;
  Bytes d(L.tdef_block_end, 0);
  d[0] = 0x02;
  d[1] = 0x01;
  if (!jet4) {
    d[2] = 'V';
    d[3] = 'C';
  } else {
    Put32(&d[0x0C], 1625);
    d[0x18] = 1;
  }
  Put32(&d[L.tdef_num_rows], t.num_rows);
  d[L.tdef_table_type] = t.table_type;
  Put16(&d[L.tdef_max_cols], t.max_cols);
  Put16(&d[L.tdef_num_var_cols], t.num_var_cols);
  Put16(&d[L.tdef_num_cols], static_cast<uint32_t>(t.columns.size()));
  uint32_t nidx = t.index_columns.empty() ? 0 : 1;
  Put32(&d[L.tdef_num_idx], nidx);
  Put32(&d[L.tdef_num_real_idx], nidx);
  Put32(&d[L.tdef_owned_map], t.owned_map);
  Put32(&d[L.tdef_free_map], t.free_map);
  for (uint32_t i = 0; i < nidx; ++i) d.resize(d.size() + L.tdef_index_count_size, 0);
  for (const auto& c : t.columns) {
    Bytes col(L.column_def_size, 0);
    col[0] = c.type;
    Put16(&col[L.col_number], c.number);
    Put16(&col[L.col_var_index], c.var_index);
    if (jet4) {
      Put32(&col[1], 1625);
      if (c.type == 0x10) {
        col[11] = 18;
        col[12] = c.scale;
      } else {
        Put16(&col[11], 0x0409);
      }
    } else {
      Put16(&col[9], 0x0409);
      Put16(&col[11], 1252);
    }
    col[L.col_flags] = c.flags;
    Put16(&col[L.col_fixed_offset], c.fixed_offset);
    Put16(&col[L.col_length], c.length);
    d.insert(d.end(), col.begin(), col.end());
  }
  auto name = [&](const std::string& s) {
    Bytes n = jet4 ? Ucs2(s) : Ascii(s);
    if (jet4) {
      Append16(d, static_cast<uint32_t>(n.size()));
    } else {
      d.push_back(static_cast<uint8_t>(n.size()));
    }
    d.insert(d.end(), n.begin(), n.end());
  };
  for (const auto& c : t.columns) name(c.name);
  if (nidx) {
    Bytes p(L.physical_index_size, 0);
    if (jet4) Put32(&p[0], 1923);
    for (int s = 0; s < 10; ++s) {
      uint8_t* slot = &p[L.pidx_columns + 3 * s];
      if (s < static_cast<int>(t.index_columns.size())) {
        Put16(slot, t.index_columns[s]);
        slot[2] = 1;
      } else {
        Put16(slot, 0xFFFF);
      }
    }
    Put32(&p[L.pidx_map], t.index_map);
    Put32(&p[L.pidx_root], t.index_root);
    p[L.pidx_flags] = jet4 ? 0x81 : 0x01;
    d.insert(d.end(), p.begin(), p.end());
    Bytes l(L.logical_index_size, 0);
    if (jet4) Put32(&l[0], 1625);
    Put32(&l[L.lidx_fk_index], 0xFFFFFFFF);
    l[L.lidx_kind] = 1;
    d.insert(d.end(), l.begin(), l.end());
    name(t.index_name);
  }
  for (const auto& [col, owned, free] : t.lv_maps) {
    Append16(d, col);
    Append32(d, owned);
    Append32(d, free);
  }
  Append16(d, 0xFFFF);
  Put32(&d[8], static_cast<uint32_t>(d.size()));
  return d;
}

// A whole file, page by page.
class FileBuilder {
 public:
  FileBuilder(engine::JetVersion v, uint32_t pages)
      : v_(v), L_(engine::LayoutFor(v)), bytes_(static_cast<size_t>(pages) * L_.page_size, 0) {}

  const engine::Layout& layout() const { return L_; }
  uint8_t* page(uint32_t n) { return bytes_.data() + static_cast<size_t>(n) * L_.page_size; }
  Bytes& bytes() { return bytes_; }

  // Page 0: signature, version, and the masked fields.
  void Header(uint16_t code_page = 1252, uint32_t key = 0, const std::string& password = "",
              double created = 38135.74) {
    uint8_t* p = page(0);
    p[1] = 1;
    std::memcpy(p + 4, "Standard Jet DB", 15);
    p[0x14] = v_ == engine::JetVersion::kJet4 ? 1 : 0;
    Put16(p + 0x3C, code_page);
    Put32(p + 0x3E, key);
    Put16(p + L_.header_sort_order_offset, 0x0409);
    if (v_ == engine::JetVersion::kJet4) {
      std::memcpy(p + 0x72, &created, 8);
      Bytes pw = Ucs2(password);
      auto mask = static_cast<uint32_t>(created);
      for (size_t i = 0; i < 40; ++i) {
        uint8_t b = i < pw.size() ? pw[i] : 0;
        p[0x42 + i] = b ^ static_cast<uint8_t>(mask >> (8 * (i % 4)));
      }
    } else {
      for (size_t i = 0; i < password.size() && i < 20; ++i) p[0x42 + i] = password[i];
    }
    engine::ApplyHeaderMask(p, L_.page_size, v_);
    key_ = key;
  }

  // A data page with rows packed from the end; flags are OR-ed into each
  // row's offset entry.
  void DataPage(uint32_t n, uint32_t owner, const std::vector<Bytes>& rows,
                const std::vector<uint16_t>& flags = {}) {
    uint8_t* p = page(n);
    p[0] = 0x01;
    p[1] = 0x01;
    Put32(p + 4, owner);
    Put16(p + L_.data_row_count_offset, static_cast<uint32_t>(rows.size()));
    uint32_t end = L_.page_size;
    for (size_t i = 0; i < rows.size(); ++i) {
      uint32_t start = end - static_cast<uint32_t>(rows[i].size());
      std::memcpy(p + start, rows[i].data(), rows[i].size());
      uint16_t f = i < flags.size() ? flags[i] : 0;
      Put16(p + L_.data_header_size + 2 * i, start | f);
      end = start;
    }
    Put16(p + 2, end - L_.data_header_size - 2 * static_cast<uint32_t>(rows.size()));
  }

  // A table definition starting at page `first`, continued on `more`.
  void TableDef(uint32_t first, const Bytes& def, const std::vector<uint32_t>& more = {}) {
    size_t pos = 0;
    std::vector<uint32_t> chain = {first};
    chain.insert(chain.end(), more.begin(), more.end());
    for (size_t i = 0; i < chain.size(); ++i) {
      uint8_t* p = page(chain[i]);
      size_t room = i == 0 ? L_.page_size : L_.page_size - 8;
      size_t take = std::min(room, def.size() - pos);
      if (i == 0) {
        std::memcpy(p, def.data(), take);
      } else {
        p[0] = 0x02;
        p[1] = 0x01;
        std::memcpy(p + 8, def.data() + pos, take);
      }
      Put32(p + 4, i + 1 < chain.size() ? chain[i + 1] : 0);
      pos += take;
    }
  }

  // An inline usage map row with bits for `pages`.
  static Bytes InlineMap(uint32_t start, const std::vector<uint32_t>& pages, size_t bitmap = 64) {
    Bytes m(5 + bitmap, 0);
    Put32(&m[1], start);
    for (uint32_t p : pages) m[5 + (p - start) / 8] |= static_cast<uint8_t>(1 << ((p - start) % 8));
    return m;
  }

  // The file, with pages 1.. RC4-encoded when the header has a key.
  Bytes Finish() const {
    Bytes out = bytes_;
    for (uint32_t n = 1; n < out.size() / L_.page_size; ++n) {
      engine::ApplyPageCipher(out.data() + static_cast<size_t>(n) * L_.page_size, L_.page_size, n,
                              key_);
    }
    return out;
  }

 private:
  engine::JetVersion v_;
  const engine::Layout& L_;
  Bytes bytes_;
  uint32_t key_ = 0;
};

}  // namespace jet_test

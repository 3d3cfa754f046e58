// Splitting a stored row into its parts and laying parts out as a row: the
// encoding side of the row codec (row.h describes the byte layout).
#include <algorithm>
#include <string>

#include "base/bytes.h"
#include "format/row.h"

namespace engine {

namespace {

// Start of the trailer (the eod entry) of a row the decoder accepted.
size_t TrailerStart(const Layout& layout, size_t length, size_t mask, size_t vars) {
  if (layout.version == JetVersion::kJet4) return length - mask - 2 - 2 * (vars + 1);
  size_t jumps = (length - 1) / 256;
  return length - mask - 2 - jumps - vars;
}

Error BadParts(const std::string& what) {
  return Error(ErrorCode::kInvalidArgument, "row: " + what);
}

}  // namespace

Result<RowParts> SplitRow(const TableDef& table, const Layout& layout, ByteSpan row) {
  RowDecoder decoder(table, layout);
  Status s = decoder.Decode(row);
  if (!s.ok()) return s.error();
  const size_t cs = layout.row_count_size;
  const size_t L = row.size();
  RowParts parts;
  parts.column_count = decoder.row_column_count();
  const size_t M = (static_cast<size_t>(parts.column_count) + 7) / 8;
  parts.null_mask.assign(row.end() - static_cast<ptrdiff_t>(M), row.end());
  // Rows older than the table's first variable column have no variable
  // part; they keep that form.
  parts.var_part = decoder.row_has_var_part();
  if (!parts.var_part) {
    parts.fixed.assign(row.begin() + static_cast<ptrdiff_t>(cs),
                       row.end() - static_cast<ptrdiff_t>(M));
    return parts;
  }

  const size_t v = decoder.row_var_count();
  const auto& off = decoder.var_offsets();
  const size_t limit = TrailerStart(layout, L, M, v);
  // The fixed area ends where the variable data starts; should a fixed
  // column reach further, the area keeps all of it.
  size_t fixed_end = std::clamp<size_t>(off[0], cs, limit);
  for (const ColumnDef& c : table.columns) {
    if (!c.fixed() || c.is_boolean() || c.number >= parts.column_count) continue;
    size_t size = FixedTypeSize(c.type);
    if (size == 0) size = c.length;
    size_t end = cs + c.fixed_offset + size;
    if (end <= limit) fixed_end = std::max(fixed_end, end);
  }
  parts.fixed.assign(row.begin() + static_cast<ptrdiff_t>(cs),
                     row.begin() + static_cast<ptrdiff_t>(fixed_end));
  parts.vars.resize(v);
  for (size_t i = 0; i < v; ++i) {
    size_t a = off[i], b = off[i + 1];
    // A slot with offsets out of order holds nothing (the decoder refuses
    // such offsets for any value that is present).
    if (a < cs || a > b || b > limit) continue;
    parts.vars[i].assign(row.begin() + static_cast<ptrdiff_t>(a),
                         row.begin() + static_cast<ptrdiff_t>(b));
  }
  return parts;
}

Result<std::vector<uint8_t>> EncodeRow(const Layout& layout, const RowParts& parts) {
  const bool jet4 = layout.version == JetVersion::kJet4;
  const size_t c = parts.column_count;
  const size_t M = (c + 7) / 8;
  const size_t max_length = layout.page_size - layout.data_header_size - 2;
  if (parts.null_mask.size() != M) {
    return BadParts("null mask of " + std::to_string(parts.null_mask.size()) + " bytes for " +
                    std::to_string(c) + " columns");
  }
  if (!jet4 && c > 0xFF) return BadParts(std::to_string(c) + " columns do not fit a Jet 3 row");
  const size_t v = parts.vars.size();
  if (!parts.var_part && v != 0) return BadParts("variable values in a row without variable part");
  if (v > (jet4 ? 0xFFFFu : 0xFFu)) {
    return BadParts(std::to_string(v) + " variable slots do not fit the count field");
  }

  std::vector<uint8_t> row;
  size_t data = layout.row_count_size + parts.fixed.size();
  for (const auto& value : parts.vars) data += value.size();
  if (data > max_length) {
    return BadParts(std::to_string(data) + " bytes of values do not fit a data page");
  }
  row.reserve(data + 2 * v + 8 + M);
  if (jet4) {
    row.push_back(static_cast<uint8_t>(c));
    row.push_back(static_cast<uint8_t>(c >> 8));
  } else {
    row.push_back(static_cast<uint8_t>(c));
  }
  row.insert(row.end(), parts.fixed.begin(), parts.fixed.end());

  if (parts.var_part) {
    std::vector<size_t> offsets;  // entries 0..v, eod last
    offsets.reserve(v + 1);
    for (const auto& value : parts.vars) {
      offsets.push_back(row.size());
      row.insert(row.end(), value.begin(), value.end());
    }
    const size_t eod = row.size();
    offsets.push_back(eod);
    if (jet4) {
      for (size_t i = v + 1; i-- > 0;) {
        row.push_back(static_cast<uint8_t>(offsets[i]));
        row.push_back(static_cast<uint8_t>(offsets[i] >> 8));
      }
      row.push_back(static_cast<uint8_t>(v));
      row.push_back(static_cast<uint8_t>(v >> 8));
    } else {
      // Jump k names the first entry whose offset is at least 256 * (k + 1);
      // the jump count follows from the whole row's length, so when the
      // trailer pushes the row past another 256 bytes a dummy 0xFF is added.
      std::vector<uint8_t> jumps;
      for (size_t k = 1; k <= eod / 256; ++k) {
        size_t i = 0;
        while (offsets[i] < 256 * k) ++i;
        jumps.push_back(static_cast<uint8_t>(i));
      }
      const size_t real = jumps.size();
      auto length = [&] { return eod + (v + 1) + jumps.size() + 1 + M; };
      while ((length() - 1) / 256 > jumps.size()) jumps.push_back(0xFF);
      // A reader sets aside one dummy at most; a second could be taken for
      // a jump at entry 255.
      if (jumps.size() > real + 1 && v >= 0xFF) {
        return BadParts("a Jet 3 row with " + std::to_string(v) +
                        " variable slots cannot address its trailer");
      }
      for (size_t i = v + 1; i-- > 0;) row.push_back(static_cast<uint8_t>(offsets[i]));
      for (size_t k = jumps.size(); k-- > 0;) row.push_back(jumps[k]);
      row.push_back(static_cast<uint8_t>(v));
    }
  }
  row.insert(row.end(), parts.null_mask.begin(), parts.null_mask.end());
  if (row.size() > max_length) {
    return BadParts("a row of " + std::to_string(row.size()) +
                    " bytes does not fit a data page (at most " + std::to_string(max_length) + ")");
  }
  return row;
}

}  // namespace engine

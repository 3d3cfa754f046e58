#include "format/row.h"

#include <algorithm>

#include "base/bytes.h"

namespace engine {

RowDecoder::RowDecoder(const TableDef& table, const Layout& layout)
    : table_(table), layout_(layout) {
  fields_.resize(table.columns.size());
  offsets_.reserve(static_cast<size_t>(table.num_var_cols) + 1);
  for (const ColumnDef& c : table.columns) {
    if (!c.fixed()) lowest_var_number_ = std::min<uint32_t>(lowest_var_number_, c.number);
  }
}

Status RowDecoder::Decode(ByteSpan row) {
  return GuardStatus([&] { DecodeOrThrow(row); });
}

namespace {
[[noreturn]] void RowFail(const std::string& what) {
  Fail(ErrorCode::kDamaged, "row: " + what);
}
}  // namespace

void RowDecoder::DecodeOrThrow(ByteSpan row) {
  const size_t L = row.size();
  const uint8_t* p = row.data();
  const size_t cs = layout_.row_count_size;
  if (L < cs) RowFail("shorter than its column count");
  row_columns_ = cs == 1 ? p[0] : Le16(p);
  // Every row was written with at least one column and never with more
  // than the table has ever had.
  if (row_columns_ == 0 || row_columns_ > std::max<uint32_t>(table_.max_cols, 1)) {
    RowFail("column count " + std::to_string(row_columns_) + " outside 1.." +
            std::to_string(table_.max_cols));
  }
  const size_t M = (static_cast<size_t>(row_columns_) + 7) / 8;
  if (cs + M > L) RowFail("null mask of " + std::to_string(row_columns_) + " columns does not fit");
  const uint8_t* mask = p + L - M;
  size_t fixed_limit = L - M;  // fixed values must end before this
  row_vars_ = 0;
  offsets_.clear();

  // A row written before the table's first variable column was added has
  // no variable part at all, like the rows of a table without one.
  has_var_part_ = table_.num_var_cols > 0 && row_columns_ > lowest_var_number_;
  if (has_var_part_) {
    if (layout_.version == JetVersion::kJet4) {
      if (L < M + 2 + cs) RowFail("variable count does not fit");
      row_vars_ = Le16(p + L - M - 2);
      size_t trailer = 2 + 2 * (static_cast<size_t>(row_vars_) + 1);
      if (trailer + M + cs > L) {
        RowFail("variable offset table of " + std::to_string(row_vars_) + " entries does not fit");
      }
      for (size_t i = 0; i <= row_vars_; ++i) offsets_.push_back(Le16(p + L - M - 4 - 2 * i));
      fixed_limit = L - M - trailer;
    } else {
      if (L < M + 1 + cs) RowFail("variable count does not fit");
      row_vars_ = p[L - M - 1];
      size_t jumps = (L - 1) / 256;
      if (M + 2 + jumps > L) RowFail("jump table does not fit");
      size_t first = L - M - 2 - jumps;  // position of offset entry 0
      if (first < row_vars_ + cs) {
        RowFail("variable offset table of " + std::to_string(row_vars_) + " entries does not fit");
      }
      // The last jump slot is a dummy when no offset can reach it.
      if ((first - row_vars_) / 256 < jumps) --jumps;
      size_t used = 0;
      for (size_t i = 0; i <= row_vars_; ++i) {
        while (used < jumps && p[L - M - 2 - used] == i) ++used;
        size_t off = p[first - i] + 256 * used;
        offsets_.push_back(static_cast<uint16_t>(off));
      }
      fixed_limit = first - row_vars_;
    }
  }

  const size_t var_limit = fixed_limit;
  // The offsets, eod included, climb from the start of the variable data
  // to at most the trailer; anything else is a damaged (e.g. torn) row.
  for (size_t i = 0; i < offsets_.size(); ++i) {
    size_t low = i == 0 ? cs : offsets_[i - 1];
    if (offsets_[i] < low || offsets_[i] > var_limit) {
      RowFail("variable offset " + std::to_string(i) + " of " + std::to_string(row_vars_) + " (" +
              std::to_string(offsets_[i]) + ") lies outside the data area (" + std::to_string(low) +
              ".." + std::to_string(var_limit) + ")");
    }
  }
  for (size_t k = 0; k < table_.columns.size(); ++k) {
    const ColumnDef& c = table_.columns[k];
    FieldRef& f = fields_[k];
    f.bytes = {};
    if (c.number >= row_columns_) {
      f.present = false;
      continue;
    }
    bool bit = (mask[c.number / 8] >> (c.number % 8)) & 1;
    f.present = bit;
    if (c.is_boolean() || !bit) continue;
    if (c.fixed()) {
      size_t size = FixedTypeSize(c.type);
      if (size == 0) size = c.length;
      size_t start = cs + c.fixed_offset;
      if (start + size > fixed_limit) {
        RowFail("fixed value of column " + c.name + " (offset " + std::to_string(c.fixed_offset) +
                ", " + std::to_string(size) + " bytes) lies past the fixed area");
      }
      f.bytes = row.subspan(start, size);
    } else {
      if (c.var_index >= row_vars_) {
        f.present = false;
        continue;
      }
      size_t start = offsets_[c.var_index];
      size_t end = offsets_[c.var_index + 1];
      if (start > end || end > var_limit || start < cs) {
        RowFail("variable value of column " + c.name + " has offsets " + std::to_string(start) +
                ".." + std::to_string(end) + " outside the data area (" +
                std::to_string(var_limit) + " bytes)");
      }
      f.bytes = row.subspan(start, end - start);
    }
  }
}

std::optional<ByteSpan> CalculatedResult(ByteSpan stored) {
  if (stored.size() < kCalculatedHeader) return std::nullopt;
  uint32_t length = Le32(stored.data() + 16);
  if (length > stored.size() - kCalculatedHeader) return std::nullopt;
  return stored.subspan(kCalculatedHeader, length);
}

}  // namespace engine

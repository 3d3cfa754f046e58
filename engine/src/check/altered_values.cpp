#include "check/altered_values.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

#include "base/bytes.h"
#include "check/index_entries.h"
#include "engine/values.h"
#include "format/layout.h"

namespace engine {

namespace {

constexpr uint8_t kAscValue = 0x7F, kAscNull = 0x00;
constexpr uint8_t kDescValue = 0x80, kDescNull = 0xFF;

// The bytes of a key segment after its flag byte, for the types whose key
// determines the value; 0 for the others (text, binary, Decimal).
size_t FixedKeyBytes(uint8_t type) {
  if (type == key_type::kBoolean) return 1;
  if (type == key_type::kGuid) return 18;  // two groups of eight, each with a marker byte
  if (type == key_type::kDecimal) return 0;
  return FixedTypeSize(type);
}

// The stored (little-endian) bytes of one fixed-size segment's value.
std::string SegmentText(uint8_t type, std::vector<uint8_t> b) {
  std::string out;
  switch (type) {
    case key_type::kBoolean:
      return b[0] == 0x00 ? "true" : "false";
    case key_type::kByte:
      return std::to_string(b[0]);
    case key_type::kInteger:
    case key_type::kLong:
    case key_type::kCurrency: {
      b[0] ^= 0x80;
      std::reverse(b.begin(), b.end());
      const int64_t v = LeInteger(b.data(), b.size());
      if (type == key_type::kCurrency) {
        FormatCurrency(v, out);
        return out;
      }
      return std::to_string(v);
    }
    case key_type::kSingle:
    case key_type::kDouble:
    case key_type::kDateTime: {
      if (b[0] & 0x80) {
        b[0] ^= 0x80;
      } else {
        for (uint8_t& x : b) x = static_cast<uint8_t>(~x);
      }
      std::reverse(b.begin(), b.end());
      if (type == key_type::kSingle) {
        FormatSingle(LeFloat(b.data()), out);
      } else if (type == key_type::kDouble) {
        FormatDouble(LeDouble(b.data()), out);
      } else {
        FormatDateTime(LeDouble(b.data()), out);
      }
      return out;
    }
    case key_type::kGuid: {
      if (b[8] != 0x09 || b[17] != 8) return "";
      std::array<uint8_t, 16> text{};
      std::memcpy(text.data(), b.data(), 8);
      std::memcpy(text.data() + 8, b.data() + 9, 8);
      const std::array<uint8_t, 16> stored{
          text[3], text[2], text[1],  text[0],  text[5],  text[4],  text[7],  text[6],
          text[8], text[9], text[10], text[11], text[12], text[13], text[14], text[15]};
      FormatGuid(ByteSpan(stored.data(), stored.size()), out);
      return out;
    }
    default:
      return "";
  }
}

std::string IndexName(const TableDef& t, const PhysicalIndex& pi) {
  for (const LogicalIndex& li : t.logical_indexes) {
    if (li.physical == pi.position && !li.name.empty()) return li.name;
  }
  return "#" + std::to_string(pi.position);
}

std::string ColumnNames(const TableDef& t, const PhysicalIndex& pi) {
  std::string out;
  for (const IndexColumn& ic : pi.columns) {
    const ColumnDef* c = t.ColumnByNumber(ic.column_number);
    if (!out.empty()) out += ", ";
    out += c != nullptr ? c->name : "#" + std::to_string(ic.column_number);
  }
  return out;
}

}  // namespace

std::string KeyValueText(std::span<const KeyColumn> columns, std::span<const uint8_t> key) {
  std::string out;
  size_t at = 0;
  for (const KeyColumn& c : columns) {
    const size_t n = FixedKeyBytes(c.type);
    if (n == 0 || at >= key.size()) return "";
    const uint8_t flag = key[at++];
    if (!out.empty()) out += "; ";
    if (c.type != key_type::kBoolean && flag == (c.ascending ? kAscNull : kDescNull)) {
      out += "NULL";
      continue;
    }
    if (flag != (c.ascending ? kAscValue : kDescValue) || key.size() - at < n) return "";
    std::vector<uint8_t> b(key.begin() + at, key.begin() + at + n);
    at += n;
    // Descending keys hold the complement (a GUID's marker bytes excepted).
    if (!c.ascending) {
      for (size_t i = 0; i < b.size(); ++i) {
        if (c.type != key_type::kGuid || i != 8) b[i] = static_cast<uint8_t>(~b[i]);
      }
    }
    std::string text = SegmentText(c.type, std::move(b));
    if (text.empty()) return "";
    out += text;
  }
  return at == key.size() ? out : "";
}

std::string AlteredRow::Describe() const {
  std::string out = "table " + table_name + ", row at page " + std::to_string(row.page) + " row " +
                    std::to_string(row.row) + ":";
  for (size_t i = 0; i < indexes.size(); ++i) {
    out += (i == 0 ? " index " : "; index ") + indexes[i] + " (" + columns[i] + ")";
    out += index_values[i].empty() ? " holds another key" : " holds " + index_values[i];
  }
  return out;
}

Result<std::vector<AlteredRow>> FindAlteredRows(const Database& db, AlteredScope scope) {
  IndexFilter fixed_keys;
  if (scope == AlteredScope::kFixedKeys) {
    fixed_keys = [](const TableDef& t, const PhysicalIndex& pi) {
      return std::all_of(pi.columns.begin(), pi.columns.end(), [&](const IndexColumn& ic) {
        const ColumnDef* c = t.ColumnByNumber(ic.column_number);
        return c != nullptr && FixedKeyBytes(c->type) != 0;
      });
    };
  }
  // By (table in walk order, row): a row that several indexes contradict is
  // one finding.
  std::map<std::pair<uint32_t, uint64_t>, AlteredRow> found;
  uint32_t table_seq = 0, current_table = 0;
  Status walked = ForEachIndexEntry(
      db,
      [&](const IndexEntryContext& e) {
        if (e.table.first_page != current_table) {
          current_table = e.table.first_page;
          ++table_seq;
        }
        if (!e.row_found) return;
        EncodedKey key = EncodeIndexKey(e.columns, e.values);
        if (!key.ok() || key.bytes == e.entry.key) return;
        const uint64_t packed = uint64_t{e.entry.row.page} << 8 | e.entry.row.row;
        AlteredRow& r = found[{table_seq, packed}];
        if (r.indexes.empty()) {
          r.table = e.table.first_page;
          r.table_name = e.table_object.name;
          r.row = e.entry.row;
        }
        r.indexes.push_back(IndexName(e.table, e.index));
        r.columns.push_back(ColumnNames(e.table, e.index));
        r.index_values.push_back(KeyValueText(e.columns, e.entry.key));
      },
      fixed_keys);
  if (!walked.ok()) return walked.error();
  std::vector<AlteredRow> out;
  out.reserve(found.size());
  for (auto& [where, row] : found) out.push_back(std::move(row));
  return out;
}

}  // namespace engine

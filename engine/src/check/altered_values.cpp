#include "check/altered_values.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>

#include "base/bytes.h"
#include "check/index_entries.h"
#include "check/row_finder.h"
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

namespace {

// What one row's values encode to for each index under test, made while the
// table's rows are scanned: each row is decoded once for all its indexes.
class TableKeys {
 public:
  TableKeys(const Database& db, const TableDef& table, std::vector<const PhysicalIndex*> indexes,
            std::vector<std::span<const KeyColumn>> columns)
      : db_(db),
        table_(table),
        indexes_(std::move(indexes)),
        columns_(std::move(columns)),
        decoder_(table, db.layout()) {}

  // Scans the table once. Errors: those of the scan; a row that does not
  // decode counts only when an entry points at it (Lookup).
  Status Scan() {
    std::vector<RowPointer> slots;
    Status scanned = db_.ScanRows(table_, [&](const RowRef& row) {
      slots.push_back(row.location);
      Add(row.bytes);
      return true;
    });
    if (!scanned.ok()) return scanned;
    // A slot the scan met twice keeps its first reading.
    rows_ = RowFinder(slots);
    return Status::Ok();
  }

  // The key the row at `at` encodes to for index `k`: null when the table
  // has no such row or the key cannot be made (no code for a character, a
  // value out of range); the decoder's or long-value reader's error when
  // the row could not be read.
  Result<std::optional<ByteSpan>> Lookup(RowPointer at, size_t k) const {
    const std::optional<size_t> row = rows_.Find(at);
    if (!row) return std::optional<ByteSpan>();
    const Slot& slot = slots_[*row * indexes_.size() + k];
    if (slot.failure < kEncodedNot) return failures_[slot.failure].error();
    if (slot.failure == kEncodedNot) return std::optional<ByteSpan>();
    return std::optional<ByteSpan>(ByteSpan(keys_.data() + slot.offset, slot.length));
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX, kEncodedNot = UINT32_MAX - 1;
  struct Slot {
    size_t offset = 0;  // the key's bytes in keys_
    uint32_t length = 0;
    uint32_t failure = kNone;  // into failures_ when the row could not be read; kEncodedNot
  };

  void Add(ByteSpan bytes) {
    Status decoded = decoder_.Decode(bytes);
    for (size_t k = 0; k < indexes_.size(); ++k) {
      Slot slot;
      Status st = decoded;
      if (st.ok())
        st = GatherKeyValues(db_.pager(), db_.layout(), table_, *indexes_[k], decoder_, values_);
      if (!st.ok()) {
        slot.failure = static_cast<uint32_t>(failures_.size());
        failures_.push_back(st);
      } else if (EncodedKey key = EncodeIndexKey(columns_[k], values_.values); key.ok()) {
        slot.offset = keys_.size();
        slot.length = static_cast<uint32_t>(key.bytes.size());
        keys_.insert(keys_.end(), key.bytes.begin(), key.bytes.end());
      } else {
        slot.failure = kEncodedNot;
      }
      slots_.push_back(slot);
    }
  }

  const Database& db_;
  const TableDef& table_;
  std::vector<const PhysicalIndex*> indexes_;
  std::vector<std::span<const KeyColumn>> columns_;
  RowDecoder decoder_;
  RowKeyValues values_;
  RowFinder rows_;             // slot -> position in scan order
  std::vector<Slot> slots_;    // row-major: one per row and index
  std::vector<uint8_t> keys_;  // every key made, one after the other
  std::vector<Status> failures_;
};

}  // namespace

Result<std::vector<AlteredRow>> FindAlteredRows(const Database& db, AlteredScope scope,
                                                const std::set<uint32_t>& agreeing) {
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
  uint32_t table_seq = 0;
  for (const CatalogObject* object : db.tables()) {
    auto table = db.ReadTableDef(object->table_page());
    if (!table.ok()) return table.error();
    const TableDef& def = table.value();
    ++table_seq;
    if (fixed_keys && std::none_of(def.physical_indexes.begin(), def.physical_indexes.end(),
                                   [&](const PhysicalIndex& pi) { return fixed_keys(def, pi); })) {
      continue;
    }
    std::vector<std::vector<KeyColumn>> all_columns;
    std::vector<const PhysicalIndex*> indexes;
    std::vector<std::span<const KeyColumn>> columns;
    all_columns.reserve(def.physical_indexes.size());
    for (const PhysicalIndex& index : def.physical_indexes) {
      auto c = IndexKeyColumns(db.version(), def, index);
      if (!c.ok()) return c.error();
      all_columns.push_back(std::move(c.value()));
      if (index.root_page == 0 || (fixed_keys && !fixed_keys(def, index))) continue;
      indexes.push_back(&index);
      columns.push_back(all_columns.back());
    }
    if (indexes.empty() || agreeing.count(def.first_page)) continue;
    TableKeys keys(db, def, indexes, columns);
    if (Status st = keys.Scan(); !st.ok()) return st.error();
    for (size_t k = 0; k < indexes.size(); ++k) {
      const PhysicalIndex& index = *indexes[k];
      Status failure = Status::Ok();
      Status walked = WalkLeafChain(
          db.pager(), db.layout(), index.root_page, [&](const IndexPage&, const IndexEntry& entry) {
            auto made = keys.Lookup(entry.row, k);
            if (!made.ok()) {
              failure = made.error();
              return false;
            }
            const std::optional<ByteSpan>& key = made.value();
            if (!key || std::equal(key->begin(), key->end(), entry.key.begin(), entry.key.end()))
              return true;
            const uint64_t packed = uint64_t{entry.row.page} << 8 | entry.row.row;
            AlteredRow& r = found[{table_seq, packed}];
            if (r.indexes.empty()) {
              r.table = def.first_page;
              r.table_name = object->name;
              r.row = entry.row;
            }
            r.indexes.push_back(IndexName(def, index));
            r.columns.push_back(ColumnNames(def, index));
            r.index_values.push_back(KeyValueText(columns[k], entry.key));
            return true;
          });
      if (!walked.ok()) return walked.error();
      if (!failure.ok()) return failure.error();
    }
  }
  std::vector<AlteredRow> out;
  out.reserve(found.size());
  for (auto& [where, row] : found) out.push_back(std::move(row));
  return out;
}

}  // namespace engine

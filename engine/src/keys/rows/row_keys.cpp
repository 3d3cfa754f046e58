#include "keys/rows/row_keys.h"

#include <string_view>
#include <unordered_map>

namespace engine {

namespace {

const ColumnDef* FindByNumber(const TableDef& table, uint16_t number, size_t& position) {
  for (size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i].number == number) {
      position = i;
      return &table.columns[i];
    }
  }
  return nullptr;
}

bool IsText(uint8_t type) {
  return type == key_type::kText || type == key_type::kMemo;
}

// Jet 4 text stored with the FF FE marker, as plain UCS-2LE in `dst`;
// `stored` may be `dst` itself.
void Uncompress(ByteSpan stored, std::string& scratch, std::vector<uint8_t>& dst) {
  scratch.clear();
  ExpandCompressedUnicode(stored.subspan(2), scratch);
  dst.assign(scratch.begin(), scratch.end());
}

bool IsCompressed(ByteSpan stored) {
  return stored.size() >= 2 && stored[0] == 0xFF && stored[1] == 0xFE;
}

}  // namespace

KeyFormat KeyFormatOf(JetVersion version) {
  return version == JetVersion::kJet3 ? KeyFormat::kJet3 : KeyFormat::kJet4;
}

Result<std::vector<KeyColumn>> IndexKeyColumns(JetVersion version, const TableDef& table,
                                               const PhysicalIndex& index) {
  std::vector<KeyColumn> columns;
  for (const IndexColumn& ic : index.columns) {
    size_t position = 0;
    const ColumnDef* def = FindByNumber(table, ic.column_number, position);
    if (def == nullptr) {
      return Damaged("index " + std::to_string(index.position) + " of the table at page " +
                     std::to_string(table.first_page) + " uses column number " +
                     std::to_string(ic.column_number) + ", which the table does not have");
    }
    KeyColumn c;
    c.type = def->type;
    c.ascending = ic.ascending;
    c.format = KeyFormatOf(version);
    c.sort_order = def->sort_order;
    c.sort_order_version = def->sort_order_version;
    c.code_page = def->code_page;
    columns.push_back(c);
  }
  return columns;
}

Status GatherKeyValues(const Pager& pager, const Layout& layout, const TableDef& table, const PhysicalIndex& index,
                       const RowDecoder& decoder, RowKeyValues& out) {
  out.values.clear();
  // Sized before any value points into it, never shrunk: spans into the
  // inner buffers stay valid while the row's values are gathered.
  if (out.storage.size() < index.columns.size()) out.storage.resize(index.columns.size());
  const bool jet4 = layout.version == JetVersion::kJet4;
  for (size_t k = 0; k < index.columns.size(); ++k) {
    const IndexColumn& ic = index.columns[k];
    size_t position = 0;
    const ColumnDef* def = FindByNumber(table, ic.column_number, position);
    if (def == nullptr || position >= decoder.fields().size()) {
      return Damaged("index column number " + std::to_string(ic.column_number) +
                     " is not a column of the table at page " + std::to_string(table.first_page));
    }
    const FieldRef& field = decoder.fields()[position];
    if (def->is_boolean()) {
      out.values.push_back(KeyValue::Bool(field.present));
      continue;
    }
    if (!field.present) {
      out.values.push_back(KeyValue::Null());
      continue;
    }
    std::vector<uint8_t>& own = out.storage[k];
    if (def->type == key_type::kMemo) {
      Status st = ReadLongValue(pager, layout, field.bytes, own);
      if (!st.ok()) return st;
      if (jet4 && IsCompressed(own)) Uncompress(own, out.expanded, own);
      out.values.push_back(KeyValue::Bytes(own));
    } else if (jet4 && IsText(def->type) && IsCompressed(field.bytes)) {
      Uncompress(field.bytes, out.expanded, own);
      out.values.push_back(KeyValue::Bytes(own));
    } else {
      out.values.push_back(KeyValue::Bytes(field.bytes));
    }
  }
  return Status::Ok();
}

}  // namespace engine

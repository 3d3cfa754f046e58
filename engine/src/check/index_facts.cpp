#include "check/index_facts.h"

namespace engine::check {

IndexFactsGatherer::IndexFactsGatherer(const Database* db, const Layout& layout, const TableDef& t)
    : db_(db), layout_(layout), t_(t), facts_(t.physical_indexes.size()) {
  for (size_t i = 0; i < facts_.size(); ++i) {
    const PhysicalIndex& pi = t.physical_indexes[i];
    IndexFacts& f = facts_[i];
    f.columns.emplace(IndexKeyColumns(layout.version, t, pi));
    for (const IndexColumn& ic : pi.columns) {
      for (size_t k = 0; k < t.columns.size(); ++k) {
        if (t.columns[k].number == ic.column_number) f.positions.push_back(k);
      }
    }
    f.columns_ok = f.columns->ok() && f.positions.size() == pi.columns.size();
  }
}

void IndexFactsGatherer::Add(bool decoded, const RowDecoder& decoder) {
  for (size_t i = 0; i < facts_.size(); ++i) {
    IndexFacts& f = facts_[i];
    if (!f.columns_ok) continue;
    RowFacts row;
    row.decoded = decoded;
    if (decoded) {
      row.all_null = true;
      for (size_t k : f.positions) {
        const bool null = !t_.columns[k].is_boolean() && !decoder.fields()[k].present;
        row.all_null = row.all_null && null;
        row.any_null = row.any_null || null;
      }
      if (db_ != nullptr &&
          GatherKeyValues(db_->pager(), layout_, t_, t_.physical_indexes[i], decoder, values_)
              .ok()) {
        EncodedKey key = EncodeIndexKey(f.columns->value(), values_.values);
        switch (key.status) {
          case KeyStatus::kEncoded:
            row.key = RowFacts::Key::kEncoded;
            row.length = static_cast<uint32_t>(key.bytes.size());
            row.offset = f.keys.Append(key.bytes.data(), key.bytes.size());
            break;
          case KeyStatus::kNotCovered:
            row.key = RowFacts::Key::kNotCovered;
            break;
          case KeyStatus::kInvalidValue:
            row.key = RowFacts::Key::kInvalidValue;
            break;
        }
      }
    }
    f.rows.Append(&row, sizeof row);
  }
}

}  // namespace engine::check

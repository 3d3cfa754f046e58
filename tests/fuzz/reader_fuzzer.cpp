// Feeds arbitrary bytes to the reader as a database file and exercises every
// decoder: header, catalog, table definitions, rows, long values, usage maps,
// index trees and property blobs. Any crash, hang, leak or sanitizer report
// is a bug; errors are the expected outcome for most inputs.
#include <cstddef>
#include <cstdint>

#include "reader/database.h"
#include "reader/dump.h"
#include "format/index_page.h"
#include "format/row.h"

namespace {

void Exercise(const engine::Database& db) {
  (void)engine::WriteDump(db, [](std::string_view) { return true; });
  (void)engine::Summarize(db);
  (void)db.GlobalUsageMap();
  std::vector<uint8_t> value;
  for (const engine::CatalogObject* table : db.tables()) {
    auto def = db.ReadTableDef(table->table_page());
    if (!def.ok()) continue;
    const engine::TableDef& t = def.value();
    (void)db.ReadUsageMap(t.free_map);
    for (const auto& m : t.long_value_maps) (void)db.ReadUsageMap(m.owned_map);
    for (const auto& index : t.physical_indexes) {
      (void)db.ReadUsageMap(index.map);
      size_t entries = 0;
      (void)engine::WalkLeafChain(
          db.pager(), db.layout(), index.root_page,
          [&](const engine::IndexPage&, const engine::IndexEntry&) { return ++entries < 100000; });
      (void)engine::WalkTree(db.pager(), db.layout(), index.root_page,
                             [](const engine::IndexPage&, int) { return true; });
    }
    // Property blobs of the catalog.
    const engine::ColumnDef* prop = t.FindColumn("LvProp");
    if (prop == nullptr) continue;
    engine::RowDecoder decoder(t, db.layout());
    size_t index = static_cast<size_t>(prop - t.columns.data());
    (void)db.ScanRows(t, [&](const engine::RowRef& row) {
      if (!decoder.Decode(row.bytes).ok()) return true;
      const engine::FieldRef& f = decoder.fields()[index];
      if (f.present && db.ReadLongValue(f.bytes, value).ok()) (void)db.ReadProperties(value);
      return true;
    });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto db = engine::Database::Open(engine::FileSource::FromSpan({data, size}));
  if (db.ok()) Exercise(*db.value());
  // Page-level decoders on the raw bytes too, whatever the header says.
  for (engine::JetVersion v : {engine::JetVersion::kJet3, engine::JetVersion::kJet4}) {
    const engine::Layout& layout = engine::LayoutFor(v);
    for (size_t off = 0; off + layout.page_size <= size && off < 4 * layout.page_size;
         off += layout.page_size) {
      engine::ByteSpan page(data + off, layout.page_size);
      (void)engine::DecodeDataPage(page, layout, static_cast<uint32_t>(off / layout.page_size));
      (void)engine::DecodeIndexPage(page, layout, static_cast<uint32_t>(off / layout.page_size));
    }
  }
  return 0;
}

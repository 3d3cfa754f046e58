#include "writer/row_rewriter.h"

#include <algorithm>
#include <string>

#include "format/long_value.h"

namespace engine {

uint32_t NewRowSizeCap(const Layout& layout) {
  return layout.version == JetVersion::kJet3 ? 2012 : 4060;
}

RowRewriter::RowRewriter(const TableDef& table, const Layout& layout, const Pager& source,
                         LongValueWriter& long_values)
    : table_(table),
      layout_(layout),
      source_(source),
      long_values_(long_values),
      decoder_(table, layout) {
  for (const ColumnDef& c : table.columns) {
    if (c.holds_long_values() && !c.fixed()) long_columns_.push_back(&c);
  }
  // Values are laid out in the order of their slots in the row.
  std::sort(long_columns_.begin(), long_columns_.end(),
            [](const ColumnDef* a, const ColumnDef* b) { return a->var_index < b->var_index; });
}

Result<std::vector<uint8_t>> RowRewriter::Rewrite(ByteSpan source_row) {
  Status decoded = decoder_.Decode(source_row);
  if (!decoded.ok()) return decoded.error();
  auto row = RewriteDecoded(source_row, decoder_);
  if (!row.ok()) return row.error();
  return std::vector<uint8_t>(row.value().begin(), row.value().end());
}

Result<ByteSpan> RowRewriter::RewriteDecoded(ByteSpan source_row, const RowDecoder& decoded) {
  struct Pending {
    const ColumnDef* column;
    LongValueStream stream;
  };
  std::vector<Pending> pending;
  for (const ColumnDef* c : long_columns_) {
    size_t k = static_cast<size_t>(c - table_.columns.data());
    const FieldRef& f = decoded.fields()[k];
    if (!f.present) continue;
    auto stream = LongValueStream::Open(source_, layout_, f.bytes);
    if (!stream.ok()) {
      return Error(stream.error().number(),
                   "column " + c->name + ": " + stream.error().description());
    }
    pending.push_back({c, std::move(stream.value())});
  }
  if (pending.empty()) return source_row;

  auto parts = SplitRow(table_, layout_, source_row);
  if (!parts.ok()) return parts.error();
  RowParts& p = parts.value();

  // The row with every long value as a bare header sets the room left for
  // inline data under the cap.
  for (const Pending& item : pending) {
    p.vars[item.column->var_index].assign(kLongValueHeaderSize, 0);
  }
  auto bare = EncodeRow(layout_, p);
  if (!bare.ok()) return bare.error();
  const size_t cap = NewRowSizeCap(layout_);
  // Jet 3 rows may need another jump byte when they grow; keep room for it.
  const size_t slack = layout_.version == JetVersion::kJet3 ? 2 : 0;
  size_t room = bare->size() + slack < cap ? cap - bare->size() - slack : 0;

  for (Pending& item : pending) {
    uint32_t length = item.stream.length();
    const LongValueHeader& source_header = item.stream.header();
    // Kept for chains only: single-row and inline values carry 0 there.
    uint32_t extra = source_header.kind == LongValueKind::kChain ? source_header.extra : 0;
    bool allow_inline = length <= kInlineLimit && length <= room;
    LongValueStream& stream = item.stream;
    auto field = long_values_.Write(
        item.column->number, length, [&stream](std::span<uint8_t> out) { return stream.Read(out); },
        allow_inline, extra);
    if (!field.ok()) {
      return Error(field.error().number(),
                   "column " + item.column->name + ": " + field.error().description());
    }
    if (field->size() > kLongValueHeaderSize) room -= field->size() - kLongValueHeaderSize;
    p.vars[item.column->var_index] = std::move(field.value());
  }
  auto encoded = EncodeRow(layout_, p);
  if (!encoded.ok()) return encoded.error();
  out_ = std::move(encoded.value());
  return ByteSpan(out_);
}

}  // namespace engine

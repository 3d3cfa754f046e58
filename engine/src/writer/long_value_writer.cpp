#include "writer/long_value_writer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/bytes.h"

namespace engine {

uint32_t MaxSingleRowValue(const Layout& layout) {
  return layout.version == JetVersion::kJet3 ? 2032 : 4076;
}

uint32_t ChainPieceData(const Layout& layout) {
  return layout.version == JetVersion::kJet3 ? 2032 : 4072;
}

namespace {

constexpr uint32_t kChainPointerSize = 4;
// An LVAL page is listed as having room when a value of more than the
// inline limit (with its slot entry) still fits on it.
constexpr uint32_t kUsefulRoom = kInlineLimit + 1 + 2;

}  // namespace

struct LongValueWriter::Column {
  Column(PageSink& sink, uint16_t column) : rows(sink, kLvalOwner), number(column) {}
  DataPageBuilder rows;               // pages shared by this column's values
  std::vector<uint32_t> whole_pages;  // pages holding one chain piece each
  uint16_t number;
  uint64_t values = 0;
};

LongValueWriter::LongValueWriter(PageSink& sink) : sink_(sink) {}
LongValueWriter::~LongValueWriter() = default;

LongValueWriter::Column& LongValueWriter::ColumnFor(uint16_t number) {
  auto& slot = columns_[number];
  if (!slot) slot = std::make_unique<Column>(sink_, number);
  return *slot;
}

Result<std::vector<uint8_t>> LongValueWriter::Write(uint16_t column_number, ByteSpan value,
                                                    bool allow_inline) {
  if (value.size() > kMaxLongValueLength) {
    return Error(ErrorCode::kInvalidArgument, "a long value of " + std::to_string(value.size()) +
                                                  " bytes is longer than a long value can be");
  }
  size_t offset = 0;
  LongValueSource from_memory = [&](std::span<uint8_t> out) -> Status {
    if (out.size() > value.size() - offset) {
      return Error(ErrorCode::kInvalidArgument, "long value read past its end");
    }
    if (!out.empty()) std::memcpy(out.data(), value.data() + offset, out.size());
    offset += out.size();
    return Status::Ok();
  };
  return Write(column_number, static_cast<uint32_t>(value.size()), from_memory, allow_inline);
}

Result<std::vector<uint8_t>> LongValueWriter::Write(uint16_t column_number, uint32_t length,
                                                    const LongValueSource& source,
                                                    bool allow_inline, uint32_t chain_extra) {
  if (finished_) {
    return Error(ErrorCode::kInvalidArgument, "long value written after the table was finished");
  }
  if (length > kMaxLongValueLength) {
    return Error(ErrorCode::kInvalidArgument, "a long value of " + std::to_string(length) +
                                                  " bytes is longer than a long value can be");
  }
  const Layout& layout = sink_.layout();

  if (allow_inline && length <= kInlineLimit) {
    std::vector<uint8_t> field = EncodeLongValueHeader(LongValueKind::kInline, length, {});
    field.resize(kLongValueHeaderSize + length);
    Status s = source(std::span<uint8_t>(field.data() + kLongValueHeaderSize, length));
    if (!s.ok()) return s.error();
    return field;
  }

  Column& column = ColumnFor(column_number);
  if (length <= MaxSingleRowValue(layout)) {
    std::vector<uint8_t> data(length);
    Status s = source(data);
    if (!s.ok()) return s.error();
    auto at = column.rows.Add(data);
    if (!at.ok()) return at.error();
    ++column.values;
    return EncodeLongValueHeader(LongValueKind::kSingle, length, *at);
  }

  // A chain. Every piece but the last fills a page of its own; the last one
  // shares the column's current page. Its slot is reserved first so that
  // the piece before it can point at it, and the data is then copied in
  // reading order.
  const uint32_t piece = ChainPieceData(layout);
  const uint32_t full_pieces = (length - 1) / piece;  // >= 1 here
  const uint32_t last_length = length - full_pieces * piece;
  auto last = column.rows.Reserve(kChainPointerSize + last_length);
  if (!last.ok()) return last.error();

  std::vector<uint8_t> buffer(kChainPointerSize + piece);
  const RowPointer first{sink_.AllocatePage(), 0};
  if (first.page > kMaxRowPointerPage) return PageBeyondRowPointers(first.page);
  RowPointer current = first;
  for (uint32_t i = 0; i < full_pieces; ++i) {
    RowPointer next = i + 1 < full_pieces ? RowPointer{sink_.AllocatePage(), 0} : *last;
    if (next.page > kMaxRowPointerPage) return PageBeyondRowPointers(next.page);
    Put32(buffer.data(), next.ToLe());
    Status s = source(std::span<uint8_t>(buffer.data() + kChainPointerSize, piece));
    if (!s.ok()) return s.error();
    ByteSpan rows[] = {ByteSpan(buffer)};
    auto page = EncodeDataPage(layout, kLvalOwner, rows);
    if (!page.ok()) return page.error();
    if (i == 0 && layout.data_extra_offset != 0) {
      Put32(page->data() + layout.data_extra_offset, chain_extra);
    }
    s = sink_.WritePage(current.page, *page);
    if (!s.ok()) return s.error();
    column.whole_pages.push_back(current.page);
    current = next;
  }
  buffer.assign(kChainPointerSize + last_length, 0);  // pointer 0: the end of the chain
  Status s = source(std::span<uint8_t>(buffer.data() + kChainPointerSize, last_length));
  if (!s.ok()) return s.error();
  s = column.rows.Fill(*last, buffer);
  if (!s.ok()) return s.error();
  ++column.values;
  return EncodeLongValueHeader(LongValueKind::kChain, length, first, chain_extra);
}

Status LongValueWriter::Finish() {
  finished_ = true;
  for (auto& [number, column] : columns_) {
    Status s = column->rows.Finish();
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

std::vector<LongValueColumnPages> LongValueWriter::Columns() const {
  std::vector<LongValueColumnPages> out;
  for (const auto& [number, column] : columns_) {
    LongValueColumnPages c;
    c.column_number = number;
    c.pages = column->rows.page_numbers();
    c.pages.insert(c.pages.end(), column->whole_pages.begin(), column->whole_pages.end());
    std::sort(c.pages.begin(), c.pages.end());
    c.with_room = column->rows.PagesWithRoom(kUsefulRoom);
    c.values = column->values;
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace engine

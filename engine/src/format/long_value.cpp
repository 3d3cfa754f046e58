#include "format/long_value.h"

#include <cstring>
#include <unordered_set>

#include "base/bytes.h"

namespace engine {

Result<LongValueHeader> DecodeLongValueHeader(ByteSpan field) {
  if (field.size() < 12) {
    return Damaged("long value: the field holds " + std::to_string(field.size()) +
                   " bytes, fewer than its 12-byte header");
  }
  LongValueHeader h;
  uint32_t word = Le32(field.data());
  h.length = word & 0x3FFFFFFF;
  switch (word >> 30) {
    case 2:
      h.kind = LongValueKind::kInline;
      break;
    case 1:
      h.kind = LongValueKind::kSingle;
      break;
    case 0:
      h.kind = LongValueKind::kChain;
      break;
    default:
      return Damaged("long value: invalid storage kind (both top bits set)");
  }
  h.first = RowPointer::FromLe(Le32(field.data() + 4));
  h.extra = Le32(field.data() + 8);
  return h;
}

namespace {

uint32_t KindBits(LongValueKind kind) {
  switch (kind) {
    case LongValueKind::kInline:
      return 0x80000000u;
    case LongValueKind::kSingle:
      return 0x40000000u;
    case LongValueKind::kChain:
      break;
  }
  return 0;
}

}  // namespace

std::vector<uint8_t> EncodeLongValueHeader(LongValueKind kind, uint32_t length, RowPointer first,
                                           uint32_t extra) {
  std::vector<uint8_t> h(kLongValueHeaderSize, 0);
  Put32(h.data(), KindBits(kind) | (length & kMaxLongValueLength));
  Put32(h.data() + 4, kind == LongValueKind::kInline ? 0 : first.ToLe());
  Put32(h.data() + 8, extra);
  return h;
}

namespace {

// Returns the bytes of a live slot on an LVAL page.
ByteSpan LvalRow(const Pager& pager, const Layout& layout, RowPointer ptr) {
  std::string where =
      "long value row at page " + std::to_string(ptr.page) + " row " + std::to_string(ptr.row);
  ByteSpan page = pager.PageOrThrow(ptr.page);
  if (page[0] != static_cast<uint8_t>(PageType::kData)) {
    Fail(ErrorCode::kDamaged, where + ": not a data page (type " + std::to_string(page[0]) + ")");
  }
  if (Le32(page.data() + layout.data_owner_offset) != kLvalOwner) {
    Fail(ErrorCode::kDamaged, where + ": the page is not a long-value (LVAL) page");
  }
  uint32_t count = Le16(page.data() + layout.data_row_count_offset);
  if (ptr.row >= count || layout.data_header_size + 2 * count > layout.page_size) {
    Fail(ErrorCode::kDamaged, where + ": the page has only " + std::to_string(count) + " rows");
  }
  uint16_t raw = Le16(page.data() + layout.data_header_size + 2 * ptr.row);
  if (raw & kRowDeletedFlag) Fail(ErrorCode::kDamaged, where + ": the row is deleted");
  uint32_t start = raw & kRowOffsetMask;
  uint32_t end = ptr.row == 0 ? layout.page_size
                              : Le16(page.data() + layout.data_header_size + 2 * (ptr.row - 1)) &
                                    kRowOffsetMask;
  if (start < layout.data_header_size + 2 * count || start > end || end > layout.page_size) {
    Fail(ErrorCode::kDamaged, where + ": row offsets out of the page");
  }
  return page.subspan(start, end - start);
}

}  // namespace

Status ReadLongValue(const Pager& pager, const Layout& layout, ByteSpan field,
                     std::vector<uint8_t>& out, std::vector<RowPointer>* pieces) {
  return GuardStatus([&] {
    out.clear();
    auto header = DecodeLongValueHeader(field);
    if (!header.ok()) throw EngineFailure{header.error()};
    const LongValueHeader& h = header.value();
    if (h.kind == LongValueKind::kInline) {
      if (field.size() - 12 < h.length) {
        Fail(ErrorCode::kDamaged, "long value: inline data of " + std::to_string(h.length) +
                                      " bytes declared, " + std::to_string(field.size() - 12) +
                                      " present");
      }
      out.assign(field.begin() + 12, field.begin() + 12 + h.length);
      return;
    }
    if (h.kind == LongValueKind::kSingle) {
      ByteSpan row = LvalRow(pager, layout, h.first);
      if (pieces) pieces->push_back(h.first);
      if (row.size() < h.length) {
        Fail(ErrorCode::kDamaged, "long value at page " + std::to_string(h.first.page) + " row " +
                                      std::to_string(h.first.row) + ": " +
                                      std::to_string(h.length) + " bytes declared, the row has " +
                                      std::to_string(row.size()));
      }
      out.assign(row.begin(), row.begin() + h.length);
      return;
    }
    // A chain: each piece's first 4 bytes point at the next one. The total
    // is bounded by the declared length, which is bounded by what the file
    // can hold, so out never grows beyond the file size.
    uint64_t file_bytes = static_cast<uint64_t>(pager.page_count()) * pager.page_size();
    if (h.length > file_bytes) {
      Fail(ErrorCode::kDamaged,
           "long value: declared length " + std::to_string(h.length) + " exceeds the file size");
    }
    out.reserve(h.length);
    std::unordered_set<uint32_t> seen;
    RowPointer ptr = h.first;
    while (out.size() < h.length) {
      if (ptr.ToLe() == 0) {
        Fail(ErrorCode::kDamaged, "long value: the chain ends after " + std::to_string(out.size()) +
                                      " of " + std::to_string(h.length) + " bytes");
      }
      if (!seen.insert(ptr.ToLe()).second) {
        Fail(ErrorCode::kDamaged, "long value: the chain loops back to page " +
                                      std::to_string(ptr.page) + " row " + std::to_string(ptr.row));
      }
      ByteSpan row = LvalRow(pager, layout, ptr);
      if (pieces) pieces->push_back(ptr);
      if (row.size() < 4) {
        Fail(ErrorCode::kDamaged, "long value row at page " + std::to_string(ptr.page) + " row " +
                                      std::to_string(ptr.row) + " is shorter than its pointer");
      }
      size_t take = std::min<size_t>(row.size() - 4, h.length - out.size());
      out.insert(out.end(), row.begin() + 4, row.begin() + 4 + static_cast<ptrdiff_t>(take));
      ptr = RowPointer::FromLe(Le32(row.data()));
    }
  });
}

}  // namespace engine

namespace engine {

LongValueStream::LongValueStream(const Pager& pager, const Layout& layout, ByteSpan field,
                                 LongValueHeader h)
    : pager_(&pager), layout_(&layout), field_(field), header_(h), next_(h.first) {}

Result<LongValueStream> LongValueStream::Open(const Pager& pager, const Layout& layout,
                                              ByteSpan field) {
  auto header = DecodeLongValueHeader(field);
  if (!header.ok()) return header.error();
  const LongValueHeader& h = header.value();
  if (h.kind == LongValueKind::kInline && field.size() - 12 < h.length) {
    return Damaged("long value: inline data of " + std::to_string(h.length) + " bytes declared, " +
                   std::to_string(field.size() - 12) + " present");
  }
  uint64_t file_bytes = static_cast<uint64_t>(pager.page_count()) * pager.page_size();
  if (h.kind == LongValueKind::kChain && h.length > file_bytes) {
    return Damaged("long value: declared length " + std::to_string(h.length) +
                   " exceeds the file size");
  }
  return LongValueStream(pager, layout, field, h);
}

Status LongValueStream::Read(std::span<uint8_t> out) {
  return GuardStatus([&] {
    if (out.size() > remaining()) {
      Fail(ErrorCode::kDamaged, "long value: " + std::to_string(out.size()) + " bytes asked for, " +
                                    std::to_string(remaining()) + " left");
    }
    size_t filled = 0;
    while (filled < out.size()) {
      if (piece_.empty()) {
        if (header_.kind == LongValueKind::kInline) {
          piece_ = field_.subspan(12, header_.length);
        } else if (header_.kind == LongValueKind::kSingle) {
          if (started_) Fail(ErrorCode::kDamaged, "long value: read past its only row");
          ByteSpan row = LvalRow(*pager_, *layout_, header_.first);
          if (row.size() < header_.length) {
            Fail(ErrorCode::kDamaged,
                 "long value at page " + std::to_string(header_.first.page) + " row " +
                     std::to_string(header_.first.row) + ": " + std::to_string(header_.length) +
                     " bytes declared, the row has " + std::to_string(row.size()));
          }
          piece_ = row.first(header_.length);
        } else {
          uint64_t before = delivered_ + filled;
          if (next_.ToLe() == 0) {
            Fail(ErrorCode::kDamaged, "long value: the chain ends after " + std::to_string(before) +
                                          " of " + std::to_string(header_.length) + " bytes");
          }
          if (!seen_.insert(next_.ToLe()).second) {
            Fail(ErrorCode::kDamaged, "long value: the chain loops back to page " +
                                          std::to_string(next_.page) + " row " +
                                          std::to_string(next_.row));
          }
          ByteSpan row = LvalRow(*pager_, *layout_, next_);
          if (row.size() < 4) {
            Fail(ErrorCode::kDamaged, "long value row at page " + std::to_string(next_.page) +
                                          " row " + std::to_string(next_.row) +
                                          " is shorter than its pointer");
          }
          size_t take = std::min<uint64_t>(row.size() - 4, header_.length - before);
          piece_ = row.subspan(4, take);
          next_ = RowPointer::FromLe(Le32(row.data()));
        }
        started_ = true;
      }
      size_t n = std::min(piece_.size(), out.size() - filled);
      std::memcpy(out.data() + filled, piece_.data(), n);
      piece_ = piece_.subspan(n);
      filled += n;
    }
    delivered_ += filled;
  });
}

}  // namespace engine

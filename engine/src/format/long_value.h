// Long values (Memo, OLE). The value in the row starts with 12 bytes:
//   0  4  bits 0-29 length, bits 30-31 kind: 0x80.. inline, 0x40.. one LVAL row, 0x00.. chain
//   4  4  row pointer (little-endian form) of the first LVAL row; 0 inline
//   8  4  unknown
// Inline data follows the header in the row; a chain's rows start with the
// row pointer of the next piece (0 in the last).
#pragma once

#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "engine/error.h"
#include "io/pager.h"
#include "format/data_page.h"

namespace engine {

enum class LongValueKind : uint8_t { kChain = 0, kSingle = 1, kInline = 2 };

struct LongValueHeader {
  uint32_t length = 0;
  LongValueKind kind = LongValueKind::kInline;
  RowPointer first;
  uint32_t extra = 0;
};

// Errors (3049): fewer than 12 bytes, the invalid kind 11.
Result<LongValueHeader> DecodeLongValueHeader(ByteSpan field);

inline constexpr uint32_t kLongValueHeaderSize = 12;
// Longest value a header can declare (30 bits).
inline constexpr uint32_t kMaxLongValueLength = 0x3FFFFFFF;
// The 12-byte header of a value of `length` bytes stored as `kind` starting
// at `first` (ignored for inline values), with `extra` in bytes 8..11.
std::vector<uint8_t> EncodeLongValueHeader(LongValueKind kind, uint32_t length, RowPointer first,
                                           uint32_t extra = 0);

// Reads the whole value into out (replacing its contents). When `pieces`
// is given, it receives every LVAL row used, in order. Errors (3049) name
// the row: a pointer past the file, to a non-LVAL page or to a deleted slot,
// a cycle, a chain shorter than the declared length, inline data shorter
// than declared.
Status ReadLongValue(const Pager& pager, const Layout& layout, ByteSpan field,
                     std::vector<uint8_t>& out, std::vector<RowPointer>* pieces = nullptr);

// Reads a long value's bytes in order, one LVAL row at a time, without
// holding the whole value: for copying values of any size. Same checks as
// ReadLongValue.
class LongValueStream {
 public:
  // Errors (3049): the header (see DecodeLongValueHeader).
  static Result<LongValueStream> Open(const Pager& pager, const Layout& layout, ByteSpan field);

  uint32_t length() const { return header_.length; }
  const LongValueHeader& header() const { return header_; }
  uint64_t remaining() const { return header_.length - delivered_; }

  // Fills `out` with the next out.size() bytes. Errors (3049): reading past
  // the declared length, and every damage ReadLongValue names.
  Status Read(std::span<uint8_t> out);

 private:
  LongValueStream(const Pager& pager, const Layout& layout, ByteSpan field, LongValueHeader h);

  const Pager* pager_;
  const Layout* layout_;
  ByteSpan field_;
  LongValueHeader header_;
  uint64_t delivered_ = 0;
  ByteSpan piece_;                     // unread data of the current piece
  RowPointer next_;                    // next piece of a chain (0 at the end)
  std::unordered_set<uint32_t> seen_;  // chain rows visited: a loop is damage
  bool started_ = false;
};

}  // namespace engine

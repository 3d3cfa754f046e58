// Pages: the Pager, data pages with their row-slot tables, and row pointers.
//
// Data page (type 0x01) header:
//   Jet 3  Jet 4
//   0x02   0x02   2  free space
//   0x04   0x04   4  owner: TDEF page of the table, "LVAL", 0 (usage-map rows), 1 (page 1)
//   -      0x08   4  unknown (non-zero on some LVAL pages)
//   0x08   0x0C   2  number of row slots n
//   0x0A   0x0E   2n row-offset table: bits 0-12 start, 0x4000 lookup, 0x8000 deleted
// Row i occupies [start(i), start(i-1)) with start(-1) = page size.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/error.h"
#include "engine/file_source.h"
#include "engine/format.h"

namespace engine {

// Highest page number a row pointer can name (24 bits).
inline constexpr uint32_t kMaxRowPointerPage = 0xFFFFFF;

// A row's address: page number and slot number on that page.
struct RowPointer {
  uint32_t page = 0;
  uint8_t row = 0;

  // Little-endian form used by long values, overflow rows and usage-map
  // pointers: the 32-bit value (page << 8) | row.
  static RowPointer FromLe(uint32_t value) { return {value >> 8, static_cast<uint8_t>(value)}; }
  uint32_t ToLe() const { return (page << 8) | row; }
  bool operator==(const RowPointer&) const = default;
};

class DecodedPageFile;

// Where a Pager keeps the pages it decodes.
enum class PageDecoding {
  // An unlinked temporary file under $TMPDIR or /tmp, mapped read-only, so
  // that decoded pages sit in the page cache (which the kernel can write out)
  // rather than in the process's own memory; in memory where no such file
  // can be made, or for a page the file refuses (a full disk).
  kTempFile,
  // Always in memory.
  kMemory,
};

// Hands out the pages of a file, decoding RC4-encoded pages (non-zero
// database key) on first use. Page 0 is returned as stored (header mask in
// place; DatabaseHeader::unmasked has it unmasked). A span handed out stays
// valid for the life of the Pager. Not thread-safe when the database key is
// non-zero.
class Pager {
 public:
  Pager(std::unique_ptr<FileSource> source, uint32_t page_size, uint32_t database_key,
        PageDecoding decoding = PageDecoding::kTempFile);
  ~Pager();
  Pager(const Pager&) = delete;
  Pager& operator=(const Pager&) = delete;

  uint32_t page_size() const { return page_size_; }
  uint32_t page_count() const { return page_count_; }
  // Bytes after the last whole page (a file should have none).
  uint32_t trailing_bytes() const { return trailing_bytes_; }
  const FileSource& source() const { return *source_; }

  // Error 3049 naming the page when it lies beyond the end of the file.
  Result<ByteSpan> Page(uint32_t number) const;
  // Same, throwing EngineFailure: for decoders inside the engine.
  ByteSpan PageOrThrow(uint32_t number) const;
  // Same, for one look at every page: an encoded page not decoded before is
  // decoded into `scratch` and not kept, unless it can be kept in the
  // temporary file (which costs no memory of ours).
  ByteSpan PageOnce(uint32_t number, std::vector<uint8_t>& scratch) const;

  // A hint that the page will be read soon: where its bytes are at hand
  // (not encoded, or decoded before), asks for them to be brought into the
  // CPU cache. Does nothing for a page beyond the end of the file.
  void Prefetch(uint32_t number) const;

  // Whether decoded pages go to a temporary file (false for a file that is
  // not encoded, and where none could be made).
  bool decodes_to_file() const { return file_ != nullptr; }
  // Pages decoded and kept in memory so far.
  uint32_t pages_in_memory() const { return pages_in_memory_; }

 private:
  bool IsDecoded(uint32_t number) const;

  std::unique_ptr<FileSource> source_;
  uint32_t page_size_;
  uint32_t page_count_;
  uint32_t trailing_bytes_;
  uint32_t database_key_;
  std::unique_ptr<DecodedPageFile> file_;
  mutable std::vector<uint8_t> scratch_;
  mutable std::vector<std::unique_ptr<uint8_t[]>> decoded_;  // sized on first use
  mutable uint32_t pages_in_memory_ = 0;
};

struct RowSlot {
  uint16_t raw = 0;    // offset-table entry as stored
  uint16_t start = 0;  // first byte of the row in the page
  uint16_t end = 0;    // one past its last byte
  // False when the entry points into the header / offset table or past the
  // next row's start (possible for deleted slots; an error for live ones).
  bool in_bounds = false;

  bool deleted() const { return raw & kRowDeletedFlag; }
  bool lookup() const { return raw & kRowLookupFlag; }
  // An ordinary live row (neither deleted, nor an overflow target, nor a pointer).
  bool live() const { return (raw & (kRowDeletedFlag | kRowLookupFlag)) == 0; }
  uint16_t length() const { return in_bounds ? static_cast<uint16_t>(end - start) : 0; }
};

inline constexpr uint32_t kLvalOwner = 0x4C41564C;  // "LVAL" read little-endian

struct DataPage {
  uint32_t number = 0;
  uint16_t free_space = 0;
  uint32_t owner = 0;
  uint32_t extra = 0;  // Jet 4 offset 0x08
  std::vector<RowSlot> slots;

  bool is_lval() const { return owner == kLvalOwner; }
};

// Decodes a data page's header and row-offset table. Errors (3049): wrong
// page type, a row-offset table that does not fit the page.
Result<DataPage> DecodeDataPage(ByteSpan page, const Layout& layout, uint32_t number);

// Writing data pages. A page gets at most 255 row slots (a row pointer's row
// byte, and what Access itself writes).
inline constexpr uint32_t kMaxRowsPerDataPage = 255;
// Largest row that fits on an empty data page: 2036 (Jet 3) / 4080 (Jet 4).
uint32_t MaxDataRowSize(const Layout& layout);
// Free space of a data page holding `rows` slots with `row_bytes` bytes of rows.
uint32_t DataPageFreeSpace(const Layout& layout, uint32_t rows, uint32_t row_bytes);
// The header of a data page: type, owner, free space and row count (the
// Jet 4 field at 0x08 stays as it is, zero on a fresh page).
void PutDataPageHeader(const Layout& layout, std::span<uint8_t> page, uint32_t owner, uint32_t rows,
                       uint32_t free_space);
// One whole page (page_size bytes, unused bytes zero) holding `rows` in slot
// order, packed down from the page end. Errors (3001): the rows do not fit
// one page, more than kMaxRowsPerDataPage.
Result<std::vector<uint8_t>> EncodeDataPage(const Layout& layout, uint32_t owner,
                                            std::span<const ByteSpan> rows);

}  // namespace engine

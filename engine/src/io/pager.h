// The Pager: a database file's pages by number, decoded where the file is
// RC4-encoded.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/error.h"
#include "io/cipher.h"
#include "io/file_source.h"
#include "io/page_source.h"

namespace engine {

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
// valid for the life of the Pager. Pages may be asked for from several
// threads at once; a page is decoded once whichever thread asks first.
class Pager final : public PageSource {
 public:
  Pager(std::unique_ptr<FileSource> source, uint32_t page_size, uint32_t database_key,
        PageDecoding decoding = PageDecoding::kTempFile);
  // Pages decoded by `cipher` (an encrypted ACE file's); none: not encoded.
  Pager(std::unique_ptr<FileSource> source, uint32_t page_size,
        std::unique_ptr<const PageCipher> cipher, PageDecoding decoding = PageDecoding::kTempFile);
  ~Pager();
  Pager(const Pager&) = delete;
  Pager& operator=(const Pager&) = delete;

  uint32_t page_size() const override { return page_size_; }
  uint32_t page_count() const override { return page_count_; }
  // Bytes after the last whole page (a file should have none).
  uint32_t trailing_bytes() const { return trailing_bytes_; }
  const FileSource& source() const { return *source_; }

  // Page (from PageSource): error 3049 naming the page when it lies beyond
  // the end of the file; PageOrThrow throws it instead.
  ByteSpan PageOrThrow(uint32_t number) const override;
  // Same, for one look at every page: an encoded page not decoded before is
  // decoded into `scratch` and not kept, unless it can be kept in the
  // temporary file (which costs no memory of ours).
  ByteSpan PageOnce(uint32_t number, std::vector<uint8_t>& scratch) const;

  // A hint that the page will be read soon: where its bytes are at hand
  // (not encoded, or decoded before), asks for them to be brought into the
  // CPU cache. Does nothing for a page beyond the end of the file.
  void Prefetch(uint32_t number) const;

  // For a reader that is about to go through most of the file (a
  // compaction): decodes every page into the temporary file, in file order,
  // on a thread of the Pager's, while pages are asked for as before (one
  // asked for before the thread reaches it is decoded by the caller, and
  // the thread skips it). The bytes handed out are the same either way.
  // Does nothing where pages are not decoded to a file; the thread stops at
  // a page the file refuses, and with StopDecodingAhead or the Pager.
  void DecodeAhead() const;
  void StopDecodingAhead() const;

  // Whether decoded pages go to a temporary file (false for a file that is
  // not encoded, and where none could be made).
  bool decodes_to_file() const { return file_ != nullptr; }
  // Whether pages other than page 0 are stored encoded.
  bool encoded() const { return database_key_ != 0 || cipher_ != nullptr; }
  // The scheme an encrypted ACE file's pages are coded with; null for the
  // Jet keystream or none.
  const PageCipher* cipher() const { return cipher_.get(); }
  // Pages decoded and kept in memory so far.
  uint32_t pages_in_memory() const {
    std::lock_guard<std::mutex> lock(memory_mutex_);
    return pages_in_memory_;
  }

 private:
  bool IsDecoded(uint32_t number) const;
  void Decode(uint8_t* page, uint32_t number) const;
  const uint8_t* Stored(uint32_t number) const;
  // A page kept in memory (the file would not take it); null if none.
  const uint8_t* InMemory(uint32_t number) const;
  // The page in the file, decoded by this thread into `buffer` and written
  // there if no other thread has it; null when the file refuses it.
  const uint8_t* DecodeIntoFile(uint32_t number, std::vector<uint8_t>& buffer) const;

  std::unique_ptr<FileSource> source_;
  uint32_t page_size_;
  uint32_t page_count_;
  uint32_t trailing_bytes_;
  uint32_t database_key_;
  std::unique_ptr<const PageCipher> cipher_;
  std::unique_ptr<DecodedPageFile> file_;
  // Pages kept in memory, under memory_mutex_.
  mutable std::mutex memory_mutex_;
  mutable std::vector<std::unique_ptr<uint8_t[]>> decoded_;  // sized on first use
  mutable uint32_t pages_in_memory_ = 0;
  mutable std::atomic<bool> stop_ahead_{false};
  mutable std::thread ahead_;
};

}  // namespace engine

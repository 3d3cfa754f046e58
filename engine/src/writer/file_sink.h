// The PageSink of a new database file on disk.
//
// FilePageSink creates its file exclusively (error 3204 when the name is
// taken, and then nothing is touched), writes pages at number * page size,
// encrypts every page but page 0 when the database key is non-zero, and on
// Finish flushes the file to disk. Until Finish has succeeded the file is
// partial: Abandon (or the destructor) removes it.
//
// Pages with consecutive numbers, as a compaction mostly writes them, are
// gathered and written with one pwrite per run of up to kWriteRunBytes; a
// page out of sequence writes the run gathered so far first. A failing
// write is reported by the call that writes the run (a later WritePage or
// Finish), naming the pages.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "writer/page_sink.h"

namespace engine {

// Page 0 is written as the caller gives it (with its header mask); every
// other page is RC4-encoded with `database_key` XOR its number when the key
// is non-zero.
class FilePageSink final : public PageSink {
 public:
  // Errors: 3204 the file exists; 3044 an invalid path (empty, no such
  // directory, a directory); 3051 no permission; 3043 other failures.
  static Result<std::unique_ptr<FilePageSink>> Create(const std::string& path, const Layout& layout,
                                                      uint32_t database_key);
  ~FilePageSink() override;

  const Layout& layout() const override { return layout_; }
  uint32_t AllocatePage() override { return allocated_++; }
  Status WritePage(uint32_t number, ByteSpan bytes) override;

  // Largest run of consecutive pages written with one call.
  static constexpr size_t kWriteRunBytes = size_t{1} << 20;
  // Writeback of the file is started after every this many bytes written.
  static constexpr uint64_t kWritebackBytes = uint64_t{32} << 20;

  uint32_t allocated() const { return allocated_; }
  const std::string& path() const { return path_; }

  // Checks that every allocated page was written, sizes the file, fsyncs it
  // and closes it. The file then stays.
  Status Finish();
  // Closes and removes the partial file (a no-op after Finish).
  void Abandon();

 private:
  FilePageSink(std::string path, int fd, const Layout& layout, uint32_t database_key)
      : path_(std::move(path)), fd_(fd), layout_(layout), database_key_(database_key) {}

  // Writes the gathered run, if any.
  Status Flush();

  std::string path_;
  int fd_ = -1;
  const Layout& layout_;
  uint32_t database_key_;
  uint32_t allocated_ = 0;
  std::vector<bool> written_;
  std::vector<uint8_t> run_;  // pages run_first_, run_first_ + 1, ... encoded
  uint32_t run_first_ = 0;
  uint64_t unsynced_ = 0;        // bytes written since writeback was last started
  std::optional<Error> failed_;  // a run that could not be written: every later call fails
  bool finished_ = false;
};

// The error a failed write maps to: ENOSPC/EDQUOT 3026, anything else 3043.
Error WriteError(int err, const std::string& what);

}  // namespace engine

// The PageSink of a new database file on disk.
//
// FilePageSink creates its file exclusively (error 3204 when the name is
// taken, and then nothing is touched), writes pages at number * page size,
// encrypts every page but page 0 when the database key is non-zero, and on
// Finish flushes the file to disk. Until Finish has succeeded the file is
// partial: Abandon (or the destructor) removes it.
//
// A compaction writes its pages nearly in order: a data page goes out after
// the long-value pages allocated while it filled, definition pages at the
// end of their table. Pages are therefore gathered in a window of
// kWindowPages numbers, starting kWindowSlack below the first page that
// opens it; a page outside the window closes it. A closed window is written
// with one pwrite per run of consecutive pages it holds, by a writer thread,
// in order, while the caller goes on (at most kQueuedWindows wait; the
// caller waits when that many do), so the copying into the page cache
// overlaps the caller's work (so does the encoding of the pages, which the
// writer thread does); the bytes on disk are the same either way. A
// failing write is reported by the next WritePage or by Finish, naming the
// pages, and fails the sink for good.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "io/cipher.h"
#include "io/temp_file.h"
#include "writer/page_sink.h"

namespace engine {

// Page 0 is written as the caller gives it (with its header mask); every
// other page is RC4-encoded with `database_key` XOR its number when the key
// is non-zero, or coded by `cipher` when one is given (an encrypted ACE
// file's scheme, which must outlive the sink).
class FilePageSink final : public PageSink {
 public:
  // Errors: 3204 the file exists; 3044 an invalid path (empty, no such
  // directory, a directory); 3051 no permission; 3043 other failures.
  static Result<std::unique_ptr<FilePageSink>> Create(const std::string& path, const Layout& layout,
                                                      uint32_t database_key,
                                                      const PageCipher* cipher = nullptr);
  ~FilePageSink() override;

  const Layout& layout() const override { return layout_; }
  uint32_t AllocatePage() override { return allocated_++; }
  Status WritePage(uint32_t number, ByteSpan bytes) override;

  static constexpr uint32_t kWindowPages = 256;
  static constexpr uint32_t kWindowSlack = 32;
  // Writeback of the file is started after every this many bytes written.
  static constexpr uint64_t kWritebackBytes = uint64_t{32} << 20;
  // Windows handed to the writer thread and not yet written, at most.
  static constexpr size_t kQueuedWindows = 4;

  uint32_t allocated() const { return allocated_; }
  const std::string& path() const { return path_; }

  // Checks that every allocated page was written, sizes the file, fsyncs it
  // and closes it. The file then stays.
  Status Finish();
  // Closes and removes the partial file (a no-op after Finish).
  void Abandon();

 private:
  FilePageSink(std::string path, int fd, const Layout& layout, uint32_t database_key,
               const PageCipher* cipher)
      : path_(std::move(path)),
        fd_(fd),
        layout_(layout),
        database_key_(database_key),
        cipher_(cipher) {}

  struct Window {
    uint32_t base = 0;             // page number of its first slot
    std::vector<uint8_t> bytes;    // kWindowPages slots of a page, encoded
    std::vector<uint8_t> present;  // per slot: 1 when it holds a page
    uint32_t count = 0;            // slots that hold a page
  };

  // Hands the window, if it holds anything, to the writer thread.
  Status Flush();
  // Waits until every run handed over is written; the first failure.
  Status Drain();
  // Stops the writer thread (after the runs handed over).
  void StopWriter();
  void WriterLoop();
  // Encodes the pages of a window and writes them at their places: the
  // error names the pages of the run that failed.
  std::optional<Error> WriteWindow(Window& window);

  std::string path_;
  int fd_ = -1;
  const Layout& layout_;
  uint32_t database_key_;
  const PageCipher* cipher_;
  uint32_t allocated_ = 0;
  std::vector<bool> written_;
  Window window_;  // being gathered
  bool finished_ = false;

  // Shared with the writer thread, under mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Window> queue_;   // handed over, not yet written
  std::vector<Window> spare_;  // written windows, for reuse
  bool writing_ = false;       // the writer holds a window
  bool stop_ = false;
  std::optional<Error> failed_;  // a run that could not be written: every later call fails
  std::thread writer_;           // started with the first window
  uint64_t unsynced_ = 0;        // writer only: bytes since writeback was last started
};

}  // namespace engine

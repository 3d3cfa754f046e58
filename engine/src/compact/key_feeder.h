// Feeds the rows of one table to its index writer, on a second thread where
// that pays: the key making and sorting of one row overlap the decoding and
// placing of the next ones.
//
// The rows reach the index writer in the order they were added, whether on
// the second thread or not, so the keys, the sort and the pages written are
// the same either way; only the time differs. Where both threads fail, the
// error of the earlier row wins, as it would without the thread: the index
// writer's error for a row always comes from a row added before the caller's
// own failure.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "format/row.h"
#include "writer/table_index_writer.h"

namespace engine {

class KeyFeeder {
 public:
  // `threaded`: hand the rows to a second thread. The index writer and the
  // pages it reads must stand being used from that thread while the caller
  // goes on reading its own pages (the Pager serves several threads).
  KeyFeeder(TableIndexWriter& indexes, bool threaded);
  ~KeyFeeder();
  KeyFeeder(const KeyFeeder&) = delete;
  KeyFeeder& operator=(const KeyFeeder&) = delete;

  // One row: `row` as the copy holds it before its long values move,
  // `decoded` its decoding, `from` its slot in the source, `to` in the copy.
  // Threaded, the bytes are copied and the error of an earlier row may come
  // back here.
  Status Add(ByteSpan row, const RowDecoder& decoded, RowPointer from, RowPointer to);

  // Waits for every row added; the first error of the index writer.
  Status Finish();

 private:
  struct Item {
    uint32_t offset, size;
    RowPointer from, to;
  };
  struct Batch {
    std::vector<uint8_t> bytes;
    std::vector<Item> items;
  };
  void Work();
  Status Hand(std::unique_ptr<Batch> batch);

  TableIndexWriter& indexes_;
  const bool threaded_;
  std::unique_ptr<Batch> filling_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Batch>> queue_;   // handed over, not yet worked on
  std::vector<std::unique_ptr<Batch>> spare_;  // worked on, for reuse
  bool closing_ = false;
  Status failure_;  // the worker's first error; guarded by mutex_
  bool failed_ = false;
  std::thread worker_;
};

}  // namespace engine

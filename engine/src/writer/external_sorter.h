// Sorting more records than fit in memory.
//
// Records are (key, payload) byte strings, ordered by unsigned byte
// comparison of the key, then of the payload (a shorter string that is a
// prefix of a longer one sorts first). Records equal in both are kept as
// many times as they were added. The order is fully determined by the
// records, never by the budget or by how they were split into runs.
//
// Memory: the sorter buffers records until their bytes plus bookkeeping
// reach the budget, then sorts the buffer and writes it to a temporary run
// file; the merge reads the runs through buffers carved from the same
// budget (merging in several passes when there are more runs than the
// budget can give buffers to). A single record larger than the budget is
// still accepted.
//
// Run files are created in the directory the caller names (beside the
// destination database, so that they use its disk), falling back to
// $TMPDIR and then /tmp when that directory refuses them. Each file is
// unlinked the moment it is created, so nothing is left behind on any path:
// success, error, exception or a killed process.
//
//   ExternalSorter sorter({.budget_bytes = 64 << 20, .temp_dir = "/data"});
//   for (...) if (Status st = sorter.Add(key, payload); !st.ok()) return st;
//   if (Status st = sorter.Finish(); !st.ok()) return st;
//   ExternalSorter::Record r;
//   while (true) {
//     auto more = sorter.Next(r);  // Result<bool>
//     if (!more.ok()) return more.error();
//     if (!more.value()) break;
//     use(r.key, r.payload);       // valid until the next call to Next
//   }
//
// Errors: 3026 when the disk is full, 3043 for any other failure to create,
// write or read a run file. After an error the sorter is unusable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/error.h"
#include "io/file_source.h"

namespace engine {

struct SorterOptions {
  std::size_t budget_bytes = std::size_t{64} << 20;
  std::string temp_dir;  // empty: $TMPDIR, then /tmp
};

class ExternalSorter {
 public:
  struct Record {
    ByteSpan key;
    ByteSpan payload;
  };

  explicit ExternalSorter(SorterOptions options);
  ~ExternalSorter();  // closes (and so frees) every run file
  ExternalSorter(const ExternalSorter&) = delete;
  ExternalSorter& operator=(const ExternalSorter&) = delete;

  // Adds one record; may spill a run. Only before Finish.
  Status Add(ByteSpan key, ByteSpan payload = {});
  // Ends the input and prepares reading in order. Call once.
  Status Finish();
  // The next record in order; false at the end. Only after Finish.
  Result<bool> Next(Record& record);

  uint64_t records() const { return records_; }
  // Runs written to disk so far (0 when everything fitted in memory).
  uint32_t runs_spilled() const { return runs_spilled_; }
  // The most bytes the sorter held in memory at once (buffers and records).
  std::size_t peak_memory() const { return peak_memory_; }

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
  uint64_t records_ = 0;
  uint32_t runs_spilled_ = 0;
  std::size_t peak_memory_ = 0;
  friend class Impl;
};

// The directory where a database written to `destination` should keep its
// temporary files: the destination's own directory ("." for a bare name).
std::string TempDirBeside(const std::string& destination);

}  // namespace engine

// Compacts arbitrary bytes into pages kept in memory: a source the reader
// opens must either compact or stop with an error naming the damage. Any
// crash, hang, leak or sanitizer report is a bug.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "compact/compactor.h"
#include "reader/database.h"
#include "writer/memory_page_sink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto db = engine::Database::Open(engine::FileSource::FromSpan({data, size}));
  if (!db.ok()) return 0;
  engine::MemoryPageSink sink(db.value()->layout());
  engine::CompactOptions options;
  options.sort_budget_bytes = std::size_t{1} << 20;
  static const std::string temp = std::filesystem::temp_directory_path().string();
  auto stats = engine::CompactToSink(*db.value(), sink, options, temp);
  if (!stats.ok()) return 0;
  // The copy is a database the reader opens. (The memory sink keeps pages
  // plain: an encoded source's copy is encoded only by the file sink.)
  if (db.value()->header().database_key != 0) return 0;
  std::vector<uint8_t> copy = sink.bytes();
  auto again = engine::Database::Open(engine::FileSource::FromBuffer(std::move(copy)));
  if (!again.ok()) __builtin_trap();
  return 0;
}

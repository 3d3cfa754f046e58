// Feeds arbitrary bytes to the checker. Whatever the file holds, the checker
// reports problems or an error; any crash, hang, leak or sanitizer report is
// a bug.
#include <cstddef>
#include <cstdint>

#include "engine/check.h"
#include "io/file_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  engine::CheckOptions options;
  options.max_per_code = 20;
  auto report = engine::CheckDatabase(engine::FileSource::FromSpan({data, size}), options);
  if (report.ok()) (void)engine::FormatCheckReport(report.value());
  return 0;
}

// Repairs arbitrary bytes. The source and the copy live in a folder of the
// process's own under /dev/shm (memory; the system temp folder where that is
// absent). A repair ends with a copy or an error; any crash, hang, leak or
// sanitizer report is a bug.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/repair.h"

namespace {

const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    std::filesystem::path f = base / ("quorlen-repair-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(f);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(Folder(), ec);
    });
    return f;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string source = (Folder() / "in.mdb").string();
  const std::string copy = (Folder() / "out.mdb").string();
  {
    std::ofstream out(source, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) return 0;
  }
  std::remove(copy.c_str());
  engine::RepairOptions options;
  options.sort_budget_bytes = std::size_t{1} << 20;
  options.loss_bytes_in_memory = std::size_t{1} << 20;
  auto r = engine::RepairDatabase(source, copy, options);
  if (r.ok()) {
    std::vector<uint8_t> raw;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> long_values;
    for (const engine::LossRecord& loss : r.value().losses) {
      (void)r.value().LoadBytes(loss, raw, long_values);
    }
  }
  std::remove(copy.c_str());
  return 0;
}

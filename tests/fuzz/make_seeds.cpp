// Writes the small Jet 3 and Jet 4 databases of the reader's tests into a
// folder: fuzzer seeds for machines without the corpus.
#include <cstdio>
#include <string>

#include "small_db.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  for (engine::JetVersion v : {engine::JetVersion::kJet3, engine::JetVersion::kJet4}) {
    jet_test::SmallDbOptions plain, encoded;
    encoded.key = 0x1234ABCD;
    int n = 0;
    for (const auto* options : {&plain, &encoded}) {
      jet_test::Bytes bytes = jet_test::BuildSmallDb(v, *options);
      std::string path = std::string(argv[1]) + "/small" +
                         (v == engine::JetVersion::kJet3 ? "3" : "4") + "_" + std::to_string(n++);
      std::FILE* f = std::fopen(path.c_str(), "wb");
      if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::perror(path.c_str());
        return 1;
      }
      std::fclose(f);
    }
  }
  return 0;
}

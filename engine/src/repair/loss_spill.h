// The bytes of a repair's losses, once there are too many to keep in memory:
// appended to an unlinked file and read back one loss at a time when the
// report is written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/error.h"
#include "salvage/salvage.h"

namespace engine {

class LossSpill {
 public:
  // An unlinked file in `dir`. Errors: 3026 / 3043.
  static Result<std::shared_ptr<LossSpill>> Create(const std::string& dir);
  ~LossSpill();
  LossSpill(const LossSpill&) = delete;
  LossSpill& operator=(const LossSpill&) = delete;

  // Moves the record's raw bytes and long values to the file; the record
  // keeps where they went. Errors: 3026 / 3043.
  Status Spill(LossRecord& record);
  // The bytes of a spilled record. Errors: 3043.
  Status Load(const LossRecord& record, std::vector<uint8_t>& raw,
              std::vector<std::pair<std::string, std::vector<uint8_t>>>& long_values) const;

 private:
  explicit LossSpill(int fd) : fd_(fd) {}
  int fd_;
  uint64_t size_ = 0;
};

}  // namespace engine

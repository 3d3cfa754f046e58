#include "repair/loss_spill.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/repair.h"
#include "io/temp_file.h"

namespace engine {

namespace {

void PutN(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Reads what Spill wrote, never past the end of `in`.
class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& in) : in_(in) {}
  bool Number(uint64_t& v, int bytes) {
    if (in_.size() - at_ < static_cast<size_t>(bytes)) return false;
    v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(in_[at_ + i]) << (8 * i);
    at_ += static_cast<size_t>(bytes);
    return true;
  }
  template <typename Out>
  bool Bytes(uint64_t n, Out& out) {
    if (in_.size() - at_ < n) return false;
    out.assign(in_.begin() + static_cast<long>(at_), in_.begin() + static_cast<long>(at_ + n));
    at_ += n;
    return true;
  }
  bool done() const { return at_ == in_.size(); }

 private:
  const std::vector<uint8_t>& in_;
  size_t at_ = 0;
};

Error Unreadable(const std::string& why) {
  return Error(ErrorCode::kIoError, "the repair's file of lost bytes cannot be read back: " + why);
}

}  // namespace

Result<std::shared_ptr<LossSpill>> LossSpill::Create(const std::string& dir) {
  int fd = OpenAnonymousFile(dir, ".quorlen-losses");
  if (fd < 0) return WriteError(errno, "the repair's file of lost bytes in " + dir);
  return std::shared_ptr<LossSpill>(new LossSpill(fd));
}

LossSpill::~LossSpill() {
  ::close(fd_);
}

Status LossSpill::Spill(LossRecord& record) {
  std::vector<uint8_t> out;
  PutN(out, record.raw.size(), 8);
  out.insert(out.end(), record.raw.begin(), record.raw.end());
  PutN(out, record.long_values.size(), 4);
  for (const auto& [name, bytes] : record.long_values) {
    PutN(out, name.size(), 4);
    out.insert(out.end(), name.begin(), name.end());
    PutN(out, bytes.size(), 8);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n =
        ::pwrite(fd_, out.data() + done, out.size() - done, static_cast<off_t>(size_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return WriteError(n < 0 ? errno : ENOSPC, "the repair's file of lost bytes");
    done += static_cast<size_t>(n);
  }
  record.spilled = true;
  record.spill_offset = size_;
  record.spill_size = out.size();
  size_ += out.size();
  std::vector<uint8_t>().swap(record.raw);
  std::vector<std::pair<std::string, std::vector<uint8_t>>>().swap(record.long_values);
  return Status::Ok();
}

Status LossSpill::Load(
    const LossRecord& record, std::vector<uint8_t>& raw,
    std::vector<std::pair<std::string, std::vector<uint8_t>>>& long_values) const {
  if (record.spill_offset > size_ || record.spill_size > size_ - record.spill_offset) {
    return Unreadable("a loss points past its end");
  }
  std::vector<uint8_t> in(record.spill_size);
  size_t done = 0;
  while (done < in.size()) {
    ssize_t n = ::pread(fd_, in.data() + done, in.size() - done,
                        static_cast<off_t>(record.spill_offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Unreadable(n < 0 ? std::strerror(errno) : "it is shorter than written");
    done += static_cast<size_t>(n);
  }
  Reader r(in);
  uint64_t size = 0, count = 0;
  if (!r.Number(size, 8) || !r.Bytes(size, raw) || !r.Number(count, 4)) {
    return Unreadable("a loss is cut short");
  }
  long_values.clear();
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t name_size = 0, bytes_size = 0;
    std::pair<std::string, std::vector<uint8_t>> value;
    if (!r.Number(name_size, 4) || !r.Bytes(name_size, value.first) || !r.Number(bytes_size, 8) ||
        !r.Bytes(bytes_size, value.second)) {
      return Unreadable("a loss is cut short");
    }
    long_values.push_back(std::move(value));
  }
  if (!r.done()) return Unreadable("a loss is longer than it says");
  return Status::Ok();
}

Status RepairResult::LoadBytes(
    const LossRecord& loss, std::vector<uint8_t>& raw,
    std::vector<std::pair<std::string, std::vector<uint8_t>>>& long_values) const {
  if (!loss.spilled) {
    raw = loss.raw;
    long_values = loss.long_values;
    return Status::Ok();
  }
  if (!spill) return Unreadable("the repair kept no such file");
  return spill->Load(loss, raw, long_values);
}

}  // namespace engine

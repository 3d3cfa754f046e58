#include "compact/key_feeder.h"

#include <new>

#include "base/failure.h"

namespace engine {

namespace {

// A batch goes over when it holds this many bytes or rows; at most
// kQueued batches wait, which bounds the memory the rows take in transit.
constexpr size_t kBatchBytes = size_t{256} << 10;
constexpr size_t kBatchRows = 2048;
constexpr size_t kQueued = 3;

}  // namespace

KeyFeeder::KeyFeeder(TableIndexWriter& indexes, bool threaded)
    : indexes_(indexes), threaded_(threaded) {
  if (!threaded_) return;
  filling_ = std::make_unique<Batch>();
  worker_ = std::thread([this] { Work(); });
}

KeyFeeder::~KeyFeeder() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

Status KeyFeeder::Add(ByteSpan row, const RowDecoder& decoded, RowPointer from, RowPointer to) {
  if (!threaded_) return indexes_.AddDecodedRow(decoded, from, to);
  Batch& b = *filling_;
  b.items.push_back(
      Item{static_cast<uint32_t>(b.bytes.size()), static_cast<uint32_t>(row.size()), from, to});
  b.bytes.insert(b.bytes.end(), row.begin(), row.end());
  if (b.bytes.size() < kBatchBytes && b.items.size() < kBatchRows) return Status::Ok();
  return Hand(std::move(filling_));
}

Status KeyFeeder::Hand(std::unique_ptr<Batch> batch) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return queue_.size() < kQueued || failed_; });
  if (failed_) return failure_;
  queue_.push_back(std::move(batch));
  if (spare_.empty()) {
    filling_ = std::make_unique<Batch>();
  } else {
    filling_ = std::move(spare_.back());
    spare_.pop_back();
  }
  lock.unlock();
  changed_.notify_all();
  return Status::Ok();
}

void KeyFeeder::Work() {
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return !queue_.empty() || closing_; });
    if (queue_.empty()) return;
    std::unique_ptr<Batch> b = std::move(queue_.front());
    queue_.pop_front();
    const bool skip = failed_;
    lock.unlock();
    Status st;
    if (!skip) {
      // Nothing may leave the thread but through failure_.
      try {
        for (const Item& it : b->items) {
          st = indexes_.AddRow(ByteSpan(b->bytes.data() + it.offset, it.size), it.from, it.to);
          if (!st.ok()) break;
        }
      } catch (const EngineFailure& f) {
        st = f.error;
      } catch (const std::bad_alloc&) {
        st = Error(ErrorCode::kIoError, "out of memory while compacting");
      }
    }
    b->bytes.clear();
    b->items.clear();
    lock.lock();
    if (!st.ok() && !failed_) {
      failed_ = true;
      failure_ = st;
    }
    spare_.push_back(std::move(b));
    changed_.notify_all();
  }
}

Status KeyFeeder::Finish() {
  if (!threaded_) return Status::Ok();
  if (filling_ && !filling_->items.empty()) {
    if (Status st = Hand(std::move(filling_)); !st.ok()) return st;
  }
  {
    std::unique_lock lock(mutex_);
    closing_ = true;
    changed_.notify_all();
  }
  worker_.join();
  std::lock_guard lock(mutex_);
  return failed_ ? failure_ : Status::Ok();
}

}  // namespace engine

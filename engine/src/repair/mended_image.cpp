#include "repair/mended_image.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "io/cipher.h"
#include "writer/data_page_builder.h"
#include "writer/usage_map_builder.h"

namespace engine {

namespace {

// Sources up to this size were read whole by FileSource::OpenFile; larger
// ones are mapped from their file.
constexpr uint64_t kReadWholeLimit = uint64_t{64} << 20;

}  // namespace

// Fresh pages of the image, numbered on from its last page, written plain
// and stored encoded.
class MendedImage::Sink final : public PageSink {
 public:
  explicit Sink(MendedImage& image) : image_(image) {}
  const Layout& layout() const override { return image_.layout_; }
  uint32_t AllocatePage() override {
    // After the last page allocated, and after any page stored in place
    // past the end of the source.
    next_ = std::max(next_, image_.page_count());
    if (state_.size() <= next_) state_.resize(next_ + 1, kFree);
    state_[next_] = kAllocated;
    return next_++;
  }
  Status WritePage(uint32_t number, ByteSpan bytes) override {
    if (!image_.status_.ok()) return image_.status_;
    if (number > kMaxRowPointerPage) {
      return Damaged("the mended copy would need more pages than a file holds");
    }
    if (number >= state_.size() || state_[number] != kAllocated ||
        bytes.size() != image_.page_size()) {
      return Error(ErrorCode::kInvalidArgument,
                   "page " + std::to_string(number) + " of the mended copy written with " +
                       std::to_string(bytes.size()) + " bytes, not once as allocated");
    }
    state_[number] = kWritten;
    return image_.Put(number, std::vector<uint8_t>(bytes.begin(), bytes.end()));
  }

 private:
  enum State : uint8_t { kFree, kAllocated, kWritten };
  MendedImage& image_;
  uint32_t next_ = 0;
  std::vector<State> state_;  // by page number
};

Result<std::unique_ptr<MendedImage>> MendedImage::Create(const FileSource& source,
                                                         const Layout& layout,
                                                         uint32_t database_key,
                                                         const std::string& temp_dir,
                                                         const PageCipher* cipher) {
  const uint64_t size = source.bytes().size() / layout.page_size * layout.page_size;
  auto mapped =
      MappedImage::Create(size, (uint64_t{kMaxRowPointerPage} + 1) * layout.page_size, temp_dir);
  if (!mapped.ok()) return mapped.error();
  Status st;
  if (!source.path().empty() && size > kReadWholeLimit) {
    st = mapped.value()->MapFile(source.path());
  } else if (size > 0) {
    st = mapped.value()->Write(0, source.bytes().first(size));
  }
  if (!st.ok()) return st.error();
  return std::unique_ptr<MendedImage>(new MendedImage(
      std::shared_ptr<MappedImage>(std::move(mapped.value())), layout, database_key, cipher));
}

MendedImage::MendedImage(std::shared_ptr<MappedImage> mapped, const Layout& layout, uint32_t key,
                         const PageCipher* cipher)
    : mapped_(std::move(mapped)), layout_(layout), key_(key), cipher_(cipher) {
  sink_ = std::make_unique<Sink>(*this);
}

void MendedImage::Decode(uint8_t* page, uint32_t number) const {
  if (cipher_ != nullptr) {
    cipher_->Decode(page, layout_.page_size, number);
  } else {
    ApplyPageCipher(page, layout_.page_size, number, key_);
  }
}

void MendedImage::Encode(uint8_t* page, uint32_t number) const {
  if (cipher_ != nullptr) {
    cipher_->Encode(page, layout_.page_size, number);
  } else {
    ApplyPageCipher(page, layout_.page_size, number, key_);
  }
}

MendedImage::~MendedImage() = default;

ByteSpan MendedImage::PageOrThrow(uint32_t number) const {
  if (number >= page_count()) ThrowPageBeyondEnd(number, page_count());
  const uint8_t* at = mapped_->data() + static_cast<uint64_t>(number) * layout_.page_size;
  if (!encoded() || number == 0) return ByteSpan(at, layout_.page_size);
  auto& slot = decoded_[number];
  if (!slot) {
    slot.reset(new uint8_t[layout_.page_size]);
    std::memcpy(slot.get(), at, layout_.page_size);
    Decode(slot.get(), number);
  }
  return ByteSpan(slot.get(), layout_.page_size);
}

std::vector<uint8_t> MendedImage::Plain(uint32_t number) const {
  const uint8_t* p = mapped_->data() + static_cast<uint64_t>(number) * layout_.page_size;
  std::vector<uint8_t> out(p, p + layout_.page_size);
  if (number != 0 && encoded()) Decode(out.data(), number);
  return out;
}

void MendedImage::Store(uint32_t number, std::vector<uint8_t> plain) {
  Status st = Put(number, std::move(plain));
  if (!st.ok() && status_.ok()) status_ = st;
}

Status MendedImage::Put(uint32_t number, std::vector<uint8_t> plain) {
  plain.resize(layout_.page_size, 0);
  auto decoded = decoded_.find(number);
  if (number == 0 || !encoded()) {
    return mapped_->Write(static_cast<uint64_t>(number) * layout_.page_size, plain);
  }
  std::vector<uint8_t> stored = plain;
  Encode(stored.data(), number);
  Status st = mapped_->Write(static_cast<uint64_t>(number) * layout_.page_size, stored);
  if (st.ok() && decoded != decoded_.end()) {
    std::memcpy(decoded->second.get(), plain.data(), plain.size());
  }
  return st;
}

Result<RowPointer> AddUsageMap(PageSink& sink, std::span<const uint32_t> pages) {
  auto row = BuildUsageMap(sink, pages);
  if (!row.ok()) return row.error();
  DataPageBuilder map_page(sink, 0);
  auto at = map_page.Add(row.value());
  if (!at.ok()) return at.error();
  if (Status st = map_page.Finish(); !st.ok()) return st.error();
  return at.value();
}

}  // namespace engine

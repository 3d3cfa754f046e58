// The repair's page image: a file mapped from disk with pages written over
// it through a temp file, never into the file itself.
#include "io/mapped_image.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "compact_support.h"

namespace engine {
namespace {

using compact_test::ReadFile;
using compact_test::ScratchDir;
using compact_test::WriteFile;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return out;
}

TEST(MappedImage, ReadsTheFileWritesOverItAndGrowsWithoutTouchingIt) {
  ScratchDir dir;
  // Not a whole number of chunks, so the last chunk is part file, part zeros.
  const size_t file_size = 3 * MappedImage::kChunk + 5000;
  const std::vector<uint8_t> file = Pattern(file_size, 3);
  const std::string path = dir / "source.mdb";
  WriteFile(path, file);

  auto created = MappedImage::Create(file_size + 3000, 64 * MappedImage::kChunk, dir.path());
  ASSERT_TRUE(created.ok()) << created.error().ToString();
  MappedImage& image = *created.value();
  ASSERT_TRUE(image.MapFile(path).ok());
  ASSERT_EQ(image.size(), file_size + 3000);
  EXPECT_TRUE(std::equal(file.begin(), file.end(), image.data()));
  for (size_t i = file_size; i < image.size(); ++i) ASSERT_EQ(image.data()[i], 0) << i;

  // A write across a chunk boundary keeps the rest of both chunks.
  std::vector<uint8_t> expected(file);
  expected.resize(image.size(), 0);
  const std::vector<uint8_t> patch = Pattern(4096, 99);
  const size_t at = MappedImage::kChunk - 1000;
  ASSERT_TRUE(image.Write(at, patch).ok());
  std::copy(patch.begin(), patch.end(), expected.begin() + static_cast<long>(at));
  // One in the chunk the file ends in, and one past the end, which grows it.
  ASSERT_TRUE(image.Write(file_size - 10, patch).ok());
  expected.resize(std::max(expected.size(), file_size - 10 + patch.size()), 0);
  std::copy(patch.begin(), patch.end(), expected.begin() + static_cast<long>(file_size - 10));
  const size_t far = 20 * MappedImage::kChunk + 123;
  ASSERT_TRUE(image.Write(far, patch).ok());
  expected.resize(far + patch.size(), 0);
  std::copy(patch.begin(), patch.end(), expected.begin() + static_cast<long>(far));

  ASSERT_EQ(image.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.data()));
  EXPECT_EQ(ReadFile(path), file);  // the source is only read
  EXPECT_EQ(image.overlaid_chunks(), 4u);

  // A source over the image sees the writes made after it was taken.
  auto source = ImageSource(std::shared_ptr<const MappedImage>(std::move(created.value())), path);
  EXPECT_EQ(source->path(), path);
  EXPECT_EQ(source->bytes().size(), expected.size());
  EXPECT_EQ(source->bytes()[far], patch[0]);
}

TEST(MappedImage, WritesItCannotHoldAreErrors) {
  ScratchDir dir;
  auto created = MappedImage::Create(1000, 2 * MappedImage::kChunk, dir.path());
  ASSERT_TRUE(created.ok());
  const std::vector<uint8_t> page(4096, 0xAB);
  // Past the room reserved.
  auto st = created.value()->Write(2 * MappedImage::kChunk - 100, page);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().number(), 3049);
  EXPECT_EQ(created.value()->size(), 1000u);

  // A temp folder that does not exist: an I/O error, the image unchanged.
  auto lost = MappedImage::Create(1000, MappedImage::kChunk, dir / "gone");
  ASSERT_TRUE(lost.ok());
  st = lost.value()->Write(0, page);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().number(), 3043);
  EXPECT_EQ(lost.value()->data()[0], 0);

  // A file that vanished before it could be mapped.
  EXPECT_FALSE(lost.value()->MapFile(dir / "missing.mdb").ok());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // no temp file left behind
}

}  // namespace
}  // namespace engine

// The copy a repair mends before it is compacted: whole pages, stored as
// the file stores them (encoded when the database is). Pages left alone are
// read from the source file's mapping; pages stored or added go to a temp
// file (io/mapped_image), so memory does not grow with the file.
//
// It is read as any file is, through PageSource (plain pages), and written
// two ways: a page changed where it lies goes back through Store; fresh
// pages at the end come through sink(), the writer's PageSink, so rows and
// usage maps are laid out by DataPageBuilder and BuildUsageMap as in a
// compacted file.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/error.h"
#include "format/data_page.h"
#include "format/layout.h"
#include "io/cipher.h"
#include "io/file_source.h"
#include "io/mapped_image.h"
#include "io/page_source.h"
#include "writer/page_sink.h"

namespace engine {

class MendedImage final : public PageSource {
 public:
  // The image starts as the whole pages of `source`. Temp files go to
  // `temp_dir`. Pages are coded by `cipher` when one is given (an encrypted
  // ACE file's; it must outlive the image), else by the Jet keystream of
  // `database_key`. Errors: those of reserving the image or mapping the file.
  static Result<std::unique_ptr<MendedImage>> Create(const FileSource& source, const Layout& layout,
                                                     uint32_t database_key,
                                                     const std::string& temp_dir,
                                                     const PageCipher* cipher = nullptr);
  ~MendedImage() override;
  MendedImage(const MendedImage&) = delete;
  MendedImage& operator=(const MendedImage&) = delete;

  const Layout& layout() const { return layout_; }
  uint32_t page_size() const override { return layout_.page_size; }
  uint32_t page_count() const override {
    return static_cast<uint32_t>(mapped_->size() / layout_.page_size);
  }
  // A page as a reader sees it: page 0 as stored, others decoded. Decoded
  // pages are kept in memory from their first read (meant for the few pages
  // read back while mending) and follow later writes; a span stays valid,
  // and shows the page as it is now, for the life of the image.
  ByteSpan PageOrThrow(uint32_t number) const override;

  // A copy of one plain page (page 0 as stored), to change and Store.
  std::vector<uint8_t> Plain(uint32_t number) const;
  // Puts a changed page back where it lies (padded or cut to a page). A
  // failure is kept for status(), the first one only.
  void Store(uint32_t number, std::vector<uint8_t> plain);
  // The first failure of a Store.
  const Status& status() const { return status_; }

  // Fresh pages after the last one; each allocated page must be written.
  // Errors: status() once a Store failed, 3049 past the last page a file
  // can hold, the temp file's 3026 / 3043; 3001 for a page written twice,
  // never allocated, or not a whole page.
  PageSink& sink() { return *sink_; }

  // The image as a source the strict reader and the compactor take; it
  // shares the image and stays valid while pages are stored.
  std::unique_ptr<FileSource> Source() const { return ImageSource(mapped_, ""); }

 private:
  class Sink;
  MendedImage(std::shared_ptr<MappedImage> mapped, const Layout& layout, uint32_t key,
              const PageCipher* cipher);
  Status Put(uint32_t number, std::vector<uint8_t> plain);
  bool encoded() const { return key_ != 0 || cipher_ != nullptr; }
  void Decode(uint8_t* page, uint32_t number) const;
  void Encode(uint8_t* page, uint32_t number) const;

  std::shared_ptr<MappedImage> mapped_;
  const Layout& layout_;
  uint32_t key_;
  const PageCipher* cipher_;
  Status status_;
  std::unique_ptr<PageSink> sink_;  // a Sink
  mutable std::map<uint32_t, std::unique_ptr<uint8_t[]>> decoded_;
};

// A usage map listing `pages` (writer/usage_map_builder), its row alone on
// a fresh map page; returns where the row is.
Result<RowPointer> AddUsageMap(PageSink& sink, std::span<const uint32_t> pages);

}  // namespace engine

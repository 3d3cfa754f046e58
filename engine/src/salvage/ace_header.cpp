#include "salvage/ace_header.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace engine {

namespace {

constexpr size_t kNameOffset = 0x04;
constexpr size_t kVersionOffset = 0x14;
constexpr char kAceName[] = "Standard ACE DB";
constexpr char kJetName[] = "Standard Jet DB";
constexpr size_t kNameLength = 15;
// Engine-name bytes that must still read as ACE's for the rest to be restored.
constexpr size_t kNameBytesKept = 8;

bool AceVersionByte(uint8_t v) {
  return v >= static_cast<uint8_t>(FileFormat::kAce12) &&
         v <= static_cast<uint8_t>(FileFormat::kAce17);
}

size_t BytesAgreeing(const uint8_t* name, const char* with) {
  size_t same = 0;
  for (size_t i = 0; i < kNameLength; ++i) same += name[i] == static_cast<uint8_t>(with[i]);
  return same;
}

}  // namespace

std::optional<RestoredAceHeader> RestoreAceEngineName(ByteSpan file) {
  if (file.size() <= kVersionOffset || !AceVersionByte(file[kVersionOffset])) return std::nullopt;
  const uint8_t* name = file.data() + kNameOffset;
  const size_t agreeing = BytesAgreeing(name, kAceName);
  if (agreeing < kNameBytesKept || (agreeing == kNameLength && file[0] == 0)) return std::nullopt;
  // Jet's name differs from ACE's in three bytes: a name closer to it is
  // no damaged ACE name.
  if (BytesAgreeing(name, kJetName) >= agreeing) return std::nullopt;
  // ACE pages are 4 KiB, as Jet 4's.
  constexpr size_t kPageSize = 4096;
  std::vector<uint8_t> page(file.begin(), file.begin() + std::min(file.size(), kPageSize));
  std::string why = "page 0's";
  if (page[0] != 0) {
    why += " page type (" + std::to_string(page[0]) + ")";
    page[0] = 0;
  }
  if (agreeing != kNameLength) {
    if (why.size() > 8) why += " and";
    why += " engine name";
    std::memcpy(page.data() + kNameOffset, kAceName, kNameLength);
  }
  auto decoded = DecodeHeader(page);
  if (!decoded.ok()) return std::nullopt;
  why += " damaged; restored as ACE's (the version byte names " +
         std::string(FileFormatName(decoded.value().format)) + ")";
  return RestoredAceHeader{std::move(decoded.value()), std::move(why)};
}

bool LooksLikeAce(ByteSpan file, std::string_view path) {
  if (NamesAce(file)) return true;
  if (file.size() > kVersionOffset && AceVersionByte(file[kVersionOffset]) &&
      BytesAgreeing(file.data() + kNameOffset, kJetName) < kNameLength) {
    return true;
  }
  constexpr std::string_view kExtension = ".accdb";
  if (path.size() < kExtension.size()) return false;
  return std::equal(
      kExtension.begin(), kExtension.end(), path.end() - kExtension.size(),
      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

}  // namespace engine

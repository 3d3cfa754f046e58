#include "format/header.h"

#include <cmath>
#include <cstring>

#include "base/bytes.h"
#include "io/cipher.h"
#include "format/text.h"

namespace engine {

namespace {
constexpr uint8_t kHeaderKey[4] = {0xC7, 0xDA, 0x39, 0x6B};
constexpr size_t kMaskStart = 0x18;
constexpr char kJetName[] = "Standard Jet DB";
}  // namespace

void ApplyHeaderMask(uint8_t* page0, size_t length, JetVersion version) {
  size_t mask_length = LayoutFor(version).header_mask_length;
  if (length <= kMaskStart) return;
  size_t n = std::min(mask_length, length - kMaskStart);
  Rc4 rc4(ByteSpan(kHeaderKey, 4));
  rc4.Apply(page0 + kMaskStart, n);
}

namespace {

// What a password set through Access looks like once unmasked: printable
// characters, then zeros to the end of the field. Damage to the field or,
// in Jet 4, to the creation date that masks it leaves garbage instead.
bool PlausiblePassword(const std::vector<uint8_t>& raw, size_t unit, size_t used) {
  for (size_t i = used; i < raw.size(); ++i) {
    if (raw[i] != 0) return false;
  }
  for (size_t i = 0; i + unit <= used; i += unit) {
    uint32_t c = unit == 1 ? raw[i] : Le16(raw.data() + i);
    if (c < 0x20 || c == 0x7F) return false;
    if (unit == 2 && ((c >= 0x80 && c < 0xA0) || (c >= 0xD800 && c < 0xE000) || c >= 0xFFFE)) {
      return false;
    }
  }
  return true;
}

}  // namespace

Result<DatabaseHeader> DecodeHeader(ByteSpan file) {
  if (file.size() < 0x15) {
    return Unrecognized("not a database: the file is only " + std::to_string(file.size()) +
                        " bytes long");
  }
  if (file[0] != 0x00 || std::memcmp(file.data() + 4, kJetName, 15) != 0) {
    if (std::memcmp(file.data() + 4, "Standard ACE DB", 15) == 0) {
      return Unrecognized(
          "an ACE database (Access 2007 or later, .accdb) is not supported; only Jet 3 and "
          "Jet 4 .mdb files are");
    }
    if (std::memcmp(file.data() + 4, "MSISAM Database", 15) == 0) {
      return Unrecognized("an MSISAM (Money/Works) database is not supported");
    }
    return Unrecognized("not an Access .mdb database (no Jet signature in the header)");
  }
  uint8_t version_byte = file[0x14];
  DatabaseHeader h;
  if (version_byte == 0) {
    h.version = JetVersion::kJet3;
  } else if (version_byte == 1) {
    h.version = JetVersion::kJet4;
  } else if (version_byte <= 6) {
    return Unrecognized("an ACE database (Access 2007 or later, version byte " +
                        std::to_string(version_byte) +
                        ") is not supported; only Jet 3 and Jet 4 .mdb files are");
  } else {
    return Unrecognized("unknown database version byte " + std::to_string(version_byte));
  }
  const Layout& layout = LayoutFor(h.version);
  h.page_size = layout.page_size;
  if (file.size() < h.page_size) {
    return Unrecognized("not a complete database: the file (" + std::to_string(file.size()) +
                        " bytes) is shorter than its first page (" + std::to_string(h.page_size) +
                        " bytes)");
  }
  h.unmasked.assign(file.begin(), file.begin() + h.page_size);
  ApplyHeaderMask(h.unmasked.data(), h.unmasked.size(), h.version);
  const uint8_t* p = h.unmasked.data();
  h.code_page = Le16(p + 0x3C);
  h.database_key = Le32(p + 0x3E);
  h.sort_order = Le16(p + layout.header_sort_order_offset);
  h.raw_password.assign(p + 0x42, p + 0x42 + layout.header_password_length);
  if (h.version == JetVersion::kJet4) {
    h.sort_order_version = p[0x71];
    uint64_t bits = Le64(p + 0x72);
    std::memcpy(&h.creation_date, &bits, 8);
    // The password is also XORed with the creation date's integer part.
    double whole = std::trunc(h.creation_date);
    uint32_t mask = 0;
    if (std::isfinite(whole) && whole >= -2147483648.0 && whole <= 4294967295.0) {
      mask = whole < 0 ? static_cast<uint32_t>(static_cast<int32_t>(whole))
                       : static_cast<uint32_t>(whole);
    }
    for (size_t i = 0; i < h.raw_password.size(); ++i) {
      h.raw_password[i] ^= static_cast<uint8_t>(mask >> (8 * (i % 4)));
    }
  }
  // Stored zero-padded: cut at the first zero character.
  size_t unit = h.version == JetVersion::kJet4 ? 2 : 1;
  size_t used = 0;
  while (used + unit <= h.raw_password.size()) {
    bool zero = h.raw_password[used] == 0 && (unit == 1 || h.raw_password[used + 1] == 0);
    if (zero) break;
    used += unit;
  }
  h.password_plausible = PlausiblePassword(h.raw_password, unit, used);
  if (used > 0) {
    TextCodec codec(h.version, h.code_page);
    codec.DecodeName(ByteSpan(h.raw_password.data(), used), h.password);
  }
  return h;
}

}  // namespace engine

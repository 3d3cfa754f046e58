#include "format/header.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/bytes.h"
#include "base/unicode.h"
#include "format/text.h"
#include "io/cipher.h"

namespace engine {

namespace {
constexpr uint8_t kHeaderKey[4] = {0xC7, 0xDA, 0x39, 0x6B};
// The same in every version (the version byte tells which Layout applies).
constexpr size_t kEngineNameOffset = 0x04;
constexpr size_t kVersionOffset = 0x14;
constexpr char kJetName[] = "Standard Jet DB";
constexpr char kAceName[] = "Standard ACE DB";
// The first bytes of the masked region and Jet 4's tail, as Access writes them.
constexpr uint8_t kMaskedConstant[24] = {0, 1, 0, 0, 1, 1, 0, 0, 2, 0, 0, 0,
                                         3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0};
constexpr uint8_t kJet4Tail[8] = {0x54, 0x06, 0x00, 0x00, '4', '.', '0', 0};
// The table of counters at the end of page 0.
constexpr size_t kCounterTableFromEnd = 0x200;
constexpr size_t kCounters = 256;
}  // namespace

void ApplyHeaderMask(uint8_t* page0, size_t length, JetVersion version) {
  const Layout& layout = LayoutFor(version);
  if (length <= layout.header_mask_start) return;
  size_t n = std::min<size_t>(layout.header_mask_length, length - layout.header_mask_start);
  Rc4 rc4(ByteSpan(kHeaderKey, 4));
  rc4.Apply(page0 + layout.header_mask_start, n);
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

// Jet 4 XORs the password field with the creation date's integer part.
uint32_t PasswordMask(double creation_date) {
  double whole = std::trunc(creation_date);
  uint32_t mask = 0;
  if (std::isfinite(whole) && whole >= -2147483648.0 && whole <= 4294967295.0) {
    mask = whole < 0 ? static_cast<uint32_t>(static_cast<int32_t>(whole))
                     : static_cast<uint32_t>(whole);
  }
  return mask;
}

void ApplyPasswordMask(uint8_t* field, size_t length, uint32_t mask) {
  for (size_t i = 0; i < length; ++i) field[i] ^= static_cast<uint8_t>(mask >> (8 * (i % 4)));
}

// The password text of raw_password (stored zero-padded: cut at the first
// zero character) and whether it is plausible.
void ReadPasswordText(DatabaseHeader& h) {
  size_t unit = h.version == JetVersion::kJet4 ? 2 : 1;
  size_t used = 0;
  while (used + unit <= h.raw_password.size()) {
    bool zero = h.raw_password[used] == 0 && (unit == 1 || h.raw_password[used + 1] == 0);
    if (zero) break;
    used += unit;
  }
  h.password_plausible = PlausiblePassword(h.raw_password, unit, used);
  h.password.clear();
  if (used > 0) {
    TextCodec codec(h.version, h.code_page);
    codec.DecodeName(ByteSpan(h.raw_password.data(), used), h.password);
  }
}

// The last day a date field holds (9999-12-31).
constexpr uint32_t kLastDay = 2958465;

}  // namespace

bool NamesAce(ByteSpan file) {
  return file.size() >= kEngineNameOffset + 15 &&
         std::memcmp(file.data() + kEngineNameOffset, kAceName, 15) == 0;
}

Result<DatabaseHeader> DecodeHeader(ByteSpan file) {
  if (file.size() < 0x15) {
    return Unrecognized("not a database: the file is only " + std::to_string(file.size()) +
                        " bytes long");
  }
  const uint8_t* name = file.data() + kEngineNameOffset;
  bool ace = file[0] == 0x00 && std::memcmp(name, kAceName, 15) == 0;
  if (!ace && (file[0] != 0x00 || std::memcmp(name, kJetName, 15) != 0)) {
    if (std::memcmp(name, "MSISAM Database", 15) == 0) {
      return Unrecognized("an MSISAM (Money/Works) database is not supported");
    }
    return Unrecognized("not an Access .mdb database (no Jet signature in the header)");
  }
  uint8_t version_byte = file[kVersionOffset];
  DatabaseHeader h;
  if (version_byte == 0 && !ace) {
    h.version = JetVersion::kJet3;
    h.format = FileFormat::kJet3;
  } else if (version_byte == 1 && !ace) {
    h.version = JetVersion::kJet4;
    h.format = FileFormat::kJet4;
  } else if (ace && version_byte >= 2 && version_byte <= 6) {
    // ACE keeps Jet 4's pages, rows, definitions and indexes.
    h.version = JetVersion::kJet4;
    h.format = static_cast<FileFormat>(version_byte);
  } else {
    return Unrecognized("unknown database version byte " + std::to_string(version_byte) +
                        (ace ? " in an ACE file" : ""));
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
  h.code_page = Le16(p + layout.header_code_page);
  h.database_key = Le32(p + layout.header_database_key);
  h.sort_order = Le16(p + layout.header_sort_order_offset);
  h.raw_password.assign(p + layout.header_password,
                        p + layout.header_password + layout.header_password_length);
  if (h.version == JetVersion::kJet4) {
    h.sort_order_version = p[layout.header_sort_order_version];
    uint64_t bits = Le64(p + layout.header_creation_date);
    std::memcpy(&h.creation_date, &bits, 8);
    // The password is also XORed with the creation date's integer part.
    ApplyPasswordMask(h.raw_password.data(), h.raw_password.size(), PasswordMask(h.creation_date));
  }
  ReadPasswordText(h);
  return h;
}

std::vector<uint8_t> EncodeHeader(const DatabaseHeader& h) {
  const Layout& L = LayoutFor(h.version);
  std::vector<uint8_t> p(L.page_size, 0);
  p[1] = 0x01;
  std::memcpy(p.data() + kEngineNameOffset, kJetName, 15);
  p[kVersionOffset] = h.version == JetVersion::kJet4 ? 1 : 0;
  std::memcpy(p.data() + L.header_mask_start, kMaskedConstant, sizeof kMaskedConstant);
  Put16(p.data() + L.header_code_page, h.code_page);
  Put32(p.data() + L.header_database_key, h.database_key);
  Put16(p.data() + L.header_sort_order_offset, h.sort_order);
  uint8_t* field = p.data() + L.header_password;
  if (h.version == JetVersion::kJet4) {
    // UCS-2 (names are never compressed), masked by the creation date.
    size_t at = 0;
    for (uint32_t cp : Utf8CodePoints(h.password)) {
      if (at + 2 > L.header_password_length) break;
      Put16(field + at, cp > 0xFFFF ? '?' : cp);
      at += 2;
    }
    p[L.header_sort_order_version] = h.sort_order_version;
    uint64_t bits = 0;
    std::memcpy(&bits, &h.creation_date, 8);
    for (int i = 0; i < 8; ++i)
      p[L.header_creation_date + i] = static_cast<uint8_t>(bits >> (8 * i));
    ApplyPasswordMask(field, L.header_password_length, PasswordMask(h.creation_date));
    std::memcpy(p.data() + L.header_tail, kJet4Tail, sizeof kJet4Tail);
  } else {
    for (size_t i = 0; i < h.password.size() && i < L.header_password_length; ++i) {
      field[i] = static_cast<uint8_t>(h.password[i]);
    }
  }
  uint8_t* counters = p.data() + L.page_size - kCounterTableFromEnd;
  Put16(counters, 0x0101);
  for (size_t i = 1; i < kCounters; ++i) Put16(counters + 2 * i, 0x0100);
  return p;
}

bool RestoreCreationDate(DatabaseHeader& h) {
  const Layout& L = LayoutFor(h.version);
  if (h.version != JetVersion::kJet4 || h.password_plausible ||
      h.raw_password.size() != L.header_password_length || h.raw_password.size() < 8 ||
      h.unmasked.size() < L.header_creation_date + 8) {
    return false;
  }
  // A password leaves the field's last characters zero, so a wrong mask
  // shows there as itself XORed with the right one.
  const size_t n = h.raw_password.size();
  uint32_t wrong = 0;
  for (size_t i = n - 4; i < n; ++i) wrong |= uint32_t{h.raw_password[i]} << (8 * (i % 4));
  const uint32_t mask = PasswordMask(h.creation_date) ^ wrong;
  if (wrong == 0 || mask == 0 || mask > kLastDay) return false;
  DatabaseHeader fixed = h;
  ApplyPasswordMask(fixed.raw_password.data(), n, wrong);
  ReadPasswordText(fixed);
  if (!fixed.password_plausible) return false;
  double fraction = h.creation_date - std::trunc(h.creation_date);
  if (!std::isfinite(fraction) || fraction < 0) fraction = 0;
  fixed.creation_date = static_cast<double>(mask) + fraction;
  uint64_t bits = 0;
  std::memcpy(&bits, &fixed.creation_date, 8);
  for (int i = 0; i < 8; ++i) {
    fixed.unmasked[L.header_creation_date + i] = static_cast<uint8_t>(bits >> (8 * i));
  }
  h = std::move(fixed);
  return true;
}

Status CheckPassword(const DatabaseHeader& header, const std::string& given) {
  if (header.password.empty() || given == header.password) return Status();
  if (!header.password_plausible) {
    const Layout& L = LayoutFor(header.version);
    char range[32];
    std::snprintf(range, sizeof range, "0x%X..0x%X", L.header_password,
                  L.header_password + L.header_password_length - 1);
    return Error(ErrorCode::kDamaged,
                 std::string("damaged header: page 0 holds no plausible password (bytes ") + range +
                     (header.version == JetVersion::kJet4
                          ? "), so either the password field or the creation date masking it is "
                            "damaged"
                          : "), so the password field is damaged"));
  }
  return Error(ErrorCode::kWrongPassword, given.empty()
                                              ? "the database has a password; none was given"
                                              : "wrong database password");
}

}  // namespace engine

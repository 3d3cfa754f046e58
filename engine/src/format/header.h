// Page 0: the database header, read (DecodeHeader) and written
// (EncodeHeader) here; the offsets that differ by version are in Layout
// (header_*).
//
//   0x00  1   page type 0
//   0x04  15  engine name "Standard Jet DB"
//   0x14  1   version: 0 Jet 3 (2 KiB pages), 1 Jet 4 (4 KiB pages); >= 2 ACE
//   0x18  126 (Jet 3) / 128 (Jet 4) bytes XORed with an RC4 keystream of the
//             key C7 DA 39 6B; inside it (unmasked offsets):
//   0x3A  2   Jet 3 sort order      0x3C 2 code page      0x3E 4 database key
//   0x42  20 (Jet 3, code page) / 40 (Jet 4, UCS-2 XORed with the creation
//             date's integer part) bytes of database password
//   0x6E  2   Jet 4 sort order      0x71 1 sort-order version   0x72 8 creation date
//   0x98  8   Jet 4 constant tail
//   page end - 0x200: 256 counters, 0x0101 then 0x0100 (outside the mask)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/types.h"
#include "format/layout.h"

namespace engine {

// XORs the header mask over page 0 in place (masks and unmasks).
void ApplyHeaderMask(uint8_t* page0, size_t length, JetVersion version);

struct DatabaseHeader {
  JetVersion version = JetVersion::kJet4;  // the page layout: ACE files use Jet 4's
  FileFormat format = FileFormat::kJet4;   // the version byte at 0x14 and the engine name
  uint32_t page_size = 4096;
  uint16_t code_page = 0;
  uint16_t sort_order = 0;            // LCID of the default collating order
  uint8_t sort_order_version = 0;     // Jet 4 only
  uint32_t database_key = 0;          // non-zero: pages 1.. are RC4-encoded
  double creation_date = 0;           // Jet 4 only (days since 1899-12-30)
  std::string password;               // UTF-8; empty when the file has none
  std::vector<uint8_t> raw_password;  // stored bytes after all unmasking
  std::vector<uint8_t> unmasked;      // the whole of page 0, header mask removed
  // False when the password field holds no text Access could have written
  // (characters below U+0020, or garbage after the zero padding): page 0 is
  // damaged there or, in Jet 4, in the creation date that masks the field.
  bool password_plausible = true;
};

// Whether the first bytes of a file carry ACE's engine name, whatever else
// page 0 holds (damaged or not).
bool NamesAce(ByteSpan file_start);

// Decodes page 0 (at least one page's worth of bytes, as stored).
// Errors: 3343 for anything that is not a Jet 3 / Jet 4 header (ACE files,
// other versions, other engines, too short), naming what was found.
Result<DatabaseHeader> DecodeHeader(ByteSpan file_start);

// Page 0 holding `h`'s version, code page, sort order (and its version),
// database key, creation date (Jet 4) and password (UTF-8: Jet 4 stores it
// as UCS-2, characters beyond U+FFFF as '?'; Jet 3 its bytes as given, cut
// to the field), with the constant bytes every Access file shows. Unmasked:
// ApplyHeaderMask turns it into what the file stores.
std::vector<uint8_t> EncodeHeader(const DatabaseHeader& h);

// Jet 4: when the password field reads as no plausible password because
// the creation date masking it is damaged, restores the date's day (its
// fraction kept) in `h` and in h.unmasked, and reads the field again; true
// then. False, and `h` unchanged, when the field itself is what is damaged.
bool RestoreCreationDate(DatabaseHeader& h);

// Whether `given` opens a database with this page 0: 3031 when the file has
// a password and `given` is not it; 3049 "damaged header" when the field
// holds no plausible password and `given` does not match it. Every reader
// of a file asks here.
Status CheckPassword(const DatabaseHeader& header, const std::string& given);

}  // namespace engine

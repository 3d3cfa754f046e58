// Index keys: the bytes Access stores in an index entry for a row's values.
//
// A key is the concatenation of one segment per index column. Each segment
// starts with a flag byte (0x7F value / 0x00 NULL for ascending columns,
// 0x80 value / 0xFF NULL for descending ones) followed by the value encoded
// so that unsigned byte comparison of keys gives the index order.
//
// The encoder works on the values as they are stored in a row, so it does not
// depend on the reader's row types: the caller hands over, per key column, the
// column's description and the raw value. Text is looked up in code tables
// derived from keys that Access wrote (see scripts/gen-index-codes); where a
// character or a sort order has no known code, the encoder refuses with a
// reason instead of guessing.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace engine {

// Which generation of the file format the index belongs to.
enum class KeyFormat : uint8_t {
  kJet3,  // Access 97: text in the database code page, General order "97"
  kJet4,  // Access 2000-2003: UCS-2 text, General order "legacy"
};

// Column type codes as stored in a column definition.
namespace key_type {
inline constexpr uint8_t kBoolean = 0x01;
inline constexpr uint8_t kByte = 0x02;
inline constexpr uint8_t kInteger = 0x03;
inline constexpr uint8_t kLong = 0x04;
inline constexpr uint8_t kCurrency = 0x05;
inline constexpr uint8_t kSingle = 0x06;
inline constexpr uint8_t kDouble = 0x07;
inline constexpr uint8_t kDateTime = 0x08;
inline constexpr uint8_t kBinary = 0x09;
inline constexpr uint8_t kText = 0x0A;
inline constexpr uint8_t kOle = 0x0B;
inline constexpr uint8_t kMemo = 0x0C;
inline constexpr uint8_t kGuid = 0x0F;
inline constexpr uint8_t kDecimal = 0x10;
inline constexpr uint8_t kComplex = 0x12;  // ACE: the 4-byte id of the row's items
inline constexpr uint8_t kBigInt = 0x13;   // ACE 2016 and later
}  // namespace key_type

// The sort order every supported text key uses: "General" (LCID 1033).
inline constexpr uint16_t kGeneralSortOrder = 0x0409;
// Jet 4 sort-order versions of General: "legacy" (Access 2000-2007) and the
// order Access 2010 and later give new text columns of ACE files.
inline constexpr uint8_t kGeneralLegacyVersion = 0;
inline constexpr uint8_t kGeneral2010Version = 1;

// One column of an index, described by what its column definition and the
// index definition say.
struct KeyColumn {
  uint8_t type = 0;       // column type code (key_type)
  bool ascending = true;  // index column flag 0x01
  KeyFormat format = KeyFormat::kJet4;
  uint16_t sort_order = kGeneralSortOrder;  // collating LCID of the column
  uint8_t sort_order_version = 0;           // Jet 4 only; 0 is "legacy"
  uint16_t code_page = 1252;                // Jet 3 text only
};

// Jet 4 sort orders (version 0) whose keys are General's: their locales
// have no exceptions to the default table, and every key Access wrote under
// them in the corpus is the General key of its row (index_key.cpp lists the
// evidence; the corpus test IndexKeyCorpus.SortOrdersThatKeyAsGeneral holds
// each claim against the keys).
std::span<const uint16_t> GeneralEquivalentSortOrders();

// Whether a text or memo key column uses a sort order the encoder has codes
// for: General (Jet 3 with code page 1252, Jet 4 "legacy" version 0, and
// General of 2010, 0x0409 version 1) and the Jet 4 orders that key as General. Keys under any other
// sort order cannot be recomputed; they are not verifiable, never wrong. Columns of other types
// have no sort order and are covered.
bool SortOrderCovered(const KeyColumn& c);
// The same for text and memo columns only: keyed with General's codes.
bool KeysAsGeneral(const KeyColumn& c);
// A text or memo column under General of 2010 (0x0409 version 1).
bool KeysAsGeneral2010(const KeyColumn& c);

// One value as stored in the row.
//
// - Boolean: `boolean` is the null-mask bit (true = Yes); `is_null` is
//   ignored, a Boolean is never NULL in a key.
// - Byte, Integer, Long, Currency, Single, Double, Date/Time, GUID, Decimal:
//   the stored bytes (little-endian numbers; GUID's 16 and Decimal's 17 bytes
//   as stored).
// - Binary: the bytes.
// - Text and Memo: Jet 3 the code-page bytes, Jet 4 uncompressed UCS-2LE
//   (the caller undoes the Unicode compression first). For Memo the caller
//   may pass just the first 255 characters.
struct KeyValue {
  bool is_null = false;
  bool boolean = false;
  std::span<const uint8_t> bytes;

  static KeyValue Null() { return KeyValue{true, false, {}}; }
  static KeyValue Bool(bool b) { return KeyValue{false, b, {}}; }
  static KeyValue Bytes(std::span<const uint8_t> b) { return KeyValue{false, false, b}; }
};

enum class KeyStatus : uint8_t {
  kEncoded,       // `bytes` holds the key
  kNotCovered,    // the encoder has no code for this value (unknown character,
                  // unsupported sort order or column type); not a fault of the data
  kInvalidValue,  // the value cannot be what the column holds (wrong size, odd
                  // number of UCS-2 bytes, ...) or the arguments do not match
};

struct EncodedKey {
  KeyStatus status = KeyStatus::kEncoded;
  std::vector<uint8_t> bytes;  // the key when status is kEncoded
  std::string reason;          // why not, otherwise
  // kNotCovered for want of one character's code: that character (Jet 3
  // byte value, Jet 4 UCS-2 unit); -1 otherwise.
  int32_t missing = -1;

  bool ok() const { return status == KeyStatus::kEncoded; }
};

// The key of one row for an index whose columns are `columns`, in index
// order; `values` pairs with `columns` one to one. The key does not include
// the row pointer that follows it in an index entry.
EncodedKey EncodeIndexKey(std::span<const KeyColumn> columns, std::span<const KeyValue> values);

// One segment: the flag byte and the value bytes.
EncodedKey EncodeKeySegment(const KeyColumn& column, const KeyValue& value);

// Text codes beyond the compiled-in tables, learned for one database from
// its own index entries (index_key_text.h). Shared, never changed once made.
struct ExtraTextCodes;

// Like EncodeKeySegment; where the compiled-in tables have no code for a
// text value, the codes in `extra` (may be null) are tried as well.
EncodedKey EncodeKeySegment(const KeyColumn& column, const KeyValue& value,
                            const ExtraTextCodes* extra);

// A character of a text key for messages: "U+00C9 (É)" (Jet 4), "0x8A of
// code page 1252 (U+0160 Š)" (Jet 3).
std::string KeyCharacterName(KeyFormat format, uint16_t ch);

// How many characters the compiled-in text code tables know.
struct KeyCodeCoverage {
  int jet3_known = 0;           // byte values of code page 1252 with a code
  int jet3_weight_unknown = 0;  // of those, letters whose accent weight is unknown
  int jet4_known = 0;           // UCS-2 units with a code
  int jet4_2010_known = 0;      // the same under General of 2010
};
KeyCodeCoverage IndexCodeCoverage();

}  // namespace engine

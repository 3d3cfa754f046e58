// The canonical text forms of column values, as the dump writes them.
#pragma once

#include <cstdint>
#include <string>

#include "engine/types.h"

namespace engine {

// Canonical forms (see the dump format). Each appends to out.
void FormatCurrency(int64_t scaled_by_10000, std::string& out);  // "-1234.5600"
void FormatDouble(double value, std::string& out);  // shortest round trip; NaN/Infinity as words
void FormatSingle(float value, std::string& out);
// Days since 1899-12-30 as "YYYY-MM-DD HH:MM:SS[.mmm]".
void FormatDateTime(double days, std::string& out);
// Access 2019's extended date/time as stored (42 ASCII bytes: 19 digits of
// days since 0001-01-01, ':', 12 digits of seconds into the day and 7 of
// 100 ns, ':', the precision): "YYYY-MM-DD HH:MM:SS", ".fffffff" appended
// when the fraction is not zero. False when the bytes are not that form.
bool FormatDateTimeExtended(ByteSpan stored, std::string& out);
// 16 stored bytes as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
void FormatGuid(ByteSpan bytes, std::string& out);
// 17 stored bytes (sign, four 32-bit LE words most significant first) with
// `scale` fraction digits. Returns false if the bytes are not 17 long.
bool FormatNumeric(ByteSpan bytes, uint8_t scale, std::string& out);
void AppendBase64(ByteSpan bytes, std::string& out);

}  // namespace engine

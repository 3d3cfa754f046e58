#include "reader/dump.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "base/bytes.h"
#include "format/row.h"

namespace engine {

namespace {

// Buffers output and hands it to the sink in large chunks.
class Out {
 public:
  explicit Out(const std::function<bool(std::string_view)>& write) : write_(write) {
    buf_.reserve(kChunk + 4096);
  }
  std::string& buf() { return buf_; }
  void MaybeFlush() {
    if (buf_.size() >= kChunk) Flush();
  }
  void Flush() {
    if (!buf_.empty() && !write_(buf_)) {
      Fail(ErrorCode::kIoError, "cannot write the dump (output closed or disk full)");
    }
    buf_.clear();
  }

 private:
  static constexpr size_t kChunk = 1 << 20;
  const std::function<bool(std::string_view)>& write_;
  std::string buf_;
};

void AppendJsonString(std::string_view s, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

void AppendInt(int64_t v, std::string& out) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

std::string TypeName(uint8_t type) {
  std::string_view name = ColumnTypeName(type);
  if (!name.empty()) return std::string(name);
  static const char kHex[] = "0123456789ABCDEF";
  std::string s = "unknown_0x";
  s.push_back(kHex[type >> 4]);
  s.push_back(kHex[type & 15]);
  return s;
}

struct Scratch {
  std::vector<uint8_t> long_value;
  std::string text;
};

void NeedSize(const FieldRef& f, size_t size, const ColumnDef& c) {
  if (f.bytes.size() != size) {
    Fail(ErrorCode::kDamaged, "column " + c.name + ": " + std::to_string(f.bytes.size()) +
                                  " bytes stored for a " + std::string(ColumnTypeName(c.type)) +
                                  " value of " + std::to_string(size));
  }
}

// How the values of the two output forms are written: JSON (strings
// quoted and escaped, null) and CSV (RFC 4180: a field quoted when it holds
// a comma, a quote or a line end; NULL an empty field, an empty text "").
struct JsonValues {
  std::string& out;
  void Null() { out += "null"; }
  void Literal(std::string_view text) { out += text; }
  void Int(int64_t v) { AppendInt(v, out); }
  // A number formatted by `format`, as it stands.
  template <class Format>
  void Bare(Format&& format) {
    format(out);
  }
  // A value formatted by `format` into a string of safe characters.
  template <class Format>
  void Quoted(Format&& format) {
    out.push_back('"');
    format(out);
    out.push_back('"');
  }
  void Text(std::string_view text) { AppendJsonString(text, out); }
};

void AppendCsvField(std::string_view s, std::string& out) {
  if (!s.empty() && s.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += s;
    return;
  }
  out.push_back('"');
  for (char ch : s) {
    if (ch == '"') out.push_back('"');
    out.push_back(ch);
  }
  out.push_back('"');
}

struct CsvValues {
  std::string& out;
  void Null() {}
  void Literal(std::string_view text) { out += text; }
  void Int(int64_t v) { AppendInt(v, out); }
  template <class Format>
  void Bare(Format&& format) {
    format(out);
  }
  template <class Format>
  void Quoted(Format&& format) {
    format(out);
  }
  void Text(std::string_view text) { AppendCsvField(text, out); }
};

// A calculated column's decimal result: the length of what follows (2),
// the scale, a sign byte (non-zero negative), then the magnitude in 4, 8,
// 12 or 16 bytes: a leading odd 4-byte group and each 8-byte group after
// it stored byte-reversed, so that read back they form one big-endian
// integer. False when the bytes are not that.
bool FormatCalculatedDecimal(ByteSpan r, std::string& out) {
  if (r.size() < 8) return false;
  size_t declared = Le16(r.data());
  size_t magnitude = (declared > 2 ? declared : r.size() - 2) - 2;
  magnitude = std::min<size_t>(magnitude / 4 * 4, 16);
  if (magnitude == 0 || 4 + magnitude > r.size() || r[2] > 28) return false;
  uint8_t big_endian[16] = {};
  uint8_t* m = big_endian + (16 - magnitude);
  const uint8_t* in = r.data() + 4;
  size_t at = 0;
  if (magnitude % 8 != 0) {
    for (size_t i = 0; i < 4; ++i) m[i] = in[3 - i];
    at = 4;
  }
  for (; at < magnitude; at += 8) {
    for (size_t i = 0; i < 8; ++i) m[at + i] = in[at + 7 - i];
  }
  // As Jet 4 stores a Decimal: sign, then four 32-bit little-endian words,
  // most significant first.
  uint8_t numeric[17] = {};
  numeric[0] = r[3] != 0 ? 0x80 : 0;
  for (size_t w = 0; w < 4; ++w) {
    for (size_t i = 0; i < 4; ++i) numeric[1 + 4 * w + i] = big_endian[4 * w + 3 - i];
  }
  return FormatNumeric(ByteSpan(numeric, 17), r[2], out);
}

template <class Values>
void AppendValue(const Database& db, const ColumnDef& c, const FieldRef& stored, Scratch& scratch,
                 Values&& out) {
  if (c.is_boolean()) {
    out.Literal(stored.present ? "true" : "false");
    return;
  }
  if (!stored.present) {
    out.Null();
    return;
  }
  // A calculated column's value is its expression's result, wrapped.
  FieldRef f = stored;
  if (c.calculated()) {
    ByteSpan wrapped = stored.bytes;
    // A text result without a length limit lies in a long value.
    if (c.calculated_long_value()) {
      Status st = db.ReadLongValue(stored.bytes, scratch.long_value);
      if (!st.ok())
        throw EngineFailure{
            Error(st.error().number(), "column " + c.name + ": " + st.error().description())};
      wrapped = scratch.long_value;
    }
    std::optional<ByteSpan> result = CalculatedResult(wrapped);
    if (!result) {
      Fail(ErrorCode::kDamaged, "column " + c.name + ": " + std::to_string(wrapped.size()) +
                                    " bytes stored do not hold a calculated value");
    }
    if (result->empty()) {  // the expression gave NULL
      out.Null();
      return;
    }
    // The result's own type: the column's ResultType property when the
    // catalog gives one (dump_result_type), else the declared type.
    const uint8_t result_type = c.result_type != 0 ? c.result_type : c.type;
    const auto type = static_cast<ColumnType>(result_type);
    ByteSpan r = *result;
    if (type == ColumnType::kBoolean) {
      out.Literal(r[0] != 0 ? "true" : "false");
      return;
    }
    if (std::string decimal;
        r.size() != FixedTypeSize(result_type) && FormatCalculatedDecimal(r, decimal)) {
      // A decimal result (16 bytes with its own scale).
      if (type == ColumnType::kDouble || type == ColumnType::kSingle) {
        const double v = std::strtod(decimal.c_str(), nullptr);
        out.Bare([&](std::string& o) {
          if (type == ColumnType::kDouble) {
            FormatDouble(v, o);
          } else {
            FormatSingle(static_cast<float>(v), o);
          }
        });
      } else {
        out.Quoted([&](std::string& o) { o += decimal; });
      }
      return;
    }
    // A Yes/No result under an Integer or Long type is one byte (-1, 0).
    if ((type == ColumnType::kInteger || type == ColumnType::kLong) &&
        r.size() < FixedTypeSize(result_type)) {
      int64_t v = static_cast<int8_t>(r.back());
      for (size_t i = r.size() - 1; i-- > 0;) v = v * 256 + r[i];
      out.Int(v);
      return;
    }
    // Otherwise the result as a plain value of its type (a memo's result
    // is its text, already out of its long value).
    ColumnDef plain = c;
    plain.type = type == ColumnType::kMemo ? static_cast<uint8_t>(ColumnType::kText) : result_type;
    plain.extended_flags = static_cast<uint8_t>(c.extended_flags & ~kColumnCalculated);
    plain.result_type = 0;
    AppendValue(db, plain, FieldRef{true, r}, scratch, out);
    return;
  }
  const uint8_t* p = f.bytes.data();
  switch (static_cast<ColumnType>(c.type)) {
    case ColumnType::kByte:
      NeedSize(f, 1, c);
      out.Int(p[0]);
      return;
    case ColumnType::kInteger:
      NeedSize(f, 2, c);
      out.Int(static_cast<int16_t>(Le16(p)));
      return;
    case ColumnType::kLong:
      NeedSize(f, 4, c);
      out.Int(static_cast<int32_t>(Le32(p)));
      return;
    case ColumnType::kCurrency:
      NeedSize(f, 8, c);
      out.Quoted([&](std::string& o) { FormatCurrency(static_cast<int64_t>(Le64(p)), o); });
      return;
    case ColumnType::kSingle: {
      NeedSize(f, 4, c);
      const float v = LeFloat(p);
      out.Bare([&](std::string& o) { FormatSingle(v, o); });
      return;
    }
    case ColumnType::kDouble: {
      NeedSize(f, 8, c);
      const double v = LeDouble(p);
      out.Bare([&](std::string& o) { FormatDouble(v, o); });
      return;
    }
    case ColumnType::kDateTime: {
      NeedSize(f, 8, c);
      const double v = LeDouble(p);
      out.Quoted([&](std::string& o) { FormatDateTime(v, o); });
      return;
    }
    case ColumnType::kGuid:
      NeedSize(f, 16, c);
      out.Quoted([&](std::string& o) { FormatGuid(f.bytes, o); });
      return;
    case ColumnType::kNumeric:
      NeedSize(f, 17, c);
      out.Quoted([&](std::string& o) { FormatNumeric(f.bytes, c.scale, o); });
      return;
    case ColumnType::kComplex:
      NeedSize(f, 4, c);
      out.Int(static_cast<int32_t>(Le32(p)));
      return;
    case ColumnType::kBigInt: {
      NeedSize(f, 8, c);
      // A string: JSON readers hold integers as doubles, exact to 2^53 only.
      const int64_t v = static_cast<int64_t>(Le64(p));
      out.Quoted([&](std::string& o) { AppendInt(v, o); });
      return;
    }
    case ColumnType::kDateTimeExtended: {
      NeedSize(f, 42, c);
      std::string text;
      if (!FormatDateTimeExtended(f.bytes, text)) {
        Fail(ErrorCode::kDamaged, "column " + c.name + ": not an extended date/time value");
      }
      out.Quoted([&](std::string& o) { o += text; });
      return;
    }
    case ColumnType::kText:
      scratch.text.clear();
      db.text().DecodeValue(f.bytes, scratch.text);
      out.Text(scratch.text);
      return;
    case ColumnType::kMemo:
    case ColumnType::kOle: {
      Status st = db.ReadLongValue(f.bytes, scratch.long_value);
      if (!st.ok())
        throw EngineFailure{
            Error(st.error().number(), "column " + c.name + ": " + st.error().description())};
      ByteSpan data(scratch.long_value);
      if (c.type == static_cast<uint8_t>(ColumnType::kMemo)) {
        scratch.text.clear();
        db.text().DecodeValue(data, scratch.text);
        out.Text(scratch.text);
      } else {
        out.Quoted([&](std::string& o) { AppendBase64(data, o); });
      }
      return;
    }
    default:  // binary and types we have no reading for
      out.Quoted([&](std::string& o) { AppendBase64(f.bytes, o); });
      return;
  }
}

void AppendColumns(const std::vector<const ColumnDef*>& cols, std::string& b) {
  b += ",\n      \"columns\": [";
  for (size_t i = 0; i < cols.size(); ++i) {
    b += i == 0 ? " { \"name\": " : ", { \"name\": ";
    AppendJsonString(cols[i]->name, b);
    b += ", \"type\": ";
    // A calculated column is dumped as its result's type.
    const ColumnDef& c = *cols[i];
    AppendJsonString(TypeName(c.calculated() && c.result_type != 0 ? c.result_type : c.type), b);
    b += ", \"length\": ";
    AppendInt(cols[i]->is_long_value() ? 0 : cols[i]->length, b);
    b += " }";
  }
  b += cols.empty() ? "]" : " ]";
}

enum class Form { kJson, kCsv };

// Walks every live row of the table, decoding each value into `rows`
// (which `each_row` may empty or flush); errors name the page and row.
void WalkRows(const Database& db, const TableDef& t, const std::vector<const ColumnDef*>& cols,
              const std::function<std::string&()>& rows_out, const std::function<void()>& after_row,
              Form form = Form::kJson) {
  std::vector<size_t> field_index;
  for (const ColumnDef* c : cols) field_index.push_back(static_cast<size_t>(c - t.columns.data()));
  uint64_t written = 0;
  RowDecoder decoder(t, db.layout());
  Scratch scratch;
  Status st = db.ScanRows(t, [&](const RowRef& row) {
    std::string& rows = rows_out();
    try {
      decoder.DecodeOrThrow(row.bytes);
      const auto& fields = decoder.fields();
      if (form == Form::kCsv) {
        for (size_t i = 0; i < cols.size(); ++i) {
          if (i > 0) rows.push_back(',');
          AppendValue(db, *cols[i], fields[field_index[i]], scratch, CsvValues{rows});
        }
        rows += "\r\n";
      } else {
        rows += written == 0 ? " [" : ", [";
        for (size_t i = 0; i < cols.size(); ++i) {
          if (i > 0) rows += ", ";
          AppendValue(db, *cols[i], fields[field_index[i]], scratch, JsonValues{rows});
        }
        rows.push_back(']');
      }
      ++written;
    } catch (EngineFailure& failure) {
      failure.error = Error(failure.error.number(), "page " + std::to_string(row.location.page) +
                                                        " row " + std::to_string(row.location.row) +
                                                        ": " + failure.error.description());
      throw;
    }
    after_row();
    return true;
  });
  if (!st.ok()) throw EngineFailure{st.error()};
}

// A table's definition, its calculated columns given their result types.
Result<TableDef> ReadDumpedTableDef(const Database& db, const CatalogObject& obj) {
  auto def = db.ReadTableDef(obj.table_page());
  if (!def.ok()) return def;
  bool calculated = false;
  for (const ColumnDef& c : def.value().columns) calculated = calculated || c.calculated();
  if (!calculated) return def;
  const std::map<std::string, uint8_t> types = db.ColumnResultTypes(obj);
  for (ColumnDef& c : def.value().columns) {
    auto it = types.find(c.name);
    if (c.calculated() && it != types.end() && !ColumnTypeName(it->second).empty()) {
      c.result_type = it->second;
    }
  }
  return def;
}

// Writes one table. A table that cannot be read whole is written with its
// name, the columns when its definition reads, and "error" instead of
// rows; that error is returned so the dump as a whole can fail after every
// other table was written. Output errors (3043) still end the dump.
std::optional<Error> DumpTable(const Database& db, const CatalogObject& obj, Out& out,
                               size_t held_rows_limit) {
  std::string& b = out.buf();
  b += "    {\n      \"name\": ";
  AppendJsonString(obj.name, b);
  b += ",\n      \"system\": ";
  b += obj.is_system() ? "true" : "false";

  auto def = ReadDumpedTableDef(db, obj);
  std::vector<const ColumnDef*> cols;
  if (def.ok()) cols = def.value().ColumnsByNumber();
  std::optional<Error> failed;
  uint64_t count = 0;
  std::string held;  // the rows' text from the first pass
  bool spilled = false;
  if (!def.ok()) {
    failed = def.error();
  } else {
    // A first pass reads every row and value: it counts the rows
    // (row_count precedes them) and finds a table that cannot be read
    // before any of its rows are written. Their text is kept up to a
    // bound; a larger table is read a second time, streaming.
    Status first = GuardStatus([&] {
      WalkRows(
          db, def.value(), cols,
          [&]() -> std::string& {
            if (spilled) held.clear();
            return held;
          },
          [&] {
            ++count;
            if (!spilled && held.size() > held_rows_limit) {
              spilled = true;
              held.clear();
              held.shrink_to_fit();
            }
          });
    });
    if (!first.ok()) failed = first.error();
  }
  if (def.ok()) AppendColumns(cols, out.buf());
  if (failed) {
    failed = Error(failed->number(), "table " + obj.name + ": " + failed->description());
    out.buf() += ",\n      \"error\": ";
    AppendJsonString(failed->ToString(), out.buf());
    out.buf() += "\n    }";
    out.MaybeFlush();
    return failed;
  }
  out.buf() += ",\n      \"row_count\": ";
  AppendInt(static_cast<int64_t>(count), out.buf());
  out.buf() += ",\n      \"rows\": [";
  if (!spilled) {
    out.buf() += held;
    held.clear();
    held.shrink_to_fit();
  }
  Status second = spilled ? GuardStatus([&] {
    WalkRows(
        db, def.value(), cols, [&]() -> std::string& { return out.buf(); },
        [&] { out.MaybeFlush(); });
  })
                          : Status();
  if (!second.ok()) {
    // The file changed under us or the output failed: nothing sound can follow.
    const Error& e = second.error();
    if (e.number() == static_cast<int>(ErrorCode::kIoError)) throw EngineFailure{e};
    throw EngineFailure{Error(e.number(), "table " + obj.name + ": " + e.description())};
  }
  out.buf() += count == 0 ? "]" : " ]";
  out.buf() += "\n    }";
  out.MaybeFlush();
  return std::nullopt;
}

// The table named `name`: exactly, else the one whose name differs only
// in letter case (Access names are not case-sensitive); 3078 when none is.
Result<const CatalogObject*> NamedTable(const Database& db, const std::string& name) {
  if (const CatalogObject* exact = db.FindTable(name)) return exact;
  auto fold = [](std::string_view s) {
    std::string out(s);
    for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return out;
  };
  const CatalogObject* found = nullptr;
  for (const CatalogObject* t : db.tables()) {
    if (fold(t->name) != fold(name)) continue;
    if (found != nullptr) {
      return Error(ErrorCode::kTableNotFound, "the name " + name + " fits more than one table");
    }
    found = t;
  }
  if (found == nullptr) return Error(ErrorCode::kTableNotFound, "no table named " + name);
  return found;
}

// The tables `options` asks for, sorted by name like db.tables().
Result<std::vector<const CatalogObject*>> ChosenTables(const Database& db,
                                                       const DumpOptions& options) {
  if (options.tables.empty()) {
    std::vector<const CatalogObject*> all = db.tables();
    if (options.format == DumpFormat::kCsv) {
      std::erase_if(all, [](const CatalogObject* t) { return t->is_system(); });
    }
    return all;
  }
  std::vector<const CatalogObject*> chosen;
  for (const std::string& name : options.tables) {
    auto t = NamedTable(db, name);
    if (!t.ok()) return t.error();
    if (std::find(chosen.begin(), chosen.end(), t.value()) == chosen.end()) {
      chosen.push_back(t.value());
    }
  }
  std::sort(chosen.begin(), chosen.end(),
            [](const CatalogObject* a, const CatalogObject* b) { return a->name < b->name; });
  return chosen;
}

// One table as CSV: the column names, then every row. The table is read
// whole before anything of it is written (its text kept up to
// `held_rows_limit`, beyond which it is read again, streaming), so a table
// that cannot be read writes nothing.
Status CsvTable(const Database& db, const CatalogObject& obj,
                const std::function<bool(std::string_view)>& write, size_t held_rows_limit) {
  return GuardStatus([&] {
    auto def = ReadDumpedTableDef(db, obj);
    if (!def.ok()) {
      throw EngineFailure{
          Error(def.error().number(), "table " + obj.name + ": " + def.error().description())};
    }
    const std::vector<const ColumnDef*> cols = def.value().ColumnsByNumber();
    std::string held;
    bool spilled = false;
    Status first = GuardStatus([&] {
      WalkRows(
          db, def.value(), cols,
          [&]() -> std::string& {
            if (spilled) held.clear();
            return held;
          },
          [&] {
            if (!spilled && held.size() > held_rows_limit) {
              spilled = true;
              held.clear();
              held.shrink_to_fit();
            }
          },
          Form::kCsv);
    });
    if (!first.ok()) {
      throw EngineFailure{
          Error(first.error().number(), "table " + obj.name + ": " + first.error().description())};
    }
    Out out(write);
    for (size_t i = 0; i < cols.size(); ++i) {
      if (i > 0) out.buf().push_back(',');
      AppendCsvField(cols[i]->name, out.buf());
    }
    out.buf() += "\r\n";
    if (!spilled) {
      out.buf() += held;
    } else {
      WalkRows(
          db, def.value(), cols, [&]() -> std::string& { return out.buf(); },
          [&] { out.MaybeFlush(); }, Form::kCsv);
    }
    out.Flush();
  });
}

}  // namespace

Status WriteDump(const Database& db, const std::function<bool(std::string_view)>& write,
                 size_t held_rows_limit) {
  return WriteDump(db, write, DumpOptions{}, held_rows_limit);
}

Status WriteDump(const Database& db, const std::function<bool(std::string_view)>& write,
                 const DumpOptions& options, size_t held_rows_limit) {
  auto chosen = ChosenTables(db, options);
  if (!chosen.ok()) return chosen.error();
  if (options.format == DumpFormat::kCsv) {
    if (chosen.value().size() != 1) {
      return Error(ErrorCode::kInvalidArgument,
                   "CSV holds one table; name it, or write each table to a file of its own");
    }
    return CsvTable(db, *chosen.value().front(), write, held_rows_limit);
  }
  return GuardStatus([&] {
    Out out(write);
    std::string& b = out.buf();
    b += "{\n  \"format\": ";
    AppendJsonString(FileFormatName(db.header().format), b);
    b += ",\n  \"page_size\": ";
    AppendInt(db.page_size(), b);
    b += ",\n  \"tables\": [";
    const std::vector<const CatalogObject*>& tables = chosen.value();
    std::optional<Error> first_failure;
    for (size_t i = 0; i < tables.size(); ++i) {
      out.buf() += i == 0 ? "\n" : ",\n";
      std::optional<Error> failed = DumpTable(db, *tables[i], out, held_rows_limit);
      if (failed && !first_failure) first_failure = failed;
    }
    out.buf() += tables.empty() ? "]\n}\n" : "\n  ]\n}\n";
    out.Flush();
    if (first_failure) throw EngineFailure{*first_failure};
  });
}

Result<std::string> DumpToString(const Database& db) {
  std::string all;
  Status st = WriteDump(db, [&](std::string_view s) {
    all.append(s);
    return true;
  });
  if (!st.ok()) return st.error();
  return all;
}

Status WriteDump(const std::string& path, const OpenOptions& options,
                 const std::function<bool(std::string_view)>& write, const DumpOptions& dump) {
  auto db = Database::Open(path, options);
  if (!db.ok()) return db.error();
  return WriteDump(*db.value(), write, dump);
}

Status WriteCsvTables(const std::string& path, const OpenOptions& options,
                      const std::vector<std::string>& tables, const CsvSinks& sinks) {
  auto db = Database::Open(path, options);
  if (!db.ok()) return db.error();
  DumpOptions dump;
  dump.tables = tables;
  dump.format = DumpFormat::kCsv;
  auto chosen = ChosenTables(*db.value(), dump);
  if (!chosen.ok()) return chosen.error();
  std::optional<Error> first_failure;
  for (const CatalogObject* t : chosen.value()) {
    auto write = sinks.open(t->name);
    if (!write.ok()) return write.error();
    Status st = CsvTable(*db.value(), *t, write.value(), size_t{8} << 20);
    Status done = sinks.finished ? sinks.finished(t->name, st) : Status::Ok();
    if (!st.ok() && st.error().is(ErrorCode::kIoError)) return st;
    if (!done.ok()) return done;
    if (!st.ok() && !first_failure) first_failure = st.error();
  }
  if (first_failure) return *first_failure;
  return Status::Ok();
}

}  // namespace engine

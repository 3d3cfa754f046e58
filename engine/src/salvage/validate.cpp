#include "salvage/validate.h"

#include <algorithm>
#include <set>
#include <unordered_set>

#include "base/bytes.h"
#include "format/long_value.h"
#include "format/text.h"

namespace engine {

namespace {

std::string Num(uint64_t n) {
  return std::to_string(n);
}

bool IsType(const ColumnDef& c, ColumnType type) {
  return c.type == static_cast<uint8_t>(type);
}

// Appends a finding; returns it for the fields that are not always set.
Finding& Add(Findings& out, const char* code, std::string message, std::string unusable = {},
             bool breaks_layout = false) {
  Finding& f = out.emplace_back();
  f.code = code;
  f.message = std::move(message);
  f.unusable = std::move(unusable);
  f.breaks_layout = breaks_layout;
  return f;
}

// Only a reason to drop: nothing the checker reports.
void AddUnusable(Findings& out, std::string unusable) {
  Add(out, nullptr, {}, std::move(unusable));
}

// The definition's own fields: declared length, the end marker of its
// long-value column list, the marker or free-space field of every page.
void DefinitionFields(const TableDef& t, const Layout& layout, Findings& out) {
  const uint32_t ps = layout.page_size;
  if (t.tdef_len != t.parsed_length) {
    Add(out, "tdef-length",
        "the definition declares " + Num(t.tdef_len) + " bytes, its parts end at " +
            Num(t.parsed_length));
  }
  if (t.parsed_length < 2 || t.parsed_length > t.raw.size() ||
      Le16(t.raw.data() + t.parsed_length - 2) != 0xFFFF) {
    Add(out, "tdef-invalid", "the long-value column list does not end with FF FF");
  }
  // Jet 3 marks every definition page "VC"; Jet 4 keeps its free space there.
  uint64_t remaining = t.tdef_len;
  for (size_t i = 0; i < t.pages.size(); ++i) {
    if (layout.version == JetVersion::kJet3) {
      if (t.page_free_space[i] != 0x4356) {
        Add(out, "tdef-invalid", "definition page without the \"VC\" marker").page = t.pages[i];
      }
      continue;
    }
    uint64_t used;
    if (i == 0) {
      used = std::min<uint64_t>(remaining, ps);
      remaining -= used;
    } else {
      uint64_t part = std::min<uint64_t>(remaining, ps - 8);
      remaining -= part;
      used = 8 + part;
    }
    uint64_t expected = used + 8 >= ps ? 0 : ps - used - 8;
    if (t.page_free_space[i] != expected) {
      Add(out, "tdef-free-space",
          "free-space field " + Num(t.page_free_space[i]) + ", expected " + Num(expected))
          .page = t.pages[i];
    }
  }
}

// Column counts, numbers, variable indexes, types, lengths and fixed ranges.
// Fills `numbers` with every column number.
void Columns(const TableDef& t, const Layout& layout, std::unordered_set<uint32_t>& numbers,
             Findings& out, bool unknown_types_as_bytes) {
  if (t.num_cols == 0) AddUnusable(out, "the definition has no columns");
  if (t.max_cols > 255 || t.num_cols > t.max_cols) {
    std::string why =
        "column counts " + Num(t.num_cols) + " of at most " + Num(t.max_cols) + " are impossible";
    if (t.num_cols > t.max_cols) {
      Add(out, "tdef-counts",
          Num(t.num_cols) + " columns but a maximum column count of " + Num(t.max_cols),
          std::move(why), true);
    } else {
      AddUnusable(out, std::move(why));
    }
  }
  if (t.tdef_len > t.raw.size() + 8 || t.parsed_length > t.raw.size()) {
    AddUnusable(out, "its length field disagrees with its pages");
  }
  // Variable indexes of every variable column, and of those that are not
  // Yes/No columns (which a reader of values skips).
  std::unordered_set<uint32_t> var_indexes, value_var_indexes;
  struct Range {
    uint32_t start, end;
    const ColumnDef* column;
  };
  std::vector<Range> ranges;
  for (const ColumnDef& c : t.columns) {
    const std::string col = "column \"" + c.name + "\" (#" + Num(c.number) + ")";
    // 0x12..0x14: ACE's complex, big-integer and extended date/time columns.
    bool known = (c.type >= 0x01 && c.type <= 0x0D) || (c.type >= 0x0F && c.type <= 0x14);
    if (!known && !unknown_types_as_bytes) {
      AddUnusable(out, "column " + c.name + " has the unknown type " + Num(c.type));
    }
    const std::string bad_number =
        "column " + c.name + " has an impossible number " + Num(c.number);
    if (c.number >= t.max_cols) {
      Add(out, "column-number-invalid",
          col + ": number not below the maximum column count " + Num(t.max_cols), bad_number, true);
    }
    if (!numbers.insert(c.number).second) {
      Add(out, "column-number-invalid", col + ": number used by another column", bad_number, true);
    }
    if (!c.fixed()) {
      const bool read = !c.is_boolean();
      const std::string bad_slot =
          read ? "variable column " + c.name + " has an impossible slot " + Num(c.var_index)
               : std::string();
      if (c.var_index >= t.num_var_cols) {
        Add(out, "column-var-index-invalid",
            col + ": variable index " + Num(c.var_index) + " not below the variable count " +
                Num(t.num_var_cols),
            bad_slot, true);
      } else {
        const bool repeated = !var_indexes.insert(c.var_index).second;
        const bool repeated_value = read && !value_var_indexes.insert(c.var_index).second;
        if (repeated) {
          Add(out, "column-var-index-invalid",
              col + ": variable index " + Num(c.var_index) + " used by another column",
              repeated_value ? bad_slot : std::string(), true);
        }
      }
    } else if (!c.is_boolean()) {
      uint32_t size = FixedTypeSize(c.type);
      if (size == 0) size = c.length;
      if (size == 0 || c.fixed_offset + size > layout.page_size) {
        AddUnusable(out, "fixed column " + c.name + " does not fit a row");
      }
      ranges.push_back({c.fixed_offset, c.fixed_offset + size, &c});
    }
    uint32_t fixed_size = FixedTypeSize(c.type);
    if (c.calculated()) {
      // The length covers the wrapper around the result (CalculatedResult).
    } else if (IsType(c, ColumnType::kText)) {
      uint32_t limit = layout.version == JetVersion::kJet3 ? 255 : 510;
      if (c.length > limit || (layout.version == JetVersion::kJet4 && c.length % 2 != 0)) {
        Add(out, "column-length-invalid", col + ": text length " + Num(c.length));
      }
    } else if (!c.fixed() && IsType(c, ColumnType::kNumeric)) {
      // Access itself declares variable Decimal columns 9 bytes long (every
      // ACE file's MSysComplexType_Decimal, some Jet 4 tables) and stores
      // each value in its usual 17: nothing is left over.
    } else if (fixed_size != 0 && !c.is_boolean() && c.length != fixed_size) {
      // A fixed column's value is read at its offset for the length given;
      // a variable one takes its length from the row's offsets.
      Add(out, c.fixed() ? "column-length-invalid" : "column-length-ignored",
          col + ": length " + Num(c.length) + " for a type of " + Num(fixed_size) + " bytes" +
              (c.fixed() ? "" : " (stored as a variable column; each value's length is its own)"));
    }
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.start < b.start; });
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].start < ranges[i - 1].end) {
      Add(out, "column-fixed-overlap",
          "fixed columns \"" + ranges[i - 1].column->name + "\" [" + Num(ranges[i - 1].start) +
              ", " + Num(ranges[i - 1].end) + ") and \"" + ranges[i].column->name + "\" [" +
              Num(ranges[i].start) + ", " + Num(ranges[i].end) + ") overlap",
          "fixed columns overlap", true);
    }
  }
}

// Physical indexes (their columns exist, used slots come first), logical
// indexes, and the long-value map list (one entry per memo/OLE column).
void Indexes(const TableDef& t, const Layout& layout, const std::unordered_set<uint32_t>& numbers,
             Findings& out) {
  std::vector<bool> physical_used(t.physical_indexes.size(), false);
  for (const PhysicalIndex& pi : t.physical_indexes) {
    const std::string index = "#" + Num(pi.position);
    bool unused_seen = false;
    for (int s = 0; s < 10; ++s) {
      const uint8_t* slot = pi.raw.data() + layout.pidx_columns + 3 * s;
      uint16_t number = Le16(slot);
      if (number == 0xFFFF) {
        unused_seen = true;
        continue;
      }
      if (unused_seen) {
        Add(out, "index-definition-invalid",
            "column slot " + Num(s) + " is used after an unused slot")
            .index = index;
      }
      if (!numbers.count(number)) {
        Add(out, "index-column-missing",
            "index column number " + Num(number) + " is not a column of the table",
            "an index names a column that does not exist", true)
            .index = index;
      }
      if (slot[2] > 1) {
        Add(out, "index-definition-invalid",
            "column slot " + Num(s) + " has order flag " + Num(slot[2]))
            .index = index;
      }
    }
    if (pi.columns.empty()) {
      Add(out, "index-definition-invalid", "the index has no columns", {}, true).index = index;
    }
  }
  for (const LogicalIndex& li : t.logical_indexes) {
    if (li.physical >= t.physical_indexes.size()) {
      Add(out, "logical-index-invalid",
          "logical index \"" + li.name + "\" names physical index " + Num(li.physical) + " of " +
              Num(t.physical_indexes.size()))
          .index = li.name;
    } else {
      physical_used[li.physical] = true;
    }
  }
  for (size_t i = 0; i < physical_used.size(); ++i) {
    if (!physical_used[i]) {
      Add(out, "physical-index-unused", "no logical index uses physical index " + Num(i)).index =
          "#" + Num(i);
    }
  }
  std::unordered_set<uint32_t> listed;
  for (const LongValueMap& m : t.long_value_maps) {
    const ColumnDef* c = t.ColumnByNumber(m.column_number);
    if (c == nullptr || !c->holds_long_values()) {
      Add(out, "lv-map-list-mismatch",
          "the long-value map list names column #" + Num(m.column_number) +
              ", which is not a memo/OLE column of the table");
    } else if (!listed.insert(m.column_number).second) {
      Add(out, "lv-map-list-mismatch",
          "the long-value map list names column \"" + c->name + "\" twice");
    }
  }
  for (const ColumnDef& c : t.columns) {
    if (c.is_long_value() && !listed.count(c.number)) {
      Add(out, "lv-map-list-mismatch",
          "memo/OLE column \"" + c.name + "\" has no entry in the long-value map list");
    }
  }
}

// End of the variable data area of the row the decoder last took apart:
// where the trailer (offsets, jump table, counts, null mask) begins.
size_t VarLimit(const Layout& L, const RowDecoder& d, size_t length) {
  const size_t M = (static_cast<size_t>(d.row_column_count()) + 7) / 8;
  const size_t v = d.row_var_count();
  if (L.version == JetVersion::kJet4) return length - M - 2 - 2 * (v + 1);
  size_t jumps = (length - 1) / 256;
  size_t first = length - M - 2 - jumps;
  return first - v;
}

}  // namespace

std::optional<std::string> FirstUnusable(const Findings& findings) {
  for (const Finding& f : findings) {
    if (!f.unusable.empty()) return f.unusable;
  }
  return std::nullopt;
}

Findings TableDefFindings(const TableDef& def, const Layout& layout, bool unknown_types_as_bytes) {
  Findings out;
  std::unordered_set<uint32_t> numbers;
  DefinitionFields(def, layout, out);
  Columns(def, layout, numbers, out, unknown_types_as_bytes);
  Indexes(def, layout, numbers, out);
  return out;
}

Findings RowFindings(const TableDef& def, const Layout& L, const RowDecoder& decoder,
                     size_t length) {
  Findings out;
  const uint16_t columns = decoder.row_column_count();
  if (columns == 0 || columns > def.max_cols) {
    std::string why =
        "the row has " + Num(columns) + " columns, the table at most " + Num(def.max_cols);
    if (columns > def.max_cols) {
      Add(out, "row-invalid", why, why);
    } else {
      AddUnusable(out, std::move(why));
    }
  }
  // The fixed area of a row holds every fixed column the row carries.
  size_t fixed_end = L.row_count_size;
  for (const ColumnDef& c : def.columns) {
    if (!c.fixed() || c.is_boolean() || c.number >= columns) continue;
    size_t size = FixedTypeSize(c.type);
    if (size == 0) size = c.length;
    fixed_end = std::max(fixed_end, L.row_count_size + c.fixed_offset + size);
  }
  const auto& offsets = decoder.var_offsets();
  // A row written before the table's first variable column has no variable
  // part (the decoder then gives no offsets); a table without variable
  // columns has none to read.
  const bool variable_part = def.num_var_cols > 0 && !offsets.empty();
  if (variable_part && decoder.row_var_count() > def.num_var_cols) {
    AddUnusable(out, "the row has " + Num(decoder.row_var_count()) +
                         " variable columns, the table " + Num(def.num_var_cols));
  }
  if (!offsets.empty() && offsets[0] < fixed_end) {
    Add(out, "row-invalid",
        "the variable data starts at " + Num(offsets[0]) + ", inside the fixed area (" +
            Num(fixed_end) + " bytes)",
        variable_part ? "the variable data starts inside the fixed area" : "");
  }
  for (size_t i = 1; i < offsets.size(); ++i) {
    if (offsets[i] < offsets[i - 1]) {
      Add(out, "row-invalid",
          "variable offsets decrease: entry " + Num(i - 1) + " is " + Num(offsets[i - 1]) +
              ", entry " + Num(i) + " is " + Num(offsets[i]),
          variable_part ? "variable offsets decrease at entry " + Num(i) : "");
      break;
    }
  }
  const size_t mask = (static_cast<size_t>(columns) + 7) / 8;
  if (variable_part) {
    if (offsets.back() > VarLimit(L, decoder, length)) {
      AddUnusable(out, "the variable data runs into the row's trailer");
    }
  } else if (fixed_end > length - mask) {
    AddUnusable(out, "the fixed area runs into the null mask");
  }
  return out;
}

Findings ValueFindings(const ColumnDef& c, const Layout& L, const FieldRef& f,
                       uint32_t page_count) {
  Findings out;
  if (!f.present || c.is_boolean()) return out;
  // The checker quotes the column's name, a loss report does not. Built only
  // for a finding: most values have none.
  auto col = [&] { return "column \"" + c.name + "\": "; };
  auto lost = [&] { return "column " + c.name + ": "; };
  if (c.calculated()) {
    // The result's own type is the column's ResultType property; what the
    // row holds can be checked as far as the wrapper. A long-value result
    // (text without a length) is a long-value reference.
    if (!c.calculated_long_value() && !CalculatedResult(f.bytes)) {
      Add(out, "value-invalid",
          col() + Num(f.bytes.size()) + " bytes that do not hold a calculated result",
          lost() + "not a calculated result");
    }
    return out;
  }
  uint32_t size = FixedTypeSize(c.type);
  if (size != 0 && f.bytes.size() != size) {
    Add(out, "value-invalid",
        col() + Num(f.bytes.size()) + " bytes for a value of " + Num(size) + " bytes",
        lost() + Num(f.bytes.size()) + " bytes for a value of " + Num(size));
    return out;
  }
  const bool jet4 = L.version == JetVersion::kJet4;
  if (IsType(c, ColumnType::kNumeric)) {
    if (f.bytes[0] != 0x00 && f.bytes[0] != 0x80) {
      Add(out, "value-invalid", col() + "decimal sign byte " + HexBytes(f.bytes.first(1), 48),
          lost() + "invalid decimal sign");
    }
  } else if (IsType(c, ColumnType::kText)) {
    size_t stored = f.bytes.size();
    if (jet4 && stored >= 2 && f.bytes[0] == 0xFF && f.bytes[1] == 0xFE) {
      std::string ucs2;
      ExpandCompressedUnicode(f.bytes.subspan(2), ucs2);
      stored = ucs2.size();
    } else if (jet4 && stored % 2 != 0) {
      Add(out, "value-invalid", col() + "text of an odd number of bytes (" + Num(stored) + ")",
          lost() + "text of an odd number of bytes");
      return out;
    }
    if (stored > c.length) {
      // A length of 0 is no limit to a reader.
      Add(out, "value-invalid",
          col() + "text of " + Num(stored) + " bytes in a column of " + Num(c.length),
          c.length != 0
              ? lost() + "text of " + Num(stored) + " bytes in a column of " + Num(c.length)
              : std::string());
    }
  } else if (IsType(c, ColumnType::kBinary)) {
    if (c.length != 0 && f.bytes.size() > c.length) {
      Add(out, "value-invalid",
          col() + "binary value of " + Num(f.bytes.size()) + " bytes in a column of " +
              Num(c.length),
          lost() + "binary value longer than its column");
    }
  } else if (c.is_long_value()) {
    auto header = DecodeLongValueHeader(f.bytes);
    if (!header.ok()) {
      Add(out, "lv-invalid", col() + header.error().description(),
          lost() + header.error().description());
      return out;
    }
    const LongValueHeader& h = header.value();
    if (h.kind == LongValueKind::kInline) {
      if (f.bytes.size() - 12 != h.length) {
        Add(out, "lv-invalid",
            col() + "inline value declares " + Num(h.length) + " bytes, the row holds " +
                Num(f.bytes.size() - 12),
            lost() + "inline long value of " + Num(h.length) + " bytes in a field of " +
                Num(f.bytes.size() - 12));
      }
      return out;
    }
    // Where the value lies is the checker's walk; reading needs a sound
    // reference to start one.
    if (f.bytes.size() != 12) {
      AddUnusable(out, lost() + "long-value reference of the wrong size");
    } else if (h.first.page == 0 || h.first.page >= page_count) {
      AddUnusable(out,
                  lost() + "long value points at page " + Num(h.first.page) + ", outside the file");
    } else if (h.length == 0) {
      AddUnusable(out, lost() + "long value of length 0 stored outside the row");
    }
  }
  return out;
}

}  // namespace engine

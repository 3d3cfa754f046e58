#include "salvage/definition_mend.h"

#include <algorithm>
#include <optional>
#include <set>
#include <utility>

#include "base/bytes.h"

namespace engine {

namespace {

std::string Num(uint64_t n) {
  return std::to_string(n);
}

void ClearCalculatedFlags(TableDef& def, std::vector<DefinitionMend>& out) {
  for (ColumnDef& c : def.columns) {
    if ((c.extended_flags & kColumnCalculated) == 0) continue;
    out.push_back({c.name,
                   "column " + c.name +
                       " is flagged calculated, which a file of this version cannot hold; "
                       "the flag is cleared",
                   c.raw});
    c.extended_flags = static_cast<uint8_t>(c.extended_flags & ~kColumnCalculated);
  }
}

void MendLogicalIndexes(TableDef& def, std::vector<DefinitionMend>& out) {
  const size_t physical = def.physical_indexes.size();
  std::vector<int> users(physical, 0);
  for (const LogicalIndex& li : def.logical_indexes) {
    if (li.physical < physical) ++users[li.physical];
  }
  std::vector<LogicalIndex> kept;
  for (LogicalIndex& li : def.logical_indexes) {
    if (li.physical < physical) {
      kept.push_back(std::move(li));
      continue;
    }
    // The only physical index, or the only one no other logical index uses.
    std::optional<uint32_t> meant;
    if (physical == 1) {
      meant = 0;
    } else if (std::count(users.begin(), users.end(), 0) == 1) {
      meant = static_cast<uint32_t>(std::find(users.begin(), users.end(), 0) - users.begin());
    }
    const std::string was = "logical index " + li.name + " names physical index " +
                            Num(li.physical) + " of " + Num(physical);
    if (meant) {
      out.push_back({li.name, was + "; it is given physical index " + Num(*meant), li.raw});
      li.physical = *meant;
      ++users[*meant];
      kept.push_back(std::move(li));
    } else {
      out.push_back(
          {li.name, was + "; which one it used cannot be told, so it is dropped", li.raw});
    }
  }
  def.logical_indexes = std::move(kept);
}

// A column slot's order flag is 0 or 1; a reader takes any other value as
// ascending (what the index is read and rebuilt as), so the flag is made to
// say so.
void MendIndexColumnOrders(TableDef& def, std::vector<DefinitionMend>& out) {
  for (PhysicalIndex& pi : def.physical_indexes) {
    for (IndexColumn& ic : pi.columns) {
      if (ic.raw_order <= 1) continue;
      out.push_back({"#" + Num(pi.position),
                     "physical index " + Num(pi.position) + " orders column #" +
                         Num(ic.column_number) + " by the flag " + Num(ic.raw_order) +
                         ", which is neither ascending nor descending; it is read and kept "
                         "as ascending",
                     pi.raw});
      ic.raw_order = 1;
    }
  }
}

// Access fills an index's column slots in order, so a slot used after an
// unused one is damage (a zeroed slot reads as column #0): the list ends at
// the first unused slot.
void MendIndexColumnSlots(TableDef& def, const Layout& L, std::vector<DefinitionMend>& out) {
  for (PhysicalIndex& pi : def.physical_indexes) {
    size_t used = 0;
    while (used < kIndexColumnSlots &&
           L.pidx_columns + kIndexColumnSlotSize * (used + 1) <= pi.raw.size() &&
           Le16(pi.raw.data() + L.pidx_columns + kIndexColumnSlotSize * used) != kNoIndexColumn) {
      ++used;
    }
    if (used >= pi.columns.size() || used == 0) continue;
    out.push_back({"#" + Num(pi.position),
                   "physical index " + Num(pi.position) +
                       " has column slots used after an "
                       "unused one; its columns end at the first unused slot (" +
                       Num(used) + " of " + Num(pi.columns.size()) + ")",
                   pi.raw});
    pi.columns.resize(used);
  }
}

// A text column longer than the version allows: the longest it can be, so
// no value is cut.
void MendTextLengths(TableDef& def, const Layout& L, std::vector<DefinitionMend>& out) {
  const bool jet4 = L.version == JetVersion::kJet4;
  const uint16_t limit = jet4 ? 510 : 255;
  for (ColumnDef& c : def.columns) {
    if (c.type != static_cast<uint8_t>(ColumnType::kText) || c.calculated()) continue;
    // (An odd length is left alone: files written by other programs hold
    // such columns, and every value still reads.)
    if (c.length <= limit) continue;
    out.push_back({c.name,
                   "text column " + c.name + " is declared " + Num(c.length) +
                       " bytes long, which a text column cannot be; it is given " + Num(limit),
                   c.raw});
    c.length = limit;
  }
}

// A fixed column of a type of known size is read for that size whatever its
// length field says: the field is made to agree.
void MendFixedLengths(TableDef& def, std::vector<DefinitionMend>& out) {
  for (ColumnDef& c : def.columns) {
    const uint32_t size = FixedTypeSize(c.type);
    if (!c.fixed() || c.is_boolean() || c.calculated() || size == 0 || c.length == size) continue;
    out.push_back({c.name,
                   "fixed column " + c.name + " is declared " + Num(c.length) +
                       " bytes long for a type of " + Num(size) + "; it is given " + Num(size),
                   c.raw});
    c.length = static_cast<uint16_t>(size);
  }
}

void MendLongValueMaps(TableDef& def, std::vector<DefinitionMend>& out) {
  std::set<uint16_t> listed;
  std::vector<LongValueMap> kept;
  for (const LongValueMap& m : def.long_value_maps) {
    const ColumnDef* c = def.ColumnByNumber(m.column_number);
    std::vector<uint8_t> raw;
    if (m.entry_offset < def.raw.size()) {
      raw.assign(def.raw.begin() + m.entry_offset,
                 def.raw.begin() + std::min<size_t>(def.raw.size(), m.entry_offset + 10));
    }
    if (c == nullptr || !c->holds_long_values()) {
      out.push_back({"#" + Num(m.column_number),
                     "the long-value map list names column #" + Num(m.column_number) +
                         ", which holds no long values; the entry is dropped",
                     std::move(raw)});
    } else if (!listed.insert(m.column_number).second) {
      out.push_back({c->name,
                     "the long-value map list names column " + c->name +
                         " a second time; the repeat is dropped",
                     std::move(raw)});
    } else {
      kept.push_back(m);
    }
  }
  for (const ColumnDef& c : def.columns) {
    if (!c.is_long_value() || listed.count(c.number)) continue;
    LongValueMap m;
    m.column_number = c.number;
    kept.push_back(m);
    listed.insert(c.number);
    out.push_back(
        {c.name,
         "memo/OLE column " + c.name + " has no entry in the long-value map list; one is added",
         {}});
  }
  def.long_value_maps = std::move(kept);
}

}  // namespace

std::vector<DefinitionMend> MendDefinition(TableDef& def, const Layout& layout,
                                           const TextCodec& text, bool calculated_allowed) {
  TableDef mended = def;
  std::vector<DefinitionMend> out;
  if (!calculated_allowed) ClearCalculatedFlags(mended, out);
  MendTextLengths(mended, layout, out);
  MendFixedLengths(mended, out);
  MendIndexColumnSlots(mended, layout, out);
  MendIndexColumnOrders(mended, out);
  MendLogicalIndexes(mended, out);
  MendLongValueMaps(mended, out);
  if (out.empty()) return out;
  auto encoded = EncodeTableDef(mended, layout);
  if (!encoded.ok()) return {};
  auto decoded = DecodeTableDef(encoded.value(), layout, text, def.first_page);
  if (!decoded.ok()) return {};
  decoded.value().pages = def.pages;
  decoded.value().page_free_space = def.page_free_space;
  for (size_t i = 0; i < def.columns.size() && i < decoded.value().columns.size(); ++i) {
    decoded.value().columns[i].result_type = def.columns[i].result_type;
  }
  def = std::move(decoded.value());
  return out;
}

}  // namespace engine

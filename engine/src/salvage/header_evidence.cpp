#include "salvage/header_evidence.h"

#include <map>
#include <unordered_set>

#include "base/bytes.h"
#include "format/table_def.h"
#include "format/text.h"

namespace engine {

std::string HeaderDisagreement::Describe() const {
  return std::string("page 0 holds ") + name() + " " + std::to_string(stored) + ", but " +
         std::to_string(columns) + " of the " + std::to_string(of) +
         " text columns' definitions hold " + std::to_string(shown) + " and none holds " +
         std::to_string(stored);
}

namespace {

struct Votes {
  std::map<uint16_t, uint32_t> count;
  uint32_t total = 0;
  void Add(uint16_t v) {
    ++count[v];
    ++total;
  }
};

void Judge(const Votes& votes, HeaderDisagreement::Field field, uint16_t stored,
           std::vector<HeaderDisagreement>& out) {
  if (votes.total < 2 || votes.count.count(stored) != 0) return;
  auto best = votes.count.begin();
  for (auto it = votes.count.begin(); it != votes.count.end(); ++it) {
    if (it->second > best->second) best = it;
  }
  if (best->second < 2 || 2 * best->second <= votes.total) return;
  out.push_back(HeaderDisagreement{field, stored, best->first, best->second, votes.total});
}

}  // namespace

std::vector<HeaderDisagreement> JudgeHeaderFields(const PageSource& pages, const Layout& layout,
                                                  const DatabaseHeader& header,
                                                  const std::vector<uint8_t>& page_types) {
  const auto definition = static_cast<uint8_t>(PageType::kTableDef);
  const uint32_t count = static_cast<uint32_t>(page_types.size());
  // Pages another definition page continues on are not the start of one.
  std::unordered_set<uint32_t> continuations;
  for (uint32_t p = 1; p < count; ++p) {
    if (page_types[p] != definition) continue;
    auto page = pages.Page(p);
    if (!page.ok() || page.value().size() < layout.tdef_next_page + 4) continue;
    uint32_t next = Le32(page.value().data() + layout.tdef_next_page);
    if (next != 0 && next < count) continuations.insert(next);
  }
  Votes code_pages, sort_orders;
  TextCodec text(header.version, header.code_page);
  const bool jet3 = header.version == JetVersion::kJet3;
  for (uint32_t p = 1; p < count; ++p) {
    if (page_types[p] != definition || continuations.count(p) != 0) continue;
    auto def = ReadTableDef(pages, layout, text, p);
    if (!def.ok()) continue;
    for (const ColumnDef& c : def.value().columns) {
      if (c.type != static_cast<uint8_t>(ColumnType::kText) &&
          c.type != static_cast<uint8_t>(ColumnType::kMemo)) {
        continue;
      }
      sort_orders.Add(c.sort_order);
      if (jet3) code_pages.Add(c.code_page);
    }
  }
  std::vector<HeaderDisagreement> out;
  if (jet3) Judge(code_pages, HeaderDisagreement::Field::kCodePage, header.code_page, out);
  Judge(sort_orders, HeaderDisagreement::Field::kSortOrder, header.sort_order, out);
  return out;
}

void RestoreHeaderFields(DatabaseHeader& header, const std::vector<HeaderDisagreement>& found) {
  const Layout& L = LayoutFor(header.version);
  for (const HeaderDisagreement& d : found) {
    const bool code_page = d.field == HeaderDisagreement::Field::kCodePage;
    const uint32_t at = code_page ? L.header_code_page : L.header_sort_order_offset;
    if (header.unmasked.size() < at + 2) continue;
    Put16(header.unmasked.data() + at, d.shown);
    (code_page ? header.code_page : header.sort_order) = d.shown;
  }
}

}  // namespace engine

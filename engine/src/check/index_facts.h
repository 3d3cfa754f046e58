// What each row of a table gives each of its physical indexes, gathered as
// the rows are decoded for their own checks, so that no row is decoded
// again for its indexes: whether it decodes, its key columns' NULLs, and the
// key their values encode to.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

#include "check/spill_bytes.h"
#include "format/row.h"
#include "format/table_def.h"
#include "keys/index_key.h"
#include "keys/rows/row_keys.h"
#include "reader/database.h"

namespace engine::check {

struct RowFacts {
  enum class Key : uint8_t { kNotVerifiable, kEncoded, kNotCovered, kInvalidValue };
  uint64_t offset = 0;  // the key's bytes in IndexFacts::keys, when kEncoded
  uint32_t length = 0;
  bool decoded = false;
  bool all_null = false;
  bool any_null = false;
  Key key = Key::kNotVerifiable;
};

static_assert(std::is_trivially_copyable_v<RowFacts>);

// One index's key columns and, when they fit the table, every row's facts.
// Both grow with the table: past a little memory they go to a temporary
// file (SpillBytes).
struct IndexFacts {
  static constexpr size_t kMemoryLimit = size_t{256} << 10;
  std::optional<Result<std::vector<KeyColumn>>> columns;
  std::vector<size_t> positions;  // of the key columns in the table's columns
  bool columns_ok = false;
  SpillBytes rows{kMemoryLimit};  // RowFacts by position in the table's rows
  SpillBytes keys{kMemoryLimit};

  RowFacts Row(size_t r) const {
    RowFacts f;
    std::memcpy(&f, rows.data() + r * sizeof(RowFacts), sizeof f);
    return f;
  }
};

// Every index's facts, one row at a time in the order of the table's rows.
// Without a database no key is verifiable.
class IndexFactsGatherer {
 public:
  IndexFactsGatherer(const Database* db, const Layout& layout, const TableDef& t);

  // The next row: `decoder` holds its fields when `decoded`.
  void Add(bool decoded, const RowDecoder& decoder);
  std::vector<IndexFacts> Take() { return std::move(facts_); }

 private:
  const Database* db_;
  const Layout& layout_;
  const TableDef& t_;
  std::vector<IndexFacts> facts_;  // by position in the table's physical indexes
  RowKeyValues values_;
};

}  // namespace engine::check

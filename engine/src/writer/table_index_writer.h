// Rebuilds every physical index of one table in the new file.
//
// The compactor hands over each row as it places it (any order): the row's
// bytes (source long-value headers, remapped ids), where it was in the
// source and where it is now. The writer makes the row's keys (IndexKeyMaker),
// feeds key · new row pointer to one external sorter per physical index
// (the sort budget shared among them), and on Finish sorts and builds each
// tree (IndexTreeBuilder) through the page sink, one index after the other
// in physical-index order.
//
// Checks on the way, each error 3049 naming table, index and row: a key that
// cannot be had (see IndexKeyMaker), two rows with the same non-NULL key in a
// unique index, a NULL key column in a primary-key or required index.
//
//   TableIndexWriter indexes(sink, source_db, name, source_def, new_tdef_page,
//                            {.budget_bytes = opts.sort_budget_bytes,
//                             .temp_dir = TempDirBeside(destination)});
//   for each row placed: indexes.AddRow(bytes, source_location, new_location);
//   auto built = indexes.Finish();  // BuiltIndex per physical index
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "writer/source_pages.h"
#include "engine/error.h"
#include "keys/index_key.h"
#include "io/pager.h"
#include "format/data_page.h"
#include "format/row.h"
#include "format/table_def.h"
#include "writer/external_sorter.h"
#include "writer/index_key_maker.h"
#include "writer/index_tree_builder.h"
#include "writer/page_sink.h"

namespace engine {

class TableIndexWriter {
 public:
  // `options.budget_bytes` is the budget for all indexes of the table
  // together. `source`, `table` and `sink` must outlive the writer.
  TableIndexWriter(PageSink& sink, SourcePages source, std::string table_name,
                   const TableDef& table, uint32_t new_tdef_page, SorterOptions options);
  ~TableIndexWriter();
  TableIndexWriter(const TableIndexWriter&) = delete;
  TableIndexWriter& operator=(const TableIndexWriter&) = delete;

  Status AddRow(ByteSpan row, RowPointer source_location, RowPointer new_location);
  // The same for a row the caller has decoded (a RowDecoder of the same
  // definition and layout). `primary_key`, when given, is the row's key in
  // the primary-key index as IndexKeyMaker made it; it is used as it is.
  Status AddDecodedRow(const RowDecoder& decoded, RowPointer source_location,
                       RowPointer new_location, const RowIndexKey* primary_key = nullptr);

  // Sorts and writes every index; result[i] is physical index i. `progress`
  // (optional) is called after each index with (done, total) indexes and
  // may return false to cancel (error 3001). Call once.
  Result<std::vector<BuiltIndex>> Finish(
      const std::function<bool(uint32_t done, uint32_t total)>& progress = {});

  uint64_t rows() const;
  uint64_t keys_reused() const;
  // See IndexKeyMaker::UseExtraCodes.
  void UseExtraCodes(const ExtraTextCodes* extra);
  // See IndexKeyMaker::NeverReuseFor.
  void NeverReuseFor(const std::vector<size_t>& columns);
  // Sorted runs the indexes spilled to disk (0 when every sort fitted the
  // budget), after Finish.
  uint64_t sort_runs() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace engine

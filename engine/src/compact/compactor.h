// The compaction itself, from an open source database to a page sink.
//
// Plan: pages 0 and 1, then every table's definition pages, reserved in the
// order of the tables' old ids (so MSysObjects stays on page 2 and the other
// Jet system tables keep 3-5 when they were there); the old id -> new id map
// follows. Then table by table: rows in the source's storage order, each
// with its id columns
// remapped, long values laid out afresh and placed densely on new data
// pages; the table's indexes rebuilt from those rows; its usage maps (on map
// pages shared by all tables); its definition. Last the global usage map on
// page 1 and page 0, copied from the source as stored.
//
// Everything written is a function of the source alone, so the same source
// always gives the same bytes.
#pragma once

#include <string>

#include "engine/compact.h"
#include "reader/database.h"
#include "writer/page_sink.h"

namespace engine {

// How the work is spread; the bytes written do not depend on it.
struct CompactTuning {
  // Tables with at least this many rows (by their definition) make their
  // index keys on a second thread.
  uint64_t threaded_keys_min_rows = 4096;
};

// Writes the compacted copy of `source` through `sink`, which must be
// fresh (its first page 0). `temp_dir` holds the sort runs of large
// indexes. Errors: 3049 damage found in the source (naming it), 3001
// cancelled through the progress callback, the sink's 3026 / 3043.
Result<CompactStats> CompactToSink(const Database& source, PageSink& sink,
                                   const CompactOptions& options, const std::string& temp_dir,
                                   const CompactTuning& tuning = {});

}  // namespace engine

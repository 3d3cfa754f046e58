// CompactDatabase with a hook between the compactor and the destination
// file, for tests that make the disk fail part way.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/compact.h"
#include "writer/page_sink.h"

namespace engine {

// Given the file's sink, returns the sink the compactor writes through
// (which passes pages on to the file's sink).
using SinkWrapper = std::function<std::unique_ptr<PageSink>(PageSink& file)>;

Result<CompactStats> CompactDatabaseThrough(const std::string& source,
                                            const std::string& destination,
                                            const CompactOptions& options, const SinkWrapper& wrap);

}  // namespace engine

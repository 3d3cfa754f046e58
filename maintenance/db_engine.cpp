#include "db_engine.h"

#include <utility>

namespace maintenance {

DBEngine::DBEngine(Operations operations) : operations_(std::move(operations)) {}

ReplaceRequest DBEngine::Request(const CopyOperation& copy, const JobOptions& options) const {
  ReplaceRequest request;
  request.password = options.password;
  request.progress = options.progress;
  request.copy = copy;
  request.verify = operations_.verify;
  request.fault = fault_;
  return request;
}

engine::Result<ReplaceOutcome> DBEngine::CompactDatabase(const std::string& path,
                                                         const JobOptions& options) const {
  return ReplaceInPlace(path, Request(operations_.compact, options));
}

engine::Result<ReplaceOutcome> DBEngine::RepairDatabase(const std::string& path,
                                                        const JobOptions& options) const {
  return ReplaceInPlace(path, Request(operations_.repair, options));
}

engine::Result<ReplaceOutcome> DBEngine::CompactDatabase(const std::string& source,
                                                         const std::string& destination,
                                                         const JobOptions& options) const {
  return WriteNewFile(source, destination, Request(operations_.compact, options));
}

engine::Result<ReplaceOutcome> DBEngine::RepairDatabase(const std::string& source,
                                                        const std::string& destination,
                                                        const JobOptions& options) const {
  return WriteNewFile(source, destination, Request(operations_.repair, options));
}

}  // namespace maintenance

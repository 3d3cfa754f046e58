// The table a repaired copy lists its losses in, one row per loss, the way
// users of the platform know it: MSysCompactError with ErrorCode (Long),
// ErrorDescription (Memo), ErrorRecid (OLE: the bytes that were not carried
// over) and ErrorTable (Text 255).
//
// It is built into the mended file before the compactor copies it, so the
// copy gets it as it gets any table: a definition page, data and long-value
// pages, a catalog row (flagged as a system table Access made, so it shows
// with the other MSys tables) and the permission rows of a sibling table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/error.h"
#include "keys/index_key.h"
#include "io/pager.h"
#include "format/data_page.h"
#include "salvage/salvage.h"

namespace engine {

// The mended file as the error table needs it. Pages are plain (decoded).
class MendedFile {
 public:
  virtual ~MendedFile() = default;
  virtual uint32_t pages() const = 0;
  virtual std::vector<uint8_t> Plain(uint32_t page) const = 0;
  virtual void Store(uint32_t page, std::vector<uint8_t> plain) = 0;
  virtual Result<uint32_t> Append(std::vector<uint8_t> plain) = 0;

  // Rows of one owner packed onto fresh pages at the end of the file. The
  // pointers Add returns hold once Flush has run; nothing else may be
  // appended in between.
  class Rows {
   public:
    virtual ~Rows() = default;
    virtual Result<RowPointer> Add(ByteSpan row) = 0;
    virtual Status Flush() = 0;
    virtual const std::vector<uint32_t>& pages() const = 0;
  };
  virtual std::unique_ptr<Rows> Pack(uint32_t owner) = 0;
  // A usage map listing `pages`, on a fresh page; returns its row.
  virtual Result<RowPointer> AppendMap(const std::vector<uint32_t>& pages) = 0;
};

inline constexpr const char* kErrorTableName = "MSysCompactError";

// The error number a loss is listed under: 3022 for a row that repeats a
// unique key, 3049 (damaged) for everything else.
int32_t ErrorTableCode(LossKind kind);
// The readable description of a loss: what was lost, where, and why.
std::string ErrorTableDescription(const LossRecord& loss);

struct ErrorTableOutcome {
  std::string name;       // the table the rows went to; empty when none was added
  std::string not_added;  // why not, when none was added
};

// Writes one row per data loss (LossKind other than kHeader and
// kTableName) into the error table of the mended file. A table of that name
// with exactly the four columns and no index (one a former repair made)
// keeps its rows and gets the new ones; any other table of that name is
// left alone and the rows go to a new table under the first free name
// MSysCompactError1, MSysCompactError2, ...
// When the catalog's indexes could not be given a key for the new table's
// catalog row (a sort order the key encoder has no codes for), nothing is
// written and the outcome says why: the repair goes on without the table,
// its report lists the losses all the same.
// Errors: 3049 when the catalog cannot take another row (its definition or
// page map is unreadable in the mended file).
// `extra`: text codes learned from the file (may be null), which the copy's
// keys are encoded with too.
// `load` gives the raw bytes and long values of a loss whose bytes were
// moved out of memory (LossRecord::spilled).
using LossBytesLoader =
    std::function<Status(const LossRecord&, std::vector<uint8_t>&,
                         std::vector<std::pair<std::string, std::vector<uint8_t>>>&)>;
Result<ErrorTableOutcome> AddErrorTable(Salvager& salvager, MendedFile& file,
                                        const std::vector<LossRecord>& losses,
                                        const LossBytesLoader& load,
                                        const ExtraTextCodes* extra = nullptr);

}  // namespace engine

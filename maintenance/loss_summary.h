// The one wording of what a repair did beyond its copy, for quorlen-cli (a
// line each, indented) and the desktop program (the second message after
// "File Successfully Repaired", a paragraph each):
//
//   3 rows and 2 values could not be carried over, of the tables Orders and Items.
//   Tables found without their catalog row were named Recovered table 12.
//   They are listed in the report:
//   /data/orders.repair-report-20261207-201500.json
//   ...
//
// A sentence that names a file ends with a colon and the path: quorlen-cli
// prints both on one line, the desktop program puts the path on a line of
// its own, so that the message box breaks lines between words and never
// inside a file's name.
#pragma once

#include <string>
#include <vector>

#include "db_engine.h"

namespace maintenance {

// "1 row", "3 rows".
std::string CountOf(unsigned long long n, const char* one, const char* many);

// "A", "A and B", "A, B and C" (at most `shown` names, then "and N more").
std::string NameList(const std::vector<std::string>& names, size_t shown = 5);

// A table's name as a user knows it: Access's own tables say what they hold
// ("MSysRelationships (the relationships between tables)").
std::string TableInWords(const std::string& name);

struct SummaryLine {
  std::string text;
  std::string path;  // the file the sentence ends with, or empty
};

// The lines, in order: the losses (with the tables they hit), the tables
// lost whole, the rows kept against their indexes, the renamed tables, what
// page 0 was restored to, the report, the kept original and the table of the copy that
// lists the losses. Empty when there is nothing to tell.
std::vector<SummaryLine> LossSummaryLines(const RepairOutcome& outcome);

}  // namespace maintenance

// What a repair tells beyond its copy: page-0 notes and rows kept although
// their indexes contradict them, beside the losses.
#include <gtest/gtest.h>

#include "maintenance/loss_summary.h"

namespace maintenance {
namespace {

std::vector<std::string> Texts(const RepairOutcome& o) {
  std::vector<std::string> out;
  for (const SummaryLine& l : LossSummaryLines(o)) out.push_back(l.text);
  return out;
}

TEST(LossSummary, PageZeroNotesAndAlteredRowsAreToldWithoutAFalseLossLine) {
  RepairOutcome o;
  o.header_notes = {
      "page 0 holds code page 1253, but 69 of the 69 text columns' definitions "
      "hold 1252 and none holds 1253; restored code page 1252"};
  EXPECT_EQ(Texts(o), std::vector<std::string>{"Page 0: " + o.header_notes[0] + "."});

  o.lost_anything = true;
  o.altered_rows = 2;
  o.error_table = "MSysCompactError";
  const auto only_altered = Texts(o);
  ASSERT_EQ(only_altered.size(), 3u);
  EXPECT_EQ(only_altered[0], "2 rows hold values the source's indexes contradict; kept as stored.");
  EXPECT_EQ(only_altered[1].rfind("Page 0: ", 0), 0u);
  EXPECT_EQ(only_altered[2], "The copy lists them in its table MSysCompactError.");

  // With rows lost as well, the loss line comes first, then the altered rows.
  o.rows_lost = 3;
  o.tables_with_losses = {"Orders"};
  const auto both = Texts(o);
  ASSERT_EQ(both.size(), 4u);
  EXPECT_EQ(both[0].rfind("3 rows and 0 values could not be carried over", 0), 0u) << both[0];
  EXPECT_EQ(both[1], "2 rows hold values the source's indexes contradict; kept as stored.");
}

}  // namespace
}  // namespace maintenance

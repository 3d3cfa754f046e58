// The main window's operations without a window: the order of compact and
// repair, the pointer, the messages and their texts, on a fake view and
// stand-in copy operations over real temporary files.
#include "main_window/operations.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "app/error.h"
#include "maintenance/db_engine.h"

namespace {

namespace fs = std::filesystem;
using quorlen::operations::OperationsView;

struct FakeView : OperationsView {
  std::string path;
  std::string chosen;  // what the file selection puts in Text1
  bool compact = true;
  bool repair = false;
  bool loaded = true;
  std::vector<int> pointer;
  std::vector<std::string> messages;
  std::vector<std::string> log;
  bool closed = false;
  maintenance::DBEngine* db = nullptr;

  std::string pathText() override {
    if (!loaded) throw quorlen::UiError(quorlen::kErrObjectNotLoaded, "The window is not loaded.");
    return path;
  }
  std::string pathFileName() override { return pathText(); }
  void selectDatabaseFile() override {
    log.push_back("select");
    if (!chosen.empty()) path = chosen;
  }
  bool compactChosen() override { return compact; }
  bool repairChosen() override {
    log.push_back("read repair option");
    return repair;
  }
  void setMousePointer(int value) override { pointer.push_back(value); }
  void closeWindow() override { closed = true; }
  void message(const std::string& prompt) override { messages.push_back(prompt); }
  maintenance::DBEngine& engine() override { return *db; }
  engine::Status runOnWorker(const std::function<engine::Status()>& job) override { return job(); }
  std::string displayPath(const std::string& name) override { return name; }
};

class Operations : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quorlen_ops_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    file_ = (dir_ / "Orders.mdb").string();
    std::ofstream(file_) << "original";
    maintenance::Operations ops;
    ops.compact = [this](const maintenance::CopyRequest& r) -> engine::Status {
      log_.push_back("compact");
      if (fail_ != 0) return engine::Error(fail_, "stand-in failure");
      std::ofstream(r.destination) << "compacted";
      return engine::Status::Ok();
    };
    ops.repair = [this](const maintenance::CopyRequest& r) -> engine::Result<engine::RepairResult> {
      log_.push_back("repair");
      if (fail_ != 0) return engine::Error(fail_, "stand-in failure");
      std::ofstream(r.destination) << "repaired";
      return engine::RepairResult{};
    };
    ops.verify = [](const std::string&, const std::string&) { return engine::Status::Ok(); };
    engine_ = std::make_unique<maintenance::DBEngine>(ops);
    view_.db = engine_.get();
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Contents() {
    std::ifstream in(file_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
  std::string file_;
  int fail_ = 0;
  std::vector<std::string> log_;
  std::unique_ptr<maintenance::DBEngine> engine_;
  FakeView view_;
};

TEST_F(Operations, OkRunsTheCompactFirstAndClosesOnlyOnSuccess) {
  view_.path = file_;
  quorlen::operations::OkClicked(view_);
  EXPECT_EQ(Contents(), "compacted");
  EXPECT_TRUE(view_.closed);
  EXPECT_EQ(view_.pointer, (std::vector<int>{11, 0}));
  EXPECT_EQ(view_.messages, std::vector<std::string>{quorlen::operations::kCompacted});
  // The repair option is read after the compact, and no repair runs.
  EXPECT_EQ(log_, std::vector<std::string>{"compact"});
  EXPECT_EQ(view_.log, std::vector<std::string>{"read repair option"});

  // A failed compact: no message but for 3356, the window stays, no repair.
  for (int number : {3049, 3356}) {
    FakeView failed;
    failed.db = engine_.get();
    failed.path = file_;
    failed.repair = true;  // both chosen: the repair still must not run
    fail_ = number;
    log_.clear();
    quorlen::operations::OkClicked(failed);
    EXPECT_FALSE(failed.closed);
    EXPECT_EQ(failed.pointer, (std::vector<int>{11, 0}));
    EXPECT_EQ(log_, std::vector<std::string>{"compact"});
    if (number == 3356) {
      EXPECT_EQ(failed.messages,
                std::vector<std::string>{"Ledgerine File Open - Please Close Open File - " + file_ +
                                         " Windows"});
    } else {
      EXPECT_TRUE(failed.messages.empty());
    }
  }
  // Neither option: nothing runs, the window closes.
  FakeView neither;
  neither.db = engine_.get();
  neither.compact = false;
  log_.clear();
  quorlen::operations::OkClicked(neither);
  EXPECT_TRUE(neither.closed);
  EXPECT_TRUE(log_.empty());
}

TEST_F(Operations, CompactOffersTheFileSelectionForAnEmptyPathOnly) {
  // Cancelled: success without touching anything.
  EXPECT_TRUE(quorlen::operations::CompactDatabaseFile(view_));
  EXPECT_EQ(view_.log, std::vector<std::string>{"select"});
  EXPECT_TRUE(log_.empty());
  EXPECT_TRUE(view_.messages.empty());
  // Chosen: the sequence runs on it.
  view_.chosen = file_;
  EXPECT_TRUE(quorlen::operations::CompactDatabaseFile(view_));
  EXPECT_EQ(Contents(), "compacted");
  // Blanks are not empty: no selection, and the engine fails on them.
  FakeView blanks;
  blanks.db = engine_.get();
  blanks.path = "   ";
  EXPECT_FALSE(quorlen::operations::CompactDatabaseFile(blanks));
  EXPECT_TRUE(blanks.log.empty());
  EXPECT_TRUE(blanks.messages.empty());
}

TEST_F(Operations, RepairShowsEveryFailureWithItsSignedNumber) {
  view_.path = file_;
  EXPECT_TRUE(quorlen::operations::RepairDatabaseFile(view_));
  EXPECT_EQ(Contents(), "repaired");
  EXPECT_EQ(view_.messages, std::vector<std::string>{quorlen::operations::kRepaired});

  view_.messages.clear();
  fail_ = 3049;
  EXPECT_FALSE(quorlen::operations::RepairDatabaseFile(view_));
  EXPECT_EQ(view_.messages, std::vector<std::string>{" 3049 - stand-in failure"});
  // A window that is not loaded: its error, shown the same way.
  FakeView unloaded;
  unloaded.db = engine_.get();
  unloaded.loaded = false;
  EXPECT_FALSE(quorlen::operations::RepairDatabaseFile(unloaded));
  EXPECT_EQ(unloaded.messages, std::vector<std::string>{" 91 - The window is not loaded."});

  using quorlen::operations::NumberAndDescription;
  EXPECT_EQ(NumberAndDescription(0, ""), " 0 - ");
  EXPECT_EQ(NumberAndDescription(-5, "x"), "-5 - x");
  EXPECT_EQ(NumberAndDescription(LLONG_MIN, "x"), "-9223372036854775808 - x");
}

TEST(LossesMessage, NamesTablesAndKeepsEachPathOnItsOwnLine) {
  maintenance::RepairOutcome o;
  o.lost_anything = true;
  o.rows_lost = 1;
  o.values_lost = 2;
  o.tables_with_losses = {"Orders", "Items"};
  o.renamed_tables = {"Recovered table 12"};
  o.report = "/data/a-b/orders.repair-report-20261207-201500.json";
  o.kept_original = "/data/a-b/orders.damaged-20261207-201500.mdb";
  const std::string text =
      quorlen::operations::LossesMessage(o, [](const std::string& s) { return s; });
  EXPECT_EQ(text,
            "1 row and 2 values could not be carried over, in the tables Orders and Items.\n"
            "A table found without its catalog row was named Recovered table 12.\n"
            "They are listed in the report:\n"
            "/data/a-b/orders.repair-report-20261207-201500.json\n"
            "The original, as it was before the repair, was kept as:\n"
            "/data/a-b/orders.damaged-20261207-201500.mdb");
}

}  // namespace

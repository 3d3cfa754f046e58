#include "operations.h"

#include <cstdlib>
#include <exception>

#include "app/error.h"
#include "maintenance/db_engine.h"
#include "maintenance/loss_summary.h"

namespace quorlen::operations {

std::string OpenFileMessage(const std::string& path) {
  return "Ledgerine File Open - Please Close Open File - " + path + " Windows";
}

std::string NumberAndDescription(long long number, const std::string& description) {
  const std::string sign = number < 0 ? "-" : " ";
  const unsigned long long magnitude = number < 0 ? 0ULL - static_cast<unsigned long long>(number)
                                                  : static_cast<unsigned long long>(number);
  return sign + std::to_string(magnitude) + " - " + description;
}

std::string LossesMessage(const maintenance::RepairOutcome& outcome,
                          const std::function<std::string(const std::string&)>& display) {
  std::string text;
  for (const maintenance::SummaryLine& line : maintenance::LossSummaryLines(outcome)) {
    if (!text.empty()) text += "\n";
    text += line.text;
    if (!line.path.empty()) text += "\n" + display(line.path);
  }
  return text;
}

void OkClicked(OperationsView& view) {
  view.setMousePointer(kHourglass);
  if (view.compactChosen()) {
    if (!CompactDatabaseFile(view)) {
      view.setMousePointer(kDefaultPointer);
      return;
    }
  }
  if (view.repairChosen()) {
    if (!RepairDatabaseFile(view)) {
      view.setMousePointer(kDefaultPointer);
      return;
    }
  }
  view.setMousePointer(kDefaultPointer);
  view.closeWindow();
}

bool CompactDatabaseFile(OperationsView& view) {
  int number = 0;
  try {
    if (view.pathText().empty()) view.selectDatabaseFile();
    if (view.pathText().empty()) return true;
    // The copy is made next to the file and renamed over it only once it is
    // complete, on disk and verified; nothing else is ever deleted.
    const std::string path = view.pathFileName();
    maintenance::DBEngine& engine = view.engine();
    const engine::Status status = view.runOnWorker([&engine, path]() -> engine::Status {
      auto outcome = engine.CompactDatabase(path);
      return outcome.ok() ? engine::Status::Ok() : engine::Status(outcome.error());
    });
    if (!status.ok()) {
      number = status.error().number();
    } else {
      view.message(kCompacted);
      return true;
    }
  } catch (const std::exception& e) {
    number = describeException(e).number;
  }
  // Only a file held open elsewhere is worth a message here.
  try {
    if (number == static_cast<int>(engine::ErrorCode::kHeldOpen)) {
      view.message(OpenFileMessage(view.pathText()));
    }
  } catch (const std::exception&) {
  }
  return false;
}

bool RepairDatabaseFile(OperationsView& view) {
  int number = 0;
  std::string description;
  try {
    const std::string path = view.pathFileName();
    maintenance::DBEngine& engine = view.engine();
    maintenance::RepairOutcome repaired;
    const engine::Status status = view.runOnWorker([&engine, &repaired, path]() -> engine::Status {
      auto outcome = engine.RepairDatabase(path);
      if (!outcome.ok()) return outcome.error();
      repaired = outcome.value();
      return engine::Status::Ok();
    });
    if (!status.ok()) {
      number = status.error().number();
      description = status.error().description();
    } else {
      view.message(kRepaired);
      // What could not be carried over is not gone: the user learns where
      // the report and the original are.
      if (repaired.lost_anything) {
        view.message(LossesMessage(
            repaired, [&view](const std::string& name) { return view.displayPath(name); }));
      }
      return true;
    }
  } catch (const std::exception& e) {
    const ErrorReport report = describeException(e);
    number = report.number;
    description = report.description;
  }
  try {
    if (number == static_cast<int>(engine::ErrorCode::kHeldOpen)) {
      view.message(OpenFileMessage(view.pathText()));
    } else {
      view.message(NumberAndDescription(number, description));
    }
  } catch (const std::exception&) {
  }
  return false;
}

}  // namespace quorlen::operations

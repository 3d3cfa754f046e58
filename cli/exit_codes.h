#pragma once

namespace cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitEngineError = 1,  // printed as "error NNNN: description"
  kExitUsage = 2,
  kExitProblems = 3,            // a command found problems in the file
  kExitRepairedWithLosses = 4,  // repair wrote its copy; something could not be carried over
  kExitInterrupted = 130,       // Ctrl-C or SIGTERM: stopped, the file left as it was
};

}  // namespace cli

// The error type of the user interface: a number and a description, as the
// message for an error that escapes a handler shows them.
#pragma once

#include <stdexcept>
#include <string>

namespace quorlen {

// Numbers used by the window layer.
enum ErrorNumber : int {
  kErrOutOfMemory = 7,
  kErrInternal = 51,
  kErrObjectNotLoaded = 91,
  kErrControlArrayElementMissing = 340,
  kErrInvalidPropertyValue = 380,
  kErrDialogCancelled = 32755,
};

class UiError : public std::runtime_error {
 public:
  UiError(int number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int number() const { return number_; }
  std::string description() const { return what(); }

 private:
  int number_;
};

// The number and description of any exception, for the error message.
struct ErrorReport {
  int number;
  std::string description;
};
ErrorReport describeException(const std::exception& e);

}  // namespace quorlen

// Errors of the database engine.
//
// Every failure the engine reports carries a number and a description. The
// numbers follow the Jet engine's own where one fits, so callers (the GUI's
// message boxes, the command-line tool) can show a familiar number; the
// descriptions are ours.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace engine {

enum class ErrorCode : int {
  kFileNotFound = 3024,
  kDiskFull = 3026,
  kInvalidPath = 3044,
  kDamaged = 3049,
  kNoPermission = 3051,
  kWrongPassword = 3031,
  kInvalidArgument = 3001,
  kIoError = 3043,
  kUnrecognized = 3343,
  kHeldOpen = 3356,
  kNotSupported = 3251,
  kDatabaseExists = 3204,
  kTableNotFound = 3078,
};

class Error {
 public:
  Error(ErrorCode code, std::string description)
      : number_(static_cast<int>(code)), description_(std::move(description)) {}
  Error(int number, std::string description)
      : number_(number), description_(std::move(description)) {}

  int number() const { return number_; }
  const std::string& description() const { return description_; }
  bool is(ErrorCode code) const { return number_ == static_cast<int>(code); }

  // "error 3049: description" as the command-line tool prints it.
  std::string ToString() const { return "error " + std::to_string(number_) + ": " + description_; }

 private:
  int number_;
  std::string description_;
};

// Shorthand factories for the common kinds.
inline Error Damaged(std::string what) {
  return Error(ErrorCode::kDamaged, std::move(what));
}
inline Error Unrecognized(std::string what) {
  return Error(ErrorCode::kUnrecognized, std::move(what));
}

// A value or an error. The engine's public functions return this instead of
// throwing; the inside of the engine may throw EngineFailure (base/failure.h) and
// convert at its boundary.
template <typename T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}      // NOLINT: implicit on purpose
  Result(Error error) : v_(std::move(error)) {}  // NOLINT: implicit on purpose

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// Result<void>.
class Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)), ok_(false) {}  // NOLINT

  static Status Ok() { return Status(); }
  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const Error& error() const { return error_; }

 private:
  Error error_{0, ""};
  bool ok_ = true;
};

}  // namespace engine

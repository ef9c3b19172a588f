// Run-time errors of the program: a number, the source that raised it and a
// description, as shown to the user after a routine's own message prefix.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace dioptrix {

// Error numbers raised by the program itself.
enum ErrorNumber : int32_t {
  kErrInvalidArgument = 5,
  kErrOverflow = 6,
  kErrOutOfMemory = 7,
  kErrSubscriptOutOfRange = 9,
  kErrDivisionByZero = 11,
  kErrLibraryLoad = 48,
  kErrFileNotFound = 53,
  kErrObjectNotSet = 91,
  kErrEntryPointNotFound = 453,
};

// First number of the range used for an object's own errors (0x80040000).
constexpr int32_t kObjectErrorBase = INT32_MIN + 0x40000;

// The standard description of an error number, empty for unknown numbers.
std::string ErrorDescription(int32_t number);

class RuntimeError : public std::runtime_error {
 public:
  RuntimeError(int32_t number, std::string source, std::string description);
  // An error with the standard description of its number.
  explicit RuntimeError(int32_t number, std::string source = {});

  int32_t Number() const { return number_; }
  const std::string& Source() const { return source_; }
  const std::string& Description() const { return description_; }

 private:
  int32_t number_;
  std::string source_;
  std::string description_;
};

[[noreturn]] void RaiseDivisionByZero();
[[noreturn]] void RaiseOverflow();
[[noreturn]] void RaiseSubscriptOutOfRange();
// Raised when an image or other object that is needed is "nothing".
[[noreturn]] void RaiseObjectNotSet();

// The description to append to a routine's message for any exception that
// reaches a routine's error trap.
std::string DescribeException(const std::exception& e);

}  // namespace dioptrix

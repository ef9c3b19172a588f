#include "platform/error.h"

#include <new>

namespace dioptrix {

std::string ErrorDescription(int32_t number) {
  switch (number) {
    case kErrInvalidArgument:
      return "Invalid procedure call or argument";
    case kErrOverflow:
      return "Overflow";
    case kErrOutOfMemory:
      return "Out of memory";
    case kErrSubscriptOutOfRange:
      return "Subscript out of range";
    case kErrDivisionByZero:
      return "Division by zero";
    case kErrLibraryLoad:
      return "Error in loading library";
    case kErrFileNotFound:
      return "File not found";
    case kErrObjectNotSet:
      return "Object variable not set";
    case kErrEntryPointNotFound:
      return "Library entry point not found";
    default:
      return {};
  }
}

RuntimeError::RuntimeError(int32_t number, std::string source, std::string description)
    : std::runtime_error(description),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

RuntimeError::RuntimeError(int32_t number, std::string source)
    : RuntimeError(number, std::move(source), ErrorDescription(number)) {}

void RaiseDivisionByZero() { throw RuntimeError(kErrDivisionByZero); }
void RaiseOverflow() { throw RuntimeError(kErrOverflow); }
void RaiseSubscriptOutOfRange() { throw RuntimeError(kErrSubscriptOutOfRange); }
void RaiseObjectNotSet() { throw RuntimeError(kErrObjectNotSet); }

std::string DescribeException(const std::exception& e) {
  if (auto* err = dynamic_cast<const RuntimeError*>(&e)) return err->Description();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return ErrorDescription(kErrOutOfMemory);
  return e.what();
}

}  // namespace dioptrix

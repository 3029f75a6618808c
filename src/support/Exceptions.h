// The one error hierarchy of the system. Every failure is an exception carrying a
// message; ClassName() gives the name the error report prints.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tolvane {

class Exception : public std::exception {
public:
  explicit Exception(std::u16string AMessage);
  ~Exception() override = default;

  const std::u16string& Message() const noexcept { return fMessage; }
  // The message as UTF-8, for std::exception users and test diagnostics.
  const char* what() const noexcept override { return fUtf8.c_str(); }
  virtual const char* ClassName() const noexcept { return "Exception"; }

private:
  std::u16string fMessage;
  std::string fUtf8;
};

// Name and Base are a class name and a base clause: parentheses would not compile.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define TOLVANE_EXCEPTION_CLASS(Name, Base)                           \
  class Name : public Base {                                          \
  public:                                                             \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
  }
// NOLINTEND(bugprone-macro-parentheses)

TOLVANE_EXCEPTION_CLASS(EPEException, Exception);
TOLVANE_EXCEPTION_CLASS(ERangeError, Exception);
TOLVANE_EXCEPTION_CLASS(EConvertError, Exception);
TOLVANE_EXCEPTION_CLASS(EListError, Exception);
TOLVANE_EXCEPTION_CLASS(EAbstractError, Exception);
TOLVANE_EXCEPTION_CLASS(EStreamError, Exception);
TOLVANE_EXCEPTION_CLASS(EFOpenError, EStreamError);
TOLVANE_EXCEPTION_CLASS(EFCreateError, EStreamError);
TOLVANE_EXCEPTION_CLASS(EReadError, EStreamError);
TOLVANE_EXCEPTION_CLASS(EWriteError, EStreamError);

#undef TOLVANE_EXCEPTION_CLASS

// The standard errors with fixed texts.
[[noreturn]] void RaiseListIndexError(int64_t index);
[[noreturn]] void RaiseAbstractError();
[[noreturn]] void RaiseReadError();
[[noreturn]] void RaiseWriteError();
// "'%s' is not a valid integer value"
[[noreturn]] void RaiseInvalidInteger(const std::u16string& text);

}  // namespace tolvane

// The exception classes of the system.
//
// Every failure travels as an exception derived from rda::Exception, which
// carries the system's exact message text. The class names are the system's
// own, so callers can tell a protocol error from a parameter error the same
// way the original components did.
#pragma once

#include <exception>
#include <string>

namespace rda {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

#define RDA_DECLARE_EXCEPTION(Name, Base) \
  class Name : public Base {              \
   public:                                \
    using Base::Base;                     \
  };

// Platform errors.
RDA_DECLARE_EXCEPTION(EConvertError, Exception)    // text that is not a valid number or date
RDA_DECLARE_EXCEPTION(EStreamError, Exception)     // stream and file failures
RDA_DECLARE_EXCEPTION(EReadError, EStreamError)    // "Stream read error", "Invalid property value"
RDA_DECLARE_EXCEPTION(EWriteError, EStreamError)   // "Stream write error"
RDA_DECLARE_EXCEPTION(EFOpenError, EStreamError)   // "Cannot open file "%s". %s"
RDA_DECLARE_EXCEPTION(EFCreateError, EStreamError) // "Cannot create file "%s". %s"
RDA_DECLARE_EXCEPTION(EDatabaseError, Exception)   // dataset framework errors
RDA_DECLARE_EXCEPTION(EListError, Exception)       // "List index out of bounds (%d)"
// Arithmetic failures (of variants, currency and BCD values).
RDA_DECLARE_EXCEPTION(EMathError, Exception)
RDA_DECLARE_EXCEPTION(EDivByZero, EMathError)      // "Division by zero" (exact kinds)
RDA_DECLARE_EXCEPTION(EZeroDivide, EMathError)     // "Floating point division by zero"
RDA_DECLARE_EXCEPTION(EInvalidOp, EMathError)      // "Invalid floating point operation"
RDA_DECLARE_EXCEPTION(EOverflow, EMathError)       // "Floating point overflow"
RDA_DECLARE_EXCEPTION(EIntOverflow, EMathError)    // "Integer overflow"

// Errors of the Rda library.
RDA_DECLARE_EXCEPTION(EStringLineException, Exception)
RDA_DECLARE_EXCEPTION(ERdaProtocolError, Exception)
RDA_DECLARE_EXCEPTION(ERdaConnectException, Exception)
RDA_DECLARE_EXCEPTION(ERdaParamException, Exception)
RDA_DECLARE_EXCEPTION(EUserDefinedEncComp, Exception)
RDA_DECLARE_EXCEPTION(EDESError, Exception)
RDA_DECLARE_EXCEPTION(ERdaSQLException, Exception)
RDA_DECLARE_EXCEPTION(ERdaBookMarkError, Exception)
RDA_DECLARE_EXCEPTION(EWinInetError, Exception)

// A host-name resolution or socket error with its Winsock-style code.
class EWinsockError : public Exception {
 public:
  EWinsockError(std::string message, int code) : Exception(std::move(message)), code_(code) {}
  int Code() const noexcept { return code_; }

 private:
  int code_;
};

// The stream errors' fixed texts.
inline constexpr const char* kStreamReadError = "Stream read error";
inline constexpr const char* kStreamWriteError = "Stream write error";

}  // namespace rda

#pragma once
// The framework's exception family. Framework failures raise EtiPerException or a child, so callers can tell
// them from the program's own EKelvado family.
#include <exception>
#include <string>

#include "framework/tiFormat.h"

namespace kelvado {

// Root of every exception the system raises; carries only its message text.
class Exception : public std::exception {
public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  Exception(const std::string& fmt, const FmtArgs& args) : message_(tiFormat(fmt, args)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string m) { message_ = std::move(m); }
  // The class name as users see it in error boxes ("Error : <class>").
  virtual const char* ClassName() const noexcept { return "Exception"; }

private:
  std::string message_;
};

#define KELVADO_EXCEPTION_CLASS(Name, Base)                                  \
  class Name : public Base {                                                 \
  public:                                                                    \
    using Base::Base;                                                        \
    const char* ClassName() const noexcept override { return #Name; }       \
  }

// A text that does not represent a value of the wanted type.
KELVADO_EXCEPTION_CLASS(EConvertError, Exception);

KELVADO_EXCEPTION_CLASS(EtiPerException, Exception);
KELVADO_EXCEPTION_CLASS(EtiPerInternalException, EtiPerException);
KELVADO_EXCEPTION_CLASS(EtiPerProgrammerException, EtiPerException);
KELVADO_EXCEPTION_CLASS(EtiPerDataException, EtiPerException);

// A database operation of a persistence layer failed. The text names database, user and layer; the password
// is shown only as one "X" per character.
class EtiPerDBException : public EtiPerException {
public:
  EtiPerDBException(const std::string& perLayerName, const std::string& dbName, const std::string& userName,
                    const std::string& password, const std::string& message);
  const char* ClassName() const noexcept override { return "EtiPerDBException"; }

protected:
  struct Prefixed {};
  EtiPerDBException(Prefixed, const std::string& prefix, const std::string& perLayerName, const std::string& dbName,
                    const std::string& userName, const std::string& password, const std::string& message);
  struct Plain {};
  EtiPerDBException(Plain, const std::string& message) : EtiPerException(message) {}
};

// A file store's file could not be read or written. A file store has no server, user or password, so the text
// is the failure alone, which names the file; callers still catch it as the database failure it is.
class EtiPerFileException : public EtiPerDBException {
public:
  explicit EtiPerFileException(const std::string& message) : EtiPerDBException(Plain{}, message) {}
};

class EtiPerDBExceptionCanNotConnect : public EtiPerDBException {
public:
  EtiPerDBExceptionCanNotConnect(const std::string& perLayerName, const std::string& dbName,
                                 const std::string& userName, const std::string& password,
                                 const std::string& message);
  const char* ClassName() const noexcept override { return "EtiPerDBExceptionCanNotConnect"; }

protected:
  EtiPerDBExceptionCanNotConnect(Prefixed, const std::string& prefix, const std::string& perLayerName,
                                 const std::string& dbName, const std::string& userName, const std::string& password,
                                 const std::string& message);
  EtiPerDBExceptionCanNotConnect(Plain, const std::string& message) : EtiPerDBException(Plain{}, message) {}
};

// A file store's file (or the clipboard's document) could not be read: the failure alone, as for
// EtiPerFileException.
class EtiPerFileExceptionCanNotConnect : public EtiPerDBExceptionCanNotConnect {
public:
  explicit EtiPerFileExceptionCanNotConnect(const std::string& message)
      : EtiPerDBExceptionCanNotConnect(Plain{}, message) {}
};

class EtiPerDBExceptionUserNamePassword : public EtiPerDBExceptionCanNotConnect {
public:
  EtiPerDBExceptionUserNamePassword(const std::string& perLayerName, const std::string& dbName,
                                    const std::string& userName, const std::string& password,
                                    const std::string& message);
  const char* ClassName() const noexcept override { return "EtiPerDBExceptionUserNamePassword"; }
};

// No layer of the system raises it; kept so callers can name it.
class EtiPerDBExceptionWrongServerVersion : public EtiPerDBException {
public:
  using EtiPerDBException::EtiPerDBException;
  const char* ClassName() const noexcept override { return "EtiPerDBExceptionWrongServerVersion"; }
};

}  // namespace kelvado

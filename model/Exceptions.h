#pragma once
// The program's own exception family. Business objects, calculators and the stores raise these; each carries
// its ready message text and also the number of the language text it was built from and the arguments, so a
// caller can tell refusals apart without parsing texts.
#include <string>

#include "framework/tiExcept.h"
#include "framework/tiFormat.h"
#include "model/MsgIds.h"

namespace kelvado {

class TtiObject;

class EKelvado : public Exception {
public:
  // A ready message text; MsgNumber() is 0.
  explicit EKelvado(std::string message);
  // Language text `msgNumber` (index + base, e.g. 1004) formatted printf-style with `args`. When the language
  // library has no such text, the message still names the number and the arguments, so no error is shown empty.
  explicit EKelvado(int msgNumber, FmtArgs args = {});

  int MsgNumber() const noexcept { return msgNumber_; }
  const FmtArgs& MsgArgs() const noexcept { return msgArgs_; }
  const char* ClassName() const noexcept override { return "EKelvado"; }

  // The text of message `msgNumber` formatted with `args`, with the fallback described above.
  static std::string ComposeMessage(int msgNumber, const FmtArgs& args);

protected:
  EKelvado(int msgNumber, FmtArgs args, std::string message);

private:
  int msgNumber_ = 0;
  FmtArgs msgArgs_;
};

KELVADO_EXCEPTION_CLASS(EIndexOutOfBounds, EKelvado);
KELVADO_EXCEPTION_CLASS(EInvalidDet, EKelvado);
KELVADO_EXCEPTION_CLASS(EInvalidValue, EKelvado);
KELVADO_EXCEPTION_CLASS(ENotImplemented, EKelvado);
KELVADO_EXCEPTION_CLASS(EIOError, EKelvado);
// The memory ran out, or a file would need more of it than the program may use: nothing is wrong with the
// file (texts 1160, 1161).
KELVADO_EXCEPTION_CLASS(EOutOfMemory, EKelvado);

// Schema validation or parsing of a project file failed. The message is text 1031 formatted with file name,
// reason, error code, line and line position.
class EInvalidXML : public EKelvado {
public:
  EInvalidXML(std::string fileName, std::string reason, int errorCode, int line, int linePos, std::string srcText);
  const char* ClassName() const noexcept override { return "EInvalidXML"; }

  const std::string& FileName() const noexcept { return fileName_; }
  const std::string& Reason() const noexcept { return reason_; }
  int ErrorCode() const noexcept { return errorCode_; }
  int Line() const noexcept { return line_; }
  int LinePos() const noexcept { return linePos_; }
  const std::string& SrcText() const noexcept { return srcText_; }
  // Text 1031 formatted with the details, fetched anew (the language may have changed since construction).
  std::string MessageText() const;

private:
  std::string fileName_;
  std::string reason_;
  int errorCode_;
  int line_;
  int linePos_;
  std::string srcText_;
};

// A write-protected business object was to be changed. Obj is the refused object; it is not owned.
class EProtectionViolation : public EKelvado {
public:
  EProtectionViolation(std::string message, TtiObject* obj);
  // Message 1002 (no arguments) and the refused object.
  explicit EProtectionViolation(TtiObject* obj);
  const char* ClassName() const noexcept override { return "EProtectionViolation"; }

  TtiObject* Obj() const noexcept { return obj_; }

private:
  TtiObject* obj_;
};

}  // namespace kelvado

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

  // Names the item a refused value was meant for in front of the text (`item`, e.g. `Element "Switch S1"`,
  // then ": "); number and arguments stay. Only the first item named counts; an empty one names nothing.
  void NameItem(const std::string& item);
  // The text without that item, for a caller that names the value's place itself (a file's row and column).
  std::string TextWithoutItem() const;

protected:
  EKelvado(int msgNumber, FmtArgs args, std::string message);

private:
  int msgNumber_ = 0;
  FmtArgs msgArgs_;
  std::string item_;  // as put in front of the text, ": " included
};

// The text of `e`, without the item an EKelvado names (see EKelvado::NameItem).
std::string TextWithoutItem(const Exception& e);

// Where a value stands in a stored file, in the run's language (text 1180), followed by ": ": put before the
// text of an error the value caused. `row` is the row's identifier.
std::string PlaceOfValue(const std::string& file, const std::string& table, const std::string& row,
                         const std::string& column);

KELVADO_EXCEPTION_CLASS(EIndexOutOfBounds, EKelvado);
KELVADO_EXCEPTION_CLASS(EInvalidDet, EKelvado);
KELVADO_EXCEPTION_CLASS(EInvalidValue, EKelvado);
KELVADO_EXCEPTION_CLASS(ENotImplemented, EKelvado);
KELVADO_EXCEPTION_CLASS(EIOError, EKelvado);
// The memory ran out, or a file would need more of it than the program may use: nothing is wrong with the
// file (texts 1160, 1161).
KELVADO_EXCEPTION_CLASS(EOutOfMemory, EKelvado);

// Schema validation or parsing of a project file failed. The number is 1031 with the arguments file name,
// reason, line and line position. Its text is text 1031, or, for a fault the program words itself (the
// reason is the parser's, in English), the text of that fault: 1181 the file ends too early (file, line,
// position), 1182 an end tag that does not match (file, end tag, open element, line, position), 1183 an invalid
// character (file, line, position), 1186 no XML at all (file, line, position), 1187 an element the schema does
// not allow there (file, element, line, position), 1188 an attribute it does not allow (file, element,
// attribute, line, position). No text shows the parser's error code.
class EInvalidXML : public EKelvado {
public:
  enum class TFault { Other, UnexpectedEnd, TagMismatch, InvalidCharacter, NotXML, ElementNotAllowed,
                      AttributeNotAllowed };
  // `name1`, `name2`: the names the fault concerns. Of a tag mismatch the open element and the end tag; of an
  // element not allowed the element; of an attribute not allowed the element and the attribute.
  EInvalidXML(std::string fileName, std::string reason, int errorCode, int line, int linePos, std::string srcText,
              TFault fault = TFault::Other, std::string name1 = {}, std::string name2 = {});
  const char* ClassName() const noexcept override { return "EInvalidXML"; }

  const std::string& FileName() const noexcept { return fileName_; }
  const std::string& Reason() const noexcept { return reason_; }
  int ErrorCode() const noexcept { return errorCode_; }
  int Line() const noexcept { return line_; }
  int LinePos() const noexcept { return linePos_; }
  const std::string& SrcText() const noexcept { return srcText_; }
  TFault Fault() const noexcept { return fault_; }
  // The text above, fetched anew (the language may have changed since construction).
  std::string MessageText() const;

private:
  std::string fileName_;
  std::string reason_;
  int errorCode_;
  int line_;
  int linePos_;
  std::string srcText_;
  TFault fault_;
  std::string name1_;
  std::string name2_;
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

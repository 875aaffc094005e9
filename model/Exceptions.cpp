#include "model/Exceptions.h"

#include "model/MsgStrings.h"

namespace kelvado {

std::string EKelvado::ComposeMessage(int msgNumber, const FmtArgs& args) {
  // A message is for the user: in the run's language, also while the built-in texts are in force.
  const std::string text = GetRunMsgString(msgNumber, 0);
  if (!text.empty()) return tiFormat(text, args);
  // Without its language text an error must still say what it is about: its number and its arguments.
  std::string s = "[" + std::to_string(msgNumber) + "]";
  for (size_t i = 0; i < args.size(); ++i) s += (i == 0 ? " " : ", ") + args[i].AsString();
  return s;
}

EKelvado::EKelvado(std::string message) : Exception(std::move(message)) {}

EKelvado::EKelvado(int msgNumber, FmtArgs args)
    : Exception(ComposeMessage(msgNumber, args)), msgNumber_(msgNumber), msgArgs_(std::move(args)) {}

EKelvado::EKelvado(int msgNumber, FmtArgs args, std::string message)
    : Exception(std::move(message)), msgNumber_(msgNumber), msgArgs_(std::move(args)) {}

void EKelvado::NameItem(const std::string& item) {
  if (item.empty() || !item_.empty()) return;
  item_ = item + ": ";
  SetMessage(item_ + Message());
}

std::string EKelvado::TextWithoutItem() const {
  const std::string& text = Message();
  return !item_.empty() && text.starts_with(item_) ? text.substr(item_.size()) : text;
}

std::string TextWithoutItem(const Exception& e) {
  const auto* k = dynamic_cast<const EKelvado*>(&e);
  return k ? k->TextWithoutItem() : e.Message();
}

std::string PlaceOfValue(const std::string& file, const std::string& table, const std::string& row,
                         const std::string& column) {
  const std::string frame = GetRunMsgString(msgValuePlace, 0);
  // Without the language text the place is still named.
  if (frame.empty()) return "File <" + file + ">, table <" + table + ">, row <" + row + ">, column <" + column + ">: ";
  return tiFormat(frame, {file, table, row, column}) + ": ";
}

EInvalidXML::EInvalidXML(std::string fileName, std::string reason, int errorCode, int line, int linePos,
                         std::string srcText, TFault fault, std::string name1, std::string name2)
    : EKelvado(msgInvalidXML, FmtArgs{fileName, reason, line, linePos}, std::string()),
      fileName_(std::move(fileName)),
      reason_(std::move(reason)),
      errorCode_(errorCode),
      line_(line),
      linePos_(linePos),
      srcText_(std::move(srcText)),
      fault_(fault),
      name1_(std::move(name1)),
      name2_(std::move(name2)) {
  SetMessage(MessageText());
}

std::string EInvalidXML::MessageText() const {
  // A fault of our own wording, where the run's language has its text.
  int number = 0;
  FmtArgs args;
  switch (fault_) {
    case TFault::UnexpectedEnd:
      number = msgXMLEndsEarly;
      args = {fileName_, line_, linePos_};
      break;
    case TFault::TagMismatch:
      number = msgXMLTagMismatch;
      args = {fileName_, name2_, name1_, line_, linePos_};
      break;
    case TFault::InvalidCharacter:
      number = msgXMLInvalidCharacter;
      args = {fileName_, line_, linePos_};
      break;
    case TFault::NotXML:
      number = msgXMLNotXML;
      args = {fileName_, line_, linePos_};
      break;
    case TFault::ElementNotAllowed:
      number = msgXMLElementNotAllowed;
      args = {fileName_, name1_, line_, linePos_};
      break;
    case TFault::AttributeNotAllowed:
      number = msgXMLAttributeNotAllowed;
      args = {fileName_, name1_, name2_, line_, linePos_};
      break;
    case TFault::Other:
      break;
  }
  if (number != 0) {
    const std::string text = GetRunMsgString(number, 0);
    if (!text.empty()) return tiFormat(text, args);
  }
  return ComposeMessage(msgInvalidXML, MsgArgs());
}

EProtectionViolation::EProtectionViolation(std::string message, TtiObject* obj)
    : EKelvado(msgProtectionViolation, {}, std::move(message)), obj_(obj) {}

EProtectionViolation::EProtectionViolation(TtiObject* obj)
    : EKelvado(msgProtectionViolation, {}, ComposeMessage(msgProtectionViolation, {})), obj_(obj) {}

}  // namespace kelvado

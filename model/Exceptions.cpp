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

namespace {
FmtArgs XMLArgs(const std::string& fileName, const std::string& reason, int errorCode, int line, int linePos) {
  return FmtArgs{fileName, reason, errorCode, line, linePos};
}
}  // namespace

EInvalidXML::EInvalidXML(std::string fileName, std::string reason, int errorCode, int line, int linePos,
                         std::string srcText)
    : EKelvado(msgInvalidXML, XMLArgs(fileName, reason, errorCode, line, linePos),
               ComposeMessage(msgInvalidXML, XMLArgs(fileName, reason, errorCode, line, linePos))),
      fileName_(std::move(fileName)),
      reason_(std::move(reason)),
      errorCode_(errorCode),
      line_(line),
      linePos_(linePos),
      srcText_(std::move(srcText)) {}

std::string EInvalidXML::MessageText() const {
  return ComposeMessage(msgInvalidXML, XMLArgs(fileName_, reason_, errorCode_, line_, linePos_));
}

EProtectionViolation::EProtectionViolation(std::string message, TtiObject* obj)
    : EKelvado(msgProtectionViolation, {}, std::move(message)), obj_(obj) {}

EProtectionViolation::EProtectionViolation(TtiObject* obj)
    : EKelvado(msgProtectionViolation, {}, ComposeMessage(msgProtectionViolation, {})), obj_(obj) {}

}  // namespace kelvado

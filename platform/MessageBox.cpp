#include "platform/MessageBox.h"

#include "platform/OutputCharset.h"

#include <cstdio>

namespace kelvado {

namespace {
std::mutex& SinkMutex() {
  static std::mutex m;
  return m;
}
MessageSink& CurrentSink() {
  static MessageSink sink;
  return sink;
}
}  // namespace

MessageSink SetMessageSink(MessageSink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  MessageSink previous = std::move(CurrentSink());
  CurrentSink() = std::move(sink);
  return previous;
}

MsgResult DefaultMessageSink(const MessageRequest& request) {
  // In the character set of the user's terminal, as everything the program writes for the user.
  const std::string text = ToOutputCharset(request.text);
  if (request.caption.empty())
    std::fprintf(stderr, "%s\n", text.c_str());
  else
    std::fprintf(stderr, "%s: %s\n", ToOutputCharset(request.caption).c_str(), text.c_str());
  std::fflush(stderr);
  return request.defaultResult;
}

MsgResult ShowMessage(const MessageRequest& request) {
  MessageSink sink;
  {
    // Called outside the lock: a sink may itself show a message or swap sinks.
    std::lock_guard<std::mutex> lock(SinkMutex());
    sink = CurrentSink();
  }
  return sink ? sink(request) : DefaultMessageSink(request);
}

MsgResult ShowMessage(const std::string& caption, const std::string& text, MsgIcon icon) {
  MessageRequest r;
  r.caption = caption;
  r.text = text;
  r.icon = icon;
  return ShowMessage(r);
}

bool AskYesNo(const std::string& caption, const std::string& text, bool defaultYes) {
  MessageRequest r;
  r.caption = caption;
  r.text = text;
  r.icon = MsgIcon::Question;
  r.buttons = MsgButtons::YesNo;
  r.defaultResult = defaultYes ? MsgResult::Yes : MsgResult::No;
  return ShowMessage(r) == MsgResult::Yes;
}

}  // namespace kelvado

#pragma once
// Message boxes and yes/no questions without a GUI toolkit. The engine asks through one replaceable sink; a
// program with a user interface installs its own, tests install a recording one. Without a sink the question
// gets the caller's default answer and its text goes to stderr, so a batch run never blocks on a dialog.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kelvado {

enum class MsgIcon { None, Information, Warning, Error, Question };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MsgResult { Ok, Cancel, Yes, No };

struct MessageRequest {
  std::string caption;
  std::string text;
  MsgIcon icon = MsgIcon::None;
  MsgButtons buttons = MsgButtons::Ok;
  MsgResult defaultResult = MsgResult::Ok;  // the answer a user gets by pressing Enter
};

using MessageSink = std::function<MsgResult(const MessageRequest&)>;

// Installs `sink` (an empty one restores the default) and returns the one it replaces.
MessageSink SetMessageSink(MessageSink sink);

// Shows a message through the current sink and returns its answer.
MsgResult ShowMessage(const MessageRequest& request);
MsgResult ShowMessage(const std::string& caption, const std::string& text, MsgIcon icon = MsgIcon::None);

// Asks a yes/no question; true means yes.
bool AskYesNo(const std::string& caption, const std::string& text, bool defaultYes);

// The default sink: writes "caption: text" to stderr and answers request.defaultResult.
MsgResult DefaultMessageSink(const MessageRequest& request);

// Installs a sink for the lifetime of the object and puts the previous one back afterwards.
class ScopedMessageSink {
public:
  explicit ScopedMessageSink(MessageSink sink) : previous_(SetMessageSink(std::move(sink))) {}
  ~ScopedMessageSink() { SetMessageSink(std::move(previous_)); }
  ScopedMessageSink(const ScopedMessageSink&) = delete;
  ScopedMessageSink& operator=(const ScopedMessageSink&) = delete;

private:
  MessageSink previous_;
};

// Test double: records every request and answers with a scripted result (the request's default when unset).
class MessageRecorder {
public:
  MessageRecorder() : scope_([this](const MessageRequest& r) { return Record(r); }) {}
  void AnswerWith(MsgResult answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = answer;
    scripted_ = true;
  }
  std::vector<MessageRequest> Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }

private:
  MsgResult Record(const MessageRequest& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(r);
    return scripted_ ? answer_ : r.defaultResult;
  }
  mutable std::mutex mutex_;
  std::vector<MessageRequest> messages_;
  MsgResult answer_ = MsgResult::Ok;
  bool scripted_ = false;
  ScopedMessageSink scope_;  // last: installed after the record is ready, removed first
};

}  // namespace kelvado

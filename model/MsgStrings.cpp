#include "model/MsgStrings.h"

#include <limits>
#include <mutex>

#include "platform/LanguageLibrary.h"

#include "model/GlobalsConfig.h"

namespace kelvado {

namespace {

// A text is read into a buffer of 1025 characters: at most 1024 characters (not bytes: UTF-8 sequences are
// never cut) reach the caller.
constexpr size_t kMaxTextChars = 1024;

std::mutex& LibMutex() {
  static std::mutex m;
  return m;
}

LanguageLibrary& Lib() {
  static LanguageLibrary lib;
  return lib;
}

// Set while the library path is being looked up: the configuration may report a failure with a numbered text,
// which must not recurse into another load.
thread_local bool tLookingUpPath = false;

std::string LanguageLibraryPath() { return GetLangLngDll(); }

std::string CutToChars(const std::string& s, size_t maxChars) {
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    // Count only lead bytes, so a multi-byte character stays whole.
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (chars == maxChars) return s.substr(0, i);
      ++chars;
    }
  }
  return s;
}

}  // namespace

std::string GetMsgString(int Index, int Base) {
  const long long number = static_cast<long long>(Index) + Base;
  if (number < 0 || number > std::numeric_limits<int>::max()) return {};
  if (tLookingUpPath) return {};

  bool loaded;
  {
    std::lock_guard<std::mutex> lock(LibMutex());
    loaded = Lib().IsLoaded();
  }
  if (!loaded) {
    // Look the path up outside the lock; a failed load leaves the library unloaded for the next call to retry.
    std::string path;
    tLookingUpPath = true;
    try {
      path = LanguageLibraryPath();
    } catch (...) {
      path.clear();
    }
    tLookingUpPath = false;
    if (path.empty()) return {};
    std::lock_guard<std::mutex> lock(LibMutex());
    if (!Lib().IsLoaded() && !Lib().Load(path)) return {};
  }

  std::string raw;
  {
    std::lock_guard<std::mutex> lock(LibMutex());
    raw = Lib().Text(static_cast<int>(number));
  }
  raw = CutToChars(raw, kMaxTextChars);
  std::string text;
  text.reserve(raw.size() + 8);
  for (char c : raw) {
    if (c == '\n') text += '\r';
    text += c;
  }
  return text;
}

std::string MsgStringsFile() {
  GetMsgString(0, msgBaseGeneral);
  std::lock_guard<std::mutex> lock(LibMutex());
  return Lib().IsLoaded() ? Lib().Path() : std::string();
}

void GetMsgString(int Index, int Base, std::string& Text) { Text = GetMsgString(Index, Base); }

std::string FormatMsgString(int Number, const FmtArgs& Args) { return tiFormat(GetMsgString(Number, 0), Args); }

void ReleaseMsgStrings() {
  std::lock_guard<std::mutex> lock(LibMutex());
  Lib().Unload();
}

}  // namespace kelvado

#include "model/MsgStrings.h"

#include <limits>
#include <mutex>
#include <string_view>

#include "platform/LanguageLibrary.h"

#include "model/GlobalsConfig.h"

namespace kelvado {

// The German language file as it was built into the program (generated from resources/lang/Lang_DE.txt).
extern const std::string_view kBuiltInGermanTexts;

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

// Set while TBuiltInTexts is in force on this thread.
thread_local bool tBuiltIn = false;

std::string LanguageLibraryPath() { return GetLangLngDll(); }

// Never changed once made, so read without a lock.
const LanguageLibrary& BuiltInGerman() {
  static const LanguageLibrary lib = [] {
    LanguageLibrary l;
    l.LoadFromText(std::string(kBuiltInGermanTexts));
    return l;
  }();
  return lib;
}

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

// A text as it is handed out: cut to its length, every line feed as CR LF.
std::string Handed(const std::string& raw) {
  const std::string cut = CutToChars(raw, kMaxTextChars);
  std::string text;
  text.reserve(cut.size() + 8);
  for (char c : cut) {
    if (c == '\n') text += '\r';
    text += c;
  }
  return text;
}

bool IsTextNumber(long long number) { return number >= 0 && number <= std::numeric_limits<int>::max(); }

}  // namespace

std::string GetRunMsgString(int Index, int Base) {
  const long long number = static_cast<long long>(Index) + Base;
  if (!IsTextNumber(number)) return {};
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
  return Handed(raw);
}

std::string GetMsgString(int Index, int Base) {
  if (!tBuiltIn) return GetRunMsgString(Index, Base);
  const long long number = static_cast<long long>(Index) + Base;
  if (!IsTextNumber(number)) return {};
  return Handed(BuiltInGerman().Text(static_cast<int>(number)));
}

std::string MsgStringsFile() {
  GetRunMsgString(0, msgBaseGeneral);
  std::lock_guard<std::mutex> lock(LibMutex());
  return Lib().IsLoaded() ? Lib().Path() : std::string();
}

void GetMsgString(int Index, int Base, std::string& Text) { Text = GetMsgString(Index, Base); }

std::string FormatMsgString(int Number, const FmtArgs& Args) { return tiFormat(GetMsgString(Number, 0), Args); }

TBuiltInTexts::TBuiltInTexts() : previous_(tBuiltIn) { tBuiltIn = true; }
TBuiltInTexts::~TBuiltInTexts() { tBuiltIn = previous_; }

void ReleaseMsgStrings() {
  std::lock_guard<std::mutex> lock(LibMutex());
  Lib().Unload();
}

}  // namespace kelvado

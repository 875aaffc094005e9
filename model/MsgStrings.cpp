#include "model/MsgStrings.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/FileIO.h"
#include "platform/LanguageLibrary.h"
#include "platform/MessageBox.h"

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

// Language files refused as no text, each reported once in the run (under LibMutex).
std::set<std::string>& ReportedRefusals() {
  static std::set<std::string> reported;
  return reported;
}

// Set while the library path is being looked up: the configuration may report a failure with a numbered text,
// which must not recurse into another load.
thread_local bool tLookingUpPath = false;
// What is to be shown once the look-up is over and the texts are loaded (ShowWhenTextsAreReady).
thread_local std::vector<std::function<void()>> tWaitingForTexts;

// Set while TBuiltInTexts is in force on this thread.
thread_local bool tBuiltIn = false;

std::string LanguageLibraryPath() { return GetLangLngDll(); }

// The file of the other language beside a shipped one ("Lang_DE.txt" and "Lang_EN.txt"), or empty.
std::string OtherLanguageFile(const std::string& path) {
  for (const auto& [from, to] : {std::pair{"/Lang_DE.txt", "/Lang_EN.txt"}, std::pair{"/Lang_EN.txt", "/Lang_DE.txt"}}) {
    const size_t n = std::strlen(from);
    if (path.size() > n && path.compare(path.size() - n, n, from) == 0) return path.substr(0, path.size() - n) + to;
  }
  return {};
}

// The files that stand in for `path` when it is refused as no text, in order: the other language's file beside
// it, then the program's own one. Looked up with the path (it reads the settings), never under LibMutex.
std::vector<std::string> StandIns(const std::string& path) {
  std::vector<std::string> files;
  for (const std::string& f : {OtherLanguageFile(path), LanguageFileInsteadOf(path)})
    if (!f.empty() && f != path && (files.empty() || files.back() != f)) files.push_back(f);
  return files;
}

// Loads the texts (under LibMutex). A file refused as no text is replaced by the first of `standIns` that loads;
// `report` gets what the user must learn of that, in English: no texts are there to say it otherwise.
bool LoadLibrary(const std::string& path, const std::vector<std::string>& standIns, std::string& report) {
  if (Lib().Load(path)) return true;
  const std::string refusal = Lib().Refusal();
  if (refusal.empty()) return false;
  std::string used;
  for (const std::string& other : standIns)
    if (Lib().Load(other)) {
      used = other;
      break;
    }
  if (ReportedRefusals().insert(path).second)
    report = "The language file \"" + path + "\" is refused: " + refusal + ". " +
             (used.empty() ? std::string("No texts are available.")
                           : "The texts of \"" + used + "\" are used instead.");
  return !used.empty();
}

void ShowWaiting() {
  std::vector<std::function<void()>> waiting;
  waiting.swap(tWaitingForTexts);
  for (const auto& show : waiting) show();
}

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
    std::vector<std::string> standIns;
    tLookingUpPath = true;
    try {
      path = LanguageLibraryPath();
    } catch (...) {
      path.clear();
    }
    try {
      if (!path.empty()) standIns = StandIns(path);
    } catch (...) {
      standIns.clear();
    }
    tLookingUpPath = false;
    std::string report;
    bool ok = false;
    if (!path.empty()) {
      std::lock_guard<std::mutex> lock(LibMutex());
      ok = Lib().IsLoaded() || LoadLibrary(path, standIns, report);
    }
    if (!report.empty()) ShowMessage("", report, MsgIcon::Warning);
    ShowWaiting();
    if (!ok) return {};
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

void ShowWhenTextsAreReady(std::function<void()> show) {
  if (tLookingUpPath)
    tWaitingForTexts.push_back(std::move(show));
  else
    show();
}

std::string SystemErrorText(int err) {
  int number = 0;
  switch (err) {
    case EACCES:
    case EPERM: number = msgReasonPermission; break;
    case EROFS: number = msgReasonReadOnlyFileSystem; break;
    case ENOSPC:
    case EDQUOT: number = msgReasonDiskFull; break;
    case ELOOP: number = msgReasonLinkLoop; break;
    case ENAMETOOLONG: number = msgReasonNameTooLong; break;
    case ENOENT: number = msgReasonMissing; break;
    case ENOTDIR: number = msgReasonNotAFolder; break;
    case EIO: number = msgReasonIOError; break;
    case EBADF: number = msgReasonClosed; break;
    default: break;
  }
  std::string text = number ? GetMsgString(number, 0) : std::string();
  if (text.empty()) text = FormatMsgString(msgReasonOther, {err, std::strerror(err)});
  return text.empty() ? std::string(std::strerror(err)) : text;
}

std::string CauseText(const std::string& cause) {
  // The causes of file and settings failures hold the system's text of the error (strerror, in this process's
  // words); the error it stands for gets its words in the run's language.
  for (const int err : {EACCES, EPERM, EROFS, ENOSPC, EDQUOT, ELOOP, ENAMETOOLONG, ENOENT, ENOTDIR, EIO, EBADF})
    if (cause.find(std::strerror(err)) != std::string::npos) return SystemErrorText(err);
  if (cause == kCauseReadOnly) {
    const std::string text = GetMsgString(msgReasonReadOnly, 0);
    if (!text.empty()) return text;
  }
  // The settings store's own words for a file where a folder belongs (platform/Registry.cpp).
  if (cause == "a file of that name is in the way" || cause == "not a folder") {
    const std::string text = GetMsgString(msgReasonInTheWay, 0);
    if (!text.empty()) return text;
  }
  return cause;
}

TBuiltInTexts::TBuiltInTexts() : previous_(tBuiltIn) { tBuiltIn = true; }
TBuiltInTexts::~TBuiltInTexts() { tBuiltIn = previous_; }

void ReleaseMsgStrings() {
  std::lock_guard<std::mutex> lock(LibMutex());
  Lib().Unload();
  ReportedRefusals().clear();
}

}  // namespace kelvado

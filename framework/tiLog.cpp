#include "framework/tiLog.h"

#include <algorithm>
#include <atomic>

#include "framework/tiUtils.h"

namespace kelvado {

namespace {

const char* const kSeverityTexts[kLogSeverityCount] = {"Norm", "Info",  "Obj",   "Vis",  "DBCon",
                                                       "AVis", "Query", "Debug", "Warn", "Error"};

// Set once the log is gone; constant-initialised, so it is valid during the whole process shut-down.
std::atomic<bool> gLogShutDown{false};

struct LogHolder {
  TtiLog log;
};

// The holder itself is never freed, so a late caller finds an empty slot instead of a destroyed object.
std::unique_ptr<LogHolder>& Holder() {
  static auto* holder = new std::unique_ptr<LogHolder>();
  return *holder;
}

std::mutex& HolderMutex() {
  static std::mutex* m = new std::mutex();  // never freed: used until the very end of the process
  return *m;
}

// Frees the log when the program's static objects are freed.
struct LogReaper {
  ~LogReaper() { ShutDownLog(); }
};
LogReaper gLogReaper;

}  // namespace

const char* tiLogSeverityText(TtiLogSeverity sev) {
  const int i = static_cast<int>(sev);
  return (i >= 0 && i < kLogSeverityCount) ? kSeverityTexts[i] : "";
}

TtiLog::~TtiLog() = default;

void TtiLog::Log(const std::string& message, TtiLogSeverity severity) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (targets_.empty() || !IsSeverityOn(severity)) return;
  const std::string dateTime = tiPadR(tiDateTimeToStr(tiNow()), 19);
  std::string threadID = std::to_string(tiGetCurrentThreadID());
  if (threadID.size() < 4) threadID.insert(0, 4 - threadID.size(), ' ');
  for (const auto& target : targets_) target->Log(dateTime, threadID, message, severity);
}

TtiLogToAbs* TtiLog::RegisterLog(std::unique_ptr<TtiLogToAbs> target) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  TtiLogToAbs* raw = target.get();
  if (raw) targets_.push_back(std::move(target));
  return raw;
}

void TtiLog::UnRegisterLog(TtiLogToAbs* target) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = std::find_if(targets_.begin(), targets_.end(), [&](const auto& t) { return t.get() == target; });
  if (it != targets_.end()) targets_.erase(it);
}

int TtiLog::LogTargetCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return static_cast<int>(targets_.size());
}

TtiSevToLog TtiLog::SevToLog() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return sevToLog_;
}

void TtiLog::SetSevToLog(TtiSevToLog sevToLog) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  sevToLog_ = sevToLog;
}

bool TtiLog::IsSeverityOn(TtiLogSeverity severity) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const int i = static_cast<int>(severity);
  return i >= 0 && i < kLogSeverityCount && (sevToLog_ & tiSevBit(severity)) != 0;
}

TtiLog& GLog() {
  std::lock_guard<std::mutex> lock(HolderMutex());
  if (!Holder()) Holder() = std::make_unique<LogHolder>();
  return Holder()->log;
}

void ShutDownLog() {
  std::unique_ptr<LogHolder> holder;
  {
    std::lock_guard<std::mutex> lock(HolderMutex());
    gLogShutDown.store(true);
    holder = std::move(Holder());
  }
}

bool LogIsShutDown() { return gLogShutDown.load(); }

void RestartLog() {
  std::lock_guard<std::mutex> lock(HolderMutex());
  // A log in use stays as it is: callers may hold it (GLog()).
  if (!gLogShutDown.load()) return;
  gLogShutDown.store(false);
}

void Log(const std::string& message, TtiLogSeverity severity) {
  if (gLogShutDown.load()) return;
  GLog().Log(message, severity);
}

void Log(const std::string& fmt, const FmtArgs& args, TtiLogSeverity severity) {
  if (gLogShutDown.load()) return;
  GLog().Log(tiFormat(fmt, args), severity);
}

void LogError(const std::string& message) { Log(message, lsError); }

void LogError(const std::string& fmt, const FmtArgs& args) { Log(fmt, args, lsError); }

}  // namespace kelvado

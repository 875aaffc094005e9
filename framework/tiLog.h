#pragma once
// The framework log. Each call builds the line parts (date-time, thread id, message, severity) and hands them
// to every registered target whose severity is switched on. The program registers no target, so by default
// lines are built and discarded; tests register one to capture them.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/tiFormat.h"

namespace kelvado {

enum TtiLogSeverity {
  lsNormal,                   // "Norm"
  lsUserInfo,                 // "Info"
  lsObjCreation,              // "Obj"
  lsVisitor,                  // "Vis"
  lsDBConnection,             // "DBCon"
  lsAcceptableVisitorError,   // "AVis"
  lsQueryTiming,              // "Query"
  lsDebug,                    // "Debug"
  lsWarning,                  // "Warn"
  lsError                     // "Error"
};
constexpr int kLogSeverityCount = 10;

// "Norm", "Info", "Obj", "Vis", "DBCon", "AVis", "Query", "Debug", "Warn", "Error".
const char* tiLogSeverityText(TtiLogSeverity sev);

// A set of severities as bits (bit n = severity n).
using TtiSevToLog = uint32_t;
constexpr TtiSevToLog tiSevBit(TtiLogSeverity sev) { return TtiSevToLog(1) << sev; }
// Norm, Info, AVis, Query, Debug, Warn and Error on; Obj, Vis and DBCon off.
constexpr TtiSevToLog kDefaultSevToLog = 995;

// Where log lines go. Targets may be called from any thread.
class TtiLogToAbs {
public:
  virtual ~TtiLogToAbs() = default;
  // dateTime: "yyyy-mm-dd hh:mm:ss" (19 characters); threadID: decimal, at least 4 characters (blank padded
  // on the left).
  virtual void Log(const std::string& dateTime, const std::string& threadID, const std::string& message,
                   TtiLogSeverity severity) = 0;
};

class TtiLog {
public:
  TtiLog() = default;
  ~TtiLog();
  TtiLog(const TtiLog&) = delete;
  TtiLog& operator=(const TtiLog&) = delete;

  void Log(const std::string& message, TtiLogSeverity severity = lsNormal);
  // The target is owned by the log; returns it for later unregistering.
  TtiLogToAbs* RegisterLog(std::unique_ptr<TtiLogToAbs> target);
  // Removes and frees the target.
  void UnRegisterLog(TtiLogToAbs* target);
  int LogTargetCount() const;

  TtiSevToLog SevToLog() const;
  void SetSevToLog(TtiSevToLog sevToLog);
  bool IsSeverityOn(TtiLogSeverity severity) const;

private:
  // Guards the target list against registration while another thread logs; recursive so that a target may
  // itself log.
  mutable std::recursive_mutex mutex_;
  std::vector<std::unique_ptr<TtiLogToAbs>> targets_;
  TtiSevToLog sevToLog_ = kDefaultSevToLog;
};

// The process-wide log, created on first use. After ShutDownLog (or process shut-down) it must not be used;
// the free functions below then do nothing.
TtiLog& GLog();
void ShutDownLog();
bool LogIsShutDown();
// Undoes ShutDownLog: the next use creates a fresh log (default severities, no targets); nothing while the log
// is in use. For tests and for a program that starts its framework anew.
void RestartLog();

void Log(const std::string& message, TtiLogSeverity severity = lsNormal);
// Formatted with tiFormat first.
void Log(const std::string& fmt, const FmtArgs& args, TtiLogSeverity severity = lsNormal);
void LogError(const std::string& message);
void LogError(const std::string& fmt, const FmtArgs& args);

}  // namespace kelvado

#pragma once
// Small shared services of unit Globals: the lists kept in the settings store (registered libraries, open
// project files), starting and waiting for another program, checking and opening web addresses, turning a
// name into a file name, and filling the text parameters of a report with language texts.
#include <string>
#include <vector>

namespace kelvado {

// At most this many entries plus one are read back from a list.
inline constexpr int MaxRecentListEntries = 100;

// The entries of the list of `kind` ("projectfile": ConfigBaseKey()\ProjektFileList, "lib": ...\LibList, any
// other kind: the values of ConfigBaseKey() itself), values "0", "1", ... up to the first gap, at most 101.
// A failure of the store is handled as by the settings routines (GlobalsConfig.h): shown once, and after a
// failure of the list's file the list lives on in memory; what was read before a failure is returned.
std::vector<std::string> LoadRecentList(const std::string& kind);

// Replaces the stored list of `kind` by `list` (every entry, no bound). Old values "0", "1", ... are deleted up
// to the first gap first. False when the list could not be written to the store (see LoadRecentList).
bool SaveRecentList(const std::vector<std::string>& list, const std::string& kind);

// Starts ExeFile with the arguments in Params (split at blanks, double quotes group) in the folder of ExeFile
// and waits for its end; true when it was started. ShowCmd has no meaning here and is accepted for callers.
bool RunAndWait(const std::string& exeFile, const std::string& params, int showCmd);

// `url` itself when it parses as an address with scheme http, https or ftp (any case) and fits the limits of
// the parser (scheme below 10, host, user and password below 200, path below 1000, query and fragment below
// 2000 characters); empty otherwise.
std::string CheckURL(const std::string& url);
inline void CheckURL(const std::string& url, std::string& result) { result = CheckURL(url); }

// True when CheckURL accepts `url`; unless checkOnly, the address is then handed to the desktop's opener.
bool OpenURL(const std::string& url, bool checkOnly);

// The part of `s` before its first ".", without any of  " ' * / : < > ? \ |  (other characters stay).
std::string MakeValidFileName(const std::string& s);
inline void MakeValidFileName(const std::string& s, std::string& result) { result = MakeValidFileName(s); }

// What the report engine offers us: setting a named text parameter of a report.
class IReportParameters {
public:
  virtual ~IReportParameters() = default;
  virtual void SetTextParameter(const std::string& name, const std::string& value) = 0;
};

// Sets the 105 label parameters of a report from the language texts (report labels, base 4000).
void SetReportLabels(IReportParameters& report);

}  // namespace kelvado

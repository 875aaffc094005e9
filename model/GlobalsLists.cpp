#include "model/GlobalsLists.h"

#include <exception>
#include <utility>

#include "framework/tiExcept.h"
#include "model/GlobalsConfig.h"
#include "model/MsgStrings.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Url.h"

namespace kelvado {

namespace {

// The list's key as a section under ConfigBaseKey() (empty: that key itself).
std::string ListSection(const std::string& kind) {
  if (kind == "projectfile") return "ProjektFileList";
  if (kind == "lib") return "LibList";
  return std::string();
}

bool IsUpperAscii(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c != b[i]) return false;
  }
  return i == a.size() && b[i] == '\0';
}

}  // namespace

std::vector<std::string> LoadRecentList(const std::string& kind) {
  std::vector<std::string> list;
  AccessSettings(ListSection(kind), [&](IRegistry& reg, const std::string& key) {
    list.clear();  // a missing key is an empty list: reading creates nothing
    for (int i = 0; i <= MaxRecentListEntries; ++i) {
      const std::string name = std::to_string(i);
      if (!reg.ValueExists(key, name)) break;
      list.push_back(reg.ReadString(key, name));
    }
  });
  return list;
}

bool SaveRecentList(const std::vector<std::string>& list, const std::string& kind) {
  return AccessSettings(ListSection(kind), [&](IRegistry& reg, const std::string& key) {
    reg.CreateKey(key);
    // The old entries go up to the first gap; a failure while finding them only leaves some in place.
    std::vector<std::string> deletes;
    try {
      for (int i = 0; i <= MaxRecentListEntries; ++i) {
        const std::string name = std::to_string(i);
        if (!reg.ValueExists(key, name)) break;
        deletes.push_back(name);
      }
    } catch (...) {
    }
    std::vector<std::pair<std::string, RegValue>> writes;
    writes.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i)
      writes.emplace_back(std::to_string(i), RegValue{RegDataType::ExpandString, list[i], 0});
    // One change of the store: a failed save leaves the old list as it was.
    reg.UpdateValues(key, deletes, writes);
  });
}

bool RunAndWait(const std::string& exeFile, const std::string& params, int /*showCmd*/) {
  const size_t slash = exeFile.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : exeFile.substr(0, slash + 1);
  return RunProcessAndWait(exeFile, SplitCommandLine(params), folder).started;
}

std::string CheckURL(const std::string& url) {
  UrlParts p;
  if (!ParseUrl(url, p)) return std::string();
  if (!IsUpperAscii(p.scheme, "HTTP") && !IsUpperAscii(p.scheme, "HTTPS") && !IsUpperAscii(p.scheme, "FTP"))
    return std::string();
  // The limits of the buffers the address was always checked with (each counts a closing NUL).
  if (!p.hasAuthority || p.host.empty() || p.scheme.size() >= 10 || p.host.size() >= 200 || p.user.size() >= 200 ||
      p.password.size() >= 200 || p.path.size() >= 1000 || p.extra.size() >= 2000)
    return std::string();
  return url;
}

bool OpenURL(const std::string& url, bool checkOnly) {
  if (CheckURL(url).empty()) return false;
  if (checkOnly) return true;
  // An address that could not be handed on is not reported as opened.
  return StartProcess("xdg-open", {url});
}

std::string MakeValidFileName(const std::string& s) {
  std::string result;
  for (char c : s) {
    if (c == '.') break;
    switch (c) {
      case '"': case '\'': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
        break;
      default:
        result += c;
    }
  }
  return result;
}

void SetReportLabels(IReportParameters& report) {
  struct Label {
    const char* name;
    int id;
    int base;
  };
  constexpr int R = msgBaseReport;
  constexpr int G = msgBaseGeneral;
  // In the order the report engine has always received them; "PrintNonRelevant" (id -1) is the option.
  static const Label labels[] = {
      {"RequireCatFullfiled", 0, R}, {"RequireCat", 1, R}, {"Note", 2, R}, {"TriggeringEvent", 3, R},
      {"Author", 4, R}, {"B10d", 5, R}, {"ContactText", 6, R}, {"Block", 7, R}, {"Blocks", 8, R},
      {"CCFPoints", 9, R}, {"CCFMeasures", 10, R}, {"Checksum", 11, R}, {"File", 12, R}, {"FileDate", 13, R},
      {"FileName", 14, R}, {"DateSignatureRevisor", 15, R}, {"DateSignatureAuthor", 16, R}, {"DC", 17, R},
      {"DCavgElements", 18, R}, {"DCavgDirectImput", 19, R}, {"DCavg", 20, R}, {"DiagnosticCoverage", 21, R},
      {"DisclaimerTexta", 100, R}, {"DisclaimerTextb", 101, R}, {"Documentation", 23, R}, {"Document", 24, R},
      {"DocReasoning", 25, R}, {"Hierarchy", 26, R}, {"Element", 27, R}, {"Elements", 28, R},
      {"ContainedElements", 29, R}, {"ContainedSafetyFunctions", 30, R}, {"ContainedSubsystems", 31, R},
      {"ContainedChannels", 32, R}, {"ReachedPL", 33, R}, {"CommonCauseFailure", 34, R}, {"MissionTime", 35, R},
      {"DangerousPoint", 36, R}, {"FailureRate", 37, R}, {"Disclaimer", 38, R}, {"FrequentToContinous", 39, R},
      {"FrequencyExposureTimeToHaz", 40, R}, {"Message", 41, R}, {"Channels", 42, R}, {"Cat", 43, R},
      {"Category", 44, R}, {"ScarcelyPossible", 45, R}, {"Contact", 46, R}, {"SlightInjury", 47, R},
      {"Machine", 48, R}, {"Measure", 49, R}, {"PossibleUnderSpecificConditions", 50, R},
      {"PossibleOfAvoiding", 51, R}, {"MTTFdElement", 52, R}, {"MTTFdDirectImput", 53, R},
      {"MTTFdB10d", 54, R}, {"MTTFd", 55, R}, {"MTTFdMissionTime", 56, R}, {"Name", 57, R}, {"Nop", 58, R},
      {"StandardVersion", 59, R}, {"PerformanceLevel", 60, R}, {"PFH", 61, R}, {"PL", 62, R},
      {"PLrDirectImput", 63, R}, {"PLrGraph", 64, R}, {"PLr", 65, R}, {"Project", 66, R},
      {"ProjectName", 67, R}, {"ProjectStatus", 68, R}, {"SourceStandard", 69, R}, {"Reaction", 70, R},
      {"ReportProjectName", 71, R}, {"Reportdate", 72, R}, {"RiskGraph", 73, R},
      {"SeriousInjuryOrDeath", 74, R}, {"SeverityOfInjury", 75, R}, {"Page", 76, R},
      {"SeldomToQuiteOften", 77, R}, {"SafeState", 78, R}, {"SaftyFunction", 79, R},
      {"SaftyFunctions", 80, R}, {"KelvadoSOMCS", 81, R}, {"KelvadoVersion", 82, R},
      {"StatusMessage", 83, R}, {"Status", 84, R}, {"Subsystem", 85, R}, {"Subsystems", 86, R},
      {"T10d", 87, R}, {"Technology", 88, R}, {"SafetyFunctionType", 89, R}, {"Type", 90, R},
      {"Overview", 91, R}, {"VersionOfStandard", 92, R}, {"VersionOfSoftware", 93, R},
      {"DesignatedArchitecture", 94, R}, {"NotRelevantString", 391, G}, {"PrintNonRelevant", -1, 0},
      {"CatRequirementNoneRelevant", 611, G}, {"Required", 95, R}, {"Reached", 96, R}, {"Options", 97, R},
      {"DCIntOption", 98, R}, {"MTTFdRaiseOption", 99, R}, {"CopyrightTextLeft", 110, R},
  };
  static_assert(sizeof(labels) / sizeof(labels[0]) == 105, "a report gets 105 label parameters");
  for (const Label& l : labels) {
    if (l.id < 0)
      report.SetTextParameter(l.name, GetOptPrintNonRelevant() ? "-1" : "0");
    else
      report.SetTextParameter(l.name, GetMsgString(l.id, l.base));
  }
}

}  // namespace kelvado

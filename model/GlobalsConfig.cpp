#include "model/GlobalsConfig.h"

#include <climits>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <typeinfo>
#include <utility>
#include <vector>

#include "framework/tiExcept.h"
#include "framework/tiFormat.h"
#include "model/Enums.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "platform/FileIO.h"
#include "platform/IniFile.h"
#include "platform/MessageBox.h"
#include "platform/OutputCharset.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/TextCase.h"
#include "platform/User.h"

namespace kelvado {

namespace {

const char* const kDatabase = "database";
const char* const kXml = "xml";
const char* const kOpt = "opt";
const char* const kLang = "lang";
const char* const kStartup = "startup";

bool gUseRegistry = true;
std::string gIniFileName;          // empty: beside the program
std::unique_ptr<IniFile> gIni;

// Cache cells of the rounding and precision keys; this value marks a cell not yet filled.
constexpr int32_t kUnset = INT32_MAX;
struct RoundingCache {
  int32_t roundB10d = kUnset, roundCCF = kUnset, roundDC = kUnset, truncFIT = kUnset, roundMTTFd = kUnset,
          roundNop = kUnset, precisionPFH = kUnset;
};
RoundingCache gCache;

// The options of the evaluations on this thread (TEvaluationOptionsScope): depth of the open scopes, each
// option once read, and the settings generation they were read at (0: none read).
struct EvalOptions {
  uint64_t generation = 0;
  std::optional<bool> cutBefore, cFitBefore, interLevels, cutRaise;
};
thread_local EvalOptions tEval;

void DropEvalOptions() {
  tEval.cutBefore.reset();
  tEval.cFitBefore.reset();
  tEval.interLevels.reset();
  tEval.cutRaise.reset();
}

// A change of the settings, or of where they are kept: this thread's scopes read again, and so does every
// other thread's next evaluation.
void ForgetEvalOptions() {
  DropEvalOptions();
  NoteSettingsChanged();
}

template <class Read>
bool EvalOption(std::optional<bool>& slot, Read read) {
  if (config_detail::tEvalDepth == 0) return read();
  if (!slot) slot = read();
  return *slot;
}

// Set while a failure is being shown: looking up its text reads the settings again, and a second failure
// there must neither recurse nor show a second box for the same access.
thread_local int tShowingFailure = 0;

// What went wrong with the settings store in this run: each failure (a file and its cause, or a message) is
// shown once; the sections whose files failed live on in memory, so that the run goes on with what the file
// still gave (nothing, for a damaged one) and the values set since, and the file is never touched again.
struct SettingsFaults {
  std::mutex mutex;
  std::set<std::string> reported;
  std::set<std::string> inMemory;  // section names in lower case
  std::unique_ptr<MemoryRegistry> memory = std::make_unique<MemoryRegistry>();
};
SettingsFaults& Faults() {
  static SettingsFaults faults;
  return faults;
}

bool InMemory(const std::string& section) {
  SettingsFaults& f = Faults();
  std::lock_guard<std::mutex> lock(f.mutex);
  return f.inMemory.count(LowerAscii(section)) > 0;
}

// The defaults of the keys this run found missing, written once the work is done (WriteMissingDefaults): a
// write replaces the section's file and flushes it to disk, which must never hold up a read.
struct MissingDefaults {
  std::mutex mutex;
  // By section name in lower case: the section as first read and its keys with their defaults (none: the
  // section's key only).
  std::map<std::string, std::pair<std::string, std::vector<std::pair<std::string, RegValue>>>> sections;
};
MissingDefaults& Missing() {
  static MissingDefaults missing;
  return missing;
}

void NoteMissing(const std::string& section, const std::string& key, std::optional<RegValue> def) {
  MissingDefaults& m = Missing();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto& values = m.sections.try_emplace(LowerAscii(section), section, std::vector<std::pair<std::string, RegValue>>())
                     .first->second.second;
  if (!def) return;
  for (const auto& v : values)
    if (SameTextAscii(v.first, key)) return;
  values.emplace_back(key, std::move(*def));
}

RegValue AsRegValue(const std::string& v) { return RegValue{RegDataType::String, v, 0}; }
RegValue AsRegValue(int32_t v) { return RegValue{RegDataType::Integer, std::string(), v}; }
RegValue AsRegValue(bool v) { return AsRegValue(static_cast<int32_t>(v)); }

// True the first time `what` is reported in this run.
bool FirstReport(const std::string& what) {
  SettingsFaults& f = Faults();
  std::lock_guard<std::mutex> lock(f.mutex);
  return f.reported.insert(what).second;
}

IniFile& Ini() {
  if (!gIni) gIni = std::make_unique<IniFile>(ConfigIniFileName());
  return *gIni;
}

std::string SectionKey(const std::string& section) { return ConfigBaseKey() + "\\" + section; }

std::string ClassNameOf(const std::exception& e) {
  if (auto p = dynamic_cast<const Exception*>(&e)) return p->ClassName();
  if (auto p = dynamic_cast<const ESettingsFileException*>(&e)) return p->ClassName();
  return "Exception";
}

// The file or folder whose failure `e` is, or empty.
std::string FailedFile(const std::exception& e) {
  auto p = dynamic_cast<const ESettingsFileException*>(&e);
  return p ? p->File() : std::string();
}

// The defaults could not be written: said once per run, whatever the sections and causes. What was read
// stays in force, so this is a note to the user, not a failure of what they set.
void ShowDefaultsNotWritten(const std::exception& e) {
  if (tShowingFailure > 0 || !FirstReport("defaults not written")) return;
  auto file = dynamic_cast<const ESettingsFileException*>(&e);
  ShowWhenTextsAreReady([file = file ? file->File() : std::string(), cause = file ? file->Cause() : std::string(),
                         what = std::string(e.what())] {
    std::string text;
    if (!file.empty()) {
      ++tShowingFailure;
      try {
        text = FormatMsgString(msgDefaultsNotWritten, {file, CauseText(cause)});
      } catch (...) {
      }
      --tShowingFailure;
    }
    ShowRegistryFailure(text.empty() ? what : text);
  });
}

void ShowUnknownFailure() {
  const char* const text = "unknown failure of the settings store";
  if (tShowingFailure == 0 && FirstReport(std::string("text:Exception\n") + text)) ShowRegistryFailure(text);
}

// What failed, in the run's language: the file or folder and why; a failure of no file (a value of the wrong
// type) in its own words. `what` when no texts are available.
std::string SettingsFailureText(const std::string& file, const std::string& cause, int line, const std::string& what) {
  if (file.empty()) return what;
  const std::string text = line > 0 ? FormatMsgString(msgSettingsFileDamaged, {file, line})
                                    : FormatMsgString(msgSettingsFileFailed, {file, CauseText(cause)});
  return text.empty() ? what : text;
}

// The section `key` of `section` goes on in memory, starting from what the user's store still gives for it:
// a file that cannot be written is obeyed as it was read; a damaged one gives nothing.
void GoOnInMemory(const std::string& section, const std::string& key) {
  std::vector<std::pair<std::string, RegValue>> kept;
  try {
    IRegistry& reg = CurrentUserRegistry();
    for (const std::string& name : reg.GetValueNames(key))
      if (std::optional<RegValue> v = reg.ReadValue(key, name)) kept.emplace_back(name, std::move(*v));
  } catch (...) {
    kept.clear();  // all of a file or nothing: half of it would be a set of values nobody chose
  }
  SettingsFaults& f = Faults();
  std::lock_guard<std::mutex> lock(f.mutex);
  if (!f.inMemory.insert(LowerAscii(section)).second) return;
  for (const auto& [name, value] : kept) f.memory->WriteValue(key, name, value);
}

// Runs one access of `section` with the user's store; on a failure of one of its files, the failure is shown
// and the section goes on in memory (the access is run there too).
template <class Access>
bool GuardedRegistry(const std::string& section, Access&& access) {
  const std::string key = SectionKey(section);
  if (!InMemory(section)) {
    try {
      access(CurrentUserRegistry(), key);
      return true;
    } catch (const std::exception& e) {
      ShowSettingsFailure(e);
      if (FailedFile(e).empty()) return false;
      GoOnInMemory(section, key);
    } catch (...) {
      ShowUnknownFailure();
      return false;
    }
  }
  try {
    access(*Faults().memory, key);
  } catch (...) {
    // Memory holds no more than it was given; nothing there is worth a second message.
  }
  return false;
}

// Reads one value of a section; a missing one yields def. Reading writes nothing: the section's key and,
// with writeDefault, the default are noted for WriteMissingDefaults.
template <class T, class Read>
T RegReadValue(const std::string& section, const std::string& key, const T& def, bool writeDefault, Read read) {
  T value = def;
  bool missing = false;
  const bool inStore = GuardedRegistry(section, [&](IRegistry& reg, const std::string& path) {
    if (reg.ValueExists(path, key))
      value = (reg.*read)(path, key);
    else
      missing = true;
  });
  if (missing && inStore) NoteMissing(section, key, writeDefault ? std::optional(AsRegValue(def)) : std::nullopt);
  return value;
}

template <class T, class Write>
bool RegWriteValue(const std::string& section, const std::string& key, const T& value, Write write) {
  return GuardedRegistry(section, [&](IRegistry& reg, const std::string& path) { (reg.*write)(path, key, value); });
}

// --- one store or the other --------------------------------------------------------------------------------

std::string ReadStr(const char* section, const char* key, const std::string& def, bool writeDefault) {
  if (UseRegistryConfig()) return RegReadString(section, key, def, writeDefault);
  return Ini().ReadString(section, key, def);
}

int32_t ReadInt(const char* section, const char* key, int32_t def, bool writeDefault) {
  if (UseRegistryConfig()) return RegReadInteger(section, key, def, writeDefault);
  return Ini().ReadInteger(section, key, def);
}

bool ReadBool(const char* section, const char* key, bool def, bool writeDefault) {
  if (UseRegistryConfig()) return RegReadBool(section, key, def, writeDefault);
  return Ini().ReadBool(section, key, def);
}

bool WriteStr(const char* section, const char* key, const std::string& value) {
  // This thread's open scopes read again; every other thread's next evaluation once the write is done.
  DropEvalOptions();
  const SettingsChange change;
  if (UseRegistryConfig()) return RegWriteString(section, key, value);
  Ini().WriteString(section, key, value);
  return true;
}

bool WriteInt(const char* section, const char* key, int32_t value) {
  DropEvalOptions();
  const SettingsChange change;
  if (UseRegistryConfig()) return RegWriteInteger(section, key, value);
  Ini().WriteInteger(section, key, value);
  return true;
}

bool WriteBool(const char* section, const char* key, bool value) {
  DropEvalOptions();
  const SettingsChange change;
  if (UseRegistryConfig()) return RegWriteBool(section, key, value);
  Ini().WriteBool(section, key, value);
  return true;
}

int32_t ReadCached(int32_t& cell, const char* key, int32_t def) {
  const int32_t v = ReadInt(kOpt, key, def, true);
  if (cell == kUnset) cell = v;
  return cell;
}

bool WriteCached(int32_t& cell, const char* key, int32_t value) {
  cell = value;
  return WriteInt(kOpt, key, value);
}

// --- folders -----------------------------------------------------------------------------------------------

bool IsSep(char c) { return c == '/' || c == '\\'; }

// One trailing separator goes; the root folder "/" stays as it is.
std::string WithoutTrailingSep(std::string v) {
  if (v.size() > 1 && IsSep(v.back())) v.pop_back();
  return v;
}

// Documents and standards folders: relative ones come back with "../" in front.
std::string RelativeFolder(const char* key, const char* def, bool writeDefault = true) {
  std::string v = WithoutTrailingSep(ReadStr(kOpt, key, def, writeDefault));
  bool isRelative = false;
  CheckRelativePath(v, isRelative);
  return isRelative ? "../" + v : v;
}

std::string WorkDir() { return GetOptDefWorkDirFolder(); }
std::string AppData() { return GetOptDefAppDataDirFolder(); }

std::string DataFolderSetting() { return WithoutTrailingSep(ReadStr(kOpt, "defAppDatadirfolder", "", false)); }

// A folder holds the program's data when it has the language texts and the general database.
bool HoldsProgramData(const std::string& folder) {
  return (FileExists(folder + "/Language/Lang_DE.txt") || FileExists(folder + "/Language/Lang_EN.txt")) &&
         FileExists(folder + "/db/KELVADO_GEN_DE.FDB");
}

// AppData + "/" + tail, or empty when AppData is empty.
std::string InAppData(const char* tail) {
  const std::string app = AppData();
  return app.empty() ? std::string() : app + "/" + tail;
}

}  // namespace

// --- store selection ---------------------------------------------------------------------------------------

bool UseRegistryConfig() { return gUseRegistry; }
void SetUseRegistryConfig(bool on) {
  gUseRegistry = on;
  ForgetEvalOptions();
}

std::string ConfigBaseKey() { return std::string("Software\\Zul\\KELVADO\\") + VersionText(CurrentKVDVersion); }

std::string ConfigIniFileName() {
  return gIniFileName.empty() ? ProgramFolder() + "config.ini" : gIniFileName;
}

void SetConfigIniFileName(const std::string& fileName) {
  gIniFileName = fileName;
  gIni.reset();
  ForgetEvalOptions();
}

constinit thread_local int config_detail::tEvalDepth = 0;

void config_detail::BeginEvaluation() {
  // What was read stays valid until the settings change: evaluating a project one safety function at a time
  // then reads each option once, not once per safety function.
  const uint64_t now = SettingsGeneration();
  if (tEval.generation == now) return;
  DropEvalOptions();
  tEval.generation = now;
}

void ResetConfig() {
  ForgetEvalOptions();
  gCache = RoundingCache();
  gIni.reset();
  SettingsFaults& f = Faults();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.reported.clear();
  f.inMemory.clear();
  f.memory = std::make_unique<MemoryRegistry>();
  MissingDefaults& m = Missing();
  std::lock_guard<std::mutex> missingLock(m.mutex);
  m.sections.clear();
}

bool WriteMissingDefaults() {
  decltype(MissingDefaults::sections) sections;
  {
    MissingDefaults& m = Missing();
    std::lock_guard<std::mutex> lock(m.mutex);
    sections.swap(m.sections);
  }
  bool written = true;
  for (const auto& [lower, entry] : sections) {
    const auto& [section, values] = entry;
    if (InMemory(section)) continue;  // its file failed before: it is not touched again
    try {
      IRegistry& reg = CurrentUserRegistry();
      const std::string key = SectionKey(section);
      if (!values.empty())
        reg.AddMissingValues(key, values);
      else if (!reg.KeyExists(key))
        reg.CreateKey(key);
    } catch (const std::exception& e) {
      written = false;
      ShowDefaultsNotWritten(e);
    } catch (...) {
      written = false;
      ShowUnknownFailure();
    }
  }
  return written;
}

// --- registry routines -------------------------------------------------------------------------------------

bool AccessSettings(const std::string& section, const std::function<void(IRegistry&, const std::string&)>& access) {
  return GuardedRegistry(section, access);
}

void ShowSettingsFailure(const std::exception& e) {
  if (tShowingFailure > 0) return;
  auto file = dynamic_cast<const ESettingsFileException*>(&e);
  if (!FirstReport(file && !file->File().empty() ? "file:" + file->File() + "\n" + file->Cause()
                                                 : "text:" + ClassNameOf(e) + "\n" + e.what()))
    return;
  auto reg = dynamic_cast<const ERegistryException*>(&e);
  // A failure met while the language file is looked up is shown once the texts are there.
  ShowWhenTextsAreReady([file = file ? file->File() : std::string(), cause = file ? file->Cause() : std::string(),
                         line = reg ? reg->Line() : 0, what = std::string(e.what())] {
    if (tShowingFailure > 0) return;
    ++tShowingFailure;
    std::string text;
    try {
      text = SettingsFailureText(file, cause, line, what);
    } catch (...) {
      text = what;
    }
    --tShowingFailure;
    ShowRegistryFailure(text);
  });
}

void ShowRegistryFailure(const std::string& message) {
  if (tShowingFailure > 0) return;
  ++tShowingFailure;
  try {
    std::string version;
    try {
      version = VersionText(CurrentKVDVersion);
    } catch (...) {
    }
    MessageRequest r;
    r.caption = FormatMsgString(msgSettingsErrorCaption, {version});
    if (r.caption.empty()) r.caption = "Error (v." + version + ")";
    r.text = FormatMsgString(msgSettingsAccessFailed, {message});
    // Without a language text the box would be empty; the failure's own message is better than nothing.
    if (r.text.empty()) r.text = message;
    r.icon = MsgIcon::Warning;
    ShowMessage(r);
  } catch (...) {
    // Reporting a failure must never turn into one for the caller.
  }
  --tShowingFailure;
}

std::string RegReadString(const std::string& section, const std::string& key, const std::string& def,
                          bool writeDefault) {
  return RegReadValue(section, key, def, writeDefault, &IRegistry::ReadString);
}

bool RegWriteString(const std::string& section, const std::string& key, const std::string& value) {
  return RegWriteValue(section, key, value, &IRegistry::WriteString);
}

int32_t RegReadInteger(const std::string& section, const std::string& key, int32_t def, bool writeDefault) {
  return RegReadValue(section, key, def, writeDefault, &IRegistry::ReadInteger);
}

bool RegWriteInteger(const std::string& section, const std::string& key, int32_t value) {
  return RegWriteValue(section, key, value, &IRegistry::WriteInteger);
}

bool RegReadBool(const std::string& section, const std::string& key, bool def, bool writeDefault) {
  return RegReadValue(section, key, def, writeDefault, &IRegistry::ReadBool);
}

bool RegWriteBool(const std::string& section, const std::string& key, bool value) {
  return RegWriteValue(section, key, value, &IRegistry::WriteBool);
}

void CheckRelativePath(std::string& path, bool& isRelative) {
  isRelative = false;
  if (path.empty()) return;
  const bool dotDot = path.size() >= 3 && path[0] == '.' && path[1] == '.' && IsSep(path[2]);
  if (!dotDot && IsSep(path[0])) return;  // absolute: our counterpart of a drive
  if (dotDot && path.size() >= 6 && path[3] == '.' && path[4] == '.' && IsSep(path[5])) return;
  isRelative = true;
  if (dotDot) path.erase(0, 3);
}

// --- section database ----------------------------------------------------------------------------------------

std::string GetDatabaseCharsetGen() { return ReadStr(kDatabase, "charsetgen", "iso8859_1", false); }
std::string GetDatabaseCharsetLib() { return ReadStr(kDatabase, "charsetlib", "iso8859_1", false); }

std::string GetDatabaseLibFolder() {
  const std::string work = WorkDir();
  const std::string libraries = work + "/Libraries";
  const std::string def = !work.empty() && FolderExists(libraries) ? libraries : work;
  return ReadStr(kDatabase, "libfolder", def, false);
}

std::string GetDatabaseDatabaseNameGen() {
  const std::string app = AppData();
  const std::string def = app.empty() ? std::string("KELVADO_GEN_DE.FDB") : app + "/db/KELVADO_GEN_DE.FDB";
  return ReadStr(kDatabase, "databasenamegen", def, false);
}
bool SetDatabaseDatabaseNameGen(const std::string& value) { return WriteStr(kDatabase, "databasenamegen", value); }

std::string GetDatabaseDatabaseNameLib() {
  const std::string work = WorkDir();
  const std::string def =
      work.empty() ? std::string("KELVADO_LIB_DE.KLB") : work + "/Libraries/KELVADO_LIB_DE.KLB";
  return ReadStr(kDatabase, "databasenamelib", def, true);
}

std::string GetDatabasePasswordGen() { return ReadStr(kDatabase, "passwordgen", "vexbramot", false); }
std::string GetDatabasePasswordGenLib() { return ReadStr(kDatabase, "passwordgenlib", "vexbramot", false); }
std::string GetDatabasePersistenceLayerName() { return ReadStr(kDatabase, "persistencelayername", "IBX", true); }
std::string GetDatabaseProtocol() { return ReadStr(kDatabase, "protocol", "firebird-1.5", true); }
int32_t GetDatabaseSQLDialect() { return ReadInt(kDatabase, "sqldialect", 3, true); }
std::string GetDatabaseUserNameGen() { return ReadStr(kDatabase, "usernamegen", "SYSDBA", false); }
std::string GetDatabaseUserNameLib() { return ReadStr(kDatabase, "usernamelib", "SYSDBA", false); }

// --- section xml ---------------------------------------------------------------------------------------------

std::string GetXmlCharset() { return ReadStr(kXml, "charset", "iso8859_1", true); }
std::string GetXmlPersistenceLayerName() { return ReadStr(kXml, "persistencelayername", "XML", true); }
std::string GetXmlCBPersistenceLayerName() { return ReadStr(kXml, "cbpersistencelayername", "CB", false); }

std::string GetXmlCBFileName() {
  // The clipboard's scratch store is the user's own: the program's folder may not be writable for them. A bare
  // name lies in the user's data folder.
  const std::string name = ReadStr(kXml, "cbfilename", "cb.xml", false);
  if (name.empty() || name.find('/') != std::string::npos) return name;
  return UserDataFolder() + "/" + name;
}

// --- section opt ---------------------------------------------------------------------------------------------

std::string GetOptProjectFolder() {
  std::string v = WithoutTrailingSep(ReadStr(kOpt, "projectfolder", "Projects", true));
  bool isRelative = false;
  CheckRelativePath(v, isRelative);
  return v;
}
bool SetOptProjectFolder(const std::string& value) { return WriteStr(kOpt, "projectfolder", value); }

bool GetOptMTTFdCutBeforeSymm() {
  return EvalOption(tEval.cutBefore, [] { return ReadBool(kOpt, "MTTFdCutBeforeSymm", true, false); });
}
bool GetOptMTTFdCFitBeforeSymm() {
  return EvalOption(tEval.cFitBefore, [] { return ReadBool(kOpt, "MTTFdCFitBeforeSymm", true, false); });
}
bool GetOptAllowWriteAll() { return ReadBool(kOpt, "allowwriteall", false, false); }
bool GetOptAskBeforeDel() { return ReadBool(kOpt, "askbeforedel", true, false); }

std::string GetOptDefWorkDirFolder() { return WithoutTrailingSep(ReadStr(kOpt, "defworkdirfolder", "", true)); }
bool SetOptDefWorkDirFolder(const std::string& value) { return WriteStr(kOpt, "defworkdirfolder", value); }
// No configurator fills the data folder on a first start here: the data files (language texts, general
// database) are installed beside the program, so its folder is the default. The default is never written
// back: a second copy of the program, or this one moved, would otherwise go on reading the data of the copy
// that ran first, and fail once that is gone. A folder set that lacks the data is said so, once.
std::string GetOptDefAppDataDirFolder() {
  const std::string own = WithoutTrailingSep(ProgramFolder());
  const std::string set = DataFolderSetting();
  if (set.empty()) return own;
  if (HoldsProgramData(set)) return set;
  if (FirstReport("datafolder:" + set))
    ShowWhenTextsAreReady([set, own] {
      const std::string text = FormatMsgString(msgDataFolderLacksData, {set, own});
      ShowMessage("", text.empty() ? "The folder \"" + set + "\" of the setting defAppDatadirfolder (section opt) "
                                         "does not hold the program's data; the data beside the program are used."
                                   : text,
                  MsgIcon::Warning);
    });
  return own;
}

std::string UnusedDataFolderSetting() {
  const std::string value = DataFolderSetting();
  return value.empty() || HoldsProgramData(value) ? std::string() : value;
}

std::string GetOptDefDocumentsFolder() { return RelativeFolder("defdocumentsfolder", "Documents"); }
bool SetOptDefDocumentsFolder(const std::string& value) { return WriteStr(kOpt, "defdocumentsfolder", value); }
std::string GetOptDefStandardsFolder() { return RelativeFolder("defstandardsfolder", "Standards"); }
bool SetOptDefStandardsFolder(const std::string& value) { return WriteStr(kOpt, "defstandardsfolder", value); }

bool GetOptShowFormHelp() { return ReadBool(kOpt, "showformhelp", true, true); }
bool SetOptShowFormHelp(bool value) { return WriteBool(kOpt, "showformhelp", value); }
bool GetOptShowFormContext() { return ReadBool(kOpt, "showformcontext", true, true); }
bool SetOptShowFormContext(bool value) { return WriteBool(kOpt, "showformcontext", value); }
bool GetOptShowDisabledGroups() { return ReadBool(kOpt, "showdisabledgroups", false, false); }
bool GetOptShowDisabledTabs() { return ReadBool(kOpt, "showdisabledtabs", false, true); }
bool SetOptShowDisabledTabs(bool value) { return WriteBool(kOpt, "showdisabledtabs", value); }
bool GetOptShowLibNonModal() { return ReadBool(kOpt, "showlibnonmodal", true, false); }
bool GetOptShowLibOnTop() { return ReadBool(kOpt, "showlibontop", false, false); }
bool GetOptShowReportDetailSelection() {
  return ReadBool(kOpt, "showreportdetailselection", UseRegistryConfig(), true);
}
bool SetOptShowReportDetailSelection(bool value) { return WriteBool(kOpt, "showreportdetailselection", value); }
bool GetOptReportOnlySummary() { return ReadBool(kOpt, "reportonlysummary", false, true); }
bool SetOptReportOnlySummary(bool value) { return WriteBool(kOpt, "reportonlysummary", value); }

bool GetOptShowContextSFPLr() { return ReadBool(kOpt, "showcontextsfplr", true, true); }
bool SetOptShowContextSFPLr(bool value) { return WriteBool(kOpt, "showcontextsfplr", value); }
bool GetOptShowContextSFPL() { return ReadBool(kOpt, "showcontextsfpl", true, true); }
bool SetOptShowContextSFPL(bool value) { return WriteBool(kOpt, "showcontextsfpl", value); }
bool GetOptShowContextSFPFH() { return ReadBool(kOpt, "showcontextsfpfh", true, true); }
bool SetOptShowContextSFPFH(bool value) { return WriteBool(kOpt, "showcontextsfpfh", value); }
bool GetOptShowContextComponentPL() { return ReadBool(kOpt, "showcontextcomponentpl", true, true); }
bool SetOptShowContextComponentPL(bool value) { return WriteBool(kOpt, "showcontextcomponentpl", value); }
bool GetOptShowContextComponentPFH() { return ReadBool(kOpt, "showcontextcomponentpfh", true, true); }
bool SetOptShowContextComponentPFH(bool value) { return WriteBool(kOpt, "showcontextcomponentpfh", value); }
bool GetOptShowContextComponentCat() { return ReadBool(kOpt, "showcontextcomponentcat", true, true); }
bool SetOptShowContextComponentCat(bool value) { return WriteBool(kOpt, "showcontextcomponentcat", value); }
bool GetOptShowContextComponentMTTFd() { return ReadBool(kOpt, "showcontextcomponentmttfd", true, true); }
bool SetOptShowContextComponentMTTFd(bool value) { return WriteBool(kOpt, "showcontextcomponentmttfd", value); }
bool GetOptShowContextComponentDCavg() { return ReadBool(kOpt, "showcontextcomponentdcavg", true, true); }
bool SetOptShowContextComponentDCavg(bool value) { return WriteBool(kOpt, "showcontextcomponentdcavg", value); }
bool GetOptShowContextComponentCCF() { return ReadBool(kOpt, "showcontextcomponentccf", true, true); }
bool SetOptShowContextComponentCCF(bool value) { return WriteBool(kOpt, "showcontextcomponentccf", value); }
bool GetOptShowContextBlocMTTFd() { return ReadBool(kOpt, "showcontextblocmttfd", true, true); }
bool SetOptShowContextBlocMTTFd(bool value) { return WriteBool(kOpt, "showcontextblocmttfd", value); }
bool GetOptShowContextBlocDC() { return ReadBool(kOpt, "showcontextblocdc", true, true); }
bool SetOptShowContextBlocDC(bool value) { return WriteBool(kOpt, "showcontextblocdc", value); }
bool GetOptShowContextElementMTTFd() { return ReadBool(kOpt, "showcontextelementmttfd", true, true); }
bool SetOptShowContextElementMTTFd(bool value) { return WriteBool(kOpt, "showcontextelementmttfd", value); }
bool GetOptShowContextElementDC() { return ReadBool(kOpt, "showcontextelementdc", true, true); }
bool SetOptShowContextElementDC(bool value) { return WriteBool(kOpt, "showcontextelementdc", value); }

bool GetOptShowSplashScreen() { return ReadBool(kOpt, "showsplashscreen", true, true); }
bool SetOptShowSplashScreen(bool value) { return WriteBool(kOpt, "showsplashscreen", value); }
bool GetOptCheckKVDKLBRegistration() { return ReadBool(kOpt, "checkKVDKLBregistration", true, true); }
bool SetOptCheckKVDKLBRegistration(bool value) { return WriteBool(kOpt, "checkKVDKLBregistration", value); }
bool GetOptShowItemState() { return ReadBool(kOpt, "showitemstate", true, true); }
bool SetOptShowItemState(bool value) { return WriteBool(kOpt, "showitemstate", value); }
bool GetOptShowItemStateOnSelection() {
  return ReadBool(kOpt, "showitemstateonselection", !UseRegistryConfig(), true);
}
bool SetOptShowItemStateOnSelection(bool value) { return WriteBool(kOpt, "showitemstateonselection", value); }
bool GetOptShowLibProgress() { return ReadBool(kOpt, "showlibprogress", false, false); }
bool GetOptUseDCInterLevels() {
  return EvalOption(tEval.interLevels, [] { return ReadBool(kOpt, "usedcinterlevels", true, true); });
}
bool SetOptUseDCInterLevels(bool value) { return WriteBool(kOpt, "usedcinterlevels", value); }

bool GetOptHideNonRelevant() {
  if (!GetOptPrintNonRelevant()) return true;
  return ReadBool(kOpt, "hidenonrelevant", true, true);
}
bool GetOptPrintNonRelevant() { return ReadBool(kOpt, "printnonrelevant", false, false); }
bool SetOptPrintNonRelevant(bool value) { return WriteBool(kOpt, "printnonrelevant", value); }
bool GetOptAllowEditDCUCCFBib() { return ReadBool(kOpt, "alloweditdcuccfbib", false, true); }
bool SetOptAllowEditDCUCCFBib(bool value) { return WriteBool(kOpt, "alloweditdcuccfbib", value); }

bool GetOptCutMTTFdRaise(bool checkInterLevels) {
  const bool stored = EvalOption(tEval.cutRaise, [] { return ReadBool(kOpt, "cutmttfdraise", false, true); });
  if (stored && checkInterLevels) return GetOptUseDCInterLevels();
  return stored;
}
bool SetOptCutMTTFdRaise(bool value) { return WriteBool(kOpt, "cutmttfdraise", value); }

bool GetOptConvertAProtectedKVDLibraray() { return ReadBool(kOpt, "convertaprotectedkvdlibraray", false, false); }
bool GetOptUseDCMTTFdFieldsFromLngFile() { return ReadBool(kOpt, "usedcmttfdfieldsfromlngfile", false, false); }
bool GetOptImpExp() { return ReadBool(kOpt, "impexp", false, false); }

int32_t GetOptRoundB10d() { return ReadCached(gCache.roundB10d, "RoundB10d", -2); }
bool SetOptRoundB10d(int32_t value) { return WriteCached(gCache.roundB10d, "RoundB10d", value); }
int32_t GetOptRoundCCF() { return ReadCached(gCache.roundCCF, "RoundCCF", -2); }
bool SetOptRoundCCF(int32_t value) { return WriteCached(gCache.roundCCF, "RoundCCF", value); }
int32_t GetOptRoundDC() { return ReadCached(gCache.roundDC, "RoundDC", -2); }
bool SetOptRoundDC(int32_t value) { return WriteCached(gCache.roundDC, "RoundDC", value); }

int32_t GetOptTruncFIT() {
  const int32_t def = GetOptRoundMTTFd();
  const int32_t v = ReadInt(kOpt, "TruncFIT", def, false);
  if (gCache.truncFIT == kUnset) gCache.truncFIT = v;
  return gCache.truncFIT;
}

int32_t GetOptRoundMTTFd() { return ReadCached(gCache.roundMTTFd, "RoundMTTFd", -2); }
bool SetOptRoundMTTFd(int32_t value) { return WriteCached(gCache.roundMTTFd, "RoundMTTFd", value); }
int32_t GetOptRoundNop() { return ReadCached(gCache.roundNop, "RoundNop", -2); }
bool SetOptRoundNop(int32_t value) { return WriteCached(gCache.roundNop, "RoundNop", value); }
int32_t GetOptPrecisionPFH() { return ReadCached(gCache.precisionPFH, "PrecisionPFH", 3); }
bool SetOptPrecisionPFH(int32_t value) { return WriteCached(gCache.precisionPFH, "PrecisionPFH", value); }

std::string GetOptIconFileProject() { return ReadStr(kOpt, "iconfileproject", ProgramFolder() + "KELVADO_PR.ico", false); }
std::string GetOptIconFileLib() { return ReadStr(kOpt, "iconfilelib", ProgramFolder() + "KELVADO_LIB.ico", false); }
std::string GetOptHelpFile() { return ReadStr(kOpt, "helpfile", InAppData("Kelvado_Help_DE.chm"), false); }

// --- section lang --------------------------------------------------------------------------------------------

bool GetLangCheckReadMeHash() { return ReadBool(kLang, "CheckReadMeHash", true, false); }
bool GetLangWriteLngFile() { return ReadBool(kLang, "writelngfile", false, false); }
std::string GetLangLngFile() { return ReadStr(kLang, "lngfile", InAppData("Language/Lang_DE.lng"), false); }

namespace {
const char* ShippedLanguageFile(bool german) { return german ? "Language/Lang_DE.txt" : "Language/Lang_EN.txt"; }

bool LocaleChoosesGerman() {
  // German only where the user's terminal can show its letters (a locale of plain ASCII cannot): ÄÖÜäöüß.
  return UserMessageLanguage() == "de" &&
         OutputCanShow("\xC3\x84\xC3\x96\xC3\x9C\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F");
}
}  // namespace

// The numbered texts are a text file on this platform, not a resource library. Unset, the user's locale chooses
// German or English; the default is not written back, so that a later run under another locale follows it.
std::string GetLangLngDll() {
  std::string file = ReadStr(kLang, "lngdll", InAppData(ShippedLanguageFile(LocaleChoosesGerman())), false);
  // A name without a folder is one of the program's language files, beside the shipped ones; taken from the
  // working folder, it would depend on where the program was started.
  if (!file.empty() && file.find('/') == std::string::npos) {
    const std::string app = AppData();
    if (!app.empty()) file = app + "/Language/" + file;
  }
  return file;
}

std::string LanguageFileInsteadOf(const std::string& file) {
  const size_t slash = file.rfind('/');
  const std::string name = file.substr(slash == std::string::npos ? 0 : slash + 1);
  bool german = LocaleChoosesGerman();
  if (name.rfind("Lang_DE", 0) == 0) german = false;
  else if (name.rfind("Lang_EN", 0) == 0) german = true;
  return InAppData(ShippedLanguageFile(german));
}

std::string GetLangReadme() { return ReadStr(kLang, "readme", InAppData("ReadMe_DE.html"), false); }

// --- section startup -----------------------------------------------------------------------------------------

bool GetStartupFirstStart() { return ReadBool(kStartup, "firststart", true, true); }
bool SetStartupFirstStart(bool value) { return WriteBool(kStartup, "firststart", value); }

}  // namespace kelvado

#pragma once
// Settings of the tool: one getter (and, for what the options dialog changes, one setter) per key. A key lives
// in one of the sections database, xml, opt, lang and startup, under ConfigBaseKey() of the current user's
// settings store (platform/Registry.h), or in config.ini beside the program when UseRegistryConfig() is off.
// A getter computes the key's default and reads the key; a missing key gives the default. Reading never writes:
// for most keys the default of a missing one is written back later, by WriteMissingDefaults, so that a first
// run leaves a complete, editable set of values. A failing settings store never raises to the caller: the
// failure is shown through the message sink, once per run for each file and cause, and the default is used.
// A section whose file fails (a damaged values file, a folder that cannot be made, a file or folder that cannot
// be written) goes on in memory for the rest of the run: reads give what the file held when it failed (nothing
// of a damaged one, whose values are then the defaults) and what was set since, writes stay in memory and
// report false, and the file itself is never touched again, so a damaged one is kept for the user to mend.
//
// Every string getter also comes in the form that fills an out string.
//
// Folders use "/" as separator. A stored folder that starts with "../" is relative to a base folder; one that
// starts with "../../" or "/" is used as it is (see CheckRelativePath).
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

namespace kelvado {

class IRegistry;

// --- store selection ---------------------------------------------------------------------------------------

// True: the settings store of the current user (the one in force). False: config.ini beside the program; its
// getters never write, and a setter whose write fails raises EIniFileException (platform/IniFile.h).
bool UseRegistryConfig();
void SetUseRegistryConfig(bool on);

// The lists of registered libraries and open projects live in the settings store (see GlobalsLists.h).
inline constexpr bool UseRegistryLists = true;

// "Software\Zul\KELVADO\" + the version text of the running program, e.g. "Software\Zul\KELVADO\1.1.2".
std::string ConfigBaseKey();

// config.ini beside the program; tests may point it elsewhere (an empty name restores the default).
std::string ConfigIniFileName();
void SetConfigIniFileName(const std::string& fileName);

// Forgets the cached rounding keys, the INI object, the failures of the settings store (which failures were
// shown, which sections went on in memory) and the missing defaults not yet written, so that the next read
// behaves like a new run.
void ResetConfig();

// Writes what reading found missing since the last call: the keys of the sections read and, for the keys
// whose default is written back, that default; one change of each section's file, and only where the value is
// still missing (one set meanwhile, here or by another program, stays). Writing flushes the file to disk, so a
// program calls this once its work is done (the main program after its report), never on the way to a value.
// A failure is shown once per run (text 1172) and changes nothing that was read. True when all was written.
bool WriteMissingDefaults();

// One evaluation's view of the options the calculators read (MTTFdCutBeforeSymm, MTTFdCFitBeforeSymm,
// usedcinterlevels, cutmttfdraise): while a scope is open on a thread, each of them is read from the settings
// the first time it is asked and then answered from memory on that thread, without the settings layer and its
// lock; nested scopes share the outermost one. The nodes open one around every computation of a derived value,
// so an evaluation reads each option once and sees the settings as they were when it started. What a thread
// read is kept for its next scopes until the settings change (SettingsGeneration). A write of any setting, and
// ResetConfig, make the open scopes of the writing thread read again.
namespace config_detail {
// Depth of the scopes open on this thread; every node cache opens one, so it is counted inline.
extern constinit thread_local int tEvalDepth;
// The outermost scope opens: the options read before stay unless the settings changed since.
void BeginEvaluation();
}  // namespace config_detail

class TEvaluationOptionsScope {
public:
  TEvaluationOptionsScope() {
    if (config_detail::tEvalDepth++ == 0) config_detail::BeginEvaluation();
  }
  ~TEvaluationOptionsScope() { --config_detail::tEvalDepth; }
  TEvaluationOptionsScope(const TEvaluationOptionsScope&) = delete;
  TEvaluationOptionsScope& operator=(const TEvaluationOptionsScope&) = delete;
};

// --- routines through which every access of the settings store passes ----------------------------------------
// Section is a key name under ConfigBaseKey(). A failure is caught, shown through the message sink in the run's
// language (caption "Error (v.<version>)", text 1100 formatted with what failed and why) unless the same
// failure was shown before, and the default (or the value read before the failure) is returned; a write then
// returns false. A read writes nothing: with writeDefault, a missing value's default waits for
// WriteMissingDefaults.

std::string RegReadString(const std::string& section, const std::string& key, const std::string& def,
                          bool writeDefault);
bool RegWriteString(const std::string& section, const std::string& key, const std::string& value);
int32_t RegReadInteger(const std::string& section, const std::string& key, int32_t def, bool writeDefault);
bool RegWriteInteger(const std::string& section, const std::string& key, int32_t value);
bool RegReadBool(const std::string& section, const std::string& key, bool def, bool writeDefault);
bool RegWriteBool(const std::string& section, const std::string& key, bool value);

// Runs `access` with the store of `section` (the user's, or memory once the section's file failed) and the
// section's full key; a failure is handled as above. True when the access reached the user's store and
// succeeded. For the lists kept in the settings (GlobalsLists.h).
bool AccessSettings(const std::string& section, const std::function<void(IRegistry&, const std::string&)>& access);

// Shows a failure of the settings store the way the routines above do: once per run for each file and cause
// (for a failure of no file, each message).
void ShowSettingsFailure(const std::exception& e);
// Shows the message box of a settings failure (caption with the version, text 1100 with `message`), every time.
void ShowRegistryFailure(const std::string& message);

// A path starting with "../" is relative: IsRelative is set and one leading "../" removed. Empty, absolute
// ("/...") and "../../..." paths are not relative and stay unchanged. "\" counts as a separator too.
void CheckRelativePath(std::string& path, bool& isRelative);

// --- section database ----------------------------------------------------------------------------------------
std::string GetDatabaseCharsetGen();
std::string GetDatabaseCharsetLib();
std::string GetDatabaseLibFolder();
std::string GetDatabaseDatabaseNameGen();
bool SetDatabaseDatabaseNameGen(const std::string& value);
std::string GetDatabaseDatabaseNameLib();
std::string GetDatabasePasswordGen();
std::string GetDatabasePasswordGenLib();
std::string GetDatabasePersistenceLayerName();
std::string GetDatabaseProtocol();
int32_t GetDatabaseSQLDialect();
std::string GetDatabaseUserNameGen();
std::string GetDatabaseUserNameLib();

// --- section xml ---------------------------------------------------------------------------------------------
std::string GetXmlCharset();
std::string GetXmlPersistenceLayerName();
std::string GetXmlCBPersistenceLayerName();
// The clipboard's scratch store: setting cbfilename (default "cb.xml"); a bare name lies in UserDataFolder().
std::string GetXmlCBFileName();

// --- section opt ---------------------------------------------------------------------------------------------
std::string GetOptProjectFolder();
bool SetOptProjectFolder(const std::string& value);
bool GetOptMTTFdCutBeforeSymm();
bool GetOptMTTFdCFitBeforeSymm();
bool GetOptAllowWriteAll();
bool GetOptAskBeforeDel();
std::string GetOptDefWorkDirFolder();
bool SetOptDefWorkDirFolder(const std::string& value);
// The folder of the program's data (Language/, db/): defAppDatadirfolder when it is set and holds them, else
// the running program's folder; the default is not written back.
std::string GetOptDefAppDataDirFolder();
// defAppDatadirfolder when it is set to a folder that does not hold the program's data (so it is not used),
// else empty.
std::string UnusedDataFolderSetting();
std::string GetOptDefDocumentsFolder();
bool SetOptDefDocumentsFolder(const std::string& value);
std::string GetOptDefStandardsFolder();
bool SetOptDefStandardsFolder(const std::string& value);
bool GetOptShowFormHelp();
bool SetOptShowFormHelp(bool value);
bool GetOptShowFormContext();
bool SetOptShowFormContext(bool value);
bool GetOptShowDisabledGroups();
bool GetOptShowDisabledTabs();
bool SetOptShowDisabledTabs(bool value);
bool GetOptShowLibNonModal();
bool GetOptShowLibOnTop();
bool GetOptShowReportDetailSelection();
bool SetOptShowReportDetailSelection(bool value);
bool GetOptReportOnlySummary();
bool SetOptReportOnlySummary(bool value);

bool GetOptShowContextSFPLr();
bool SetOptShowContextSFPLr(bool value);
bool GetOptShowContextSFPL();
bool SetOptShowContextSFPL(bool value);
bool GetOptShowContextSFPFH();
bool SetOptShowContextSFPFH(bool value);
bool GetOptShowContextComponentPL();
bool SetOptShowContextComponentPL(bool value);
bool GetOptShowContextComponentPFH();
bool SetOptShowContextComponentPFH(bool value);
bool GetOptShowContextComponentCat();
bool SetOptShowContextComponentCat(bool value);
bool GetOptShowContextComponentMTTFd();
bool SetOptShowContextComponentMTTFd(bool value);
bool GetOptShowContextComponentDCavg();
bool SetOptShowContextComponentDCavg(bool value);
bool GetOptShowContextComponentCCF();
bool SetOptShowContextComponentCCF(bool value);
bool GetOptShowContextBlocMTTFd();
bool SetOptShowContextBlocMTTFd(bool value);
bool GetOptShowContextBlocDC();
bool SetOptShowContextBlocDC(bool value);
bool GetOptShowContextElementMTTFd();
bool SetOptShowContextElementMTTFd(bool value);
bool GetOptShowContextElementDC();
bool SetOptShowContextElementDC(bool value);

bool GetOptShowSplashScreen();
bool SetOptShowSplashScreen(bool value);
bool GetOptCheckKVDKLBRegistration();
bool SetOptCheckKVDKLBRegistration(bool value);
bool GetOptShowItemState();
bool SetOptShowItemState(bool value);
bool GetOptShowItemStateOnSelection();
bool SetOptShowItemStateOnSelection(bool value);
bool GetOptShowLibProgress();
bool GetOptUseDCInterLevels();
bool SetOptUseDCInterLevels(bool value);
// True without reading hidenonrelevant when printnonrelevant is off.
bool GetOptHideNonRelevant();
bool GetOptPrintNonRelevant();
bool SetOptPrintNonRelevant(bool value);
bool GetOptAllowEditDCUCCFBib();
bool SetOptAllowEditDCUCCFBib(bool value);
// The stored value; when it and checkInterLevels are both true, the value of usedcinterlevels instead.
bool GetOptCutMTTFdRaise(bool checkInterLevels);
bool SetOptCutMTTFdRaise(bool value);
bool GetOptConvertAProtectedKVDLibraray();
bool GetOptUseDCMTTFdFieldsFromLngFile();
bool GetOptImpExp();

// Rounding and precision keys: the first value read holds for the rest of the run.
int32_t GetOptRoundB10d();
bool SetOptRoundB10d(int32_t value);
int32_t GetOptRoundCCF();
bool SetOptRoundCCF(int32_t value);
int32_t GetOptRoundDC();
bool SetOptRoundDC(int32_t value);
int32_t GetOptTruncFIT();
int32_t GetOptRoundMTTFd();
bool SetOptRoundMTTFd(int32_t value);
int32_t GetOptRoundNop();
bool SetOptRoundNop(int32_t value);
int32_t GetOptPrecisionPFH();
bool SetOptPrecisionPFH(int32_t value);

std::string GetOptIconFileProject();
std::string GetOptIconFileLib();
std::string GetOptHelpFile();

// --- section lang --------------------------------------------------------------------------------------------
bool GetLangCheckReadMeHash();
bool GetLangWriteLngFile();
std::string GetLangLngFile();
// The language text file from which GetMsgString takes the numbered texts. Unset, Language/Lang_DE.txt in the
// data folder for a German locale (UserMessageLanguage() "de") whose character set holds the German letters,
// Language/Lang_EN.txt otherwise; never written. A name without a folder is taken from the Language folder of
// the data folder.
std::string GetLangLngDll();
// The program's own language file (in the data folder) that replaces `file` when that is refused as no text: the
// other language's (Lang_DE... gives Lang_EN.txt and the reverse); for a name that says no language, the file
// the locale chooses.
std::string LanguageFileInsteadOf(const std::string& file);
std::string GetLangReadme();

// --- section startup -----------------------------------------------------------------------------------------
bool GetStartupFirstStart();
bool SetStartupFirstStart(bool value);

}  // namespace kelvado

#include "model/GlobalsConfig.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <variant>
#include <vector>

#include "model/GlobalsLists.h"
#include "model/MsgStrings.h"
#include "platform/CachedRegistry.h"
#include "platform/MessageBox.h"
#include "platform/Process.h"
#include "platform/User.h"
#include "tests/model/GlobalsTestEnv.h"

namespace kelvado {
namespace {

namespace fs = std::filesystem;
using Config = testing::GlobalsTest;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One row per key: where it lives, how its getter reads it, its default on a first run (empty folders), and
// whether the default is written back.
struct KeyCase {
  const char* section;
  const char* key;
  std::function<std::variant<std::string, int32_t, bool>()> get;
  std::variant<std::string, int32_t, bool> def;
  bool written;
  std::variant<std::string, int32_t, bool> stored;  // what is written back, where it differs from def
};

using V = std::variant<std::string, int32_t, bool>;
std::function<V()> G(std::string (*f)()) { return [f] { return V(f()); }; }
std::function<V()> G(int32_t (*f)()) { return [f] { return V(f()); }; }
std::function<V()> G(bool (*f)()) { return [f] { return V(f()); }; }

std::vector<KeyCase> AllKeys() {
  using S = std::string;
  const S none;
  // The data files lie beside the program unless the data folder is set; nothing built from the program's
  // folder is written back (another copy of the program would read this one's data).
  const S app = ProgramFolder().substr(0, ProgramFolder().size() - 1);
  std::vector<KeyCase> k = {
      {"database", "charsetgen", G(GetDatabaseCharsetGen), S("iso8859_1"), false, none},
      {"database", "charsetlib", G(GetDatabaseCharsetLib), S("iso8859_1"), false, none},
      {"database", "libfolder", G(GetDatabaseLibFolder), S(""), false, none},
      {"database", "databasenamegen", G(GetDatabaseDatabaseNameGen), app + "/db/KELVADO_GEN_DE.FDB", false, none},
      {"database", "databasenamelib", G(GetDatabaseDatabaseNameLib), S("KELVADO_LIB_DE.KLB"), true, none},
      {"database", "passwordgen", G(GetDatabasePasswordGen), S("vexbramot"), false, none},
      {"database", "passwordgenlib", G(GetDatabasePasswordGenLib), S("vexbramot"), false, none},
      {"database", "persistencelayername", G(GetDatabasePersistenceLayerName), S("IBX"), true, none},
      {"database", "protocol", G(GetDatabaseProtocol), S("firebird-1.5"), true, none},
      {"database", "sqldialect", G(GetDatabaseSQLDialect), int32_t(3), true, none},
      {"database", "usernamegen", G(GetDatabaseUserNameGen), S("SYSDBA"), false, none},
      {"database", "usernamelib", G(GetDatabaseUserNameLib), S("SYSDBA"), false, none},
      {"xml", "charset", G(GetXmlCharset), S("iso8859_1"), true, none},
      {"xml", "persistencelayername", G(GetXmlPersistenceLayerName), S("XML"), true, none},
      {"xml", "cbpersistencelayername", G(GetXmlCBPersistenceLayerName), S("CB"), false, none},
      {"xml", "cbfilename", G(GetXmlCBFileName), UserDataFolder() + "/cb.xml", false, none},
      {"opt", "projectfolder", G(GetOptProjectFolder), S("Projects"), true, none},
      {"opt", "MTTFdCutBeforeSymm", G(GetOptMTTFdCutBeforeSymm), true, false, none},
      {"opt", "MTTFdCFitBeforeSymm", G(GetOptMTTFdCFitBeforeSymm), true, false, none},
      {"opt", "allowwriteall", G(GetOptAllowWriteAll), false, false, none},
      {"opt", "askbeforedel", G(GetOptAskBeforeDel), true, false, none},
      {"opt", "defworkdirfolder", G(GetOptDefWorkDirFolder), S(""), true, none},
      {"opt", "defAppDatadirfolder", G(GetOptDefAppDataDirFolder), app, false, none},
      {"opt", "defdocumentsfolder", G(GetOptDefDocumentsFolder), S("../Documents"), true, S("Documents")},
      {"opt", "defstandardsfolder", G(GetOptDefStandardsFolder), S("../Standards"), true, S("Standards")},
      {"opt", "showformhelp", G(GetOptShowFormHelp), true, true, none},
      {"opt", "showformcontext", G(GetOptShowFormContext), true, true, none},
      {"opt", "showdisabledgroups", G(GetOptShowDisabledGroups), false, false, none},
      {"opt", "showdisabledtabs", G(GetOptShowDisabledTabs), false, true, none},
      {"opt", "showlibnonmodal", G(GetOptShowLibNonModal), true, false, none},
      {"opt", "showlibontop", G(GetOptShowLibOnTop), false, false, none},
      {"opt", "showreportdetailselection", G(GetOptShowReportDetailSelection), true, true, none},
      {"opt", "reportonlysummary", G(GetOptReportOnlySummary), false, true, none},
      {"opt", "showcontextsfplr", G(GetOptShowContextSFPLr), true, true, none},
      {"opt", "showcontextsfpl", G(GetOptShowContextSFPL), true, true, none},
      {"opt", "showcontextsfpfh", G(GetOptShowContextSFPFH), true, true, none},
      {"opt", "showcontextcomponentpl", G(GetOptShowContextComponentPL), true, true, none},
      {"opt", "showcontextcomponentpfh", G(GetOptShowContextComponentPFH), true, true, none},
      {"opt", "showcontextcomponentcat", G(GetOptShowContextComponentCat), true, true, none},
      {"opt", "showcontextcomponentmttfd", G(GetOptShowContextComponentMTTFd), true, true, none},
      {"opt", "showcontextcomponentdcavg", G(GetOptShowContextComponentDCavg), true, true, none},
      {"opt", "showcontextcomponentccf", G(GetOptShowContextComponentCCF), true, true, none},
      {"opt", "showcontextblocmttfd", G(GetOptShowContextBlocMTTFd), true, true, none},
      {"opt", "showcontextblocdc", G(GetOptShowContextBlocDC), true, true, none},
      {"opt", "showcontextelementmttfd", G(GetOptShowContextElementMTTFd), true, true, none},
      {"opt", "showcontextelementdc", G(GetOptShowContextElementDC), true, true, none},
      {"opt", "showsplashscreen", G(GetOptShowSplashScreen), true, true, none},
      {"opt", "checkKVDKLBregistration", G(GetOptCheckKVDKLBRegistration), true, true, none},
      {"opt", "showitemstate", G(GetOptShowItemState), true, true, none},
      {"opt", "showitemstateonselection", G(GetOptShowItemStateOnSelection), false, true, none},
      {"opt", "showlibprogress", G(GetOptShowLibProgress), false, false, none},
      {"opt", "usedcinterlevels", G(GetOptUseDCInterLevels), true, true, none},
      {"opt", "printnonrelevant", G(GetOptPrintNonRelevant), false, false, none},
      {"opt", "alloweditdcuccfbib", G(GetOptAllowEditDCUCCFBib), false, true, none},
      {"opt", "cutmttfdraise", G([] { return GetOptCutMTTFdRaise(true); }), false, true, none},
      {"opt", "convertaprotectedkvdlibraray", G(GetOptConvertAProtectedKVDLibraray), false, false, none},
      {"opt", "usedcmttfdfieldsfromlngfile", G(GetOptUseDCMTTFdFieldsFromLngFile), false, false, none},
      {"opt", "impexp", G(GetOptImpExp), false, false, none},
      {"opt", "RoundB10d", G(GetOptRoundB10d), int32_t(-2), true, none},
      {"opt", "RoundCCF", G(GetOptRoundCCF), int32_t(-2), true, none},
      {"opt", "RoundDC", G(GetOptRoundDC), int32_t(-2), true, none},
      {"opt", "TruncFIT", G(GetOptTruncFIT), int32_t(-2), false, none},
      {"opt", "RoundMTTFd", G(GetOptRoundMTTFd), int32_t(-2), true, none},
      {"opt", "RoundNop", G(GetOptRoundNop), int32_t(-2), true, none},
      {"opt", "PrecisionPFH", G(GetOptPrecisionPFH), int32_t(3), true, none},
      {"opt", "iconfileproject", G(GetOptIconFileProject), ProgramFolder() + "KELVADO_PR.ico", false, none},
      {"opt", "iconfilelib", G(GetOptIconFileLib), ProgramFolder() + "KELVADO_LIB.ico", false, none},
      {"opt", "helpfile", G(GetOptHelpFile), app + "/Kelvado_Help_DE.chm", false, none},
      {"lang", "CheckReadMeHash", G(GetLangCheckReadMeHash), true, false, none},
      {"lang", "writelngfile", G(GetLangWriteLngFile), false, false, none},
      {"lang", "lngfile", G(GetLangLngFile), app + "/Language/Lang_DE.lng", false, none},
      {"lang", "lngdll", G(GetLangLngDll), app + "/Language/Lang_DE.txt", false, none},
      {"lang", "readme", G(GetLangReadme), app + "/ReadMe_DE.html", false, none},
      {"startup", "firststart", G(GetStartupFirstStart), true, true, none},
  };
  return k;
}

std::string Describe(const KeyCase& c) { return std::string(c.section) + "/" + c.key; }

TEST_F(Config, EveryKeyReadsItsDefaultOnAFirstRunAndIsWrittenBackWhereDue) {
  for (const KeyCase& c : AllKeys()) {
    fs::remove_all(dir_ + "/reg");
    ResetConfig();
    EXPECT_EQ(c.get(), c.def) << Describe(c);
    EXPECT_FALSE(reg_->ReadValue(Key(c.section), c.key).has_value()) << Describe(c);  // not on the way to it
    EXPECT_TRUE(WriteMissingDefaults()) << Describe(c);
    std::optional<RegValue> v = reg_->ReadValue(Key(c.section), c.key);
    ASSERT_EQ(v.has_value(), c.written) << Describe(c);
    if (!v) continue;
    const auto& want = std::holds_alternative<std::string>(c.stored) && !std::get<std::string>(c.stored).empty()
                           ? c.stored
                           : c.def;
    if (std::holds_alternative<std::string>(want)) {
      EXPECT_EQ(v->type, RegDataType::String) << Describe(c);
      EXPECT_EQ(v->text, std::get<std::string>(want)) << Describe(c);
    } else {
      EXPECT_EQ(v->type, RegDataType::Integer) << Describe(c);
      int32_t n = std::holds_alternative<bool>(want) ? std::get<bool>(want) : std::get<int32_t>(want);
      EXPECT_EQ(v->number, n) << Describe(c);
    }
  }
  // The base key carries the running release, so every release keeps settings of its own.
  EXPECT_EQ(ConfigBaseKey(), "Software\\Zul\\KELVADO\\1.1.2");
  EXPECT_TRUE(fs::exists(dir_ + "/reg/Software/Zul/KELVADO/1.1.2/startup/values.reg"));
}

// The file store with a count of every change that reaches it: each is a replaced values file, flushed to disk
// (or a folder made).
class CountingStore : public FileRegistry {
public:
  using FileRegistry::FileRegistry;
  int changes = 0;
  void CreateKey(const std::string& key) override { ++changes, FileRegistry::CreateKey(key); }
  void WriteValue(const std::string& key, const std::string& name, const RegValue& value) override {
    ++changes, FileRegistry::WriteValue(key, name, value);
  }
  bool DeleteValue(const std::string& key, const std::string& name) override {
    return ++changes, FileRegistry::DeleteValue(key, name);
  }
  void UpdateValues(const std::string& key, const std::vector<std::string>& deletes,
                    const std::vector<std::pair<std::string, RegValue>>& writes) override {
    ++changes, FileRegistry::UpdateValues(key, deletes, writes);
  }
  void AddMissingValues(const std::string& key, const std::vector<std::pair<std::string, RegValue>>& values) override {
    ++changes, FileRegistry::AddMissingValues(key, values);
  }
};

TEST_F(Config, ReadingWritesNothingAndTheMissingDefaultsGoOutOnceInOneWritePerSection) {
  // As the program keeps its store: a cache in front of the files.
  auto counting = std::make_unique<CountingStore>(dir_ + "/reg");
  CountingStore& store = *counting;
  SetCurrentUserRegistry(std::make_unique<CachedRegistry>(std::move(counting)));
  FileRegistry files(dir_ + "/reg");  // what another program finds
  reg_ = nullptr;
  for (const KeyCase& c : AllKeys()) c.get();
  {
    const TEvaluationOptionsScope evaluation;
    GetOptUseDCInterLevels();
    GetOptCutMTTFdRaise(true);
  }
  EXPECT_EQ(store.changes, 0);
  EXPECT_TRUE(fs::is_empty(dir_ + "/reg"));

  // Set meanwhile by another program: the default written later leaves it.
  files.WriteBool(Key("opt"), "usedcinterlevels", false);
  EXPECT_TRUE(WriteMissingDefaults());
  EXPECT_FALSE(files.ReadBool(Key("opt"), "usedcinterlevels"));
  // database, xml, opt and startup get their defaults, lang only its key.
  EXPECT_EQ(store.changes, 5);
  for (const KeyCase& c : AllKeys())
    EXPECT_EQ(files.ValueExists(Key(c.section), c.key), c.written || std::string(c.key) == "usedcinterlevels")
        << Describe(c);

  // A second run finds them all: nothing more to write.
  ResetConfig();
  for (const KeyCase& c : AllKeys()) c.get();
  EXPECT_EQ(store.changes, 5);
  EXPECT_TRUE(WriteMissingDefaults());
  EXPECT_EQ(store.changes, 5);
}

TEST_F(Config, ConfigIniIsReadWithItsOwnDefaultsAndNeverWrittenByAGetter) {
  SetUseRegistryConfig(false);
  for (const KeyCase& c : AllKeys()) {
    ResetConfig();
    auto want = c.def;
    if (std::string(c.key) == "showreportdetailselection") want = false;
    if (std::string(c.key) == "showitemstateonselection") want = true;
    EXPECT_EQ(c.get(), want) << Describe(c);
  }
  EXPECT_FALSE(fs::exists(dir_ + "/config.ini"));
  EXPECT_FALSE(fs::exists(dir_ + "/reg/Software"));
  EXPECT_TRUE(SetOptRoundDC(1));
  EXPECT_TRUE(SetOptDefDocumentsFolder("Docs"));
  ResetConfig();
  EXPECT_EQ(GetOptRoundDC(), 1);
  EXPECT_EQ(GetOptDefDocumentsFolder(), "../Docs");
  std::ofstream(dir_ + "/config.ini", std::ios::app) << "[lang]\nlngdll=/opt/kv/Lang.txt\n";
  EXPECT_EQ(GetLangLngDll(), "/opt/kv/Lang.txt");
}

TEST_F(Config, DefaultsFollowTheDataAndWorkFolders) {
  // A first run finds the data files beside the program and leaves the settings free of that folder.
  EXPECT_EQ(GetDatabaseDatabaseNameGen(), ProgramFolder() + "db/KELVADO_GEN_DE.FDB");
  EXPECT_FALSE(reg_->ReadValue(Key("opt"), "defAppDatadirfolder").has_value());
  EXPECT_EQ(GetLangLngDll(), ProgramFolder() + "Language/Lang_DE.txt");
  // A data folder set that lacks the data is not used: the data beside the program are, and the user learns
  // which setting names which folder, once.
  {
    MessageRecorder rec;
    RegWriteString("opt", "defAppDatadirfolder", dir_ + "/app/");
    EXPECT_EQ(GetOptDefAppDataDirFolder(), ProgramFolder().substr(0, ProgramFolder().size() - 1));
    EXPECT_EQ(GetLangLngDll(), ProgramFolder() + "Language/Lang_DE.txt");
    EXPECT_EQ(UnusedDataFolderSetting(), dir_ + "/app");
    ASSERT_EQ(rec.Count(), 1u);
    EXPECT_NE(rec.Messages()[0].text.find("defAppDatadirfolder"), std::string::npos) << rec.Messages()[0].text;
    EXPECT_NE(rec.Messages()[0].text.find("\"" + dir_ + "/app\""), std::string::npos) << rec.Messages()[0].text;
  }
  fs::remove_all(dir_ + "/reg");
  fs::create_directories(dir_ + "/work/Libraries");
  fs::create_directories(dir_ + "/app/Language");
  fs::create_directories(dir_ + "/app/db");
  std::ofstream(dir_ + "/app/Language/Lang_DE.txt") << "3=Kanal\n";
  std::ofstream(dir_ + "/app/db/KELVADO_GEN_DE.FDB") << "database";
  RegWriteString("opt", "defAppDatadirfolder", dir_ + "/app/");
  EXPECT_EQ(UnusedDataFolderSetting(), "");
  RegWriteString("opt", "defworkdirfolder", dir_ + "/work/");
  EXPECT_EQ(GetOptDefAppDataDirFolder(), dir_ + "/app");
  EXPECT_EQ(GetDatabaseDatabaseNameGen(), dir_ + "/app/db/KELVADO_GEN_DE.FDB");
  EXPECT_EQ(GetDatabaseDatabaseNameLib(), dir_ + "/work/Libraries/KELVADO_LIB_DE.KLB");
  EXPECT_EQ(GetDatabaseLibFolder(), dir_ + "/work/Libraries");
  EXPECT_EQ(GetLangLngDll(), dir_ + "/app/Language/Lang_DE.txt");
  EXPECT_EQ(GetLangLngFile(), dir_ + "/app/Language/Lang_DE.lng");
  EXPECT_EQ(GetLangReadme(), dir_ + "/app/ReadMe_DE.html");
  EXPECT_EQ(GetOptHelpFile(), dir_ + "/app/Kelvado_Help_DE.chm");
  // The clipboard's scratch file is the user's, never in the program's (maybe not writable) data folder; a bare
  // name lies in the user's data folder, a path is taken as it is.
  fs::create_directories(dir_ + "/app");
  EXPECT_EQ(GetXmlCBFileName(), std::string(std::getenv("XDG_DATA_HOME")) + "/kelvado/cb.xml");
  RegWriteString("xml", "cbfilename", "clip.xml");
  EXPECT_EQ(GetXmlCBFileName(), UserDataFolder() + "/clip.xml");
  RegWriteString("xml", "cbfilename", dir_ + "/app/cb.xml");
  EXPECT_EQ(GetXmlCBFileName(), dir_ + "/app/cb.xml");
  fs::remove_all(dir_ + "/work/Libraries");
  EXPECT_EQ(GetDatabaseLibFolder(), dir_ + "/work");
}

// The locale variables of this process, set for one scope and put back afterwards.
class ScopedLocaleEnv {
public:
  ScopedLocaleEnv(const char* all, const char* messages, const char* lang) {
    for (const char* n : kNames) {
      const char* v = std::getenv(n);
      saved_.emplace_back(v ? std::optional<std::string>(v) : std::nullopt);
    }
    Set("LC_ALL", all);
    Set("LC_MESSAGES", messages);
    Set("LANG", lang);
  }
  ~ScopedLocaleEnv() {
    for (size_t i = 0; i < saved_.size(); ++i) Set(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
  }

private:
  static void Set(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  static constexpr const char* kNames[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::vector<std::optional<std::string>> saved_;
};

TEST_F(Config, UnsetTheLanguageFollowsTheLocaleAndTheSettingWinsWhenSet) {
  const std::string lang = ProgramFolder() + "Language/";
  const struct {
    const char *all, *messages, *env;
    const char* file;
    const char* channel;
  } cases[] = {
      {nullptr, nullptr, "de_DE.UTF-8", "Lang_DE.txt", "Kanal"},
      {nullptr, nullptr, "DE_DE.UTF-8", "Lang_DE.txt", "Kanal"},
      {nullptr, "de_AT.UTF-8", "en_US.UTF-8", "Lang_DE.txt", "Kanal"},
      {"de_CH", "en_GB.UTF-8", "en_US.UTF-8", "Lang_DE.txt", "Kanal"},
      {"", "", "de_DE@euro", "Lang_DE.txt", "Kanal"},
      {nullptr, nullptr, "en_US.UTF-8", "Lang_EN.txt", "Channel"},
      {"fr_FR.UTF-8", nullptr, "de_DE.UTF-8", "Lang_EN.txt", "Channel"},
      {nullptr, "C.UTF-8", "de_DE.UTF-8", "Lang_EN.txt", "Channel"},
      {nullptr, nullptr, "POSIX", "Lang_EN.txt", "Channel"},
      {nullptr, nullptr, nullptr, "Lang_EN.txt", "Channel"},
  };
  for (const auto& c : cases) {
    ScopedLocaleEnv env(c.all, c.messages, c.env);
    ResetConfig();
    ReleaseMsgStrings();
    SCOPED_TRACE(std::string(c.env ? c.env : "(unset)") + " / " + (c.messages ? c.messages : "-"));
    EXPECT_EQ(GetLangLngDll(), lang + c.file);
    EXPECT_EQ(GetMsgString(txtChannel, msgBaseGeneral), c.channel);
    // Not written back: a later run under another locale follows that locale.
    EXPECT_FALSE(reg_->ReadValue(Key("lang"), "lngdll").has_value());
  }
  // A set value chooses, whatever the locale.
  ScopedLocaleEnv env(nullptr, nullptr, "en_US.UTF-8");
  RegWriteString("lang", "lngdll", lang + "Lang_DE.txt");
  ResetConfig();
  ReleaseMsgStrings();
  EXPECT_EQ(GetMsgString(txtChannel, msgBaseGeneral), "Kanal");
  ReleaseMsgStrings();
}

TEST_F(Config, FolderKeysFollowTheRelativePathConvention) {
  auto check = [](std::string path, const std::string& after, bool relative) {
    bool isRelative = !relative;
    CheckRelativePath(path, isRelative);
    EXPECT_EQ(path, after);
    EXPECT_EQ(isRelative, relative) << after;
  };
  check("../Docs", "Docs", true);
  check("Docs", "Docs", true);
  check("/Docs", "/Docs", false);
  check("../../Docs", "../../Docs", false);
  check("..\\Docs", "Docs", true);
  check("", "", false);

  const std::pair<const char*, const char*> documents[] = {
      {"Docs/", "../Docs"}, {"../Docs", "../Docs"}, {"/Docs", "/Docs"}, {"../../Docs", "../../Docs"}, {"/", "/"}};
  for (const auto& [stored, read] : documents) {
    RegWriteString("opt", "defdocumentsfolder", stored);
    RegWriteString("opt", "defstandardsfolder", stored);
    EXPECT_EQ(GetOptDefDocumentsFolder(), read) << stored;
    EXPECT_EQ(GetOptDefStandardsFolder(), read) << stored;
  }
  RegWriteString("opt", "projectfolder", "../Projects/");
  EXPECT_EQ(GetOptProjectFolder(), "Projects");
  EXPECT_TRUE(SetOptProjectFolder("/data/projects"));
  EXPECT_EQ(GetOptProjectFolder(), "/data/projects");
}

TEST_F(Config, RoundingKeysKeepTheirFirstValueForTheRun) {
  EXPECT_TRUE(SetOptRoundDC(1));
  reg_->WriteInteger(Key("opt"), "RoundDC", 3);
  EXPECT_EQ(GetOptRoundDC(), 1);
  ResetConfig();  // a restart
  EXPECT_EQ(GetOptRoundDC(), 3);

  // TruncFIT follows RoundMTTFd while it is missing, and is never written.
  reg_->WriteInteger(Key("opt"), "RoundMTTFd", 1);
  EXPECT_EQ(GetOptTruncFIT(), 1);
  EXPECT_FALSE(reg_->ValueExists(Key("opt"), "TruncFIT"));
}

TEST_F(Config, DependentOptions) {
  // hidenonrelevant counts only when non-relevant items are printed.
  reg_->WriteBool(Key("opt"), "hidenonrelevant", false);
  EXPECT_TRUE(GetOptHideNonRelevant());
  EXPECT_TRUE(SetOptPrintNonRelevant(true));
  EXPECT_FALSE(GetOptHideNonRelevant());
  reg_->DeleteValue(Key("opt"), "hidenonrelevant");
  EXPECT_TRUE(GetOptHideNonRelevant());
  WriteMissingDefaults();
  EXPECT_TRUE(reg_->ReadBool(Key("opt"), "hidenonrelevant"));  // written back

  // The raise of the category-4 MTTFd cap needs the DC inter-levels when asked to check them.
  EXPECT_TRUE(SetOptCutMTTFdRaise(true));
  EXPECT_TRUE(SetOptUseDCInterLevels(false));
  EXPECT_FALSE(GetOptCutMTTFdRaise(true));
  EXPECT_TRUE(GetOptCutMTTFdRaise(false));
  EXPECT_TRUE(SetOptUseDCInterLevels(true));
  EXPECT_TRUE(GetOptCutMTTFdRaise(true));
}

TEST_F(Config, EvaluationsKeepTheOptionsTheyReadUntilASettingChanges) {
  const auto interLevels = [] {
    const TEvaluationOptionsScope evaluation;
    return GetOptUseDCInterLevels();
  };
  EXPECT_TRUE(SetOptUseDCInterLevels(true));
  EXPECT_TRUE(interLevels());
  // Written inside an evaluation (a nested scope too): the rest of that evaluation sees the new value.
  {
    const TEvaluationOptionsScope evaluation;
    EXPECT_TRUE(GetOptUseDCInterLevels());
    EXPECT_TRUE(SetOptUseDCInterLevels(false));
    EXPECT_FALSE(GetOptUseDCInterLevels());
    EXPECT_FALSE(interLevels());
    EXPECT_TRUE(SetOptUseDCInterLevels(true));
  }
  // Written straight into the store by another part of the program, or by another thread: the next
  // evaluation reads it.
  reg_->WriteBool(Key("opt"), "usedcinterlevels", false);
  EXPECT_FALSE(interLevels());
  std::thread([] { EXPECT_TRUE(SetOptUseDCInterLevels(true)); }).join();
  EXPECT_TRUE(interLevels());
  // Another store installed, and the settings moved to config.ini.
  auto other = std::make_unique<MemoryRegistry>();
  other->WriteBool(Key("opt"), "usedcinterlevels", false);
  SetCurrentUserRegistry(std::move(other));
  reg_ = nullptr;
  EXPECT_FALSE(interLevels());
  std::ofstream(dir_ + "/config.ini") << "[opt]\nusedcinterlevels=1\n";
  SetUseRegistryConfig(false);
  EXPECT_TRUE(interLevels());
}

TEST_F(Config, ReadingAMissingKeyCreatesTheSectionAndWritesOnlyWhenAsked) {
  EXPECT_EQ(RegReadString("newsection", "k", "d", false), "d");
  EXPECT_FALSE(reg_->KeyExists(Key("newsection")));  // written once the work is done, not while reading
  EXPECT_TRUE(WriteMissingDefaults());
  EXPECT_TRUE(reg_->KeyExists(Key("newsection")));
  EXPECT_FALSE(reg_->ValueExists(Key("newsection"), "k"));
  EXPECT_EQ(RegReadInteger("newsection", "n", 7, true), 7);
  EXPECT_TRUE(WriteMissingDefaults());
  EXPECT_EQ(reg_->ReadInteger(Key("newsection"), "n"), 7);
}

TEST_F(Config, AFailingSectionIsShownOnceAndGoesOnInMemory) {
  // A file where the section's folder belongs: every access to section opt fails, as for a denied key.
  fs::create_directories(dir_ + "/reg/Software/Zul/KELVADO/1.1.2");
  std::ofstream(dir_ + "/reg/Software/Zul/KELVADO/1.1.2/opt") << "in the way";
  MessageRecorder rec;
  EXPECT_EQ(GetOptRoundDC(), -2);
  EXPECT_TRUE(GetOptAskBeforeDel());
  EXPECT_EQ(GetOptProjectFolder(), "Projects");
  EXPECT_FALSE(SetOptShowFormHelp(false));  // not saved ...
  EXPECT_FALSE(GetOptShowFormHelp());       // ... but in force for the rest of the run
  ASSERT_EQ(rec.Count(), 1u);
  const MessageRequest m = rec.Messages()[0];
  // In the run's language, without the name of a class.
  EXPECT_EQ(m.caption, "Fehler (v.1.1.2)");
  EXPECT_EQ(m.icon, MsgIcon::Warning);
  EXPECT_NE(m.text.find("/opt\" k\xC3\xB6nnen nicht gelesen oder geschrieben werden: eine Datei dieses Namens steht im Weg"),
            std::string::npos)
      << m.text;
  // Other sections still work.
  EXPECT_EQ(GetDatabaseSQLDialect(), 3);
  EXPECT_TRUE(WriteMissingDefaults());
  EXPECT_EQ(reg_->ReadInteger(Key("database"), "sqldialect"), 3);
  EXPECT_EQ(rec.Count(), 1u);
  EXPECT_EQ(ReadAll(dir_ + "/reg/Software/Zul/KELVADO/1.1.2/opt"), "in the way");
}

TEST_F(Config, AReadOnlySettingsFileIsObeyedAsRead) {
  // Its owner made it read-only: refused for writing, root included.
  reg_->WriteBool(Key("opt"), "usedcinterlevels", false);
  reg_->WriteInteger(Key("opt"), "RoundDC", 1);
  const std::string file = reg_->ValuesFile(Key("opt"));
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const std::string bytes = ReadAll(file);
  ResetConfig();
  MessageRecorder rec;
  // Keys it lacks, read first as in a run, leave the ones it holds in force.
  EXPECT_EQ(GetOptPrecisionPFH(), 3);
  EXPECT_FALSE(GetOptCutMTTFdRaise(false));
  EXPECT_FALSE(GetOptUseDCInterLevels());
  EXPECT_EQ(GetOptRoundDC(), 1);
  // Their defaults cannot be added: said once, and what was read stays.
  EXPECT_FALSE(WriteMissingDefaults());
  EXPECT_EQ(GetOptPrecisionPFH(), 3);
  EXPECT_FALSE(WriteMissingDefaults());
  EXPECT_FALSE(GetOptUseDCInterLevels());
  ASSERT_EQ(rec.Count(), 1u);
  EXPECT_NE(rec.Messages()[0].text.find("Die fehlenden Einstellungen konnten nicht mit ihren Vorgabewerten in \"" +
                                        file + "\" eingetragen werden: sie ist schreibgeschützt."),
            std::string::npos)
      << rec.Messages()[0].text;
  // A setting changed in this run holds for the run beside the ones read.
  EXPECT_FALSE(SetOptShowItemState(false));
  EXPECT_FALSE(GetOptShowItemState());
  EXPECT_FALSE(GetOptUseDCInterLevels());
  EXPECT_EQ(GetOptRoundDC(), 1);
  EXPECT_EQ(rec.Count(), 2u);
  EXPECT_EQ(ReadAll(file), bytes);
}

TEST_F(Config, AFailureWhileTheMessageTextIsLookedUpDoesNotRecurse) {
  // Every section fails, also "lang", which the text of the message is looked up with.
  class Broken : public FileRegistry {
  public:
    using FileRegistry::FileRegistry;
    std::optional<RegValue> ReadValue(const std::string&, const std::string&) override {
      throw ERegistryException("access denied");
    }
  };
  SetCurrentUserRegistry(std::make_unique<Broken>(dir_ + "/reg"));
  MessageRecorder rec;
  EXPECT_EQ(GetDatabaseSQLDialect(), 3);
  ASSERT_EQ(rec.Count(), 1u);
  // The default language file beside the program still gives the message its text.
  EXPECT_EQ(rec.Messages()[0].text, "Fehler beim Zugriff auf die Einstellungen:\r\naccess denied");
  // Two more accesses (the default of lngdll is built from the data folder, which is read first) fail the
  // same way: shown once.
  EXPECT_EQ(GetLangLngDll(), ProgramFolder() + "Language/Lang_DE.txt");
  EXPECT_EQ(rec.Count(), 1u);
}

TEST_F(Config, AFailureTextComesFromTheLanguageFile) {
  std::ofstream(dir_ + "/lang.txt") << "1100=Registry error: %s\n";
  RegWriteString("lang", "lngdll", dir_ + "/lang.txt");
  reg_->WriteString(Key("opt"), "RoundNop", "not a number");
  MessageRecorder rec;
  EXPECT_EQ(GetOptRoundNop(), -2);
  ASSERT_EQ(rec.Count(), 1u);
  EXPECT_EQ(rec.Messages()[0].text.rfind("Registry error: Invalid data type for 'RoundNop'", 0), 0u)
      << rec.Messages()[0].text;
}

TEST_F(Config, ADamagedSettingsFileIsShownOnceKeptAndTheRunGoesOnWithDefaults) {
  reg_->WriteInteger(Key("opt"), "RoundDC", 3);
  const std::string file = reg_->ValuesFile(Key("opt"));
  std::ofstream(file, std::ios::app) << "\"usedcinterlevels\"=dword:1x\n";
  const std::string damaged = ReadAll(file);
  MessageRecorder rec;
  // A program with 500 subsystems asks its options over and over.
  for (int i = 0; i < 500; ++i) {
    EXPECT_TRUE(GetOptUseDCInterLevels());
    EXPECT_FALSE(GetOptCutMTTFdRaise(true));
    EXPECT_TRUE(GetOptHideNonRelevant());
    EXPECT_EQ(GetOptRoundDC(), -2);  // the damaged file gives none of its values
    EXPECT_EQ(GetOptProjectFolder(), "Projects");
  }
  EXPECT_FALSE(SetOptShowItemState(false));
  EXPECT_FALSE(GetOptShowItemState());
  ASSERT_EQ(rec.Count(), 1u);
  EXPECT_NE(rec.Messages()[0].text.find(file), std::string::npos) << rec.Messages()[0].text;
  EXPECT_EQ(ReadAll(file), damaged);  // never written over: the user can mend it

  // A second file with a cause of its own is shown once as well; the damaged one is not shown again.
  fs::create_directories(dir_ + "/reg/Software/Zul/KELVADO/1.1.2");
  std::ofstream(dir_ + "/reg/Software/Zul/KELVADO/1.1.2/xml") << "in the way";
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(GetXmlPersistenceLayerName(), "XML");
    EXPECT_TRUE(GetOptUseDCInterLevels());
  }
  EXPECT_EQ(rec.Count(), 2u);

  // A new run tries the files again and reports what still fails.
  ResetConfig();
  EXPECT_TRUE(GetOptUseDCInterLevels());
  EXPECT_EQ(rec.Count(), 3u);
  EXPECT_EQ(ReadAll(file), damaged);
}

TEST_F(Config, AnUnwritableSettingsFolderIsShownOnce) {
  // The settings folder cannot be made: a file stands where it belongs.
  std::ofstream(dir_ + "/blocked") << "a file";
  SetCurrentUserRegistry(std::make_unique<FileRegistry>(dir_ + "/blocked/reg"));
  MessageRecorder rec;
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(GetDatabaseSQLDialect(), 3);
    EXPECT_EQ(GetOptRoundDC(), -2);
    EXPECT_EQ(GetXmlCharset(), "iso8859_1");
    EXPECT_TRUE(GetStartupFirstStart());
  }
  EXPECT_FALSE(SetStartupFirstStart(false));
  EXPECT_FALSE(GetStartupFirstStart());
  EXPECT_FALSE(SaveRecentList({"a.kvd"}, "projectfile"));
  EXPECT_EQ(LoadRecentList("projectfile"), std::vector<std::string>{"a.kvd"});
  ASSERT_EQ(rec.Count(), 1u);
  EXPECT_NE(rec.Messages()[0].text.find(dir_ + "/blocked/reg"), std::string::npos) << rec.Messages()[0].text;
  EXPECT_EQ(ReadAll(dir_ + "/blocked"), "a file");
}

}  // namespace
}  // namespace kelvado

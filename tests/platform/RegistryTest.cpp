#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/CachedRegistry.h"
#include "platform/IniFile.h"
#include "platform/Process.h"

namespace kelvado {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class RegistryStore : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "kv_reg_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

const char* kOpt = "Software\\Zul\\KELVADO\\1.1.2\\opt";

TEST_F(RegistryStore, KeepsTypesAndMirrorsKeyPathsAsFolders) {
  FileRegistry reg(dir_ + "/root");
  EXPECT_FALSE(reg.KeyExists(kOpt));
  EXPECT_EQ(reg.ReadString(kOpt, "missing"), "");  // a missing text reads as empty, without creating anything
  EXPECT_FALSE(fs::exists(dir_ + "/root"));
  const std::string odd = "a \"quoted\" C:\\path\nline2\ttab\x01 \xC3\xA4";
  reg.WriteString(kOpt, "text", odd);
  reg.WriteExpandString(kOpt, "0", "/home/x/p.kvd");
  reg.WriteInteger(kOpt, "RoundDC", -2);
  reg.WriteBool(kOpt, "flag", true);

  FileRegistry again(dir_ + "/root");  // nothing held in memory
  EXPECT_EQ(again.ReadString(kOpt, "TEXT"), odd);  // value names ignore case, as in the registry
  EXPECT_EQ(again.ReadValue(kOpt, "0")->type, RegDataType::ExpandString);
  EXPECT_EQ(again.ReadInteger(kOpt, "rounddc"), -2);
  EXPECT_TRUE(again.ReadBool(kOpt, "flag"));
  EXPECT_EQ(again.GetValueNames(kOpt), (std::vector<std::string>{"text", "0", "RoundDC", "flag"}));
  EXPECT_TRUE(fs::exists(dir_ + "/root/Software/Zul/KELVADO/1.1.2/opt/values.reg"));
  EXPECT_EQ(again.ValuesFile("software\\zul\\kelvado\\1.1.2\\OPT"), dir_ + "/root/Software/Zul/KELVADO/1.1.2/opt/values.reg");

  // Wrong types and missing integers are errors that name the value, as the settings code expects.
  EXPECT_THROW(again.ReadInteger(kOpt, "text"), ERegistryException);
  EXPECT_THROW(again.ReadString(kOpt, "RoundDC"), ERegistryException);
  EXPECT_THROW(again.ReadInteger(kOpt, "missing"), ERegistryException);
  // The settings file is private: it may hold database passwords.
  struct stat st;
  ASSERT_EQ(::stat(again.ValuesFile(kOpt).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST_F(RegistryStore, ListsAndDeletesSubkeysAndValues) {
  FileRegistry reg(dir_);
  reg.WriteString("Base\\LibList", "0", "a");
  reg.WriteString("Base\\LibList", "1", "b");
  reg.CreateKey("Base\\ProjektFileList");
  reg.WriteString("Base", "x", "y");
  EXPECT_EQ(reg.GetKeyNames("Base"), (std::vector<std::string>{"LibList", "ProjektFileList"}));
  EXPECT_TRUE(reg.DeleteValue("Base\\LibList", "0"));
  EXPECT_FALSE(reg.DeleteValue("Base\\LibList", "0"));
  EXPECT_EQ(reg.GetValueNames("Base\\LibList"), std::vector<std::string>{"1"});
  reg.UpdateValues("Base\\LibList", {"1", "7"}, {{"0", RegValue{RegDataType::String, "n", 0}}});
  EXPECT_EQ(reg.GetValueNames("Base\\LibList"), std::vector<std::string>{"0"});
  EXPECT_TRUE(reg.DeleteKey("base\\liblist"));
  EXPECT_FALSE(reg.DeleteKey("Base\\LibList"));
  EXPECT_EQ(reg.GetKeyNames("Base"), std::vector<std::string>{"ProjektFileList"});
  EXPECT_EQ(reg.ReadString("Base", "x"), "y");
}

TEST_F(RegistryStore, RefusesKeyNamesThatLeaveTheStore) {
  FileRegistry reg(dir_ + "/root");
  EXPECT_THROW(reg.WriteString("Software\\..\\..\\etc", "x", "y"), ERegistryException);
  EXPECT_THROW(reg.WriteString("Software\\a/b", "x", "y"), ERegistryException);
  EXPECT_THROW(reg.WriteString("Software\\\\x", "x", "y"), ERegistryException);
  EXPECT_THROW(reg.CreateKey("Software\\values.reg"), ERegistryException);
  EXPECT_THROW(reg.DeleteKey(""), ERegistryException);
  EXPECT_FALSE(fs::exists(dir_ + "/etc"));
}

TEST_F(RegistryStore, WritesAtomicallyAndLeavesADamagedFileAlone) {
  FileRegistry reg(dir_);
  reg.WriteString("K", "a", "old");
  const std::string file = reg.ValuesFile("K");
  // A second name for the old file: an in-place rewrite would change what it shows, a rename does not.
  ASSERT_EQ(::link(file.c_str(), (dir_ + "/before").c_str()), 0);
  const std::string before = ReadFile(file);
  reg.WriteString("K", "a", "new");
  EXPECT_EQ(ReadFile(dir_ + "/before"), before);
  EXPECT_EQ(reg.ReadString("K", "a"), "new");
  for (const auto& e : fs::directory_iterator(dir_ + "/K"))
    EXPECT_EQ(e.path().filename(), "values.reg") << "left behind: " << e.path();

  // A hand-edited file with a broken line: reading names file and line, writing does not overwrite it.
  std::ofstream(file, std::ios::binary) << "; comment\n\"a\"=\"x\"\n\"b\"=dword:12x\n";
  const std::string damaged = ReadFile(file);
  try {
    reg.ReadString("K", "a");
    FAIL() << "damaged file accepted";
  } catch (const ERegistryException& e) {
    EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
  }
  EXPECT_THROW(reg.WriteString("K", "c", "y"), ERegistryException);
  EXPECT_EQ(ReadFile(file), damaged);
  // A DWORD's full range reads back as a signed number and is written back unchanged; one more is refused by line.
  std::ofstream(file, std::ios::binary | std::ios::trunc) << "\"n\"=dword:4294967295\n";
  EXPECT_EQ(reg.ReadInteger("K", "n"), -1);
  reg.WriteString("K", "s", "x");
  EXPECT_EQ(reg.ReadInteger("K", "n"), -1);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << "; c\n\"n\"=dword:4294967296\n";
  try {
    reg.ReadInteger("K", "n");
    ADD_FAILURE() << "a number beyond 32 bits was read";
  } catch (const ERegistryException& e) {
    EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
  }
}

TEST_F(RegistryStore, WritersInSeveralProcessesLoseNothing) {
  // Four programs write 150 values each into one key at the same time; each write reads, changes and replaces
  // the key's file, so without a lock across processes most of them would be lost.
  constexpr int kWriters = 4, kValues = 150;
  const std::string root = dir_ + "/shared";
  const std::string writer = ProgramFolder() + "kv_settings_writer";
  ASSERT_TRUE(fs::exists(writer)) << writer;
  std::vector<ProcessResult> results(kWriters);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&, w] {
      results[w] = RunProcessAndWait(writer, {root, kOpt, "w" + std::to_string(w), std::to_string(kValues)}, "");
    });
  for (auto& t : threads) t.join();
  for (const ProcessResult& r : results) {
    EXPECT_TRUE(r.started) << r.error;
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
  }
  FileRegistry reg(root);
  EXPECT_EQ(reg.GetValueNames(kOpt).size(), static_cast<size_t>(kWriters * kValues));
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kValues; ++i) {
      const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
      ASSERT_TRUE(reg.ValueExists(kOpt, name)) << name;
      EXPECT_EQ(reg.ReadInteger(kOpt, name), i) << name;
    }
  for (const auto& e : fs::directory_iterator(fs::path(reg.ValuesFile(kOpt)).parent_path()))
    EXPECT_EQ(e.path().filename(), "values.reg") << "left behind: " << e.path();
}

TEST_F(RegistryStore, AWriteKeepsTheFilesModeAndWritesThroughASymbolicLink) {
  FileRegistry reg(dir_ + "/root");
  reg.WriteString("K", "a", "1");
  const std::string file = reg.ValuesFile("K");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  reg.WriteString("K", "b", "2");
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // The settings file is a link to a file kept elsewhere (a relative link, through a second link): the link
  // stays, the target gets the change.
  fs::create_directories(dir_ + "/elsewhere");
  std::ofstream(dir_ + "/elsewhere/target.reg") << "\"kept\"=\"yes\"\n";
  ASSERT_EQ(::chmod((dir_ + "/elsewhere/target.reg").c_str(), 0604), 0);
  ASSERT_EQ(::symlink("target.reg", (dir_ + "/elsewhere/hop.reg").c_str()), 0);
  reg.CreateKey("L");
  const std::string link = reg.ValuesFile("L");
  ASSERT_EQ(::symlink((dir_ + "/elsewhere/hop.reg").c_str(), link.c_str()), 0);
  EXPECT_EQ(reg.ReadString("L", "kept"), "yes");
  reg.WriteString("L", "new", "value");
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::lstat((dir_ + "/elsewhere/hop.reg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_NE(ReadFile(dir_ + "/elsewhere/target.reg").find("\"new\"=\"value\""), std::string::npos);
  ASSERT_EQ(::stat((dir_ + "/elsewhere/target.reg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(FileRegistry(dir_ + "/root").ReadString("L", "kept"), "yes");
  EXPECT_TRUE(reg.DeleteValue("L", "kept"));
  EXPECT_EQ(ReadFile(dir_ + "/elsewhere/target.reg").find("kept"), std::string::npos);

  // A link whose target does not exist yet reads as empty; the first write makes the target.
  reg.CreateKey("M");
  ASSERT_EQ(::symlink((dir_ + "/elsewhere/later.reg").c_str(), reg.ValuesFile("M").c_str()), 0);
  EXPECT_FALSE(reg.ValueExists("M", "x"));
  reg.WriteInteger("M", "x", 5);
  EXPECT_EQ(FileRegistry(dir_ + "/root").ReadInteger("M", "x"), 5);
  ASSERT_EQ(::lstat(reg.ValuesFile("M").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  // config.ini the same way.
  std::ofstream(dir_ + "/elsewhere/config.ini") << "[opt]\nRoundDC=3\n";
  ASSERT_EQ(::chmod((dir_ + "/elsewhere/config.ini").c_str(), 0600), 0);
  ASSERT_EQ(::symlink((dir_ + "/elsewhere/config.ini").c_str(), (dir_ + "/config.ini").c_str()), 0);
  IniFile ini(dir_ + "/config.ini");
  ini.WriteInteger("opt", "RoundNop", 1);
  ASSERT_EQ(::lstat((dir_ + "/config.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat((dir_ + "/elsewhere/config.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(IniFile(dir_ + "/elsewhere/config.ini").ReadInteger("opt", "RoundNop", 0), 1);
  EXPECT_EQ(ini.ReadInteger("opt", "RoundDC", 0), 3);
  for (const auto& e : fs::directory_iterator(dir_ + "/elsewhere"))
    EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << "left behind: " << e.path();
}

TEST_F(RegistryStore, RootFolderFollowsTheEnvironment) {
  auto env = [](const char* name) {
    const char* v = std::getenv(name);
    return std::string(v ? v : "");
  };
  const std::string keep = env("KELVADO_CONFIG_DIR"), keepXdg = env("XDG_CONFIG_HOME"), keepHome = env("HOME");
  ::setenv("KELVADO_CONFIG_DIR", (dir_ + "/redirected").c_str(), 1);
  EXPECT_EQ(RegistryRootFolder(), dir_ + "/redirected");
  SetCurrentUserRegistry(nullptr);
  CurrentUserRegistry().WriteString("A", "k", "v");
  EXPECT_TRUE(fs::exists(dir_ + "/redirected/A/values.reg"));

  ::unsetenv("KELVADO_CONFIG_DIR");
  ::setenv("XDG_CONFIG_HOME", (dir_ + "/xdg").c_str(), 1);
  EXPECT_EQ(RegistryRootFolder(), dir_ + "/xdg/kelvado");
  ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  ::setenv("HOME", (dir_ + "/home").c_str(), 1);
  EXPECT_EQ(RegistryRootFolder(), dir_ + "/home/.config/kelvado");
  ::setenv("KELVADO_CONFIG_DIR", keep.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", keepXdg.c_str(), 1);
  ::setenv("HOME", keepHome.c_str(), 1);
  SetCurrentUserRegistry(nullptr);
}

TEST_F(RegistryStore, IniFileReadsLikeTheProfileRoutinesAndWritesAtomically) {
  const std::string file = dir_ + "/config.ini";
  std::ofstream(file) << "; settings\n[Opt]\n RoundDC = 3 \nhex=$1F\nbad=12a\nq=\"quoted\"\n[other]\nRoundDC=9\n";
  IniFile ini(file);
  EXPECT_EQ(ini.ReadInteger("opt", "rounddc", -2), 3);
  EXPECT_EQ(ini.ReadInteger("opt", "hex", 0), 31);
  EXPECT_EQ(ini.ReadInteger("opt", "bad", -2), -2);
  EXPECT_EQ(ini.ReadString("opt", "q", ""), "quoted");
  EXPECT_TRUE(ini.ReadBool("opt", "missing", true));
  ini.WriteInteger("opt", "RoundDC", -1);
  ini.WriteBool("lang", "writelngfile", true);
  EXPECT_EQ(ini.ReadInteger("opt", "RoundDC", 0), -1);
  EXPECT_EQ(ini.ReadInteger("other", "RoundDC", 0), 9);
  EXPECT_TRUE(ini.ReadBool("lang", "writelngfile", false));
  EXPECT_THROW(ini.WriteString("opt", "x", "two\nlines"), EIniFileException);
  for (const auto& e : fs::directory_iterator(dir_)) EXPECT_EQ(e.path().filename(), "config.ini");
  IniFile nowhere(dir_ + "/missing/config.ini");
  EXPECT_EQ(nowhere.ReadString("a", "b", "def"), "def");
  EXPECT_THROW(nowhere.WriteString("a", "b", "c"), EIniFileException);
}

}  // namespace
}  // namespace kelvado

namespace {
// Counts what reaches the file store behind the cache.
class CountingRegistry : public kelvado::FileRegistry {
public:
  using FileRegistry::FileRegistry;
  int reads = 0;
  int creates = 0;
  void CreateKey(const std::string& key) override {
    ++creates;
    FileRegistry::CreateKey(key);
  }
  std::optional<kelvado::RegValue> ReadValue(const std::string& key, const std::string& name) override {
    ++reads;
    return FileRegistry::ReadValue(key, name);
  }
};
}  // namespace

TEST(CachedRegistry, ReadsOnceAndAlwaysSeesItsOwnWrites) {
  namespace fs = std::filesystem;
  const std::string dir = fs::temp_directory_path() / ("kv-cached-reg-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  auto inner = std::make_unique<CountingRegistry>(dir);
  CountingRegistry* counting = inner.get();
  kelvado::CachedRegistry reg(std::move(inner));
  const std::string key = "Software\\Zul\\KELVADO\\1.1.2\\opt";

  EXPECT_FALSE(reg.ReadValue(key, "usedcinterlevels").has_value());
  reg.WriteInteger(key, "usedcinterlevels", 1);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(reg.ReadInteger(key, "UseDCInterLevels"), 1);
  EXPECT_EQ(counting->reads, 2);  // one before the write, one after; names ignore case

  reg.WriteInteger(key, "usedcinterlevels", 0);  // an option switched off takes effect at once
  EXPECT_EQ(reg.ReadInteger(key, "usedcinterlevels"), 0);
  reg.UpdateValues(key, {"usedcinterlevels"}, {});
  EXPECT_FALSE(reg.ReadValue(key, "usedcinterlevels").has_value());
  EXPECT_TRUE(reg.KeyExists(key));
  EXPECT_TRUE(reg.DeleteKey("Software"));
  EXPECT_FALSE(reg.KeyExists(key));
  fs::remove_all(dir);
}

TEST(CachedRegistry, CreatingKeysInTurnReachesTheStoreOncePerKey) {
  // The settings code creates the key of each section before every read: with two sections read in turn
  // (as cloning an object does), each creation must not forget the other key and go to the file system.
  namespace fs = std::filesystem;
  const std::string dir = fs::temp_directory_path() / ("kv-cached-keys-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  auto inner = std::make_unique<CountingRegistry>(dir);
  CountingRegistry* counting = inner.get();
  kelvado::CachedRegistry reg(std::move(inner));
  const std::string opt = "Software\\Zul\\KELVADO\\1.1.2\\opt", xml = "Software\\Zul\\KELVADO\\1.1.2\\xml";
  EXPECT_FALSE(reg.KeyExists("Software\\Zul\\KELVADO"));
  for (int i = 0; i < 100; ++i) {
    reg.CreateKey(opt);
    reg.CreateKey(xml);
  }
  EXPECT_EQ(counting->creates, 2);
  // A key known to be missing exists once a key below it was created.
  EXPECT_TRUE(reg.KeyExists("Software\\Zul\\KELVADO"));
  EXPECT_TRUE(reg.KeyExists(xml));
  fs::remove_all(dir);
}

TEST(MemoryRegistry, BehavesLikeTheFileStoreForTheRun) {
  kelvado::MemoryRegistry reg;
  const std::string key = "Software\\Zul\\KELVADO\\1.1.2\\opt";
  EXPECT_FALSE(reg.KeyExists(key));
  EXPECT_FALSE(reg.ValueExists(key, "x"));
  reg.WriteInteger(key, "RoundDC", -2);
  reg.WriteString(key, "text", "a");
  reg.WriteString("software\\ZUL\\kelvado\\1.1.2\\OPT", "TEXT", "b");  // keys and names ignore case
  EXPECT_TRUE(reg.KeyExists("SOFTWARE\\zul"));                          // parents exist with their child
  EXPECT_EQ(reg.ReadString(key, "text"), "b");
  EXPECT_EQ(reg.ReadInteger(key, "rounddc"), -2);
  EXPECT_EQ(reg.GetValueNames(key), (std::vector<std::string>{"RoundDC", "text"}));
  reg.CreateKey("Software\\Zul\\KELVADO\\1.1.2\\LibList");
  EXPECT_EQ(reg.GetKeyNames("Software\\Zul\\KELVADO\\1.1.2"), (std::vector<std::string>{"LibList", "opt"}));
  EXPECT_TRUE(reg.DeleteValue(key, "TEXT"));
  EXPECT_FALSE(reg.DeleteValue(key, "text"));
  EXPECT_THROW(reg.ReadInteger(key, "missing"), kelvado::ERegistryException);
  EXPECT_TRUE(reg.DeleteKey("Software\\Zul\\KELVADO"));
  EXPECT_FALSE(reg.KeyExists(key));
  EXPECT_TRUE(reg.KeyExists("Software\\Zul"));
  EXPECT_FALSE(reg.DeleteKey("Software\\Zul\\KELVADO"));
  EXPECT_THROW(reg.CreateKey("Software\\..\\x"), kelvado::ERegistryException);
}

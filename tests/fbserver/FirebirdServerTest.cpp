// Libraries on a Firebird server: a name with a server part ("127.0.0.1/<port>:/path/lib.klb") is opened by the
// server, which lets several programs write one library; the store conformance suite on it; the general
// database read from it; a connection the server lost is dropped by its pool.
//
// The server is a private one (scripts/fbserver.sh): ctest starts it as a fixture and names its folder in
// KELVADO_FB_SERVER_DIR; run by hand, this program starts one for itself. Where none can be started the tests
// skip and say why (under CI they fail).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "framework/tiFirebird.h"
#include "framework/tiPerManager.h"
#include "framework/tiQueryIBX.h"
#include "model/GlobalsConfig.h"
#include "platform/Process.h"
#include "storage/db/PersistenceDB.h"
#include "tests/framework/IBXStoreUnderTest.h"
#include "tests/framework/StoreConformance.h"
#include "tests/model/ModelTestEnv.h"
#include "tests/support/FirebirdCheck.h"
#include "tests/support/Raised.h"
#include "tests/support/PeerProcess.h"
#include "tests/support/SkipOutsideCI.h"

namespace kelvado::test {

namespace {

namespace fs = std::filesystem;

// A server started by scripts/fbserver.sh in `Dir`.
struct TServer {
  std::string Dir;
  std::string Address;   // "127.0.0.1/<port>"
  std::string Password;  // of SYSDBA
  std::string Data;      // the folder of the files it may open
  std::string Unavailable;  // why there is none

  // The name under which the server opens a file of its data folder.
  std::string Name(const std::string& file) const { return Address + ":" + Data + "/" + file; }
  std::string Local(const std::string& file) const { return Data + "/" + file; }

  // Reads what the script left in Dir.
  void Load() {
    std::ifstream env(Dir + "/server.env");
    std::map<std::string, std::string> v;
    for (std::string line; std::getline(env, line);)
      if (const auto eq = line.find('='); eq != std::string::npos) v[line.substr(0, eq)] = line.substr(eq + 1);
    Address = v["KELVADO_FB_SERVER"];
    Password = v["KELVADO_FB_SERVER_PASSWORD"];
    Data = v["KELVADO_FB_SERVER_DATA"];
    if (Address.empty()) {
      std::ifstream why(Dir + "/unavailable");
      std::getline(why, Unavailable);
      if (Unavailable.empty()) Unavailable = "the server script left no address in " + Dir;
    }
  }
  static std::string Script(const std::string& action, const std::string& dir, const std::string& port = {}) {
    std::vector<std::string> args{KELVADO_FBSERVER_SCRIPT, action, dir};
    if (!port.empty()) args.push_back(port);
    const ProcessResult r = RunProcessAndWait("bash", args, "");
    if (!r.started) return r.error;
    return r.exited && r.exitCode == 0 ? "" : "scripts/fbserver.sh " + action + " failed";
  }
  // Starts one in a new folder of its own (on `port`, when given).
  static TServer StartOwn(const std::string& port = {}, std::string dir = {}) {
    if (dir.empty()) {
      std::string tmpl = "/tmp/kelvado-fbserver-XXXXXX";
      dir = ::mkdtemp(tmpl.data());
    }
    TServer s;
    s.Dir = dir;
    const std::string failed = Script("start", dir, port);
    s.Load();
    if (!failed.empty() && s.Unavailable.empty()) s.Unavailable = failed;
    return s;
  }
  void Stop() const { Script("stop", Dir); }
  std::string Port() const { return Address.substr(Address.find('/') + 1); }
};

// The server of this run.
TServer& Server() {
  static TServer s;
  return s;
}

class ServerEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    if (const char* dir = std::getenv("KELVADO_FB_SERVER_DIR"); dir && *dir) {
      Server().Dir = dir;
      Server().Load();
    } else {
      Server() = TServer::StartOwn();
      own_ = true;
    }
  }
  void TearDown() override {
    if (!own_) return;
    Server().Stop();
    std::error_code ec;
    fs::remove_all(Server().Dir, ec);
  }

private:
  bool own_ = false;
};

[[maybe_unused]] ::testing::Environment* const gServerEnvironment =
    ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

#define REQUIRE_SERVER()             \
  if (!Server().Unavailable.empty()) \
  SKIP_OUTSIDE_CI("No Firebird server could be started here: " << Server().Unavailable)

using kelvado::testing::Raised;

// A file name of its own for each test (the server's data folder is shared by the whole run).
std::string FileFor(const std::string& what) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return what + "-" + info->name() + "-" + std::to_string(::getpid()) + ".klb";
}

void InsertRows(TtiFBDatabase& db, int n) {
  for (int k = 0; k < n; ++k) kelvado::testing::InsertIntoT(db, k);
}

}  // namespace

TEST(FirebirdServer, ALibraryOnAServerIsWrittenByTwoProgramsAtOnce) {
  REQUIRE_SERVER();
  const TServer& s = Server();
  const std::string file = FileFor("shared");
  const std::string name = s.Name(file);
  ASSERT_TRUE(tiFBIsServerName(name)) << name;

  TtiFBDatabase::CreateDatabase(name, "SYSDBA", s.Password);
  EXPECT_TRUE(fs::exists(s.Local(file)));  // the server made it, in its own folder
  EXPECT_NE(Raised([&] { TtiFBDatabase::CreateDatabase(name, "SYSDBA", s.Password); }).find(file), std::string::npos);

  // The server owns its file: a writer through it keeps no marker, and acts on none left beside the file.
  const std::string marker = tiFBWriteMarkerName(s.Local(file));
  std::ofstream(marker) << "left by a program that opened the file by its path";
  const int64_t repairs = tiFBInterruptedWriteRepairs();
  TtiFBDatabase db(name, "SYSDBA", s.Password);
  db.Connect();
  EXPECT_EQ(tiFBInterruptedWriteRepairs(), repairs);
  fs::remove(marker);
  tiFBRunScript(db, "CREATE TABLE T (I INTEGER);", "t");
  EXPECT_FALSE(fs::exists(marker));
  // Another program writes the same library through the server while this one holds it for writing: on a
  // local file it would be refused as "in use" (tests/framework/tiFirebirdProcessTest.cpp).
  kelvado::testing::PeerProcess peer({"--password", s.Password, "open", name, "work", "25", "count", "close"});
  ASSERT_TRUE(peer.Started());
  InsertRows(db, 25);
  EXPECT_EQ(peer.ReadLine(), "ok open");
  EXPECT_EQ(peer.ReadLine(), "ok work");
  const std::string count = peer.ReadLine();
  EXPECT_EQ(count.rfind("ok count: ", 0), 0u) << count;
  EXPECT_EQ(peer.ReadLine(), "ok close");
  EXPECT_EQ(kelvado::testing::CountRowsOfT(db), 50);

  // The file itself, opened by path beside the server, is refused rather than written by two engines.
  TtiFBDatabase local(s.Local(file));
  const std::string refused = Raised([&] { local.Connect(); });
  EXPECT_NE(refused.find(s.Local(file)), std::string::npos) << refused;
  EXPECT_FALSE(local.Connected());

  db.Disconnect();
  EXPECT_EQ(kelvado::testing::GfixValidate(name, s.Password), "");
}

TEST(FirebirdServer, RefusalsOfTheServerNameTheDatabase) {
  REQUIRE_SERVER();
  const TServer& s = Server();
  const std::string name = s.Name(FileFor("refusals"));
  TtiFBDatabase::CreateDatabase(name, "SYSDBA", s.Password);

  TtiFBDatabase wrong(name, "SYSDBA", "not-the-password");
  std::string e = Raised([&] { wrong.Connect(); });
  EXPECT_NE(e.find(name), std::string::npos) << e;
  EXPECT_NE(e.find("password"), std::string::npos) << e;

  // Only the files of its data folder: the server's own configuration says so.
  TtiFBDatabase outside(s.Address + ":/etc/passwd", "SYSDBA", s.Password);
  e = Raised([&] { outside.Connect(); });
  EXPECT_NE(e.find("not allowed"), std::string::npos) << e;

  // A missing file is the server's to report: nothing looks for it on this machine.
  TtiFBDatabase missing(s.Name("none.klb"), "SYSDBA", s.Password);
  e = Raised([&] { missing.Connect(); });
  EXPECT_NE(e.find("none.klb"), std::string::npos) << e;
  EXPECT_EQ(e.find("the file does not exist"), std::string::npos) << e;
}

// The store conformance suite on the server: each test on a new library file the server makes.
struct TServerStoreUnderTest : TIBXStoreBase {
  std::string Unavailable() const {
    return Server().Unavailable.empty() ? "" : "No Firebird server could be started here: " + Server().Unavailable;
  }
  std::string NewDatabase() {
    file_ = FileFor("conformance");
    name_ = Server().Name(file_);
    CreateTestItemDatabase(name_, Server().Password);
    return name_;
  }
  std::string Password() { return Server().Password; }
  void TearDown() {
    if (name_.empty()) return Drop();
    Finish(name_, Server().Password);
    std::error_code ec;
    fs::remove(Server().Local(file_), ec);
  }
  std::string file_, name_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(FirebirdServer, StoreConformance, ::testing::Types<TServerStoreUnderTest>);

namespace {

class FirebirdServerSettings : public kelvado::testing::SettingsTest {
protected:
  FirebirdServerSettings() : SettingsTest("fbserver") {}
};

}  // namespace

TEST_F(FirebirdServerSettings, GeneralDatabaseAnswersFromAServerWithoutALocalDigest) {
  REQUIRE_SERVER();
  const TServer& s = Server();
  const std::string file = FileFor("general");
  const std::string shipped = (fs::read_symlink("/proc/self/exe").parent_path() / "db" / "KELVADO_GEN_DE.FDB").string();
  fs::copy_file(shipped, s.Local(file), fs::copy_options::overwrite_existing);
  RegWriteString("database", "usernamegen", "SYSDBA");
  RegWriteString("database", "passwordgen", s.Password);
  ResetConfig();
  {
    // Its digest lies beside the file on the server's machine, out of this program's reach: the server alone
    // reads the file. What it answers is checked as for a local file (the edition's tables must be there).
    TPersistenceDB_FB db(s.Name(file));
    db.Connect();
    EXPECT_DOUBLE_EQ(db.GetMinServiceLife(), 20.0);
    EXPECT_EQ(db.GetPLFromPFH(5e-8), plE);
    EXPECT_EQ(db.LastError(), "");
  }
  std::error_code ec;
  fs::remove(s.Local(file), ec);
}

TEST_F(FirebirdServerSettings, ANewLibraryIsMadeOnTheServerAndOpensThroughTheLayer) {
  REQUIRE_SERVER();
  const TServer& s = Server();
  const std::string name = s.Name(FileFor("library"));
  RegWriteString("database", "usernamegen", "SYSDBA");
  RegWriteString("database", "passwordgen", s.Password);
  ResetConfig();
  TPersistenceDB_FB("").CreateNewDatabase(name);
  EXPECT_NE(Raised([&] { TPersistenceDB_FB("").CreateNewDatabase(name); }), "");  // never over an existing one

  tiPerMgrShutdown();
  RegisterPersistenceLayerIBX();
  tiPerMgr().ConnectDatabase(name, "SYSDBA", s.Password, "", cTIPersistIBX);
  EXPECT_TRUE(tiPerMgr().TableExists("Components", name, cTIPersistIBX));
  EXPECT_TRUE(tiPerMgr().TableExists("LibMetaData", name, cTIPersistIBX));
  tiPerMgrShutdown();
  EXPECT_EQ(kelvado::testing::GfixValidate(name, s.Password), "");
}

TEST(FirebirdServer, APoolDropsAConnectionItsServerLostAndConnectsAnew) {
  // A server of its own, stopped and started again on the same port.
  TServer s = TServer::StartOwn();
  if (!s.Unavailable.empty()) SKIP_OUTSIDE_CI("No Firebird server could be started here: " << s.Unavailable);
  const std::string name = s.Name("restart.klb");
  TIBXStoreBase::CreateTestItemDatabase(name, s.Password);
  tiPerMgrShutdown();
  RegisterPersistenceLayerIBX();
  tiPerMgr().RegReadVisitor(TVisTestItemsRead::StaticClass());
  tiPerMgr().RegSaveVisitor(TVisTestItemCreate::StaticClass());
  tiPerMgr().ConnectDatabase(name, "SYSDBA", s.Password, "", cTIPersistIBX);
  TTestItems items;
  items.AddItem("00000000-0000-0000-0000-000000000001", "kept", 1, posCreate);
  ASSERT_EQ(tiPerMgr().Save(&items, name, cTIPersistIBX), "");

  // Read hands back its failure as its result or raises it.
  auto readError = [&](TTestItems& list) {
    std::string result;
    const std::string raised = Raised([&] { result = tiPerMgr().Read(&list, name, cTIPersistIBX); });
    return raised + result;
  };
  s.Stop();
  TTestItems during;
  EXPECT_NE(readError(during), "");
  s = TServer::StartOwn(s.Port(), s.Dir);
  ASSERT_EQ(s.Unavailable, "");

  // The pooled connection died with the server: the pool opens a new one instead of handing out the dead one.
  TTestItems after;
  EXPECT_EQ(readError(after), "");
  ASSERT_EQ(after.Count(), 1);
  EXPECT_EQ(after.Items(0)->GetName(), "kept");
  tiPerMgrShutdown();
  s.Stop();
  std::error_code ec;
  fs::remove_all(s.Dir, ec);
}

}  // namespace kelvado::test

// The Firebird access layer against other processes and a damaged machine: a second program (kv_fb_peer) with
// a lock folder of its own, a lock folder or a disk that is full (small file systems mounted in the peer only),
// a program started without standard output, a program ended by a signal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "framework/tiFirebird.h"
#include "tests/framework/TempDirTest.h"
#include "tests/support/FileBytes.h"
#include "tests/support/PeerProcess.h"

using namespace kelvado;
using kelvado::testing::Bytes;
using kelvado::testing::PeerProcess;
using kelvado::testing::RunPeer;
namespace fs = std::filesystem;

namespace {

class FirebirdProcessTest : public kelvado::testing::TempDirTest {
protected:
  FirebirdProcessTest() : TempDirTest("kv-fbproc", "shared.fdb") {}
  void SetUp() override {
    TempDirTest::SetUp();
    if (HasFatalFailure()) return;
    TtiFBDatabase::CreateDatabase(file_);
    TtiFBDatabase db(file_);
    db.Connect();
    tiFBRunScript(db, "CREATE TABLE T (I INTEGER);", "t");
  }
  std::string Lock(const char* name) const { return dir_ + "/" + name; }
  static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
  int64_t Rows() {
    TtiFBDatabase db(file_);
    db.SetReadOnlyAccess(true);
    db.Connect();
    TtiFBTransaction tr(db);
    tr.Start(true);
    TtiFBStatement q(db, tr);
    q.SetSQL("SELECT COUNT(*) FROM T");
    q.Open();
    return q.FieldAsInteger(0);
  }
};

}  // namespace

TEST_F(FirebirdProcessTest, SecondWriterIsRefusedWhateverItsLockFolder) {
  PeerProcess holder({"--lock", Lock("a"), "open", file_, "insert", "wait", "close"});
  ASSERT_TRUE(holder.Started());
  EXPECT_EQ(holder.ReadLine(), "ok open");
  EXPECT_EQ(holder.ReadLine(), "ok insert");
  ASSERT_EQ(holder.ReadLine(), "ready");

  // Another program with another lock folder, writing or reading, and this one (a third lock folder).
  for (const char* open : {"open", "openread"}) {
    const auto other = RunPeer({"--lock", Lock("b"), open, file_, "insert"});
    EXPECT_EQ(other.end, "exit 0");
    EXPECT_TRUE(Has(other.out, std::string("error ") + open + ": Cannot open database \"" + file_ +
                                   "\": the file is in use by another program"))
        << other.out;
    EXPECT_FALSE(Has(other.out, "ok insert")) << other.out;
  }
  TtiFBDatabase here(file_);
  try {
    here.Connect();
    FAIL() << "a second writer got in";
  } catch (const EtiFBException& e) {
    EXPECT_TRUE(Has(e.Message(), file_) && Has(e.Message(), "in use")) << e.Message();
  }
  EXPECT_FALSE(here.Connected());

  // Once the holder is gone the file is free again, also when it was killed.
  holder.CloseInput();
  EXPECT_EQ(holder.ReadLine(), "ok wait");
  EXPECT_EQ(holder.ReadLine(), "ok close");
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_EQ(RunPeer({"--lock", Lock("b"), "open", file_, "insert", "close"}).out,
            "ok open\nok insert\nok close\n");
  PeerProcess killed({"--lock", Lock("c"), "open", file_, "insert", "wait"});
  ASSERT_EQ(killed.ReadLine(), "ok open");
  ASSERT_EQ(killed.ReadLine(), "ok insert");
  ASSERT_EQ(killed.ReadLine(), "ready");
  killed.Kill(SIGKILL);
  killed.Wait();
  here.Connect();
  here.Disconnect();
  EXPECT_EQ(Rows(), 3);
}

TEST_F(FirebirdProcessTest, ReadersShareAFileWritersWait) {
  // Readers of a file nobody may write share it, however they open it; so do readers that ask for reading only.
  TtiFBDatabase::SetReadOnlyMode(file_, true);
  ASSERT_EQ(::chmod(file_.c_str(), 0444), 0);
  PeerProcess first({"--lock", Lock("a"), "open", file_, "count", "wait"});
  ASSERT_EQ(first.ReadLine(), "ok open");
  ASSERT_EQ(first.ReadLine(), "ok count: 0");
  ASSERT_EQ(first.ReadLine(), "ready");
  EXPECT_EQ(RunPeer({"--lock", Lock("b"), "open", file_, "count"}).out, "ok open\nok count: 0\n");
  first.CloseInput();
  first.Wait();

  ASSERT_EQ(::chmod(file_.c_str(), 0644), 0);
  PeerProcess reader({"--lock", Lock("a"), "openread", file_, "count", "wait"});
  ASSERT_EQ(reader.ReadLine(), "ok openread");
  ASSERT_EQ(reader.ReadLine(), "ok count: 0");
  ASSERT_EQ(reader.ReadLine(), "ready");
  EXPECT_EQ(RunPeer({"--lock", Lock("b"), "openread", file_, "count"}).out, "ok openread\nok count: 0\n");
  TtiFBDatabase writer(file_);
  EXPECT_THROW(writer.Connect(), EtiFBException);
  // Inside one process readers and writers share the lock the process holds.
  TtiFBDatabase readerHere(file_);
  readerHere.SetReadOnlyAccess(true);
  EXPECT_NO_THROW(readerHere.Connect());
  reader.CloseInput();
  reader.Wait();
  EXPECT_NO_THROW(writer.Connect());
  EXPECT_EQ(RunPeer({"--lock", Lock("b"), "openread", file_}).out.substr(0, 14), "error openread");
  writer.Disconnect();
  EXPECT_EQ(RunPeer({"--lock", Lock("b"), "openread", file_}).out, "ok openread\n");
  // A reader is held to reading.
  TtiFBTransaction tr(readerHere);
  EXPECT_THROW(tr.Start(false), EtiFBException);
}

TEST_F(FirebirdProcessTest, FullLockFolderIsAnErrorNotASignal) {
  // Too small for the engine's lock tables from the start.
  const std::string tiny = dir_ + "/tiny";
  const auto full = RunPeer({"--tmpfs", tiny, "64k", "--lock", tiny, "open", file_, "insert"});
  if (full.Skipped()) SKIP_OUTSIDE_CI(full.out);
  EXPECT_EQ(full.end, "exit 0") << full.out;
  EXPECT_TRUE(Has(full.out, "error open: Cannot open database \"" + file_ + "\": the Firebird lock folder \"" +
                                tiny + "\" is full"))
      << full.out;
  EXPECT_TRUE(Has(full.out, "error insert")) << full.out;

  // Filled up after the file was opened: the lock tables keep their blocks and the work goes on.
  const auto later = RunPeer({"--tmpfs", tiny, "8m", "--lock", tiny, "open", file_, "fill", tiny, "work", "200",
                              "count", "close"});
  EXPECT_EQ(later.end, "exit 0") << later.out;
  EXPECT_EQ(later.out, "ok open\nok fill\nok work\nok count: 200\nok close\n");
}

TEST_F(FirebirdProcessTest, CreatingOnAFullDiskLeavesNoFile) {
  const std::string disk = dir_ + "/disk";
  const std::string file = disk + "/new.fdb";
  const auto run = RunPeer({"--tmpfs", disk, "256k", "create", file, "ls", disk, "create", file, "ls", disk});
  if (run.Skipped()) SKIP_OUTSIDE_CI(run.out);
  EXPECT_EQ(run.end, "exit 0") << run.out;
  // Both tries fail for the same reason (the second is no "file exists"), and nothing is left behind.
  const std::string error = "error create: Cannot create database \"" + file + "\":";
  const auto first = run.out.find(error);
  ASSERT_NE(first, std::string::npos) << run.out;
  EXPECT_NE(run.out.find(error, first + 1), std::string::npos) << run.out;
  EXPECT_FALSE(Has(run.out, "exists")) << run.out;
  EXPECT_FALSE(Has(run.out, "ok ls: ")) << run.out;
  EXPECT_TRUE(Has(run.out, "ok ls\n")) << run.out;
}

namespace {

// Runs the peer as a service is started, with its standard output and error closed; its wait status.
int RunPeerWithoutOutput(const std::vector<std::string>& args) {
  kelvado::testing::TPeerCommand command("kv_fb_peer", args);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclose(&fa, 1);
  posix_spawn_file_actions_addclose(&fa, 2);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, command.argv[0], &fa, nullptr, command.argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = -1;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

// What a program writes to a closed standard output or error must never land in a file it opened since: here
// the database it holds, whose first page the engine's answer would overwrite.
TEST_F(FirebirdProcessTest, AClosedStandardOutputNeverWritesIntoAnOpenFile) {
  TtiFBDatabase::SetReadOnlyMode(file_, true);  // attachments then leave every byte as it is
  const std::string before = Bytes(file_);
  const auto normal = RunPeer({"--lock", Lock("a"), "open", file_, "count", "close"});
  ASSERT_EQ(normal.out, "ok open\nok count: 0\nok close\n");
  ASSERT_EQ(Bytes(file_), before);
  const int status = RunPeerWithoutOutput({"--lock", Lock("a"), "open", file_, "count", "close"});
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(Bytes(file_) == before) << "the peer's output went into the database";
  EXPECT_EQ(RunPeer({"--lock", Lock("a"), "open", file_, "count"}).out, "ok open\nok count: 0\n");
}

// Once the engine is loaded, SIGINT and SIGTERM still end a program at once, by the signal, as a kill does:
// the database it was writing opens afterwards with what was committed.
TEST_F(FirebirdProcessTest, InterruptAndTerminateEndAProgramAtWork) {
  using namespace std::chrono;
  for (const int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(sig));
    PeerProcess peer({"--lock", Lock("a"), "open", file_, "insert", "work", "100000000"});
    ASSERT_EQ(peer.ReadLine(), "ok open");
    ASSERT_EQ(peer.ReadLine(), "ok insert");
    std::this_thread::sleep_for(milliseconds(300));  // inside the work
    const auto sent = steady_clock::now();
    peer.Kill(sig);
    const std::string more = peer.ReadLine(10000);  // nothing: it ends without a word
    if (steady_clock::now() - sent >= seconds(10)) {
      ADD_FAILURE() << "still running 10 s after the signal";
      peer.Kill(SIGKILL);
    }
    EXPECT_EQ(more, "");
    const int status = peer.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
  }
  EXPECT_GE(Rows(), 2);
}

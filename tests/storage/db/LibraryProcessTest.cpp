// Two processes on one local library: the second writer is refused, and a writer killed in the middle of a
// write leaves the library with its old content and clean. A creation killed half-way leaves no library behind.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "platform/MessageBox.h"
#include "tests/storage/db/LibraryTestEnv.h"
#include "tests/support/PeerProcess.h"

using namespace kelvado;
using namespace kelvado::testing;

namespace {

class LibraryProcessTest : public LibraryTest {};

// `count` new elements added to the library items, to be written.
void AddElements(TLibraryItems& items, int count) {
  for (int i = 0; i < count; ++i) {
    auto element = detail::Element("Bestand " + std::to_string(i));
    element->SetPartNo("B-" + std::to_string(i));
    auto op = detail::NodeWith<TElementOp>(std::move(element));
    TVisSetObjectStateByClass toCreate(nullptr, posCreate);
    op->Iterate(toCreate);
    items.Elements->Add(std::move(op));
  }
}

TEST_F(LibraryProcessTest, TheSecondWriterGetsFileInUse) {
  const std::string other = NewLibrary("Geteilt.klb");
  PeerProcess peer({"open", other, "wait"});
  ASSERT_TRUE(peer.Started());
  ASSERT_EQ(peer.ReadLine(), "ok open");
  ASSERT_EQ(peer.ReadLine(), "ready");
  MessageRecorder box;
  EXPECT_THROW(mapper_->OpenLibrary(other), EIOError);
  ASSERT_EQ(box.Count(), 1u);
  EXPECT_NE(box.Messages()[0].text.find("in use"), std::string::npos) << box.Messages()[0].text;
  // Still working on the library it had.
  EXPECT_EQ(mapper_->GetStoreFileName(), lib_);
  TElementOpList list;
  EXPECT_TRUE(mapper_->ReadElementOpList(list));
  peer.CloseInput();
  peer.Wait();
  EXPECT_TRUE(mapper_->OpenLibrary(other));
}

// Killed at ten moments of the group, each while it is writing (or, the last time, waiting half-way): each time
// the next writer finds the marker, has the file validated (and its indices rebuilt when an index page split
// was left unfinished) and reads the old content; after its clean close gfix finds the file clean and the
// marker is gone.
TEST_F(LibraryProcessTest, AWriterKilledInTheMiddleLeavesTheOldContentAndACleanFile) {
  TLibraryItems items = BuildLibraryItems();
  AddElements(items, 1000);  // enough rows that the killed writer's index pages split
  mapper_->SaveElementOpList(*items.Elements);
  // Every row of the tables the killed writer writes to.
  auto rowsOfElements = [this] {
    std::vector<TRow> rows = LibRows("Elements");
    for (TRow& r : LibRows("ElementOps")) rows.push_back(std::move(r));
    std::sort(rows.begin(), rows.end());
    return rows;
  };
  const std::vector<TRow> old = rowsOfElements();
  mapper_.reset();  // the library is free for the other program
  const std::string marker = tiFBWriteMarkerName(lib_);
  constexpr int kElements = 1000;  // 2000 objects; the writer is killed within the first half
  constexpr int kRounds = 10;
  int leftUnclean = 0, leftIndexSplits = 0;
  for (int round = 1; round <= kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    {
      PeerProcess peer({lib_, std::to_string(kElements), std::to_string(kElements * round / kRounds)}, "kv_lib_peer");
      ASSERT_TRUE(peer.Started());
      ASSERT_EQ(peer.ReadLine(), "mid");
      peer.Kill(SIGKILL);
      peer.Wait();
    }
    ASSERT_TRUE(std::filesystem::exists(marker));
    const std::string left = GfixCopy(lib_);
    leftUnclean += !left.empty();
    leftIndexSplits += left.find("index page") != std::string::npos;
    const int64_t repairs = tiFBInterruptedWriteRepairs();
    mapper_ = std::make_unique<TORMapper_tiPer>(cTIPersistIBX);
    EXPECT_EQ(tiFBInterruptedWriteRepairs(), repairs + 1);
    const std::vector<TRow> now = rowsOfElements();
    EXPECT_EQ(now.size(), old.size());
    EXPECT_TRUE(now == old);
    mapper_.reset();
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_EQ(GfixCopy(lib_), "");
  }
  // The kills did leave work: pages taken by the dead transactions, and index page splits.
  EXPECT_GT(leftUnclean, 0);
  EXPECT_GT(leftIndexSplits, 0);
  // The objects read back as written, and the library takes new writes.
  mapper_ = std::make_unique<TORMapper_tiPer>(cTIPersistIBX);
  TElementOpList back;
  ASSERT_TRUE(mapper_->ReadElementOpList(back));
  ExpectSameTree(*items.Elements, back);
  TLibraryItems more = BuildLibraryItems();
  mapper_->SaveElementOpList(*more.Elements);
  back.Clear();
  mapper_->ReadElementOpList(back);
  EXPECT_EQ(back.GetCount(), items.Elements->GetCount() + 2);
  mapper_.reset();
  EXPECT_EQ(GfixCopy(lib_), "");
}

// The writes after a killed writer was tidied (the first ones meet what the dead transaction left, and indices
// the tidying rebuilt) leave nothing for Firebird's validation to find once the library is closed.
TEST_F(LibraryProcessTest, WritesAfterTidyingAKilledWriterLeaveTheFileClean) {
  TLibraryItems items = BuildLibraryItems();
  AddElements(items, 1000);
  mapper_->SaveElementOpList(*items.Elements);
  mapper_.reset();
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    {
      // Killed while it waits after 300, 600, 900 of its objects.
      const std::string objects = std::to_string(300 * round);
      PeerProcess peer({lib_, objects, objects}, "kv_lib_peer");
      ASSERT_TRUE(peer.Started());
      ASSERT_EQ(peer.ReadLine(), "mid");
      peer.Kill(SIGKILL);
      peer.Wait();
    }
    mapper_ = std::make_unique<TORMapper_tiPer>(cTIPersistIBX);
    for (int write = 1; write <= 2; ++write) {
      TLibraryItems more = BuildLibraryItems();
      mapper_->SaveElementOpList(*more.Elements);
      mapper_->SaveBlocOpList(*more.Blocs);
    }
    mapper_.reset();
    EXPECT_FALSE(std::filesystem::exists(tiFBWriteMarkerName(lib_)));
    EXPECT_EQ(GfixCopy(lib_), "");
  }
}

// What a library file holds of its schema: its tables and their constraints (keys, foreign keys, checks).
std::string SchemaOf(const std::string& file) try {
  TtiFBDatabase db(file);
  db.Connect();
  std::string schema;
  {
    TtiFBTransaction tr(db);
    tr.Start(true);
    TtiFBStatement q(db, tr);
    q.SetSQL("SELECT (SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$SYSTEM_FLAG = 0), "
             "(SELECT COUNT(*) FROM RDB$RELATION_CONSTRAINTS), (SELECT COUNT(*) FROM RDB$CHECK_CONSTRAINTS) "
             "FROM RDB$DATABASE");
    q.Open();
    for (int i = 0; i < q.FieldCount(); ++i) schema += q.FieldAsString(i) + " ";
    q.Close();
    tr.Commit();
  }
  db.Disconnect();
  return schema;
} catch (const std::exception& e) {
  return std::string("no library: ") + e.what();
}

// A creation killed at 20 moments spread over its course: the name then holds nothing or a complete library,
// never one without all its schema, and a creation under the name succeeds.
TEST_F(LibraryProcessTest, ACreationKilledHalfWayLeavesTheNameFreeOrTheLibraryComplete) {
  const std::string complete = SchemaOf(lib_);
  const std::string file = dir_ + "/Neu.klb";
  using Clock = std::chrono::steady_clock;
  // One creation by the other program, from the moment it is told to go to its end. The other program has lock
  // tables of its own: sharing this program's would make it wait on this one's attachments.
  std::chrono::microseconds course{};
  {
    PeerProcess peer({"--lock", dir_ + "/lock", "wait", "newlib", file});
    ASSERT_EQ(peer.ReadLine(), "ready");
    peer.CloseInput();
    ASSERT_EQ(peer.ReadLine(), "ok wait");
    const auto start = Clock::now();
    ASSERT_EQ(peer.ReadLine(), "ok newlib");
    course = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  }
  ASSERT_EQ(SchemaOf(file), complete);
  std::filesystem::remove(file);

  // A little beyond its end, so that the last kills may find it done.
  course += course / 10;
  constexpr int kRounds = 20;
  std::mt19937 random(std::random_device{}());
  std::uniform_real_distribution<double> within(0.0, 1.0);
  int absent = 0;
  for (int round = 0; round < kRounds; ++round) {
    const auto after = std::chrono::microseconds(
        static_cast<int64_t>(static_cast<double>(course.count()) * (round + within(random)) / kRounds));
    SCOPED_TRACE("killed after " + std::to_string(after.count()) + " us of " + std::to_string(course.count()));
    {
      PeerProcess peer({"--lock", dir_ + "/lock" + std::to_string(round), "wait", "newlib", file});
      ASSERT_EQ(peer.ReadLine(), "ready");
      peer.CloseInput();
      ASSERT_EQ(peer.ReadLine(), "ok wait");
      std::this_thread::sleep_for(after);
      peer.Kill(SIGKILL);
      peer.Wait();
    }
    if (std::filesystem::exists(file)) {
      EXPECT_EQ(SchemaOf(file), complete);
    } else {
      ++absent;
      CreateLibraryDatabaseFile(file);
      EXPECT_EQ(SchemaOf(file), complete);
    }
    std::filesystem::remove(file);
  }
  // The kills did come in the middle of creations.
  EXPECT_GT(absent, 0);
}

// A write refused for a full disk is rolled back, and closing the library leaves it clean and without marker.
TEST_F(LibraryProcessTest, AWriteRefusedForAFullDiskLeavesTheFileClean) {
  // Run by a second program, in whose view alone the small file system is mounted.
  const std::string disk = dir_ + "/disk";
  const std::string lib = disk + "/Voll.klb";
  const auto run = RunPeer({"--tmpfs", disk, "4m", "newlib", lib, "libwrite", lib, "10", "fill", disk, "libwrite",
                            lib, "300", "ls", disk, "gfix", lib});
  if (run.Skipped()) SKIP_OUTSIDE_CI(run.out);
  EXPECT_EQ(run.end, "exit 0") << run.out;
  EXPECT_NE(run.out.find("ok libwrite\nok fill\nerror libwrite: "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("No space left on device"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("ok ls: Voll.klb filler\nok gfix\n"), std::string::npos) << run.out;
}

}  // namespace

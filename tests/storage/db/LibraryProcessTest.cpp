// Two processes on one local library: the second writer is refused, and a writer killed in the middle of a
// write leaves the library with its old content and clean.
#include <signal.h>

#include "platform/MessageBox.h"
#include "tests/storage/db/LibraryTestEnv.h"
#include "tests/support/PeerProcess.h"

using namespace kelvado;
using namespace kelvado::testing;

namespace {

class LibraryProcessTest : public LibraryTest {};

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

TEST_F(LibraryProcessTest, AWriterKilledInTheMiddleLeavesTheOldContent) {
  TLibraryItems items = BuildLibraryItems();
  mapper_->SaveElementOpList(*items.Elements);
  mapper_.reset();  // the library is free for the other program
  {
    PeerProcess peer({lib_, "2000"}, "kv_lib_peer");
    ASSERT_TRUE(peer.Started());
    ASSERT_EQ(peer.ReadLine(), "mid");
    peer.Kill(SIGKILL);
    peer.Wait();
  }
  // The pages the killed transaction had allocated are left over (Firebird's validation warns of them as
  // orphan pages and releases them); no record, index or page structure is damaged.
  const std::string report = GfixCopy(lib_);
  for (const char* line : {"Summary of validation errors", "Number of pointer page warnings",
                           "Number of database page warnings", "(gfix ended with status 0)"})
    if (!report.empty()) {
      EXPECT_NE(report.find(line), std::string::npos) << report;
    }
  EXPECT_EQ(report.find("error\t"), std::string::npos) << report;
  EXPECT_EQ(report.find("record"), std::string::npos) << report;
  mapper_ = std::make_unique<TORMapper_tiPer>(cTIPersistIBX);
  TElementOpList back;
  ASSERT_TRUE(mapper_->ReadElementOpList(back));
  ExpectSameTree(*items.Elements, back);
  // And the library takes new writes.
  TLibraryItems more = BuildLibraryItems();
  mapper_->SaveElementOpList(*more.Elements);
  mapper_->ReadElementOpList(back);
  EXPECT_EQ(back.GetCount(), 4);
}

}  // namespace

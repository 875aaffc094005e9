// Project files end to end, on real files: the XML mapper and the project manager (open, new, save, save as,
// export, import, rescue copies, the list of open files), the schema check, the release checks and upgrades,
// and a save killed at random moments.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "bench/BenchProject.h"
#include "framework/tiLibXml.h"
#include "framework/tiQueryXML.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLists.h"
#include "model/MsgStrings.h"
#include "storage/db/PersistenceDB.h"
#include "storage/db/VersionMgr.h"
#include "storage/xml/PersistenceXML.h"
#include "tests/storage/xml/FileProjectStores.h"
#include "tests/storage/xml/ProjectFileTestEnv.h"
#include "tests/support/FileAcl.h"
#include "tests/support/FileBytes.h"
#include "tests/support/MemoryBound.h"
#include "tests/support/PeerProcess.h"
#include "tests/support/RunInChild.h"
#include "tests/support/SkipOutsideCI.h"
#include "tests/support/TeamUsers.h"

namespace kelvado::testing {
namespace {

struct stat StatOf(const std::string& file) {
  struct stat st {};
  ::stat(file.c_str(), &st);
  return st;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// For a child: a file system that takes no file beyond `bytes` (a write past it fails instead of a signal).
std::function<std::string()> FileSizeLimit(size_t bytes) {
  return [bytes]() -> std::string {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit size{};
    ::getrlimit(RLIMIT_FSIZE, &size);
    size.rlim_cur = static_cast<rlim_t>(bytes);
    return ::setrlimit(RLIMIT_FSIZE, &size) == 0 ? "" : "no file size limit";
  };
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

template <class F>
std::pair<int, std::vector<std::string>> KelvadoErrorOf(F&& f) {
  return ErrorOf<EKelvado>(std::forward<F>(f));
}

class ProjectManagerTest : public ProjectFileTest<TXMLProjectStore> {
protected:
  void SetUp() override {
    ProjectFileTest::SetUp();
    mapper_ = std::make_unique<TXMLMapper_tiPer>(layer_, std::string());
    mapper_->SetVersionMgr(&versions_);
    manager_ = NewManager();
  }
  void TearDown() override {
    manager_.reset();
    mapper_.reset();
    ProjectFileTest::TearDown();
  }

  std::unique_ptr<TProjectManager> NewManager(const std::string& schema = SchemaBesideProgram()) {
    auto m = std::make_unique<TProjectManager>(schema);
    m->SetMapper(mapper_.get());
    return m;
  }
  static std::string SchemaBesideProgram() { return ProgramFolder() + cProjectSchemaFileName; }
  std::string File(const std::string& name) { return store_.Folder() + "/" + name; }
  // Damages a file on disk as a crash of another program might: only its first half is left.
  static void KeepFirstHalf(const std::string& file) {
    const std::string bytes = Bytes(file);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() / 2);
  }

  // The full project saved through the manager under that name.
  std::string SaveFull(TFullProject& f, const std::string& name) {
    const std::string file = File(name);
    f.Root->GetProject()->SetFileName(file);
    manager_->SaveProject(*f.Root);
    return file;
  }
  // Opens the file in a manager of its own (the projects stay open in it until the next call).
  TProjectOp* OpenFresh(const std::string& file) {
    other_ = NewManager();
    return other_->OpenProjectFile(file, true);
  }

  TVersionMgr versions_;
  std::unique_ptr<TXMLMapper_tiPer> mapper_;
  std::unique_ptr<TProjectManager> manager_;
  std::unique_ptr<TProjectManager> other_;
};

TEST_F(ProjectManagerTest, FullProjectSavedReopenedEqualAndSavedAgainToTheSameBytes) {
  ASSERT_TRUE(manager_->HasSchema());
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "full.kvd");
  EXPECT_EQ(manager_->ValidateProjectFile(file), nullptr);
  EXPECT_FALSE(f.Root->GetDirty());
  EXPECT_EQ(f.Root->GetProject()->GetKVDVersion(), CurrentKVDVersion);
  const std::string first = Bytes(file);

  TProjectOp* read = OpenFresh(file);
  ASSERT_NE(read, nullptr);
  ExpectSameTree(*f.Root, *read);
  EXPECT_FALSE(read->GetDirty());
  EXPECT_EQ(read->GetProject()->GetFileName(), file);
  const double date = read->GetProject()->GetLastChange().Days;
  EXPECT_NEAR(date, tiNow(), 1.0 / 24);
  EXPECT_EQ(other_->GetOpenProjects().GetCount(), 1);

  // The project read and the project saved write the same bytes.
  other_->SaveProject(*read);
  EXPECT_EQ(Bytes(file), first);
  // The other manager's save is a change since this one saved: overwritten by choice.
  manager_->SetOnFileChanged([](const std::string&) { return true; });
  manager_->SaveProject(*f.Root);
  EXPECT_EQ(Bytes(file), first);

  // Save as: the same tree under another name, the first file untouched.
  const std::string copy = File("copy.kvd");
  read->GetProject()->SetFileName(copy);
  other_->SaveProject(*read);
  EXPECT_EQ(Bytes(copy), first);  // the file name is not part of the file
  EXPECT_EQ(read->GetProject()->GetFileName(), copy);
  EXPECT_EQ(Bytes(file), first);
  std::unique_ptr<TProjectManager> third = NewManager();
  ExpectSameTree(*read, *third->OpenProjectFile(copy, true));
}

TEST_F(ProjectManagerTest, ReadingNeverWritesTheFile) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "read.kvd");
  // A date in the past, so that any write would show.
  const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), past, 0), 0);
  const struct stat before = StatOf(file);
  const std::string bytes = Bytes(file);
  const std::vector<std::string> names = Names(store_.Folder());

  TProjectOp* read = OpenFresh(file);
  ASSERT_NE(read, nullptr);
  // Every read operation of the mapper on the attached file.
  TSFOpList sfs;
  mapper_->ReadSFOpList(sfs);
  auto node = std::make_unique<TProjectOp>();
  node->GetOID().SetAsString(OIDOf(f.Root.get()));
  mapper_->ReadProjectOp(*node);
  mapper_->Refresh(*node);
  node->GetProject()->SetFileName(file);  // the file name lives outside the file
  ExpectSameTree(*f.Root, *node);

  const struct stat after = StatOf(file);
  EXPECT_TRUE(SameTime(after.st_mtim, before.st_mtim));
  EXPECT_TRUE(SameTime(after.st_ctim, before.st_ctim));  // not even the date was set back
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(Bytes(file), bytes);
  EXPECT_EQ(Names(store_.Folder()), names);
  // The date shown is the file's.
  EXPECT_NEAR(read->GetProject()->GetLastChange().Days, tiUnixMSecsToDateTime(1000000000000), 1e-6);
}

// The mapper's save of an open tree writes what changed: new, changed and deleted objects, the others left.
TEST_F(ProjectManagerTest, TheMapperSavesTheChangesOfAnOpenTree) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "changes.kvd");
  TProjectOp* op = manager_->OpenProjectFile(file, true);
  auto& element = dynamic_cast<TElementOp&>(*op->FindByOIDAsString(OIDOf(f.Element)));
  element.GetElement()->SetName("Schütz K2");
  element.GetElement()->SetDirty(true);
  auto& sub2 = dynamic_cast<TComponentOp&>(*op->FindByOIDAsString(OIDOf(f.Sub2)));
  sub2.SetDeleted(true);
  auto added = std::make_unique<TSFOp>();
  added->SetSF(std::make_unique<TSF>());
  added->GetSF()->SetName("Hinzugefügt");
  op->GetSFOpList()->Add(std::move(added));
  op->GetSFOpList()->Items(1)->SetDirty(true);
  op->GetSFOpList()->Items(1)->GetSF()->SetDirty(true);
  mapper_->Save(*op);
  EXPECT_FALSE(op->GetDirty());
  EXPECT_EQ(sub2.GetObjectState(), posDeleted);
  EXPECT_EQ(RowOf(file, layer_, "Elements", OIDOf(element.GetElement())).at("name"), "Schütz K2");
  std::unique_ptr<TProjectManager> again = NewManager();
  TProjectOp* read = again->OpenProjectFile(file, true);
  ExpectSameTree(*op, *read);
  EXPECT_EQ(read->FindByOIDAsString(OIDOf(f.Sub2)), nullptr);
}

TEST_F(ProjectManagerTest, OpeningAnOpenFileHandsBackItsProject) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "twice.kvd");
  int fired = 0;
  TProjectOp* seen = nullptr;
  manager_->SetOnAlreadyOpen([&](TProjectOp& op) {
    ++fired;
    seen = &op;
  });
  TProjectOp* first = manager_->OpenProjectFile(file, true);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(manager_->OpenProjectFile(file, true), first);
  // However the name is written.
  EXPECT_EQ(manager_->OpenProjectFile(store_.Folder() + "/./twice.kvd", true), first);
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(seen, first);
  EXPECT_EQ(manager_->GetOpenProjects().GetCount(), 1);

  manager_->RemoveProject(first);
  EXPECT_EQ(manager_->GetOpenProjects().GetCount(), 0);
  EXPECT_NE(manager_->OpenProjectFile(file, true), nullptr);
  EXPECT_EQ(fired, 2);
}

TEST_F(ProjectManagerTest, AFailedSaveLeavesThePreviousFileByteForByte) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "atomic.kvd");
  const std::string bytes = Bytes(file);
  const std::vector<std::string> names = Names(store_.Folder());

  // A text no XML file can carry is refused in the middle of the save, after the tables were made anew.
  f.Element->GetElement()->SetDocumentation(std::string("Zeile\x01"));
  EXPECT_THROW(manager_->SaveProject(*f.Root), EtiPerDataException);
  EXPECT_EQ(Bytes(file), bytes);
  EXPECT_EQ(Names(store_.Folder()), names);  // no temporary file left either
  // The mapper holds the file as it is: it reads the old project, and the next save goes through.
  TElementOp* old = dynamic_cast<TElementOp*>(OpenFresh(file)->FindByOIDAsString(OIDOf(f.Element)));
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->GetElement()->GetDocumentation(), "Herstellerangabe, Stand 2009");
  f.Element->GetElement()->SetDocumentation("Zeile");
  manager_->SaveProject(*f.Root);
  EXPECT_NE(Bytes(file), bytes);
  ExpectSameTree(*f.Root, *OpenFresh(file));
}

// A save writes the project from memory and never needs the old file: with two projects open and the first
// one's file damaged on disk, the first is still saved, and its file reads back as the tree in memory.
TEST_F(ProjectManagerTest, ASaveWritesFromMemoryOverADamagedFile) {
  TFullProject a = BuildFullProject();
  TFullProject b = BuildFullProject();
  const std::string fileA = SaveFull(a, "a.kvd");
  const std::string fileB = SaveFull(b, "b.kvd");
  TProjectOp* openA = manager_->OpenProjectFile(fileA, true);
  ASSERT_NE(manager_->OpenProjectFile(fileB, true), nullptr);
  KeepFirstHalf(fileA);
  openA->GetProject()->SetName("Gerettet");
  // The damage is a change on disk: the user chooses to overwrite it.
  manager_->SetOnFileChanged([](const std::string&) { return true; });
  manager_->SaveProject(*openA);
  ExpectSameTree(*openA, *OpenFresh(fileA));
  EXPECT_EQ(OpenFresh(fileA)->GetProject()->GetName(), "Gerettet");
}

// Opening a file reads that file only: the file opened before it is neither read again nor needed, even when
// it was damaged on disk since.
TEST_F(ProjectManagerTest, OpeningAFileNeverReadsTheFileOpenedBefore) {
  TFullProject a = BuildFullProject();
  TFullProject b = BuildFullProject();
  const std::string fileA = SaveFull(a, "a.kvd");
  const std::string fileB = SaveFull(b, "b.kvd");
  TProjectOp* openB = manager_->OpenProjectFile(fileB, true);
  ASSERT_NE(openB, nullptr);
  manager_->RemoveProject(openB);
  KeepFirstHalf(fileB);
  TProjectOp* openA = manager_->OpenProjectFile(fileA, true);
  ASSERT_NE(openA, nullptr);
  ExpectSameTree(*a.Root, *openA);
}

// A mapper whose next save of a whole project fails between the tables made anew and the save visitors.
class TFailingMapper : public TXMLMapper_tiPer {
public:
  using TXMLMapper_tiPer::TXMLMapper_tiPer;
  bool FailNextSave = false;

protected:
  void TablesRebuilt(TtiObject&) override {
    if (!FailNextSave) return;
    FailNextSave = false;
    throw std::runtime_error("failed between the tables and the visitors");
  }
};

TEST_F(ProjectManagerTest, ASaveThatFailsBeforeItsVisitorsLeavesTheFileAndTheStoreAsBefore) {
  auto failing = std::make_unique<TFailingMapper>(layer_, std::string());
  failing->SetVersionMgr(&versions_);
  manager_->SetMapper(failing.get());
  TFullProject a = BuildFullProject();
  TFullProject b = BuildFullProject();
  const std::string fileA = SaveFull(a, "a.kvd");
  const std::string fileB = SaveFull(b, "b.kvd");
  const std::string bytes = Bytes(fileA);
  const std::vector<std::string> names = Names(store_.Folder());

  a.Element->GetElement()->SetName("Schütz K9");
  failing->FailNextSave = true;
  EXPECT_THROW(manager_->SaveProject(*a.Root), std::runtime_error);
  EXPECT_EQ(Bytes(fileA), bytes);
  EXPECT_EQ(Names(store_.Folder()), names);
  EXPECT_EQ(failing->GetFileName(), fileB);  // the store holds what it held before
  ExpectSameTree(*b.Root, *OpenFresh(fileB));

  // The next save writes the tree as it is now.
  manager_->SaveProject(*a.Root);
  ExpectSameTree(*a.Root, *OpenFresh(fileA));
  EXPECT_EQ(RowOf(fileA, layer_, "Elements", OIDOf(a.Element->GetElement())).at("name"), "Schütz K9");
  manager_->SetMapper(mapper_.get());
}

// A save of the file the mapper holds that fails once the tables were made anew (a row refused, a failure
// before the visitors, a write refused) leaves nothing half written in the mapper: a later read through it
// reads the file as it is, a later write through it keeps the file's project, and the next open reads the
// file. A store kept in memory (the XMLLight layer) is changed in place and gives the change up alike.
TEST_F(ProjectManagerTest, AFailedSaveLeavesNoHalfWrittenStoreInTheMapper) {
  auto failing = std::make_unique<TFailingMapper>(layer_, std::string());
  failing->SetVersionMgr(&versions_);
  manager_->SetMapper(failing.get());
  TFullProject a = BuildFullProject();
  const std::string file = SaveFull(a, "a.kvd");
  const std::string bytes = Bytes(file);
  const std::string name = a.Element->GetElement()->GetName();
  const auto expectAsSaved = [&](TXMLMapper_tiPer& mapper, const std::string& stored) {
    EXPECT_EQ(mapper.GetFileName(), stored);
    for (int pass = 0; pass < 2; ++pass) {
      SCOPED_TRACE(pass == 0 ? "read" : "read after a write");
      TProjectOpList read;
      mapper.ReadProjectOpList(read);
      ASSERT_EQ(read.GetCount(), 1);
      auto* element = dynamic_cast<TElementOp*>(read.Items(0)->FindByOIDAsString(OIDOf(a.Element)));
      ASSERT_NE(element, nullptr);
      EXPECT_EQ(element->GetElement()->GetName(), name);
      mapper.EmptyTable(cPLReqConditionTable);  // a write, of a table a project file never fills
    }
    mapper.ReleaseDocument();
  };

  a.Element->GetElement()->SetName("Schütz\vK9");
  EXPECT_THROW(manager_->SaveProject(*a.Root), EtiPerDataException);
  EXPECT_TRUE(Bytes(file) == bytes);
  expectAsSaved(*failing, file);
  a.Element->GetElement()->SetName("Schütz K9");
  failing->FailNextSave = true;
  EXPECT_THROW(manager_->SaveProject(*a.Root), std::runtime_error);
  expectAsSaved(*failing, file);
  // A file system that takes no file of the project's size.
  EXPECT_EQ(RunInChild(
                [&]() -> std::string {
                  try {
                    manager_->SaveProject(*a.Root);
                    return "saved";
                  } catch (const EtiPerException&) {
                    expectAsSaved(*failing, file);
                    return ::testing::Test::HasFailure() ? "not as saved" : "";
                  }
                },
                FileSizeLimit(bytes.size() / 2)),
            "");
  EXPECT_TRUE(Bytes(file) == bytes);
  TElementOp* opened = dynamic_cast<TElementOp*>(OpenFresh(file)->FindByOIDAsString(OIDOf(a.Element)));
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened->GetElement()->GetName(), name);

  if (!tiPerMgr().GetPersistenceLayers().IsLoaded(cTIPersistXMLLight)) RegisterPersistenceLayerXMLLight();
  TFailingMapper light(cTIPersistXMLLight, std::string());
  const std::string store = File("a.xml");
  a.Element->GetElement()->SetName(name);
  light.SaveProjectOpAnew(*a.Root, store);
  a.Element->GetElement()->SetName("Schütz K9");
  light.FailNextSave = true;
  EXPECT_THROW(light.SaveProjectOpAnew(*a.Root, store), std::runtime_error);
  expectAsSaved(light, store);
  manager_->SetMapper(mapper_.get());
}

// A save under a new name that fails: nothing is left beside the file, the error and the project name the file
// chosen (never the hidden one the new file is built under), and the mapper holds the file it held before.
TEST_F(ProjectManagerTest, AFailedSaveUnderANewNameLeavesNothingAndNamesTheFileChosen) {
  auto failing = std::make_unique<TFailingMapper>(layer_, std::string());
  failing->SetVersionMgr(&versions_);
  manager_->SetMapper(failing.get());
  // The size of a file of the empty tables: the limit below lets it be written, but not the project.
  failing->CreateNew(File("empty.kvd"));
  const off_t tablesOnly = StatOf(File("empty.kvd")).st_size;
  std::filesystem::remove(File("empty.kvd"));
  TFullProject a = BuildFullProject();
  TFullProject b = BuildFullProject();
  const off_t whole = StatOf(SaveFull(a, "a.kvd")).st_size;
  const std::string fileB = SaveFull(b, "b.kvd");
  ASSERT_LT(tablesOnly, whole);
  const std::vector<std::string> names = Names(store_.Folder());
  const std::string chosen = File("neu.kvd");
  a.Root->GetProject()->SetFileName(chosen);

  // Failing between the tables made anew and the save visitors.
  failing->FailNextSave = true;
  EXPECT_THROW(manager_->SaveProject(*a.Root), std::runtime_error);
  EXPECT_EQ(Names(store_.Folder()), names);
  EXPECT_EQ(a.Root->GetProject()->GetFileName(), chosen);
  EXPECT_EQ(failing->GetFileName(), fileB);

  // Failing to write: a file system that takes no file of the project's size.
  EXPECT_EQ(RunInChild(
                [&]() -> std::string {
                  try {
                    manager_->SaveProject(*a.Root);
                    return "saved";
                  } catch (const std::exception& e) {
                    const std::string what = e.what();
                    if (what.find(chosen) == std::string::npos || what.find("/.neu.kvd") != std::string::npos)
                      return "the message: " + what;
                    if (a.Root->GetProject()->GetFileName() != chosen) return "the project's file name changed";
                    return failing->GetFileName() != fileB ? "the mapper's file changed" : "";
                  }
                },
                FileSizeLimit(tablesOnly + (whole - tablesOnly) / 2)),
            "");
  EXPECT_EQ(Names(store_.Folder()), names);

  // The next save writes the file chosen, and nothing else.
  manager_->SaveProject(*a.Root);
  ExpectSameTree(*a.Root, *OpenFresh(chosen));
  std::vector<std::string> withNew = names;
  withNew.push_back("neu.kvd");
  std::sort(withNew.begin(), withNew.end());
  EXPECT_EQ(Names(store_.Folder()), withNew);
  manager_->SetMapper(mapper_.get());
}

TEST_F(ProjectManagerTest, MissingForeignAndEmptyFilesAreRefusedByName) {
  const std::vector<std::string> names = Names(store_.Folder());
  const std::string missing = File("missing.kvd");
  EXPECT_EQ(KelvadoErrorOf([&] { manager_->OpenProjectFile(missing, true); }),
            std::make_pair(msgProjectFileMissing, std::vector<std::string>{missing}));
  // A bare name is the template of a new project, looked for in the current folder.
  EXPECT_EQ(manager_->OpenProjectFile("missing.kvd", true), nullptr);
  // Importing a file that is not there creates nothing.
  TSFOpList target;
  EXPECT_EQ(KelvadoErrorOf([&] { manager_->ImportFromFile(target, missing); }),
            std::make_pair(msgProjectFileMissing, std::vector<std::string>{missing}));
  EXPECT_EQ(Names(store_.Folder()), names);
  EXPECT_EQ(target.GetCount(), 0);

  TFullProject f = BuildFullProject();
  const std::string upper = SaveFull(f, "capital.KVD");
  EXPECT_EQ(KelvadoErrorOf([&] { manager_->OpenProjectFile(upper, true); }),
            std::make_pair(msgNotAProjectFile, std::vector<std::string>{upper}));
  const std::string empty = File("empty.kvd");
  mapper_->CreateNew(empty);
  EXPECT_EQ(manager_->ValidateProjectFile(empty), nullptr);
  EXPECT_EQ(KelvadoErrorOf([&] { manager_->OpenProjectFile(empty, true); }),
            std::make_pair(msgNoProjectInFile, std::vector<std::string>{empty}));

  // A project without file name is not saved anywhere (not into the file the mapper holds).
  TProjectOp* fresh = manager_->NewProject();
  fresh->GetProject()->SetName("Neu");
  const std::string held = Bytes(mapper_->GetFileName());
  EXPECT_EQ(KelvadoErrorOf([&] { manager_->SaveProject(*fresh); }),
            std::make_pair(msgProjectWithoutFileName, std::vector<std::string>{"Neu"}));
  EXPECT_EQ(Bytes(mapper_->GetFileName()), held);
  EXPECT_EQ(manager_->GetOpenProjects().GetCount(), 1);
  EXPECT_TRUE(manager_->GetOpenProjects().Items(0)->GetProject()->GetFileName().empty());
}

// A file of the user's own that the user may not read is refused saying so, by name: neither opened nor
// imported, and never called an invalid file.
TEST_F(ProjectManagerTest, AFileTheUserMayNotReadIsRefusedSayingSo) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "closed.kvd");
  ASSERT_EQ(::chmod(file.c_str(), 0), 0);
  constexpr uid_t kNobody = 65534;
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(store_.Folder().c_str(), 0755), 0);
  }
  const auto expected = std::make_pair(msgFileCannotBeRead, std::vector<std::string>{file, SystemErrorText(EACCES)});
  // Whatever refuses it otherwise: the answer names the operation.
  const std::string answer = RunInChild(
      [&]() -> std::string {
        TSFOpList target;
        std::string wrong;
        if (IOErrorOf([&] { NewManager()->OpenProjectFile(file, true); }) != expected) wrong += "open ";
        if (IOErrorOf([&] { NewManager()->ImportFromFile(target, file); }) != expected) wrong += "import";
        return wrong;
      },
      [] { return ::geteuid() != 0 || (::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) ? "" : "no nobody"; });
  EXPECT_EQ(answer, "");
}

// A name that leads into a loop of links, or is too long, is not "missing": the user reads why, in words.
TEST_F(ProjectManagerTest, ALinkLoopOrAnOverLongNameIsSaidInWords) {
  const std::string loop = File("loop.kvd");
  ASSERT_EQ(::symlink("loop.kvd", loop.c_str()), 0);
  const std::string longName = File(std::string(300, 'x') + ".kvd");
  std::ofstream(langPath_, std::ios::app) << "1148=a loop of links\n1149=a name too long\n";
  ReleaseMsgStrings();
  TSFOpList target;
  for (const auto& [name, why] : {std::pair{loop, "a loop of links"}, std::pair{longName, "a name too long"}}) {
    const auto expected = std::make_pair(msgFileCannotBeRead, std::vector<std::string>{name, why});
    EXPECT_EQ(IOErrorOf([&] { manager_->OpenProjectFile(name, true); }), expected);
    EXPECT_EQ(IOErrorOf([&] { manager_->ImportFromFile(target, name); }), expected);
  }
}


// A file as a hand or another program may change it: `insert` put right after the first `at` that follows
// `after`. The line (from 1) and the column (in characters) where `at` begins.
struct TEdit {
  int Line = 0;
  int Column = 0;
};
TEdit EditFile(const std::string& file, const std::string& after, const std::string& at, const std::string& insert) {
  std::string text = Bytes(file);
  const size_t pos = text.find(at, text.find(after));
  EXPECT_NE(pos, std::string::npos);
  TEdit e;
  const size_t lineStart = text.rfind('\n', pos) + 1;
  e.Line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(pos), '\n'));
  for (size_t i = lineStart; i <= pos; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++e.Column;
  text.insert(pos + at.size(), insert);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  return e;
}

TEST_F(ProjectManagerTest, SchemaAndContentChecksNameFileLineColumnAndReason) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "hand.kvd");
  const std::string pristine = Bytes(file);

  // A column no table has: refused by the schema, at the row's start tag.
  const TEdit e = EditFile(file, "table_name=\"elements\"", "<row ", "colour=\"rot\" ");
  std::unique_ptr<EInvalidXML> invalid = manager_->ValidateProjectFile(file);
  ASSERT_NE(invalid, nullptr);
  EXPECT_EQ(invalid->FileName(), file);
  EXPECT_NE(invalid->Reason().find("colour"), std::string::npos) << invalid->Reason();
  EXPECT_EQ(invalid->Line(), e.Line);
  EXPECT_EQ(invalid->LinePos(), e.Column);
  EXPECT_NE(invalid->ErrorCode(), 0);
  EXPECT_NE(invalid->SrcText().find("<row colour=\"rot\""), std::string::npos) << invalid->SrcText();
  EXPECT_EQ(invalid->MsgNumber(), 1031);
  try {
    manager_->OpenProjectFile(file, true);
    ADD_FAILURE() << "opened";
  } catch (const EInvalidXML& x) {
    EXPECT_EQ(x.Line(), e.Line);
  }
  // Ignored, the file is still refused before anything of it is read, naming table and column.
  std::vector<std::pair<std::string, bool>> asked;
  manager_->SetOnInvalidFile([&](const std::string& text, bool import) {
    asked.emplace_back(text, import);
    return true;
  });
  EXPECT_EQ(KelvadoErrorOf([&] { manager_->OpenProjectFile(file, true); }),
            std::make_pair(msgXMLUnknownColumn, std::vector<std::string>{file, "elements", "colour"}));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].first.rfind("KELVADO Error (v.1.1.2)\r\n\r\n", 0), 0u);
  EXPECT_FALSE(asked[0].second);
  EXPECT_EQ(manager_->GetOpenProjects().GetCount(), 0);

  // A column of another table passes the schema (which cannot tell tables apart) but not the content check.
  std::ofstream(file, std::ios::binary | std::ios::trunc) << pristine;
  EditFile(file, "table_name=\"components\"", "<row ", "technology=\"tecOther\" ");
  EXPECT_EQ(manager_->ValidateProjectFile(file), nullptr);
  EXPECT_EQ(KelvadoErrorOf([&] { manager_->OpenProjectFile(file, true); }),
            std::make_pair(msgXMLUnknownColumn, std::vector<std::string>{file, "components", "technology"}));

  // An unknown table, and text that is not XML at all.
  std::ofstream(file, std::ios::binary | std::ios::trunc) << pristine;
  EditFile(file, "<tables>", "<tables>", "<table table_name=\"notes\"><fields/><rows/></table>");
  invalid = manager_->ValidateProjectFile(file);
  ASSERT_NE(invalid, nullptr);
  EXPECT_NE(invalid->Reason().find("notes"), std::string::npos) << invalid->Reason();
  EXPECT_EQ(KelvadoErrorOf([&] { manager_->OpenProjectFile(file, true); }),
            std::make_pair(msgXMLUnknownTable, std::vector<std::string>{file, "notes"}));
  std::ofstream(file, std::ios::binary | std::ios::trunc) << pristine.substr(0, pristine.size() / 2);
  invalid = manager_->ValidateProjectFile(file);
  ASSERT_NE(invalid, nullptr);
  EXPECT_EQ(invalid->Line(), 2);
  EXPECT_GT(invalid->LinePos(), 0);
  asked.clear();
  TSFOpList target;
  EXPECT_THROW(manager_->ImportFromFile(target, file), EtiPerDBExceptionCanNotConnect);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_TRUE(asked[0].second);

  // Without a schema nothing is checked before the file is read: the store itself refuses it.
  std::unique_ptr<TProjectManager> unchecked = NewManager(File("no-such.xsd"));
  EXPECT_FALSE(unchecked->HasSchema());
  EXPECT_EQ(unchecked->ValidateProjectFile(file), nullptr);
  EXPECT_THROW(unchecked->OpenProjectFile(file, true), EtiPerDBExceptionCanNotConnect);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << pristine;
  EditFile(file, "table_name=\"elements\"", "<row ", "colour=\"rot\" ");
  EXPECT_EQ(KelvadoErrorOf([&] { unchecked->OpenProjectFile(file, true); }),
            std::make_pair(msgXMLUnknownColumn, std::vector<std::string>{file, "elements", "colour"}));
}

// A large file that fails the schema only at its end is refused without building its document: opening it
// takes not much more memory than its size.
TEST_F(ProjectManagerTest, ALargeFileThatFailsTheSchemaIsRefusedWithinTwiceItsSizeInMemory) {
  if (!AddressSpaceLimitsWork()) GTEST_SKIP() << "address-space limits do not work under a sanitizer";
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "large.kvd");
  {
    std::string text = Bytes(file);
    const size_t rows = text.find("<rows>", text.find("table_name=\"elements\"")) + 6;
    const std::string row = text.substr(rows, text.find("/>", rows) + 2 - rows);
    std::string many;
    many.reserve(40u << 20);
    while (many.size() < (40u << 20)) many += row;
    text.insert(rows, many);
    // The one violation, in the last row of the file's elements.
    const size_t last = text.rfind("<row ", text.find("</rows>", rows)) + 5;
    text.insert(last, "colour=\"rot\" ");
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  }
  const size_t size = Bytes(file).size();
  const std::string answer = RunWithinMemory(size * 5 / 2, [&]() -> std::string {
    try {
      manager_->OpenProjectFile(file, true);
    } catch (const EInvalidXML& e) {
      return "invalid: " + e.Reason();
    }
    return "opened";
  });
  EXPECT_EQ(answer.rfind("invalid: ", 0), 0u) << answer;
  EXPECT_NE(answer.find("colour"), std::string::npos) << answer;
}

// The bytes of this process in memory.
size_t ResidentNow() {
  size_t pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%zu %zu", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// Every byte the allocator could still hand out within the process's limit, big pieces first, but `room`
// given back: what runs meanwhile finds just that much (memory freed before included). Each piece holds the
// address of the one taken before it. Clear it before composing an answer.
class TAllMemoryTaken {
public:
  explicit TAllMemoryTaken(size_t room) {
    for (size_t piece : {size_t(1) << 16, size_t(1) << 12, size_t(256), size_t(32)})
      while (void* p = std::malloc(piece)) {
        *static_cast<void**>(p) = last_;
        last_ = p;
      }
    for (size_t freed = 0; freed < room && last_; freed += 1 << 16) Drop();
  }
  ~TAllMemoryTaken() { Clear(); }
  TAllMemoryTaken(const TAllMemoryTaken&) = delete;
  TAllMemoryTaken& operator=(const TAllMemoryTaken&) = delete;
  void Clear() {
    while (last_) Drop();
  }

private:
  void Drop() {
    void* before = *static_cast<void**>(last_);
    std::free(last_);
    last_ = before;
  }
  void* last_ = nullptr;
};

// The bench project of `sfs` safety functions saved under that name; the file's size.
size_t SaveBenchProject(TProjectManager& manager, int sfs, const std::string& file) {
  std::unique_ptr<TProjectOp> project = bench::BuildBenchProject(
      sfs, [](int sf, int, int, int bl, int el) { return 100.0 + sf + bl * 10 + el; },
      [](int, int, int, int bl, int) { return bl % 2 ? 0.9 : 0.6; });
  project->GetProject()->SetFileName(file);
  manager.SaveProject(*project);
  return Bytes(file).size();
}

// Once read, a project holds its tree, not the file's document (which takes many times the file's size), and
// the memory the document took goes back to the system: measured in a process of its own, as resident memory.
TEST_F(ProjectManagerTest, AnOpenProjectHoldsAtMostThreeTimesItsFileInMemory) {
  // The sanitizers' allocator keeps what was freed (to find a use after free), and the child's limit of
  // address space does not work beside its shadow memory.
  if (!AddressSpaceLimitsWork()) GTEST_SKIP() << "the memory a sanitizer's allocator holds is its own";
  const std::string file = File("held.kvd");
  const size_t size = SaveBenchProject(*manager_, 60, file);
  ASSERT_GT(size, 4u << 20);
  const std::string answer = RunWithinMemory(size_t(1) << 30, [&]() -> std::string {
    ::malloc_trim(0);  // what this process freed before goes back first
    const size_t before = ResidentNow();
    TProjectOp* op = OpenFresh(file);
    if (!op || op->GetSFOpList()->GetCount() != 60) return "not opened";
    return std::to_string(ResidentNow() - before);
  });
  ASSERT_FALSE(answer.empty());
  ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(answer[0]))) << answer;
  EXPECT_LE(std::stoull(answer), 3 * size) << "held " << answer << " bytes for a file of " << size;
}

// Opening estimates the memory a file needs while the file streams past, before anything is built, and
// refuses it when the process may not take that much, naming the file, its size and the estimate. A legitimate
// project opens within a few times its size; schema-valid rows that would cost many times their text as a
// document are refused; running out of memory (here in a save) says so. Nothing is reported as a damaged or
// invalid file, and no one is asked whether to ignore the schema.
TEST_F(ProjectManagerTest, OpeningEstimatesItsMemoryWithinTheProcessLimitAndOutOfMemorySaysSo) {
  if (!AddressSpaceLimitsWork()) GTEST_SKIP() << "address-space limits do not work under a sanitizer";
  const std::string file = File("legit.kvd");
  const size_t size = SaveBenchProject(*manager_, 60, file);
  // The texts of the run's language.
  std::ofstream(langPath_, std::ios::binary | std::ios::app) << "1160=OUT OF MEMORY %s\n1161=TOO LARGE %s|%s|%s|%s\n";
  ReleaseMsgStrings();
  ASSERT_EQ(GetMsgString(msgOutOfMemory, 0), "OUT OF MEMORY %s");  // loaded, as a running program has them
  // Whoever would be asked, the answer is "don't": an invalid file shows as such.
  manager_->SetOnInvalidFile([](const std::string&, bool) { return false; });
  // `room`: all the memory but that much taken first.
  const auto open = [&](const std::string& name, size_t room = 0) {
    return [&, name, room]() -> std::string {
      std::optional<TAllMemoryTaken> taken;
      if (room) taken.emplace(room);
      try {
        TProjectOp* op = manager_->OpenProjectFile(name, true);
        taken.reset();
        return op ? "opened " + std::to_string(op->GetSFOpList()->GetCount()) : "nothing";
      } catch (const EOutOfMemory& e) {
        taken.reset();
        return "memory " + std::to_string(e.MsgNumber()) + ": " + e.what();
      } catch (const EInvalidXML& e) {
        taken.reset();
        return "invalid: " + e.Reason();
      } catch (const EKelvado& e) {
        taken.reset();
        return "refused " + std::to_string(e.MsgNumber()) + ": " + e.what();
      }
    };
  };
  EXPECT_EQ(RunWithinMemory(8 * size, open(file)), "opened 60");
  const std::string tight = RunWithinMemory(size / 2, open(file));
  EXPECT_EQ(tight.rfind("memory 1161: TOO LARGE " + file + "|4.3|", 0), 0u) << tight;
  // With no memory left at all, the first allocation that fails (the schema check's, the estimate's) says so.
  const std::string starved = RunWithinMemory(size, open(file, 64 << 10));
  EXPECT_EQ(starved.rfind("memory 116", 0), 0u) << starved;

  // Rows carrying every attribute the schema allows, empty: valid, and some twenty times their text as a
  // document. They are refused within a few times their size.
  std::string row = "<row";
  {
    const std::string xsd = Bytes(SchemaBesideProgram());
    const size_t end = xsd.find("</xs:complexType>", xsd.find("name=\"Row\""));
    for (size_t at = xsd.find("name=\"Row\""); (at = xsd.find("<xs:attribute name=\"", at)) < end;) {
      at += 20;
      row += " " + xsd.substr(at, xsd.find('"', at) - at) + "=\"\"";
    }
    row += "/>";
  }
  ASSERT_GT(row.size(), 500u);
  const std::string hostile = File("hostile.kvd");
  {
    std::string text = Bytes(file);
    std::string many;
    while (many.size() < 4 * size) many += row;
    text.insert(text.find("<rows>", text.find("table_name=\"elementops\"")) + 6, many);
    std::ofstream(hostile, std::ios::binary | std::ios::trunc) << text;
  }
  EXPECT_EQ(manager_->ValidateProjectFile(hostile), nullptr);
  const std::string refused = RunWithinMemory(4 * Bytes(hostile).size(), open(hostile));
  EXPECT_TRUE(refused.rfind("refused ", 0) == 0 || refused.rfind("memory 1161: ", 0) == 0) << refused;

  // A save that runs out of memory reports it, naming the file, and leaves the file as it was.
  std::unique_ptr<TProjectOp> big = bench::BuildBenchProject(
      60, [](int, int, int, int, int) { return 300.0; }, [](int, int, int, int, int) { return 0.9; });
  big->GetProject()->SetFileName(file);
  const std::string before = Bytes(file);
  const std::string saved = RunWithinMemory(size, [&]() -> std::string {
    TAllMemoryTaken taken(1 << 20);
    try {
      manager_->SaveProject(*big);
    } catch (const EOutOfMemory& e) {
      taken.Clear();
      return "memory " + std::to_string(e.MsgNumber()) + ": " + e.what();
    }
    return "saved";
  });
  EXPECT_EQ(saved, "memory 1160: OUT OF MEMORY " + file);
  EXPECT_TRUE(Bytes(file) == before);

  // So do an export into the file and an import from it, wherever their memory runs out.
  const auto squeezed = [&](const std::function<void()>& work) {
    return RunWithinMemory(size, [&]() -> std::string {
      TAllMemoryTaken taken(64 << 10);
      try {
        work();
      } catch (const EOutOfMemory& e) {
        taken.Clear();
        return "memory " + std::to_string(e.MsgNumber()) + ": " + e.what();
      }
      return "done";
    });
  };
  EXPECT_EQ(squeezed([&] { manager_->SaveObjectToFile(*big->GetSFOpList()->Items(0), file); }),
            "memory 1160: OUT OF MEMORY " + file);
  TSFOpList imported;
  EXPECT_EQ(squeezed([&] { manager_->ImportFromFile(imported, file); }), "memory 1160: OUT OF MEMORY " + file);
  EXPECT_TRUE(Bytes(file) == before);
}

TEST_F(ProjectManagerTest, ANewerReleaseOfTheSameLineOpensAnUnknownOneIsRefused) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "release.kvd");
  const std::string project = OIDOf(f.Root->GetProject());
  int notices = 0;
  versions_.SetOnProjectVersionNotice([&](const std::string&, bool compatible, bool, TKelvadoVersion,
                                          const std::string& text, TNormVersion, const std::string&) {
    ++notices;
    EXPECT_TRUE(compatible);
    EXPECT_EQ(text, "1.1.3");
  });
  int upgraded = 0;
  versions_.SetOnProjectUpgraded([&](TProjectOp&) { ++upgraded; });

  SetCell(file, layer_, "Projects", project, "KVDVersion", "1.1.3");
  TProjectOp* newer = OpenFresh(file);
  ASSERT_NE(newer, nullptr);
  EXPECT_EQ(newer->GetProject()->GetKVDVersion(), verKVDUnknown);
  EXPECT_EQ(newer->GetProject()->GetKVDVersionOriginalString(), "1.1.3");
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(upgraded, 0);
  EXPECT_TRUE(newer->GetDirty());  // to be saved in this release's form
  EXPECT_FALSE(newer->FindByOIDAsString(OIDOf(f.Sub))->GetDirty());
  ExpectSameTree(*f.SF, *newer->GetSFOpList()->Items(0));

  versions_.SetOnProjectVersionNotice(nullptr);
  // The refusal names the release and the edition as the file holds them.
  for (const auto& [column, text, release, edition] :
       {std::tuple<std::string, std::string, std::string, std::string>{"KVDVersion", "2.0", "2.0",
                                                                       NormVersionText(CurrentNormVersion)},
        {"KVDVersion", "", VersionText(verKVDUnknown), NormVersionText(CurrentNormVersion)},
        {"NormVersion", "EN ISO 13849-1:2099", "1.1.2", "EN ISO 13849-1:2099"}}) {
    SCOPED_TRACE(column + " " + text);
    SetCell(file, layer_, "Projects", project, "KVDVersion", "1.1.2");
    SetCell(file, layer_, "Projects", project, "NormVersion", NormVersionText(CurrentNormVersion));
    SetCell(file, layer_, "Projects", project, column, text);
    other_ = NewManager();
    EXPECT_EQ(KelvadoErrorOf([&] { other_->OpenProjectFile(file, true); }),
              std::make_pair(msgUnknownRelease, std::vector<std::string>{file, release, edition}));
    EXPECT_EQ(other_->GetOpenProjects().GetCount(), 0);
  }
  // Reopening the files of the last session checks no release (as before).
  EXPECT_NE(other_->OpenProjectFile(file, false), nullptr);
  EXPECT_EQ(upgraded, 0);
}

void Connect(const std::string& file, const std::string& layer) {
  if (!tiPerMgr().GetPersistenceLayers().LayerOrDefault(layer).GetDBConnectionPools().Find(file))
    tiPerMgr().ConnectDatabase(file, "zilk", "zilk", "", layer);
}

TEST_F(ProjectManagerTest, FilesOfOlderReleasesAreUpgradedAndThenSavedInTheCurrentForm) {
  TFullProject f = BuildFullProject();
  const std::string full = SaveFull(f, "full.kvd");
  const std::set<std::string> texts{"Document", "Documentation", "Manufacturer", "PartNo", "MissionTime"};
  const auto with = [](std::set<std::string> a, const std::set<std::string>& b) {
    a.insert(b.begin(), b.end());
    return a;
  };
  const std::set<std::string> bind{"CatConditionsRelevant", "PLDirectNoBind", "IsPLPFHBind"};
  const std::set<std::string> stamps{"NormVersion", "KVDVersion"};
  struct TRelease {
    std::string Version;
    std::map<std::string, std::set<std::string>> Dropped;
    bool AddsTestChannel, DropsConditionsWithoutID;
  };
  const TRelease releases[] = {
      {"0.1a",
       {{"Components", with(with(bind, texts), stamps)},
        {"Elements", with(texts, stamps)},
        {"Blocs", with(texts, stamps)},
        {"ChannelOps", {"IsTestChannelOp", "TestChannelOp"}},
        {"Projects", {"Author", "Document", "Documentation", "DocumentsFolder"}},
        {"SFs", {"Document", "Documentation"}},
        {"DCMeasures", {"Document", "Documentation"}},
        {"CCFMeasures", {"Document", "Documentation"}},
        {"CatConditions", {"CCID"}},
        {"PLConditions", {}},
        {"PLConditionOps", {}}},
       true, true},
      {"0.4.1b",
       {{"Components", with(bind, {"MissionTime"})},
        {"Elements", {"MissionTime"}},
        {"Blocs", {"MissionTime"}},
        {"CatConditions", {"CCID"}},
        {"PLConditions", {}},
        {"PLConditionOps", {}}},
       false, true},
      {"1.0.5a", {{"Components", bind}}, false, false},
  };
  for (const TRelease& r : releases) {
    SCOPED_TRACE(r.Version);
    Connect(full, layer_);
    const std::string older = NewStore("release " + r.Version);
    CreateOlderTables(older, layer_, r.Dropped);
    CopyRows(full, older, layer_);
    SetCell(older, layer_, "Projects", OIDOf(f.Root->GetProject()), "KVDVersion", r.Version);
    std::string notice;
    int upgraded = 0;
    versions_.SetOnUpgradeNotice([&](const std::string& name, bool, bool, TKelvadoVersion, const std::string& text,
                                     TNormVersion, const std::string& n) {
      EXPECT_EQ(name, older);
      EXPECT_EQ(text, r.Version);
      notice = n;
    });
    versions_.SetOnProjectUpgraded([&](TProjectOp&) { ++upgraded; });

    TProjectOp* op = OpenFresh(older);
    ASSERT_NE(op, nullptr);
    // Changed in its structure, or of a release before 1.0rc1: to be saved.
    EXPECT_EQ(op->GetDirty(), r.AddsTestChannel || r.DropsConditionsWithoutID);
    auto& sub = dynamic_cast<TComponentOp&>(*op->FindByOIDAsString(OIDOf(f.Sub)));
    const TComponent& comp = *sub.GetComponent();
    // Release 1.1.0: a subsystem whose PL is entered no longer checks the category conditions.
    EXPECT_FALSE(comp.GetCatConditionsRelevant());
    EXPECT_TRUE(comp.GetIsPLPFHBind());
    EXPECT_EQ(comp.GetPLDirectNoBind(), plA);
    EXPECT_NE(notice.find("SB: Sicherheitsschaltgerät Ü\r\n"), std::string::npos) << notice;
    EXPECT_NE(notice.find("SB: Mechanik\r\n"), std::string::npos) << notice;
    // Releases without test channels get one per subsystem, paired with every channel.
    TChannelOpList& channels = *sub.GetChannelOpList();
    ASSERT_EQ(channels.GetCount(), r.AddsTestChannel ? 4 : 3);
    TTestChannelOp* test = dynamic_cast<TTestChannelOp*>(channels.Items(channels.GetCount() - 1));
    ASSERT_NE(test, nullptr);
    for (int i = 0; i + 1 < channels.GetCount(); ++i) EXPECT_EQ(channels.Items(i)->GetTestChannelOp(), test);
    // Category conditions without identifier (releases up to 0.4.1b) are dropped.
    EXPECT_EQ(comp.GetCatConditionOps()->Items(0)->GetDeleted(), r.DropsConditionsWithoutID);
    EXPECT_EQ(upgraded, r.AddsTestChannel || r.DropsConditionsWithoutID ? 1 : 0);

    // Saved, it is a file of this release that opens as it was saved, without a further upgrade.
    other_->SaveProject(*op);
    EXPECT_EQ(manager_->ValidateProjectFile(older), nullptr);
    upgraded = 0;
    notice.clear();
    std::unique_ptr<TProjectManager> again = NewManager();
    TProjectOp* reopened = again->OpenProjectFile(older, true);
    ASSERT_NE(reopened, nullptr);
    ExpectSameTree(*op, *reopened);
    EXPECT_FALSE(reopened->GetDirty());
    EXPECT_EQ(upgraded, 0);
    EXPECT_TRUE(notice.empty());
    EXPECT_EQ(reopened->GetProject()->GetKVDVersion(), CurrentKVDVersion);
  }
}


TEST_F(ProjectManagerTest, ExportedItemsImportAsNewCopiesWithEverythingBelowThem) {
  TFullProject f = BuildFullProject();
  SaveFull(f, "source.kvd");  // everything clean and saved
  const std::string file = File("exchange.xml");
  manager_->SaveObjectToFile(*f.SF, file);
  manager_->SaveObjectToFile(*f.SF, file);  // replaces the first copy
  EXPECT_FALSE(f.Root->GetDirty());
  EXPECT_EQ(manager_->ValidateProjectFile(file), nullptr);

  TSFOpList& target = *f.Root->GetSFOpList();
  manager_->ImportFromFile(target, file);
  manager_->ImportFromFile(target, file);  // a second copy of the one the file holds
  ASSERT_EQ(target.GetCount(), 4);  // the safety function, the deleted one, two copies
  auto expected = f.SF->CloneAs<TSFOp>();
  TVisSetProtected unprotect(false);
  expected->Iterate(unprotect);
  std::set<std::string> oids{OIDOf(f.SF)};
  for (int i = 2; i < 4; ++i) {
    TSFOp& copy = *target.Items(i);
    EXPECT_TRUE(copy.Equals(*expected)) << copy.AsDebugString();
    EXPECT_EQ(target.IndexOf(&copy), i);
    for (TtiObject* o : StoredObjects(copy)) {
      EXPECT_EQ(o->GetObjectState(), posCreate);
      EXPECT_FALSE(static_cast<TPerObjAbsEx*>(o)->GetIsProtected());
      EXPECT_TRUE(oids.insert(OIDOf(o)).second) << "OID twice: " << OIDOf(o);
    }
  }
  // Items of another class are not in the file: said, not imported as nothing.
  TComponentOpList subsystems;
  EXPECT_EQ(IOErrorOf([&] { manager_->ImportFromFile(subsystems, file); }),
            std::make_pair(msgNothingToImport, std::vector<std::string>{file, subsystems.GetCaption()}));
  EXPECT_EQ(subsystems.GetCount(), 0);
  // Saved with its imports, the project opens as it is.
  manager_->SaveProject(*f.Root);
  ExpectSameTree(*f.Root, *OpenFresh(f.Root->GetProject()->GetFileName()));
}

// An export never damages the file it is given: a project file is not overwritten (added to, it would hold an
// item outside its project and be refused at every open), and an earlier export is replaced whole, as a save
// replaces a file, through a link to it as well.
TEST_F(ProjectManagerTest, AnExportRefusesAProjectFileAndReplacesAnEarlierExportWhole) {
  TFullProject f = BuildFullProject();
  const std::string project = SaveFull(f, "project.kvd");
  const std::string bytes = Bytes(project);
  const std::string held = mapper_->GetFileName();
  for (const TtiObject* item : std::initializer_list<const TtiObject*>{f.SF, f.Element, f.Root.get()}) {
    EXPECT_EQ(IOErrorOf([&] { manager_->SaveObjectToFile(*item, project); }),
              std::make_pair(msgExportTargetHoldsProject, std::vector<std::string>{project, "Projekt Ä"}));
    EXPECT_TRUE(Bytes(project) == bytes);
  }
  EXPECT_EQ(mapper_->GetFileName(), held);
  ExpectSameTree(*f.Root, *OpenFresh(project));

  const std::string exchange = File("exchange.xml");
  manager_->SaveObjectToFile(*f.SF, exchange);
  const std::string link = File("link.xml");
  ASSERT_EQ(::symlink("exchange.xml", link.c_str()), 0);
  const ino_t first = StatOf(exchange).st_ino;
  manager_->SaveObjectToFile(*f.Element, link);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_NE(StatOf(exchange).st_ino, first);  // replaced, not written over in place
  EXPECT_EQ(Rows(exchange, layer_, "SFOps").size(), 0u);
  EXPECT_EQ(Rows(exchange, layer_, "ElementOps").size(), 1u);
  TElementOpList elements;
  manager_->ImportFromFile(elements, exchange);
  ASSERT_EQ(elements.GetCount(), 1);
  EXPECT_EQ(elements.Items(0)->GetElement()->GetName(), f.Element->GetElement()->GetName());
  // An export that fails leaves the file it was to replace as it was.
  const std::string exported = Bytes(exchange);
  f.Element->GetElement()->SetName("Schütz\vK1");
  EXPECT_THROW(manager_->SaveObjectToFile(*f.Element, exchange), EtiPerDataException);
  EXPECT_TRUE(Bytes(exchange) == exported);
}

// An import from a file without items of the kind asked (a project file keeps its safety functions inside its
// project; an empty store) says so, naming the file and the list, and adds nothing.
TEST_F(ProjectManagerTest, AnImportOfNothingIsRefusedNamingTheFileAndTheList) {
  TFullProject f = BuildFullProject();
  const std::string project = SaveFull(f, "project.kvd");
  const std::string empty = File("empty.kvd");
  mapper_->CreateNew(empty);
  std::ofstream(langPath_, std::ios::app) << "26=Sicherheitsfunktionen\n";
  ReleaseMsgStrings();
  TSFOpList& target = *f.Root->GetSFOpList();
  const int before = target.GetCount();
  for (const std::string& file : {project, empty}) {
    EXPECT_EQ(IOErrorOf([&] { manager_->ImportFromFile(target, file); }),
              std::make_pair(msgNothingToImport, std::vector<std::string>{file, "Sicherheitsfunktionen"}));
    EXPECT_EQ(target.GetCount(), before);
  }
}

// An export into a file that is not a project store (a library, a text, another program's XML, a store of other
// tables) is refused in one sentence naming the file, with or without a schema, and the file stays as it was.
TEST_F(ProjectManagerTest, AnExportIntoAFileThatIsNoProjectFileIsRefusedInOneSentence) {
  TFullProject f = BuildFullProject();
  const std::string library = File("library.klb");
  std::filesystem::copy_file(ProgramFolder() + "db/KELVADO_GEN_DE.FDB", library);
  ASSERT_EQ(::chmod(library.c_str(), 0644), 0);
  const std::string text = File("notes.xml");
  tiStringToFile("Einkaufsliste\n", text);
  const std::string page = File("page.xml");
  tiStringToFile("<?xml version=\"1.0\"?>\n<html><body/></html>\n", page);
  const std::string other = store_.NewStore("other");
  TtiDBMetaDataTable notes;
  notes.SetName("Notes");
  notes.AddField("Text", qfkString, 1024);
  tiPerMgr().CreateTable(notes, other, layer_);
  tiPerMgr().DisconnectDatabase(other, layer_);
  std::unique_ptr<TProjectManager> unchecked = NewManager(File("no-such.xsd"));
  for (TProjectManager* manager : {manager_.get(), unchecked.get()}) {
    for (const std::string& file : {library, text, page, other}) {
      SCOPED_TRACE(file);
      const std::string bytes = Bytes(file);
      try {
        manager->SaveObjectToFile(*f.SF, file);
        ADD_FAILURE() << "exported";
      } catch (const EIOError& e) {
        EXPECT_EQ(e.MsgNumber(), msgExportTargetNotProjectFile);
        EXPECT_EQ(e.what(), EKelvado::ComposeMessage(msgExportTargetNotProjectFile, {file}));
      }
      EXPECT_TRUE(Bytes(file) == bytes);
    }
  }
}

// A file of two projects (the mapper adds what it saves to the file it holds) is not opened as its first
// project, which would drop the second at the next save: it is refused, and its projects are imported.
TEST_F(ProjectManagerTest, AFileOfTwoProjectsIsRefusedAndItsProjectsImported) {
  TFullProject a = BuildFullProject();
  const std::string file = SaveFull(a, "two.kvd");
  TFullProject b = BuildFullProject();
  b.Root->GetProject()->SetName("Zweites Projekt");
  mapper_->SetFileName(file);
  mapper_->Save(*b.Root);
  mapper_->ReleaseDocument();
  const std::string bytes = Bytes(file);
  EXPECT_EQ(IOErrorOf([&] { manager_->OpenProjectFile(file, true); }),
            std::make_pair(msgSeveralProjectsInFile, std::vector<std::string>{file, "2"}));
  EXPECT_EQ(manager_->GetOpenProjects().GetCount(), 0);
  EXPECT_TRUE(Bytes(file) == bytes);

  TProjectOpList projects;
  manager_->ImportFromFile(projects, file);
  ASSERT_EQ(projects.GetCount(), 2);
  for (int i = 0; i < 2; ++i) {
    TProjectOp& op = *projects.Items(i);
    EXPECT_EQ(op.GetProjectName(), i == 0 ? "Projekt Ä" : "Zweites Projekt");
    EXPECT_EQ(op.GetSFOpList()->CountNotDeleted(), a.Root->GetSFOpList()->CountNotDeleted());
    const std::string own = File("own" + std::to_string(i) + ".kvd");
    op.GetProject()->SetFileName(own);
    manager_->SaveProject(op);
    ExpectSameTree(op, *OpenFresh(own));
  }
}

TEST_F(ProjectManagerTest, RescueCopiesOfChangedProjects) {
  ASSERT_TRUE(SetOptProjectFolder(store_.Folder()));
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "named.kvd");
  TFullProject g = BuildFullProject();
  const std::string cleanFile = SaveFull(g, "clean.kvd");
  TProjectOp* named = manager_->OpenProjectFile(file, true);
  named->GetProject()->SetAuthor("geändert");
  named->GetProject()->SetDirty(true);
  TProjectOp* unnamed = manager_->NewProject();
  TProjectOp* titled = manager_->NewProject();
  titled->GetProject()->SetName("Presse: Linie 2.1");
  TProjectOp* broken = manager_->NewProject();
  broken->GetProject()->SetName("Kaputt");
  broken->GetProject()->SetDocumentation("Steuerzeichen \x02 im Text");
  TProjectOp* clean = manager_->OpenProjectFile(cleanFile, true);
  ASSERT_FALSE(clean->GetDirty());

  std::vector<TProjectOp*> rescued{clean};
  manager_->SaveRescueCopies(rescued);
  EXPECT_EQ(rescued, (std::vector<TProjectOp*>{named, unnamed, titled}));
  const std::string folder = store_.Folder() + "/";
  EXPECT_EQ(named->GetProject()->GetFileName(), file + ".rescue");
  EXPECT_EQ(unnamed->GetProject()->GetFileName(), folder + "Project1.kvd.rescue");
  EXPECT_EQ(titled->GetProject()->GetFileName(), folder + "Presse Linie 2.kvd.rescue");
  EXPECT_EQ(clean->GetProject()->GetFileName(), cleanFile);
  for (TProjectOp* op : rescued) {
    const std::string rescue = op->GetProject()->GetFileName();
    EXPECT_EQ(manager_->ValidateProjectFile(rescue), nullptr);
    Connect(rescue, layer_);
    auto read = ReadProjects(rescue, layer_);
    ASSERT_EQ(read->GetCount(), 1);
    read->Items(0)->GetProject()->SetFileName(rescue);
    read->Items(0)->GetProject()->SetLastChange(op->GetProject()->GetLastChange());
    ExpectSameTree(*op, *read->Items(0));
  }
  EXPECT_FALSE(std::filesystem::exists(folder + "Kaputt.kvd.rescue"));

  // A rescue copy is no project file by its name: the refusal says what it is and the name under which it
  // opens, and there it does.
  std::filesystem::copy_file(file + ".rescue", file + ".rescue_2");
  for (const auto& [rescue, openable] : {std::pair{file + ".rescue", folder + "named.rescue.kvd"},
                                         std::pair{file + ".rescue_2", folder + "named.rescue_2.kvd"}}) {
    EXPECT_EQ(IOErrorOf([&] { manager_->OpenProjectFile(rescue, true); }),
              std::make_pair(msgRescueCopy, std::vector<std::string>{rescue, openable}));
    std::filesystem::copy_file(rescue, openable);
    TProjectOp* opened = OpenFresh(openable);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->GetProject()->GetAuthor(), "geändert");
  }
  std::filesystem::copy_file(file + ".rescue", file + ".rescue_x");
  EXPECT_EQ(IOErrorOf([&] { manager_->OpenProjectFile(file + ".rescue_x", true); }),
            std::make_pair(msgNotAProjectFile, std::vector<std::string>{file + ".rescue_x"}));
}

TEST_F(ProjectManagerTest, TheListOfOpenFilesReopensWhatCanBeOpened) {
  TFullProject f = BuildFullProject();
  const std::string a = SaveFull(f, "a.kvd");
  const std::string b = SaveFull(f, "b.kvd");
  const std::string broken = File("broken.kvd");
  std::ofstream(broken) << "<xmldocdata>";
  const std::string missing = File("missing.kvd");
  manager_->OpenProjectFile(a, true);
  manager_->OpenProjectFile(b, true);
  manager_->SaveOpenProjectList();
  EXPECT_EQ(LoadRecentList("projectfile"), (std::vector<std::string>{a, b}));

  ASSERT_TRUE(SaveRecentList({a, missing, broken, b}, "projectfile"));
  other_ = NewManager();
  std::vector<std::string> missed, failed;
  other_->SetOnFileMissing([&](const std::string& name) { missed.push_back(name); });
  other_->SetOnOpenError([&](const std::string& name, const std::exception& e) {
    failed.push_back(name);
    EXPECT_NE(dynamic_cast<const EInvalidXML*>(&e), nullptr) << e.what();
  });
  other_->LoadOpenProjectList();
  EXPECT_EQ(missed, std::vector<std::string>{missing});
  EXPECT_EQ(failed, std::vector<std::string>{broken});
  ASSERT_EQ(other_->GetOpenProjects().GetCount(), 2);
  EXPECT_EQ(other_->GetOpenProjects().Items(0)->GetProject()->GetFileName(), a);
  EXPECT_EQ(other_->GetOpenProjects().Items(1)->GetProject()->GetFileName(), b);
}

TEST_F(ProjectManagerTest, NewProjectsComeFromTheTemplateInTheCurrentFolder) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(store_.Folder());
  struct TBack {
    std::filesystem::path to;
    ~TBack() { std::filesystem::current_path(to); }
  } back{previous};

  TProjectOp* blank = manager_->NewProject();
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(blank->GetProject()->GetName(), "");
  EXPECT_EQ(blank->GetProject()->GetFileName(), "");
  EXPECT_EQ(blank->GetProject()->GetLastChange().Days, std::floor(tiNow()));
  EXPECT_EQ(blank->GetSFOpList()->GetCount(), 0);
  // Items built in memory (never read, never saved) are written with the project.
  auto sf = std::make_unique<TSFOp>();
  sf->SetSF(std::make_unique<TSF>());
  sf->GetSF()->SetName("Neu gebaut");
  blank->GetSFOpList()->Add(std::move(sf));
  blank->GetProject()->SetFileName(File("built.kvd"));
  manager_->SaveProject(*blank);
  TProjectOp* built = OpenFresh(File("built.kvd"));
  ASSERT_EQ(built->GetSFOpList()->GetCount(), 1);
  EXPECT_EQ(built->GetSFOpList()->Items(0)->GetSF()->GetName(), "Neu gebaut");
  blank->GetProject()->SetFileName("");

  TFullProject f = BuildFullProject();
  const std::string bytes = Bytes(SaveFull(f, DefaultProjectFileName()));
  TProjectOp* first = manager_->NewProject();
  TProjectOp* second = manager_->NewProject();
  EXPECT_NE(first, second);
  for (TProjectOp* op : {first, second}) {
    EXPECT_EQ(op->GetProject()->GetName(), "Projekt Ä");
    EXPECT_EQ(op->GetProject()->GetFileName(), "");
    EXPECT_EQ(op->GetSFOpList()->GetCount(), 1);
  }
  EXPECT_EQ(manager_->GetOpenProjects().GetCount(), 3);
  EXPECT_TRUE(manager_->GetCheckAlreadyOpen());
  EXPECT_EQ(Bytes(DefaultProjectFileName()), bytes);
}

TEST_F(ProjectManagerTest, AProtectedProjectRowOpensAndSaves) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "protected.kvd");
  SetCell(file, layer_, "Projects", OIDOf(f.Root->GetProject()), "IsProtected", "1");
  SetCell(file, layer_, "ProjectOps", OIDOf(f.Root.get()), "IsProtected", "1");
  TProjectOp* op = OpenFresh(file);
  ASSERT_NE(op, nullptr);
  EXPECT_TRUE(op->GetProject()->GetIsProtected());
  EXPECT_EQ(op->GetProject()->GetFileName(), file);
  const std::string copy = File("protected copy.kvd");
  {
    TWriteProtectionLifted lifted;
    op->GetProject()->SetFileName(copy);
  }
  other_->SaveProject(*op);
  std::unique_ptr<TProjectManager> again = NewManager();
  ExpectSameTree(*op, *again->OpenProjectFile(copy, true));
}

// The mapper empties one table (named, or of a class) and leaves every other one as it was; Recreate leaves
// the empty project tables only, and creates the file when it is missing. Each reaches the file at once.
TEST_F(ProjectManagerTest, TheMapperEmptiesOneTableOrRecreatesTheWholeFile) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "tables.kvd");
  mapper_->SetFileName(file);
  auto count = [&](const std::string& table) { return Rows(file, layer_, table).size(); };
  const size_t blocs = count("Blocs"), elements = count("Elements"), elementOps = count("ElementOps");
  ASSERT_GT(elements, 0u);
  ASSERT_GT(blocs, 0u);
  mapper_->EmptyTableOfClass(TElement::StaticClass());
  EXPECT_EQ(count("Elements"), 0u);
  EXPECT_EQ(count("ElementOps"), elementOps);
  EXPECT_EQ(count("Blocs"), blocs);
  EXPECT_EQ(Bytes(file).find("Testeinrichtung"), std::string::npos);  // an element's name: gone from the file
  EXPECT_NE(Bytes(file).find("Ausgang"), std::string::npos);          // a block's name: kept
  mapper_->EmptyTable("blocs");
  EXPECT_EQ(count("Blocs"), 0u);
  EXPECT_EQ(count("ElementOps"), elementOps);
  EXPECT_EQ(Bytes(file).find("Ausgang"), std::string::npos);

  mapper_->Recreate();
  for (const TXMLTableDef& def : XMLTableDefs()) EXPECT_EQ(count(def.Name), 0u) << def.Name;
  EXPECT_EQ(manager_->ValidateProjectFile(file), nullptr);
  EXPECT_EQ(ReadProjects(file, layer_)->GetCount(), 0);

  const std::string missing = File("missing.kvd");
  mapper_->SetFileName(missing);
  std::filesystem::remove(missing);
  mapper_->Recreate();
  EXPECT_TRUE(std::filesystem::exists(missing));
  EXPECT_EQ(manager_->ValidateProjectFile(missing), nullptr);
}

TEST_F(ProjectManagerTest, TheProjectFileTypeIsRegisteredForTheDesktop) {
  const char* previous = std::getenv("XDG_DATA_HOME");
  const std::string saved = previous ? previous : "";
  ::setenv("XDG_DATA_HOME", (store_.Folder() + "/data").c_str(), 1);
  EXPECT_FALSE(manager_->IsFileTypeRegistered());
  manager_->RegisterFileType();
  EXPECT_TRUE(manager_->IsFileTypeRegistered());
  const std::string entry = Bytes(DesktopEntryFileName(ProjectProgID()));
  EXPECT_NE(entry.find(ProgramFilePath()), std::string::npos) << entry;
  if (previous) ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
  else ::unsetenv("XDG_DATA_HOME");
}

TEST(ProjectSchema, ListsEveryTableWithItsColumnsAndAllowsTheirNamesOnRows) {
  TtiXMLParseResult r = tiXMLParseFile(ProgramFolder() + cProjectSchemaFileName);
  ASSERT_NE(r.Doc, nullptr) << r.Error.Reason;
  std::map<std::string, std::vector<std::string>> enumerations;  // simple type -> values
  std::vector<std::string> rowAttributes;
  const auto attr = [](xmlNode* n, const char* name) { return tiXMLAttrText(xmlHasProp(n, tiXMLChars(name))); };
  for (xmlNode* t = xmlDocGetRootElement(r.Doc.get())->children; t; t = t->next) {
    if (t->type != XML_ELEMENT_NODE) continue;
    const std::string kind = tiXMLChars(t->name);
    const std::string name = attr(t, "name");
    if (kind == "simpleType")
      for (xmlNode* c = t->children; c; c = c->next)
        for (xmlNode* e = c->type == XML_ELEMENT_NODE ? c->children : nullptr; e; e = e->next)
          if (e->type == XML_ELEMENT_NODE) enumerations[name].push_back(attr(e, "value"));
    if (kind == "complexType" && name == "Row")
      for (xmlNode* a = t->children; a; a = a->next)
        if (a->type == XML_ELEMENT_NODE) rowAttributes.push_back(attr(a, "name"));
  }
  std::vector<std::string> tables;
  std::set<std::string> all;
  for (const TXMLTableDef& def : XMLTableDefs()) {
    SCOPED_TRACE(def.Name);
    tables.push_back(LowerName(def.Name));
    std::vector<std::string> columns;
    for (const TXMLColumn& c : def.Columns) {
      columns.push_back(LowerName(std::string(c.Name)));
      all.insert(columns.back());
    }
    EXPECT_EQ(enumerations[def.Name + "Column"], columns);
  }
  EXPECT_EQ(enumerations["TableName"], tables);
  EXPECT_EQ(std::set<std::string>(rowAttributes.begin(), rowAttributes.end()), all);
  EXPECT_EQ(rowAttributes.size(), all.size());
}


// Another process saves a project over the file and is killed at a random moment of the save, many times:
// each time the file is the old one byte for byte, or the new one complete.
// Has the saver program (kv_pf_saver ARGS) save and kills it after `delay` (not at all when negative); the time
// the save took.
std::chrono::microseconds RunSaver(const std::vector<std::string>& args, std::chrono::microseconds delay) {
  PeerProcess saver(args, "kv_pf_saver");
  EXPECT_TRUE(saver.Started());
  EXPECT_EQ(saver.ReadLine(), "ready");
  const auto start = std::chrono::steady_clock::now();
  saver.CloseInput();
  if (delay.count() >= 0) {
    std::this_thread::sleep_for(delay);
    saver.Kill(SIGKILL);
  } else {
    EXPECT_EQ(saver.ReadLine(), "saved");
  }
  saver.Wait();
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
}

TEST_F(ProjectManagerTest, ASaveKilledAtAnyMomentLeavesTheOldOrTheNewFile) {
  using std::chrono::microseconds;
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "crash.kvd");
  const std::string old = Bytes(file);
  constexpr int kAdded = 40;
  const auto run = [&](microseconds delay) { return RunSaver({file, std::to_string(kAdded)}, delay); };
  const auto expectNew = [&] {
    EXPECT_EQ(manager_->ValidateProjectFile(file), nullptr);
    std::unique_ptr<TProjectManager> reader = NewManager();
    TProjectOp* op = reader->OpenProjectFile(file, true);
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(op->GetProject()->GetName(), "Variante B");
    EXPECT_EQ(op->GetSFOpList()->GetCount(), 1 + kAdded);
  };
  const microseconds took = run(microseconds(-1));
  expectNew();
  const std::string saved = Bytes(file);

  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<long> delays(0, took.count() * 6 / 5);
  int olds = 0, news = 0;
  for (int round = 0; round < 50; ++round) {
    tiStringToFile(old, file);
    const microseconds delay(delays(random));
    run(delay);
    const std::string now = Bytes(file);
    if (now == old) {
      ++olds;
    } else {
      SCOPED_TRACE("round " + std::to_string(round) + ", killed after " + std::to_string(delay.count()) + " us");
      ++news;
      EXPECT_EQ(now.size() > old.size(), true);
      expectNew();
    }
  }
  EXPECT_GT(olds, 0);
  EXPECT_GT(news, 0);
  RecordProperty("old", olds);
  RecordProperty("new", news);
  EXPECT_GT(saved.size(), old.size());
}


// A save under a new name, an export into a new file and a rescue copy, killed at random moments: the new file
// is complete or not there (never an empty store or one without the project).
TEST_F(ProjectManagerTest, ANewFileKilledWhileSavedIsCompleteOrAbsent) {
  using std::chrono::microseconds;
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "source.kvd");
  constexpr int kAdded = 40;
  struct TWay {
    std::vector<std::string> Args;
    std::string Target;
  };
  const std::vector<TWay> ways = {{{"as", File("as.kvd")}, File("as.kvd")},
                                  {{"export", File("export.kvd")}, File("export.kvd")},
                                  {{"rescue"}, file + ".rescue"}};
  for (const TWay& way : ways) {
    SCOPED_TRACE(way.Args[0]);
    std::vector<std::string> args{file, std::to_string(kAdded)};
    args.insert(args.end(), way.Args.begin(), way.Args.end());
    const auto run = [&](microseconds delay) { return RunSaver(args, delay); };
    const auto expectComplete = [&] {
      // A rescue copy's name does not end in ".kvd": opened under one that does.
      const std::string copy = File("check.kvd");
      std::filesystem::copy_file(way.Target, copy, std::filesystem::copy_options::overwrite_existing);
      std::unique_ptr<TProjectManager> reader = NewManager();
      TProjectOp* op = reader->OpenProjectFile(copy, true);
      ASSERT_NE(op, nullptr);
      EXPECT_EQ(op->GetProject()->GetName(), "Variante B");
      EXPECT_EQ(op->GetSFOpList()->CountNotDeleted(), f.Root->GetSFOpList()->CountNotDeleted() + kAdded);
    };
    const microseconds took = run(microseconds(-1));
    expectComplete();
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> delays(0, took.count() * 6 / 5);
    int absent = 0, complete = 0;
    for (int round = 0; round < 25; ++round) {
      std::filesystem::remove(way.Target);
      const microseconds delay(delays(random));
      run(delay);
      SCOPED_TRACE("round " + std::to_string(round) + ", killed after " + std::to_string(delay.count()) + " us");
      if (!std::filesystem::exists(way.Target)) {
        ++absent;
        continue;
      }
      ++complete;
      expectComplete();
    }
    EXPECT_GT(absent, 0);
    RecordProperty(way.Args[0] + "_absent", absent);
    RecordProperty(way.Args[0] + "_complete", complete);
    // What a killed save leaves is hidden, named after the file.
    for (const std::string& name : Names(store_.Folder()))
      EXPECT_TRUE(name[0] == '.' || name.find(".kvd") != std::string::npos) << name;
    std::filesystem::remove(way.Target);
  }
}

TEST_F(ProjectManagerTest, AFolderFIFOOrDeviceIsRefusedAsNoRegularFile) {
  TFullProject f = BuildFullProject();
  const std::string folder = File("folder.kvd");
  const std::string fifo = File("fifo.kvd");
  const std::string device = File("device.kvd");
  std::filesystem::create_directory(folder);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/null", device.c_str()), 0);
  TSFOpList target;
  for (const std::string& name : {folder, fifo, device}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(IOErrorOf([&] { manager_->OpenProjectFile(name, true); }),
              std::make_pair(msgNotARegularFile, std::vector<std::string>{name}));
    EXPECT_EQ(IOErrorOf([&] { manager_->ImportFromFile(target, name); }),
              std::make_pair(msgNotARegularFile, std::vector<std::string>{name}));
    f.Root->GetProject()->SetFileName(name);
    EXPECT_EQ(IOErrorOf([&] { manager_->SaveProject(*f.Root); }),
              std::make_pair(msgNotARegularFile, std::vector<std::string>{name}));
  }
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
  // A bare name (the template's way of being looked for) is refused alike, not taken for a missing template.
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(store_.Folder());
  const auto bare = IOErrorOf([&] { manager_->OpenProjectFile("folder.kvd", true); });
  std::filesystem::current_path(before);
  EXPECT_EQ(bare, std::make_pair(msgNotARegularFile, std::vector<std::string>{"folder.kvd"}));
}

// Root may write any file, and a rename needs only the folder: the owner's "read-only" is kept all the same.
TEST_F(ProjectManagerTest, AFileItsOwnerMadeReadOnlyIsNotReplaced) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "readonly.kvd");
  const std::string bytes = Bytes(file);
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  f.Root->GetProject()->SetAuthor("geändert");
  EXPECT_EQ(IOErrorOf([&] { manager_->SaveProject(*f.Root); }),
            std::make_pair(msgFileReadOnly, std::vector<std::string>{file}));
  EXPECT_EQ(IOErrorOf([&] { manager_->SaveObjectToFile(*f.SF, file); }),
            std::make_pair(msgFileReadOnly, std::vector<std::string>{file}));
  EXPECT_EQ(Bytes(file), bytes);
  EXPECT_EQ(StatOf(file).st_mode & 07777, 0444u);

  // A user without privileges, owner of the file and of a folder they may write.
  if (::geteuid() != 0) SKIP_OUTSIDE_CI("only root can hand a file to another user");
  constexpr uid_t kNobody = 65534;
  const std::string mine = File("nobody");
  std::filesystem::create_directory(mine);
  const std::string theirs = mine + "/theirs.kvd";
  std::filesystem::copy_file(file, theirs);
  ASSERT_EQ(::chown(mine.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chown(theirs.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(theirs.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(store_.Folder().c_str(), 0755), 0);
  f.Root->GetProject()->SetFileName(theirs);
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(60);
    int rc = 1;
    try {
      if (::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) manager_->SaveProject(*f.Root);
    } catch (const EIOError& e) {
      rc = e.MsgNumber() == msgFileReadOnly ? 0 : 2;
    } catch (...) {
      rc = 3;
    }
    ::_exit(rc);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Bytes(theirs), bytes);
  EXPECT_EQ(Names(mine), std::vector<std::string>{"theirs.kvd"});
}

TEST_F(ProjectManagerTest, ASaveThroughASymbolicLinkWritesItsTargetAndKeepsTheLink) {
  TFullProject f = BuildFullProject();
  std::filesystem::create_directory(File("real"));
  const std::string target = SaveFull(f, "real/target.kvd");
  const std::string link = File("link.kvd");
  ASSERT_EQ(::symlink("real/target.kvd", link.c_str()), 0);
  TProjectOp* op = OpenFresh(link);
  ASSERT_NE(op, nullptr);
  op->GetProject()->SetAuthor("über den Link");
  other_->SaveProject(*op);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(op->GetProject()->GetFileName(), link);
  EXPECT_EQ(NewManager()->OpenProjectFile(target, true)->GetProject()->GetAuthor(), "über den Link");

  // Save as to a link whose target is not there yet: the target is made, the link stays.
  const std::string ahead = File("ahead.kvd");
  ASSERT_EQ(::symlink((File("real") + "/later.kvd").c_str(), ahead.c_str()), 0);
  op->GetProject()->SetFileName(ahead);
  other_->SaveProject(*op);
  EXPECT_TRUE(std::filesystem::is_symlink(ahead));
  EXPECT_EQ(NewManager()->OpenProjectFile(File("real") + "/later.kvd", true)->GetProject()->GetAuthor(),
            "über den Link");
}

// Two programs save one project file: the second does not silently destroy the first one's work.
TEST_F(ProjectManagerTest, ASaveOverAFileAnotherProgramChangedAsksAndByDefaultRefuses) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "shared.kvd");
  TProjectOp* mine = OpenFresh(file);
  ASSERT_NE(mine, nullptr);
  // Saving what this program has read or saved, again and again, needs no question.
  other_->SaveProject(*mine);
  other_->SaveProject(*mine);

  PeerProcess saver({file, "1"}, "kv_pf_saver");
  ASSERT_TRUE(saver.Started());
  EXPECT_EQ(saver.ReadLine(), "ready");
  saver.CloseInput();
  EXPECT_EQ(saver.ReadLine(), "saved");
  saver.Wait();
  const std::string theirs = Bytes(file);

  mine->GetProject()->SetAuthor("meine Änderung");
  EXPECT_EQ(IOErrorOf([&] { other_->SaveProject(*mine); }),
            std::make_pair(msgFileChangedOnDisk, std::vector<std::string>{file}));
  EXPECT_EQ(Bytes(file), theirs);
  std::vector<std::string> asked;
  other_->SetOnFileChanged([&](const std::string& name) {
    asked.push_back(name);
    return false;
  });
  EXPECT_THROW(other_->SaveProject(*mine), EIOError);
  EXPECT_EQ(asked, std::vector<std::string>{file});
  EXPECT_EQ(Bytes(file), theirs);
  // Saved under another name, the work is kept; the other file keeps the other program's.
  mine->GetProject()->SetFileName(File("mine.kvd"));
  other_->SaveProject(*mine);
  EXPECT_EQ(Bytes(file), theirs);
  // The user may choose to overwrite.
  mine->GetProject()->SetFileName(file);
  other_->SetOnFileChanged([&](const std::string&) { return true; });
  other_->SaveProject(*mine);
  EXPECT_EQ(NewManager()->OpenProjectFile(file, true)->GetProject()->GetAuthor(), "meine Änderung");
}

// What another program sees of a save: the new file is on disk before it takes the file's name, and its name
// after that; and a change another program makes after the save's first check, up to that rename, is not
// overwritten but refused as a change on disk. Seen in a real saver by kv_sync_spy.so, which records its
// flushes and renames and stops it once the new file is flushed.
TEST_F(ProjectManagerTest, ASaveIsOnDiskBeforeItsRenameAndRefusesAChangeUpToIt) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "spied.kvd");
  const std::string folder = std::filesystem::canonical(store_.Folder()).string();
  const std::string log = ::testing::TempDir() + "kv_sync_spy_" + std::to_string(::getpid()) + ".log";
  std::filesystem::remove(log);
  const auto spied = [&](bool stop) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    // (Loaded first, the spy comes before the sanitizer's runtime.)
    std::vector<std::string> env = {"LD_PRELOAD=" + ProgramFolder() + "kv_sync_spy.so", "KV_SYNC_SPY_FOLDER=" + folder,
                                    "KV_SYNC_SPY_LOG=" + log,
                                    std::string("ASAN_OPTIONS=") + (asan ? asan + std::string(":") : "") +
                                        "verify_asan_link_order=0"};
    if (stop) env.push_back("KV_SYNC_SPY_STOP=1");
    return std::make_unique<PeerProcess>(std::vector<std::string>{file, "1"}, "kv_pf_saver", env);
  };

  std::unique_ptr<PeerProcess> saver = spied(false);
  ASSERT_EQ(saver->ReadLine(), "ready");
  saver->CloseInput();
  ASSERT_EQ(saver->ReadLine(), "saved");
  saver->Wait();
  std::vector<std::string> steps;
  std::istringstream lines(Bytes(log));
  for (std::string line; std::getline(lines, line);) steps.push_back(line);
  const std::string target = folder + "/spied.kvd";
  const auto at = [&](const std::function<bool(const std::string&)>& is) {
    return std::find_if(steps.begin(), steps.end(), is) - steps.begin();
  };
  const auto rename = at([&](const std::string& s) {
    return s.rfind("rename " + folder + "/.spied.kvd.", 0) == 0 && s.size() > target.size() &&
           s.compare(s.size() - target.size() - 1, std::string::npos, " " + target) == 0;
  });
  ASSERT_LT(rename, std::ssize(steps)) << Bytes(log);
  const std::string temporary = steps[rename].substr(7, steps[rename].size() - 8 - target.size());
  const auto flushed = [&](const std::string& path) {
    return [&, path](const std::string& s) { return s == "fsync " + path || s == "fdatasync " + path; };
  };
  EXPECT_LT(at(flushed(temporary)), rename) << Bytes(log);
  EXPECT_EQ(std::find_if(steps.begin() + rename, steps.end(), flushed(folder)) == steps.end(), false) << Bytes(log);

  // Stopped with its new file complete: another program changes the file (in place, without any lock).
  saver = spied(true);
  ASSERT_EQ(saver->ReadLine(), "ready");
  saver->CloseInput();
  ASSERT_TRUE(saver->WaitStopped());
  std::ofstream(file, std::ios::app) << "<!-- another program's change -->\n";
  const std::string changed = Bytes(file);
  saver->Kill(SIGCONT);
  const std::string result = saver->ReadLine();
  EXPECT_EQ(result.rfind("error " + std::to_string(msgFileChangedOnDisk) + ": ", 0), 0u) << result;
  saver->Wait();
  EXPECT_TRUE(Bytes(file) == changed);
  for (const std::string& name : Names(store_.Folder())) EXPECT_NE(name[0], '.') << name;
  std::filesystem::remove(log);
}

// Two programs that save one project at the same moment: the check that the file is unchanged holds until the
// new file is in place, so one of them saves and the other is refused as changed on disk, whatever the timing.
TEST_F(ProjectManagerTest, TwoProgramsSavingOneFileAtOnceNeverBothSucceed) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "both.kvd");
  const std::string original = Bytes(file);
  const int counts[2] = {300, 301};  // each saver's file told apart by its number of safety functions
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    tiStringToFile(original, file);
    std::vector<std::unique_ptr<PeerProcess>> savers;
    for (int count : counts) savers.push_back(std::make_unique<PeerProcess>(
                                  std::vector<std::string>{file, std::to_string(count)}, "kv_pf_saver"));
    for (auto& saver : savers) ASSERT_EQ(saver->ReadLine(), "ready");
    for (auto& saver : savers) saver->CloseInput();
    std::vector<std::string> results;
    for (auto& saver : savers) {
      results.push_back(saver->ReadLine());
      saver->Wait();
    }
    const int winner = results[0] == "saved" ? 0 : 1;
    EXPECT_EQ(results[winner], "saved");
    EXPECT_EQ(results[1 - winner].rfind("error " + std::to_string(msgFileChangedOnDisk) + ": ", 0), 0u)
        << results[1 - winner];
    TProjectOp* op = OpenFresh(file);
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(op->GetSFOpList()->CountNotDeleted(), f.Root->GetSFOpList()->CountNotDeleted() + counts[winner]);
  }
}

// The check is the project's own: it follows the file the project was read from or saved to, whatever
// address the project has in memory.
TEST_F(ProjectManagerTest, TheUnchangedCheckBelongsToTheProjectAndItsFile) {
  TFullProject f = BuildFullProject();
  const std::string fileA = SaveFull(f, "a.kvd");
  const std::string fileB = SaveFull(f, "b.kvd");
  int asked = 0;
  manager_->SetOnFileChanged([&](const std::string&) {
    ++asked;
    return false;
  });
  // "Save as" onto another existing file is the user's choice, not a change on disk.
  TProjectOp* a = manager_->OpenProjectFile(fileA, true);
  ASSERT_NE(a, nullptr);
  a->GetProject()->SetFileName(fileB);
  manager_->SaveProject(*a);
  EXPECT_EQ(asked, 0);
  // A project closed, and a new one saved over the file the closed one had read, which another program has
  // changed since: the new project (made where the closed one was in memory) never read it and asks nothing.
  TProjectOp* closed = manager_->OpenProjectFile(fileA, true);
  ASSERT_NE(closed, nullptr);
  manager_->GetOpenProjects().Remove(closed);
  tiStringToFile(Bytes(fileA) + "\n", fileA);
  TProjectOp* fresh = manager_->NewProject();
  fresh->GetProject()->SetFileName(fileA);
  manager_->SaveProject(*fresh);
  EXPECT_EQ(asked, 0);
  // Its own file changed by another program since it saved it: asked.
  tiStringToFile(Bytes(fileA) + "\n", fileA);
  EXPECT_EQ(IOErrorOf([&] { manager_->SaveProject(*fresh); }),
            std::make_pair(msgFileChangedOnDisk, std::vector<std::string>{fileA}));
  EXPECT_EQ(asked, 1);
}

// A project file with a second name (a hard link): a rename would give the new project to one name only.
TEST_F(ProjectManagerTest, AFileWithSeveralNamesIsRefusedNamingItsLinkCount) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "linked.kvd");
  const std::string other = File("other-name.kvd");
  ASSERT_EQ(::link(file.c_str(), other.c_str()), 0);
  const std::string bytes = Bytes(file);
  f.Root->GetProject()->SetAuthor("geändert");
  EXPECT_EQ(IOErrorOf([&] { manager_->SaveProject(*f.Root); }),
            std::make_pair(msgFileHardLinked, std::vector<std::string>{file, "2"}));
  EXPECT_TRUE(Bytes(file) == bytes);
  EXPECT_EQ(StatOf(file).st_ino, StatOf(other).st_ino);
}

// Root saves a user's project: the file stays the user's, who can go on saving it.
TEST_F(ProjectManagerTest, AFileSavedByRootKeepsItsOwnerGroupAndMode) {
  if (::geteuid() != 0) SKIP_OUTSIDE_CI("needs root to save a file another user owns");
  constexpr uid_t kNobody = 65534;
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "users.kvd");
  ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  f.Root->GetProject()->SetAuthor("von root gespeichert");
  manager_->SaveProject(*f.Root);
  const struct stat st = StatOf(file);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kNobody);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(OpenFresh(file)->GetProject()->GetAuthor(), "von root gespeichert");
}

// A team keeps its projects in a folder of its group (set-group-ID, 2775), each file writable by the group. A
// member saves a colleague's file: it passes to them, and everyone who could write it still can (the owner
// through the group, someone outside the team through the ACL). Where the owner would be left with less, or
// the group could not be kept, the save is refused naming who would lose what, and the file stays as it was.
TEST_F(ProjectManagerTest, ATeamMemberSavesAColleaguesFileAndNobodyLosesARight) {
  if (::geteuid() != 0) SKIP_OUTSIDE_CI("needs root to make the users of a team");
  TTeamUsers team;
  if (!team.Made()) SKIP_OUTSIDE_CI("groupadd and useradd could not make the users of a team");
  const TTestUser& anna = team.A();
  const TTestUser& ben = team.B();
  TFullProject f = BuildFullProject();
  const std::string folder = File("team");
  std::filesystem::create_directory(folder);
  ASSERT_EQ(::chown(folder.c_str(), anna.Uid, team.Team()), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 02775), 0);
  ASSERT_EQ(::chmod(store_.Folder().c_str(), 0755), 0);
  // A project file of Anna's.
  const auto annas = [&](const std::string& name, gid_t group, const std::string& acl, mode_t mode = 0664) {
    f.Root->GetProject()->SetFileName(folder + "/" + name);
    manager_->SaveProject(*f.Root);
    const std::string file = f.Root->GetProject()->GetFileName();
    EXPECT_EQ(::chown(file.c_str(), anna.Uid, group), 0);
    EXPECT_EQ(::chmod(file.c_str(), mode), 0);
    EXPECT_TRUE(SetAcl(file, acl));
    return file;
  };
  // Opened by the user, signed with their name and saved: "saved", or the error's number and arguments.
  const auto saveAs = [&](const TTestUser& user, const std::string& file) {
    return AsUser(user, [&] {
      try {
        TProjectOp* op = OpenFresh(file);
        op->GetProject()->SetAuthor(user.Name);
        other_->SaveProject(*op);
        return std::string("saved");
      } catch (const EKelvado& e) {
        std::string text = std::to_string(e.MsgNumber());
        for (const FmtArg& a : e.MsgArgs()) text += " | " + a.AsString();
        return text;
      }
    });
  };

  // Set-group-ID, as some team set-ups have it.
  const std::string shared = annas("shared.kvd", team.Team(), "u:nobody:rw-", 02664);
  const std::string acl = AclOf(shared);
  EXPECT_EQ(saveAs(ben, shared), "saved");
  struct stat st = StatOf(shared);
  EXPECT_EQ(st.st_uid, ben.Uid);
  EXPECT_EQ(st.st_gid, team.Team());
  EXPECT_EQ(st.st_mode & 07777, 02664u);
  EXPECT_EQ(AclOf(shared), acl);
  EXPECT_EQ(OpenFresh(shared)->GetProject()->GetAuthor(), ben.Name);
  EXPECT_EQ(saveAs(anna, shared), "saved");
  EXPECT_EQ(StatOf(shared).st_uid, anna.Uid);
  EXPECT_EQ(AclOf(shared), acl);

  // Ben may write through an ACL entry of his own; Anna's group has only read: she would lose writing.
  const std::string readOnlyGroup = annas("read-only-group.kvd", team.Team(), "g::r--,u:" + ben.Name + ":rw-");
  const std::string bytes = Bytes(readOnlyGroup);
  EXPECT_EQ(saveAs(ben, readOnlyGroup), std::to_string(msgSaveTakesRights) + " | " + readOnlyGroup + " | " +
                                            anna.Name + " | " + ben.Name + " | " + anna.Name + " | r-- | rw-");
  // Anna's own group, which Ben is not in.
  const std::string ownGroup = annas("own-group.kvd", anna.Gid, "u:" + ben.Name + ":rw-");
  EXPECT_EQ(saveAs(ben, ownGroup),
            std::to_string(msgSaveLosesGroup) + " | " + ownGroup + " | " + anna.Name + " | " + ben.Name);
  // Set-user-ID: passed to Ben, it would act as Ben.
  const std::string setUid = annas("set-uid.kvd", team.Team(), "u:nobody:rw-", 04664);
  EXPECT_EQ(saveAs(ben, setUid), std::to_string(msgSaveLosesSetIdBits) + " | " + setUid + " | " + ben.Name);
  EXPECT_EQ(Bytes(readOnlyGroup), bytes);
  EXPECT_EQ(StatOf(ownGroup).st_uid, anna.Uid);
  EXPECT_EQ(Names(folder),
            (std::vector<std::string>{"own-group.kvd", "read-only-group.kvd", "set-uid.kvd", "shared.kvd"}));
}

TEST_F(ProjectManagerTest, ProjectFilesWithNamesUpToTheLimitSaveAgainAndAgain) {
  TFullProject f = BuildFullProject();
  for (size_t length : {size_t(247), size_t(248), size_t(251), size_t(255)}) {
    SCOPED_TRACE(length);
    const std::string name = std::string(length - 4, 'p') + ".kvd";
    const std::string file = SaveFull(f, name);
    manager_->SaveProject(*f.Root);
    TProjectOp* op = OpenFresh(file);
    ASSERT_NE(op, nullptr);
    other_->SaveProject(*op);
    ExpectSameTree(*f.Root, *OpenFresh(file));
    std::filesystem::remove(file);
  }
}

// The example project shipped with the program was written by it and is in the current form: opened and saved
// again it gives the same bytes.
TEST_F(ProjectManagerTest, TheShippedExampleProjectSavesToItsOwnBytes) {
  // The columns computed for the file's readers come from the general database, as when it was written.
  auto db = std::make_unique<TPersistenceDB_FB>(ProgramFolder() + "db/KELVADO_GEN_DE.FDB");
  db->Connect();
  SetPersistenceDB(std::move(db));
  const std::string shipped = Bytes(KELVADO_EXAMPLE_PROJECT);
  ASSERT_FALSE(shipped.empty());
  const std::string file = File("example.kvd");
  std::ofstream(file, std::ios::binary) << shipped;
  EXPECT_EQ(manager_->ValidateProjectFile(file), nullptr);
  TProjectOp* op = manager_->OpenProjectFile(file, true);
  ASSERT_NE(op, nullptr);
  EXPECT_FALSE(op->GetDirty());
  manager_->SaveProject(*op);
  EXPECT_EQ(Bytes(file), shipped);
}

// A subsystem's MTTFd is kept as entered and cut to the cap only when computed; a data object belongs to one
// node, and a file in which two rows name one is refused naming table, row and column.
TEST_F(ProjectManagerTest, AnMTTFdAboveTheCapIsKeptAndADataObjectNamedTwiceIsRefused) {
  TFullProject f = BuildFullProject();
  f.Sub->GetComponent()->SetMTTFd(150.0);
  const std::string file = SaveFull(f, "cap.kvd");
  EXPECT_EQ(RowOf(file, layer_, "Components", OIDOf(f.Sub->GetComponent())).at("mttfd"), "150");
  auto& read = dynamic_cast<TComponentOp&>(*OpenFresh(file)->FindByOIDAsString(OIDOf(f.Sub)));
  EXPECT_EQ(read.GetComponent()->GetMTTFdOrgValue(), 150.0);
  EXPECT_EQ(read.GetComponent()->GetMTTFd(), 100.0);

  const std::string saved = Bytes(file);
  int copies = 0;
  for (const auto& [table, column] : {std::pair<std::string, std::string>{"ComponentOps", "Component"},
                                      {"ChannelOps", "Channel"},
                                      {"BlocOps", "Bloc"},
                                      {"ElementOps", "Element"},
                                      {"DCMeasureOps", "DCMeasure"}}) {
    SCOPED_TRACE(table);
    const std::string copy = File("twice" + std::to_string(++copies) + ".kvd");
    std::ofstream(copy, std::ios::binary) << saved;
    Connect(copy, layer_);
    const std::vector<TRow> rows = Rows(copy, layer_, table);
    const std::string taken = rows.at(0).at(LowerName(column));
    SetCell(copy, layer_, table, rows.at(1).at("oid"), column, taken);
    EXPECT_EQ(KelvadoErrorOf([&] { OpenFresh(copy); }),
              std::make_pair(msgXMLReferencedTwice,
                             std::vector<std::string>{copy, LowerName(table), "2", column, taken}));
  }
}

// Characters an XML 1.0 file cannot hold are refused when saving, naming table and column, and the file keeps
// its content; line breaks in names read back as they were.
TEST_F(ProjectManagerTest, ControlCharactersInNamesAreRefusedLineBreaksKept) {
  TFullProject f = BuildFullProject();
  const std::string file = SaveFull(f, "names.kvd");
  const std::string bytes = Bytes(file);
  TElement& element = *f.Element->GetElement();
  // Also in a name of plain ASCII, which is written without the full check of its characters.
  for (const std::string& name : {std::string("Schütz\vK1"), std::string("Schütz\x1b[1mK1"),
                                  std::string("Relais\vK1"), std::string("Relais\x1b[1mK1")}) {
    element.SetName(name);
    try {
      manager_->SaveProject(*f.Root);
      ADD_FAILURE() << "saved";
    } catch (const std::exception& e) {
      const std::string text = LowerName(e.what());
      EXPECT_NE(text.find("<elements>"), std::string::npos) << text;
      EXPECT_NE(text.find("<name>"), std::string::npos) << text;
    }
    EXPECT_EQ(Bytes(file), bytes);
  }
  element.SetName("Schütz\nK1");
  f.C2->GetBlocOpList()->Items(0)->GetElementOpList()->Items(0)->GetElement()->SetName("Taster\r\nS1");
  manager_->SaveProject(*f.Root);
  TProjectOp* read = OpenFresh(file);
  ExpectSameTree(*f.Root, *read);
  EXPECT_EQ(dynamic_cast<TElementOp&>(*read->FindByOIDAsString(OIDOf(f.Element))).GetElement()->GetName(),
            "Schütz\nK1");
}

// The shipped example project with a node that lost its data object, or with a data row no node names, is
// refused naming file, table, row and column: opened, the element would count as fault-excluded (a better PFH)
// and the safety function would lose its PLr.
TEST_F(ProjectManagerTest, TheExampleWithoutADataObjectOrWithAnUnnamedRowIsRefused) {
  const std::string shipped = Bytes(KELVADO_EXAMPLE_PROJECT);
  ASSERT_FALSE(shipped.empty());
  int copies = 0;
  const auto copy = [&] {
    const std::string file = File("example" + std::to_string(++copies) + ".kvd");
    std::ofstream(file, std::ios::binary) << shipped;
    Connect(file, layer_);
    return file;
  };
  const auto lowered = [](std::vector<std::string> v) {
    for (std::string& s : v) s = LowerName(s);
    return v;
  };
  // The data objects of nodes; and nodes that name no owner, which an exported list has at its top but a
  // project file must not (the project's next save would drop them).
  for (const auto& [table, column, target] :
       {std::tuple<std::string, std::string, std::string>{"ElementOps", "Element", "Elements"},
        {"SFOps", "SF", "SFs"},
        {"ComponentOps", "Component", "Components"},
        {"ChannelOps", "Channel", "Channels"},
        {"BlocOps", "Bloc", "Blocs"},
        {"ProjectOps", "Project", "Projects"},
        {"ElementOps", "BlocOp", "BlocOps"},
        {"ComponentOps", "SFOp", "SFOps"}}) {
    SCOPED_TRACE(table);
    const std::string file = copy();
    SetCell(file, layer_, table, Rows(file, layer_, table).at(0).at("oid"), column, "");
    const auto [n, args] = KelvadoErrorOf([&] { OpenFresh(file); });
    EXPECT_EQ(n, msgXMLDanglingReference);
    EXPECT_EQ(lowered(args), lowered({file, table, "1", column, "", target}));
    EXPECT_EQ(other_->GetOpenProjects().GetCount(), 0);
  }
  {  // A value the model refuses keeps the setter's error and gets its place.
    const std::string file = copy();
    const std::string element = Rows(file, layer_, "Elements").at(0).at("oid");
    SetCell(file, layer_, "Elements", element, "DC", "1.5");
    try {
      OpenFresh(file);
      ADD_FAILURE() << "opened";
    } catch (const EInvalidValue& e) {
      EXPECT_EQ(e.MsgNumber(), msgDCOutOfRange);
      const std::string place = "File <" + file + ">, table <Elements>, row <" + element + ">, column <DC>: ";
      EXPECT_EQ(std::string(e.what()).rfind(place, 0), 0u) << e.what();
    }
  }
  {  // A DC-measure node that no element or block of the project chose.
    TFullProject f = BuildFullProject();
    const std::string full = SaveFull(f, "measure.kvd");
    const std::string measure = OIDOf(f.Element->GetElement()->GetDCMeasureOp());
    SetCell(full, layer_, "Elements", OIDOf(f.Element->GetElement()), "DCMeasureOp", "");
    const std::vector<TRow> rows = Rows(full, layer_, "DCMeasureOps");
    const auto at = std::find_if(rows.begin(), rows.end(), [&](const TRow& r) { return r.at("oid") == measure; });
    const std::string row = std::to_string(at - rows.begin() + 1);
    const auto [n, args] = KelvadoErrorOf([&] { OpenFresh(full); });
    EXPECT_EQ(n, msgXMLUnnamedRow);
    EXPECT_EQ(lowered(args), lowered({full, "DCMeasureOps", row, "OID", measure, "Elements, Blocs", "DCMeasureOp"}));
    // An exported list of items has them at its top and imports as before.
    const std::string exported = File("exported.xml");
    manager_->SaveObjectToFile(*f.Element, exported);
    TElementOpList elements;
    manager_->ImportFromFile(elements, exported);
    EXPECT_EQ(elements.GetCount(), 1);
  }
  const std::string file = copy();
  InsertTextRow(file, layer_, "SFs", {{"OID", "{AN-UNNAMED-SF}"}, {"Name", "Verwaist"}, {"IsProtected", "0"}});
  const std::string row = std::to_string(Rows(file, layer_, "SFs").size());
  const auto [n, args] = KelvadoErrorOf([&] { OpenFresh(file); });
  EXPECT_EQ(n, msgXMLUnnamedRow);
  EXPECT_EQ(lowered(args), lowered({file, "SFs", row, "OID", "{AN-UNNAMED-SF}", "SFOps", "SF"}));
}

}  // namespace
}  // namespace kelvado::testing

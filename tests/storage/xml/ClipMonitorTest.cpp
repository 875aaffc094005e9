// Copy, cut and paste through the clipboard monitor: every item class round-trips, pasted items are new, and
// whatever the clipboard holds that is not a readable document of ours is refused before the target changes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "bench/BenchProject.h"
#include "framework/tiPerManager.h"
#include "framework/tiQueryXMLLight.h"
#include "model/GlobalsConfig.h"
#include "platform/Clipboard.h"
#include "platform/Process.h"
#include "storage/xml/ClipMonitor.h"
#include "tests/storage/xml/FileProjectStores.h"
#include "tests/storage/xml/ProjectFileTestEnv.h"
#include "tests/support/ClipFingerprint.h"
#include "tests/support/MemoryBound.h"
#include "tests/support/PeerProcess.h"

namespace kelvado::testing {

namespace {

class ClipMonitorTest : public ProjectFileTest<TXMLLightProjectStore> {
protected:
  void SetUp() override {
    ProjectFileTest::SetUp();
    // The list captions name what a refused paste met and what the target takes.
    WriteNumberedLang({3, 4, 21, 22, 25, 26, 27, 111, 112, 113, 114, 115}, 3400);
    cbFile_ = dir_ + "/clip/cb.xml";
    RegWriteString("xml", "cbfilename", cbFile_);
    ResetConfig();
    ClipMonitorShutdown();
    SetClipboard(std::make_unique<TMemoryClipboard>());
  }
  void TearDown() override {
    ClipMonitorShutdown();
    SetClipboard(nullptr);
    ProjectFileTest::TearDown();
  }

  // The monitor, watching, counting its change events.
  TClipMonitor& Monitor() {
    TClipMonitor& m = GetClipMonitor();
    if (!m.GetOnKVDDataChange()) {
      m.SetOnKVDDataChange([this](TClipMonitor&) { ++changes_; });
      m.SetClipChangeStatus(true);
    }
    return m;
  }
  TClipFormat Format() { return Clipboard().RegisterFormat(cClipFormatKVD); }
  // Puts `text` on the clipboard in the private format, as another instance would.
  void PutDocument(const std::string& text) { Clipboard().SetData(Format(), text); }

  // The EIOError a paste into `target` raises (its number and arguments); the target's tree is unchanged.
  std::pair<int, std::vector<std::string>> PasteRefused(TtiObject& target, TtiObject& root) {
    const std::string before = root.DebugText(false, true);
    auto result = IOErrorOf([&] { Monitor().PasteFromClipboard(target); });
    EXPECT_EQ(root.DebugText(false, true), before);
    return result;
  }

  std::string cbFile_;
  int changes_ = 0;
};

std::set<std::string> OIDsOf(TtiObject& root) {
  std::set<std::string> oids;
  for (TtiObject* o : StoredObjects(root)) oids.insert(OIDOf(o));
  return oids;
}

// The pasted item equals the original, and every object of it is new: an identifier of its own, to be written
// with its project.
void ExpectNewCopy(TtiObject& original, TtiObject& pasted) {
  // Copies are never write-protected (a copy of a library item may be changed).
  const std::unique_ptr<TtiObject> expected = original.Clone();
  EXPECT_TRUE(pasted.Equals(*expected)) << "original:\n"
                                         << expected->AsDebugString() << "\npasted:\n"
                                         << pasted.AsDebugString();
  const std::set<std::string> a = OIDsOf(original);
  for (TtiObject* o : StoredObjects(pasted)) {
    EXPECT_EQ(a.count(OIDOf(o)), 0u) << o->ClassName() << " kept its identifier";
    EXPECT_EQ(o->GetObjectState(), posCreate) << o->ClassName();
  }
}

std::unique_ptr<TSFOp> NewSFOp() {
  auto sf = std::make_unique<TSFOp>();
  sf->SetSF(std::make_unique<TSF>());
  return sf;
}

}  // namespace

TEST_F(ClipMonitorTest, CopyAndPasteRoundTripEveryItemClass) {
  TFullProject f = BuildFullProject();
  TClipMonitor& m = Monitor();
  struct TCase {
    TtiObject* Item;
    TtiObject* Target;
    uint8_t Kind;
  };
  TProjectOpList projects;
  auto sfTarget = NewSFOp();
  const std::vector<TCase> cases{{f.Root.get(), &projects, ckProject},
                                 {f.SF, f.Root.get(), ckSF},
                                 {f.Sub, sfTarget.get(), ckComponent},
                                 {f.Bloc, f.C2, ckBloc},
                                 {f.Element, f.Bloc, ckElement}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Item->ClassName());
    const int changes = changes_;
    m.CopyToClipboard(*c.Item);
    EXPECT_GT(changes_, changes);
    EXPECT_EQ(m.ContentKind(), c.Kind);
    EXPECT_EQ(m.ContentClass(), &c.Item->Class());
    EXPECT_EQ(m.GetFormatName(), cClipFormatKVD);
    EXPECT_EQ(m.AcceptedPasteClass(c.Target), &c.Item->Class());
    // The store's file holds what the clipboard holds.
    EXPECT_EQ(tiFileToString(cbFile_), *Clipboard().GetData(Format()));

    TtiObjectList& list = *(dynamic_cast<TtiObjectList*>(c.Target) ? dynamic_cast<TtiObjectList*>(c.Target)
                                                                    : static_cast<TNodeInner*>(c.Target)->GetList());
    const int before = list.GetCount();
    m.PasteFromClipboard(*c.Target);
    m.PasteFromClipboard(*c.Target);
    ASSERT_EQ(list.GetCount(), before + 2);
    TtiObject& first = *list.GetItems(before);
    TtiObject& second = *list.GetItems(before + 1);
    ExpectNewCopy(*c.Item, first);
    ExpectNewCopy(*c.Item, second);
    for (const std::string& oid : OIDsOf(first)) EXPECT_EQ(OIDsOf(second).count(oid), 0u);
    if (!dynamic_cast<TtiObjectList*>(c.Target)) {
      EXPECT_EQ(first.GetOwner(), c.Target);
    }
  }
  // A copied project leaves its file name behind.
  f.Root->GetProject()->SetFileName("/projekte/presse.kvd");
  m.CopyToClipboard(*f.Root);
  m.PasteFromClipboard(projects);
  EXPECT_EQ(projects.Items(2)->GetProject()->GetFileName(), "");
  // The test channel stays paired in the copy.
  auto& pastedSub = *sfTarget->GetComponentOpList()->Items(0);
  TChannelOpList& channels = *pastedSub.GetChannelOpList();
  ASSERT_EQ(channels.GetCount(), 3);
  EXPECT_EQ(channels.Items(0)->GetTestChannelOp(), channels.Items(2));
  EXPECT_EQ(channels.Items(1)->GetTestChannelOp(), channels.Items(2));
  // Infinite values stay infinite (an infinite mission time pasted as 0 would change the PL).
  const auto& bloc = *f.C2->GetBlocOpList()->Items(1);
  EXPECT_EQ(bloc.GetBloc()->GetMissionTime(), kInfinity);
  EXPECT_EQ(bloc.GetElementOpList()->Items(1)->GetElement()->GetMissionTime(), kInfinity);
  EXPECT_EQ(bloc.GetElementOpList()->Items(1)->GetElement()->GetMTTFd(), kInfinity);
}

TEST_F(ClipMonitorTest, MeasureOccurrencesAreCopiedAndReadBack) {
  TFullProject f = BuildFullProject();
  TClipMonitor& m = Monitor();
  const auto readBack = [&](TtiObjectList& list) {
    tiPerMgr().ConnectDatabase(m.GetFileName(), "zilk", "zilk", "", cTIPersistCB);
    ReadXML(list, m.GetFileName(), cTIPersistCB);
    tiPerMgr().DisconnectDatabase(m.GetFileName(), cTIPersistCB);
  };
  TtiObject& ccf = *f.Sub->GetComponent()->GetCCFMeasureOps()->Items(0);
  m.CopyToClipboard(ccf);
  EXPECT_EQ(m.ContentKind(), ckCCFMeasure);
  TCCFMeasureOpList ccfs;
  readBack(ccfs);
  ASSERT_EQ(ccfs.GetCount(), 1);
  EXPECT_TRUE(ccfs.Items(0)->Equals(ccf));

  TtiObject& dc = *f.Element->GetElement()->GetDCMeasureOp();
  m.CopyToClipboard(dc);
  EXPECT_EQ(m.ContentKind(), ckDCMeasure);
  TDCMeasureOpList dcs;
  readBack(dcs);
  ASSERT_EQ(dcs.GetCount(), 1);
  EXPECT_TRUE(dcs.Items(0)->Equals(dc));
  // No node takes them.
  EXPECT_EQ(m.AcceptedPasteClass(f.Sub), nullptr);
}

TEST_F(ClipMonitorTest, CutRoundTripsEveryItemClass) {
  TClipMonitor& m = Monitor();
  // Each class cut from a project of its own: what is cut is marked deleted, what is pasted is what it was.
  // No node takes measure occurrences: they are cut and classified only.
  for (uint8_t kind : {ckProject, ckSF, ckComponent, ckBloc, ckElement, ckCCFMeasure, ckDCMeasure}) {
    TFullProject f = BuildFullProject();
    TProjectOpList projects;
    auto sf = NewSFOp();
    const std::pair<TtiObject*, TtiObject*> cases[] = {
        {f.Root.get(), &projects},
        {f.SF, f.Root.get()},
        {f.Sub, sf.get()},
        {nullptr, nullptr},
        {f.Bloc, f.C2},
        {f.Element, f.Bloc},
        {f.Sub->GetComponent()->GetCCFMeasureOps()->Items(0), nullptr},
        {f.Element->GetElement()->GetDCMeasureOp(), nullptr}};
    const auto [cut, target] = cases[kind];
    SCOPED_TRACE(cut->ClassName());
    const std::unique_ptr<TtiObject> before = cut->Clone();
    m.CutToClipboard(*cut);
    EXPECT_TRUE(cut->GetDeleted());
    EXPECT_EQ(m.ContentKind(), kind);
    if (!target) continue;
    m.PasteFromClipboard(*target);
    auto* into = dynamic_cast<TtiObjectList*>(target);
    if (!into) into = static_cast<TNodeInner*>(target)->GetList();
    ExpectNewCopy(*before, *into->GetItems(into->GetCount() - 1));
  }
}

TEST_F(ClipMonitorTest, CutLeavesDeletedPartsOutAndTargetsTakeOnlyTheirItems) {
  TFullProject f = BuildFullProject();
  TClipMonitor& m = Monitor();
  m.CutToClipboard(*f.Bloc);
  EXPECT_TRUE(f.Bloc->GetDeleted());
  m.PasteFromClipboard(*f.C2);
  TBlocOp& pasted = *f.C2->GetBlocOpList()->Items(1);
  EXPECT_FALSE(pasted.GetDeleted());
  // The deleted element stayed behind.
  EXPECT_EQ(pasted.GetElementOpList()->GetCount(), 2);

  // An element takes nothing: nothing happens.
  const std::string before = f.Root->DebugText(false, true);
  m.PasteFromClipboard(*f.Element);
  EXPECT_EQ(f.Root->DebugText(false, true), before);
  EXPECT_EQ(m.NewPasteList(f.Element), nullptr);
  // A safety function takes subsystems, not blocks.
  const auto [n, args] = PasteRefused(*f.SF, *f.Root);
  EXPECT_EQ(n, msgClipWrongTarget);
  EXPECT_EQ(args, (std::vector<std::string>{"T22", "T25"}));
}

TEST_F(ClipMonitorTest, RefusesWhatIsNotAReadableDocumentOfOurs) {
  TFullProject f = BuildFullProject();
  TClipMonitor& m = Monitor();
  m.CopyToClipboard(*f.Sub);
  const std::string doc = *Clipboard().GetData(Format());
  auto target = NewSFOp();
  TSFOp& sf = *target;
  const auto replaced = [&](const std::string& what, const std::string& with) {
    const size_t at = doc.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    return doc.substr(0, at) + with + doc.substr(at + what.size());
  };
  const std::string start = tiXMLTags().DocumentStart();
  const std::string end = tiXMLTags().DocumentEnd();

  // Another program's text only; nothing at all; a document without items.
  Clipboard().SetData(cfText, "Hallo");
  EXPECT_EQ(PasteRefused(sf, sf).first, msgClipNoItems);
  EXPECT_EQ(m.GetFormatName(), "unknown");
  EXPECT_EQ(m.ContentKind(), ckNone);
  EXPECT_FALSE(m.GetKVDDataAvailable());
  Clipboard().Clear();
  auto cleared = PasteRefused(sf, sf);
  EXPECT_EQ(cleared.first, msgClipNoItems) << (cleared.second.empty() ? "" : cleared.second[0]);
  std::string noRows = doc;
  for (size_t at = noRows.find("<rows>"); at != std::string::npos; at = noRows.find("<rows>", at + 1))
    noRows.erase(at + 6, noRows.find("</rows>", at) - at - 6);
  PutDocument(noRows);
  EXPECT_EQ(PasteRefused(sf, sf).first, msgClipNoItems);

  struct TCase {
    const char* Name;
    std::string Text;
    std::string Reason;  // part of the reason given
  };
  std::string bomb = start + "<table table_name=\"x\"><fields>";
  for (int i = 0; i < 3000; ++i) bomb += "<field field_name=\"c" + std::to_string(i) + "\" field_kind=\"string\" field_Size=\"1\"/>";
  bomb += "</fields><rows>";
  for (int i = 0; i < 3000; ++i) bomb += "<row />";
  bomb += "</rows></table>" + end;
  const std::vector<TCase> cases{
      {"cut short", doc.substr(0, doc.size() / 2), "no complete document"},
      {"not a document", "\x01\x02garbage", "no complete document"},
      {"cut short and closed", doc.substr(0, doc.find("<row ", doc.size() / 2) + 20) + end, "Error parsing XML at position"},
      {"unknown attribute", replaced("<row ", "<row colour=\"red\" "), "attribute <colour> names no column"},
      {"unknown table", replaced("<tables>", "<tables><table table_name=\"notes\"><fields><field field_name=\"OID\" "
                                             "field_kind=\"string\" field_Size=\"36\"/></fields><rows></rows></table>"),
       "notes"},
      {"unknown category", replaced("cat=\"cat2\"", "cat=\"cat9\""), "Components"},
      {"no tables", start + end, "ProjectOps"},  // the missing table, named
      {"a DC the model refuses", replaced("dc=\"0.95\"", "dc=\"1.5\""), "table <Blocs>, row <"},
      {"the column of that DC", replaced("dc=\"0.95\"", "dc=\"1.5\""), "column <DC>: "},
      {"invalid UTF-8", replaced("KSR-17", "KS\xff\xfe-17"), "0xFF"},
      {"too many values", bomb, "more values than its size can describe"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    PutDocument(c.Text);
    const auto [n, args] = PasteRefused(sf, sf);
    EXPECT_EQ(n, msgClipUnreadable) << (args.empty() ? "" : args[0]);
    ASSERT_EQ(args.size(), 1u);
    EXPECT_NE(args[0].find(c.Reason), std::string::npos) << args[0];
    // The reason alone: a clipboard has no database, user or password to show.
    EXPECT_EQ(args[0].find("Password"), std::string::npos) << args[0];
  }
  EXPECT_EQ(sf.GetComponentOpList()->GetCount(), 0);

  // Bytes after the document's end (a clipboard block padded to its size) are no part of it.
  PutDocument(doc + std::string(3, '\0') + "trailing");
  m.PasteFromClipboard(sf);
  ASSERT_EQ(sf.GetComponentOpList()->GetCount(), 1);
  ExpectNewCopy(*f.Sub, *sf.GetComponentOpList()->Items(0));
}

// A copy of several megabytes pastes whole: what the clipboard's tables may take is what the process may take,
// not a figure of the reader's own. A process that may take less refuses the paste, naming the limit, and the
// target stays as it was.
TEST_F(ClipMonitorTest, ACopyOfSeveralMegabytesPastesWithinWhatTheProcessMayTake) {
  const std::unique_ptr<TProjectOp> big = bench::BuildBenchProject(
      60, [](int sf, int, int, int bl, int el) { return 100.0 + sf + bl * 10 + el; },
      [](int, int, int, int bl, int) { return bl % 2 ? 0.9 : 0.6; });
  TClipMonitor& m = Monitor();
  m.CopyToClipboard(*big);
  const size_t size = Clipboard().GetData(Format())->size();
  ASSERT_GT(size, size_t(4) << 20);
  TProjectOpList projects;
  m.PasteFromClipboard(projects);
  ASSERT_EQ(projects.GetCount(), 1);
  ExpectNewCopy(*big, *projects.Items(0));

  if (!AddressSpaceLimitsWork()) return;
  const std::string refused = RunWithinMemory(size * 2, [&]() -> std::string {
    TProjectOpList target;
    try {
      m.PasteFromClipboard(target);
    } catch (const EIOError& e) {
      if (target.GetCount() != 0) return "target changed";
      return std::to_string(e.MsgNumber()) + " " + e.MsgArgs().at(0).AsString();
    }
    return "pasted";
  });
  EXPECT_EQ(refused.rfind(std::to_string(msgClipUnreadable) + " ", 0), 0u) << refused;
  EXPECT_NE(refused.find("MiB of memory that the address-space limit of this process leaves"), std::string::npos)
      << refused;
}

TEST_F(ClipMonitorTest, AFailedCopyLeavesTheClipboardAsItWas) {
  TFullProject f = BuildFullProject();
  TClipMonitor& m = Monitor();
  Clipboard().SetData(cfText, "vorher");
  // A name no document can carry makes the store refuse the row, in the middle of the copy.
  f.Element->GetElement()->SetName("Schütz \x01");
  const auto [n, args] = IOErrorOf([&] { m.CopyToClipboard(*f.Sub); });
  EXPECT_EQ(n, msgClipCopyFailed);
  EXPECT_EQ(Clipboard().GetData(cfText), std::optional<std::string>("vorher"));
  EXPECT_FALSE(Clipboard().HasFormat(Format()));
  EXPECT_EQ(m.ContentKind(), ckNone);
  // The monitor works on.
  f.Element->GetElement()->SetName("Schütz K1");
  m.CopyToClipboard(*f.Sub);
  EXPECT_EQ(m.ContentKind(), ckComponent);
}

TEST_F(ClipMonitorTest, ACopyThatCannotWriteItsStoreNamesTheFileAlone) {
  TFullProject f = BuildFullProject();
  TClipMonitor& m = Monitor();
  std::filesystem::remove(cbFile_);
  std::filesystem::create_directory(cbFile_);
  const auto [n, args] = IOErrorOf([&] { m.CopyToClipboard(*f.Sub); });
  EXPECT_EQ(n, msgClipCopyFailed);
  ASSERT_EQ(args.size(), 1u);
  EXPECT_EQ(args[0], "Can not write the file <" + cbFile_ + ">: it is no regular file");
}

// A clipboard file that cannot be read tells why when a paste finds nothing in it; one that is a FIFO is not
// waited on.
TEST_F(ClipMonitorTest, AnUnreadableClipboardFileIsReportedWithItsReason) {
  const std::string board = dir_ + "/board";
  SetClipboard(std::make_unique<TFileClipboard>(board));
  TFullProject f = BuildFullProject();
  TClipMonitor& m = Monitor();
  m.CopyToClipboard(*f.Sub);
  auto target = NewSFOp();
  std::ofstream(board, std::ios::binary | std::ios::trunc) << "KELVADO clipboard 1\nCF_KELVADO\n99\nbroken";
  auto [n, args] = PasteRefused(*target, *target);
  EXPECT_EQ(n, msgClipUnreadable);
  ASSERT_EQ(args.size(), 1u);
  EXPECT_NE(args[0].find("The clipboard file \"" + board + "\" is damaged"), std::string::npos) << args[0];

  std::filesystem::remove(board);
  ASSERT_EQ(::mkfifo(board.c_str(), 0600), 0);
  std::tie(n, args) = PasteRefused(*target, *target);
  EXPECT_EQ(n, msgClipUnreadable);
  ASSERT_EQ(args.size(), 1u);
  EXPECT_EQ(args[0], "Can not read the file <" + board + ">: it is no regular file");
  EXPECT_EQ(target->GetComponentOpList()->GetCount(), 0);
}

TEST_F(ClipMonitorTest, TheScratchStoreIsTheUsersNotTheProgramsFolder) {
  // The default's bare name.
  RegWriteString("xml", "cbfilename", "cb.xml");
  ResetConfig();
  ClipMonitorShutdown();
  const std::string expected = std::string(std::getenv("XDG_DATA_HOME")) + "/kelvado/cb.xml";
  EXPECT_EQ(GetClipMonitor().GetFileName(), expected);
  EXPECT_TRUE(std::filesystem::exists(expected));
  EXPECT_FALSE(std::filesystem::exists(ProgramFolder() + "cb.xml"));
}

TEST_F(ClipMonitorTest, FollowsTheClipboardWhileWatching) {
  TFullProject f = BuildFullProject();
  TClipMonitor& m = Monitor();
  EXPECT_TRUE(m.GetClipChangeStatus());
  m.CopyToClipboard(*f.Element);
  const std::string doc = *Clipboard().GetData(Format());
  // Another writer: the monitor reads and classifies at once.
  int changes = changes_;
  Clipboard().SetData(cfText, "Hallo");
  EXPECT_EQ(m.ContentKind(), ckNone);
  EXPECT_GT(changes_, changes);
  PutDocument(doc);
  EXPECT_EQ(m.ContentKind(), ckElement);
  EXPECT_EQ(m.GetKVDData(), doc);

  // Not watching: nothing is seen until the monitor looks.
  m.SetClipChangeStatus(false);
  EXPECT_FALSE(m.GetClipChangeStatus());
  changes = changes_;
  Clipboard().SetData(cfText, "Hallo");
  EXPECT_EQ(changes_, changes);
  EXPECT_EQ(m.ContentKind(), ckElement);
  m.CheckClipboard();
  EXPECT_EQ(m.ContentKind(), ckNone);
  // Turning watching on looks once, and only when something changed.
  PutDocument(doc);
  changes = changes_;
  m.SetClipChangeStatus(true);
  EXPECT_EQ(m.ContentKind(), ckElement);
  EXPECT_EQ(changes_, changes + 1);
  m.SetClipChangeStatus(true);
  EXPECT_EQ(changes_, changes + 1);
}

TEST_F(ClipMonitorTest, PasteBetweenTwoProcessesThroughAFileClipboard) {
  const std::string board = dir_ + "/board";
  SetClipboard(std::make_unique<TFileClipboard>(board));
  TFullProject f = BuildFullProject();
  TClipMonitor& m = Monitor();
  m.CopyToClipboard(*f.Sub);

  // The other process pastes the subsystem and copies its pasted copy back.
  PeerProcess peer({"--home", dir_ + "/peer", "--lang", langPath_, "--board", board, "paste-subsystem", "copy-pasted"},
                   "kv_clip_peer");
  ASSERT_TRUE(peer.Started());
  peer.CloseInput();
  EXPECT_EQ(peer.ReadLine(), "ok paste-subsystem: " + ClipFingerprint(*f.Sub->Clone()));
  EXPECT_EQ(peer.ReadLine(), "ok copy-pasted");
  EXPECT_EQ(peer.Wait(), 0);

  auto sf = NewSFOp();
  m.PasteFromClipboard(*sf);
  ASSERT_EQ(sf->GetComponentOpList()->GetCount(), 1);
  ExpectNewCopy(*f.Sub, *sf->GetComponentOpList()->Items(0));
}

TEST_F(ClipMonitorTest, SingletonEndsForGood) {
  TClipMonitor& m = GetClipMonitor();
  EXPECT_EQ(&GetClipMonitor(), &m);
  EXPECT_EQ(m.GetLayerName(), "CB");
  EXPECT_EQ(m.GetFileName(), cbFile_);
  EXPECT_TRUE(std::filesystem::exists(cbFile_));
  EXPECT_FALSE(ClipMonitorIsShutdown());
  // The end of the program is tried in a process of its own: it cannot be undone.
  const PeerRun run = RunPeer({"--home", dir_ + "/peer", "shutdown"}, "kv_clip_peer");
  EXPECT_EQ(run.out, "ok shutdown: ClipMonitor is Shutdown!\n");
  EXPECT_EQ(run.end, "exit 0");
}

}  // namespace kelvado::testing

#include "framework/tiVisitor.h"

#include <gtest/gtest.h>

#include <thread>

#include "framework/tiLog.h"
#include "framework/tiObject.h"
#include "tests/framework/tiTestModel.h"

using namespace kelvado;
using namespace kelvado::testmodel;

namespace {

// Records "caption@depth" of every visited object.
class TVisRecord : public TtiVisitor {
public:
  TI_CLASS(TVisRecord)
  void Execute(TtiVisited* v) override {
    TtiVisitor::Execute(v);
    if (!AcceptVisitor()) return;
    trail.push_back(v->GetCaption() + "@" + std::to_string(GetDepth()));
    if (!stopAt.empty() && v->GetCaption() == stopAt) SetContinueVisiting(false);
  }
  std::vector<std::string> trail;
  std::string stopAt;
};

// Builds: root(data "d", items "a" "b", child node "c" with item "c1").
std::unique_ptr<TNode> MakeTree() {
  auto root = std::make_unique<TNode>();
  root->SetName("root");
  root->SetData(MakeItem("d"));
  root->Children().Add(MakeItem("a"));
  root->Children().Add(MakeItem("b"));
  auto c = std::make_unique<TNode>();
  c->Children().Add(MakeItem("c1"));
  root->AddChildNode(std::move(c));
  return root;
}

// ---- a scripted group: every hook call goes to a shared log ----
std::vector<std::string>* gLog = nullptr;
std::string gFailIn;  // "BeforeExecute:A", "AfterExecute:B", "Visit"

void Note(const std::string& s) {
  if (gLog) gLog->push_back(s);
  if (s == gFailIn) throw EtiPerException("failed in " + s);
}

class TCtrlA : public TtiVisitorCtrlr {
public:
  TI_CLASS(TCtrlA)
  void BeforeExecute(const TtiVisitors& v) override { Note("BeforeExecute:A" + Count(v)); }
  void BeforeVisit(TtiVisitor&) override { Note("BeforeVisit:A"); }
  void AfterVisit(TtiVisitor&) override { Note("AfterVisit:A"); }
  void AfterExecute(const TtiVisitors& v) override { Note("AfterExecute:A" + Count(v)); }
  void AfterExecuteError(const TtiVisitors& v) override { Note("AfterExecuteError:A" + Count(v)); }
  static std::string Count(const TtiVisitors& v) { return v.size() == 1 ? "" : "x" + std::to_string(v.size()); }
};
class TCtrlB : public TCtrlA {
public:
  TI_CLASS(TCtrlB)
  void BeforeExecute(const TtiVisitors& v) override { Note("BeforeExecute:B" + Count(v)); }
  void BeforeVisit(TtiVisitor&) override { Note("BeforeVisit:B"); }
  void AfterVisit(TtiVisitor&) override { Note("AfterVisit:B"); }
  void AfterExecute(const TtiVisitors& v) override { Note("AfterExecute:B" + Count(v)); }
  void AfterExecuteError(const TtiVisitors& v) override { Note("AfterExecuteError:B" + Count(v)); }
};
class TVisA : public TtiVisitor {
public:
  TI_CLASS(TVisA)
  const TtiClass& VisitorControllerClass() const override { return TCtrlA::StaticClass(); }
  void Execute(TtiVisited* v) override {
    TtiVisitor::Execute(v);
    Note(std::string("VisA:") + (v ? v->GetCaption() : "nil"));
    if (v) Note("Visit");
  }
};
class TVisB : public TVisA {
public:
  TI_CLASS(TVisB)
  const TtiClass& VisitorControllerClass() const override { return TCtrlB::StaticClass(); }
  void Execute(TtiVisited* v) override {
    TtiVisitor::Execute(v);
    Note(std::string("VisB:") + (v ? v->GetCaption() : "nil"));
  }
};

class TVisNames : public TtiVisitor {
public:
  TI_CLASS(TVisNames)
  void Execute(TtiVisited* v) override {
    TtiVisitor::Execute(v);
    names = GetVisitorController()->GetDatabaseName() + "|" + GetVisitorController()->GetPerLayerName();
  }
  static inline std::string names;
};

}  // namespace

const TtiClass& TVisNames::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisNames, TtiVisitor>(), "TVisNames");
  return c;
}
const TtiClass& TVisRecord::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisRecord, TtiVisitor>(), "TVisRecord");
  return c;
}
const TtiClass& TCtrlA::StaticClass() {
  static const TtiClass c(TtiClass::Of<TCtrlA, TtiVisitorCtrlr>(), "TCtrlA");
  return c;
}
const TtiClass& TCtrlB::StaticClass() {
  static const TtiClass c(TtiClass::Of<TCtrlB, TCtrlA>(), "TCtrlB");
  return c;
}
const TtiClass& TVisA::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisA, TtiVisitor>(), "TVisA");
  return c;
}
const TtiClass& TVisB::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisB, TVisA>(), "TVisB");
  return c;
}

// ---- walks ----

TEST(tiVisited, TopDownWalkIsPreOrderInPropertyAndListOrder) {
  auto root = MakeTree();
  TVisRecord v;
  root->Iterate(v);
  EXPECT_EQ(v.trail, (std::vector<std::string>{"TNode@1", "d@2", "a@2", "b@2", "TNode@2", "c1@3"}));
  EXPECT_EQ(v.GetDepth(), 0);
  EXPECT_EQ(v.GetWalkParent(), nullptr);

  TVisRecord stop;
  stop.stopAt = "a";
  root->Iterate(stop);  // no further descent, no further siblings
  EXPECT_EQ(stop.trail, (std::vector<std::string>{"TNode@1", "d@2", "a@2"}));

  root->SetSelfIterate(false);
  TVisRecord self;
  root->Iterate(self);
  EXPECT_EQ(self.trail, (std::vector<std::string>{"TNode@1"}));
}

TEST(tiVisited, BottomUpRunsChildrenBeforeParentsLaterSiblingsFirst) {
  auto root = MakeTree();
  TVisRecord v;
  root->IterateBottomUp(v);
  EXPECT_EQ(v.trail, (std::vector<std::string>{"c1@3", "TNode@2", "b@2", "a@2", "d@2", "TNode@1"}));

  std::vector<TtiVisited*> found{root.get()};
  root->FindAllByClass(TItem::StaticClass(), found);
  EXPECT_EQ(found.size(), 4u);
  root->FindAllByClass(TNode::StaticClass(), found);
  EXPECT_EQ(found.size(), 2u);
}

TEST(tiVisited, TerminatedFrameworkWalksNothing) {
  auto root = MakeTree();
  tiSetFrameworkTerminated(true);
  TVisRecord v;
  root->Iterate(v);
  TtiVisitorManager m;
  m.RegisterVisitor("G", TVisRecord::StaticClass());
  EXPECT_EQ(m.Execute("G", root.get()), "");
  tiSetFrameworkTerminated(false);
  EXPECT_TRUE(v.trail.empty());
}

TEST(tiVisited, AFailingVisitorLeavesItUsable) {
  struct TBoom : TVisRecord {
    void Execute(TtiVisited* v) override {
      TVisRecord::Execute(v);
      if (trail.size() == 3 && armed) throw EtiPerException("boom");
    }
    bool armed = true;
  };
  auto root = MakeTree();
  TBoom b;
  EXPECT_THROW(root->Iterate(b), EtiPerException);
  b.armed = false;
  b.trail.clear();
  root->Iterate(b);
  EXPECT_EQ(b.trail.size(), 6u);
  EXPECT_EQ(b.GetDepth(), 0);
}

// ---- the manager ----

class tiVisitorManagerTest : public ::testing::Test {
protected:
  void SetUp() override {
    gLog = &log;
    gFailIn.clear();
  }
  void TearDown() override { gLog = nullptr; }
  std::vector<std::string> log;
  TtiVisitorManager mgr;
};

TEST_F(tiVisitorManagerTest, GroupsRunInRegistrationOrderWithSharedControllers) {
  mgr.RegisterVisitor("Task_ReadXML", TVisA::StaticClass());
  mgr.RegisterVisitor<TVisB>("task_readxml");
  mgr.RegisterVisitor("TASK_READXML", TVisA::StaticClass());  // twice: runs twice
  EXPECT_THROW(mgr.RegisterVisitor("X", TNode::StaticClass()), EtiPerProgrammerException);
  struct TUndeclared : TVisA {};  // would register TVisA
  EXPECT_THROW(mgr.RegisterVisitor<TUndeclared>("X"), EtiPerProgrammerException);
  EXPECT_EQ(mgr.MappingCount(), 3u);
  TItem item;
  item.SetName("i");
  gFailIn = "none";
  EXPECT_EQ(mgr.Execute("task_READxml", &item, "db", "XML"), "");
  EXPECT_EQ(log, (std::vector<std::string>{
                     "BeforeExecute:Ax2", "BeforeExecute:B",  //
                     "BeforeVisit:A", "VisA:i", "Visit", "AfterVisit:A",  //
                     "BeforeVisit:B", "VisB:i", "AfterVisit:B",  //
                     "BeforeVisit:A", "VisA:i", "Visit", "AfterVisit:A",  //
                     "AfterExecute:Ax2", "AfterExecute:B"}));
}

TEST_F(tiVisitorManagerTest, EmptyGroupRunsNoHookAndNilVisitsOnce) {
  EXPECT_EQ(mgr.Execute("nothing", nullptr), "");
  EXPECT_TRUE(log.empty());
  mgr.RegisterVisitor("G", TVisB::StaticClass());
  mgr.Execute("g", nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeExecute:B", "BeforeVisit:B", "VisB:nil", "AfterVisit:B",
                                           "AfterExecute:B"}));
}

TEST_F(tiVisitorManagerTest, FailureInAfterExecuteRunsAfterExecuteErrorOnEveryController) {
  mgr.RegisterVisitor("G", TVisA::StaticClass());
  mgr.RegisterVisitor("G", TVisB::StaticClass());
  gFailIn = "AfterExecute:B";
  EXPECT_THROW(mgr.Execute("G", nullptr), EtiPerException);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "AfterExecuteError:A");
  EXPECT_EQ(log.back(), "AfterExecuteError:B");
}

TEST_F(tiVisitorManagerTest, FailureInBeforeExecuteReleasesWhatWasBegun) {
  mgr.RegisterVisitor("G", TVisA::StaticClass());
  mgr.RegisterVisitor("G", TVisB::StaticClass());
  gFailIn = "BeforeExecute:B";
  EXPECT_THROW(mgr.Execute("G", nullptr), EtiPerException);
  // A began (locked, started its transaction) and is released exactly once; B undid its own part; no visitor ran.
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeExecute:A", "BeforeExecute:B", "AfterExecuteError:A"}));
}

TEST_F(tiVisitorManagerTest, UnRaisedFailureBecomesTheResultText) {
  struct Capture : TtiLogToAbs {
    std::vector<std::string>* lines;
    void Log(const std::string&, const std::string&, const std::string& message, TtiLogSeverity sev) override {
      lines->push_back(std::string(tiLogSeverityText(sev)) + " " + message);
    }
  };
  std::vector<std::string> lines;
  auto capture = std::make_unique<Capture>();
  capture->lines = &lines;
  TtiLogToAbs* target = GLog().RegisterLog(std::move(capture));
  const TtiSevToLog sev = GLog().SevToLog();
  GLog().SetSevToLog(sev | tiSevBit(lsVisitor));

  mgr.RegisterVisitor("G", TVisA::StaticClass());
  mgr.SetReRaiseExceptions(false);
  gFailIn = "Visit";
  TItem item;
  EXPECT_EQ(mgr.Execute("G", &item), "failed in Visit");
  EXPECT_EQ(log.back(), "AfterExecuteError:A");
  GLog().UnRegisterLog(target);
  GLog().SetSevToLog(sev);
  // The failure is logged as an error and the run still ends with its closing line.
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "Vis About to process visitors for <G>");
  EXPECT_EQ(lines[lines.size() - 2], "Error failed in Visit");
  EXPECT_EQ(lines.back(), "Vis Finished process visitors for <G>");
}

TEST_F(tiVisitorManagerTest, DefaultNamesAndThreadBookkeeping) {
  mgr.SetDefaultNamesResolver([](std::string& db, std::string& layer) {
    if (db.empty()) db = "default.klb";
    if (layer.empty()) layer = "IBX";
  });
  mgr.RegisterVisitor("N", TVisNames::StaticClass());
  mgr.Execute("N", nullptr);
  EXPECT_EQ(TVisNames::names, "default.klb|IBX");
  mgr.Execute("N", nullptr, "x.kvd", "XML");
  EXPECT_EQ(TVisNames::names, "x.kvd|XML");

  std::thread t([&] { mgr.Execute("N", nullptr); });
  t.join();
  EXPECT_TRUE(mgr.ActiveThreads().empty());
}

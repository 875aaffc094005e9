// Measures and conditions: DC bounds that move each other, the DC of an occurrence kept inside the chosen
// measure's range, refusals with their messages, the report text, and the list searches.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "TextsTestEnv.h"
#include "model/BOM.h"

namespace kelvado {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Holds CCF measure occurrences the way a subsystem does: as its Owner, list published as "CCFMeasureOps".
class TMeasHolder : public TPerObjAbsEx {
public:
  TI_CLASS(TMeasHolder)
  TMeasHolder() : list_(std::make_unique<TCCFMeasureOpList>()) { list_->SetItemOwner(this); }
  TCCFMeasureOpList* GetCCFMeasureOps() const { return list_.get(); }

private:
  std::unique_ptr<TCCFMeasureOpList> list_;
};

}  // namespace

const TtiClass& TMeasHolder::StaticClass() {
  static const TtiClass c(TtiClass::Of<TMeasHolder, TPerObjAbsEx>(), "TMeasHolder",
                          [](TtiPropTableBuilder<TMeasHolder>& b) {
                            b.Object("CCFMeasureOps", &TMeasHolder::GetCCFMeasureOps);
                          });
  return c;
}

namespace {

class BOMMeasures : public testing::TextsTest {
protected:
  void SetUp() override {
    TextsTest::SetUp();
    WriteLang(
        "8=DC-Massnahme\n116=CCF-Text\n117=DC-Text\n349=nicht ausreichend fuer PL\n384=, abhaengig von:\n"
        "1002=Geschuetzt\n1003=Grenze\n1004=DC %s nicht in %s bis %s\n1005=Punkte %s nicht in %s bis %s\n");
    WriteProtectionMode = 0;
  }
  void TearDown() override {
    WriteProtectionMode = 0;
    TextsTest::TearDown();
  }
  static std::unique_ptr<TDCMeasure> Measure(double lo, double hi) {
    auto m = std::make_unique<TDCMeasure>();
    m->SetDCmax(hi);
    m->SetDCmin(lo);
    return m;
  }
  static std::unique_ptr<TCCFMeasureOp> CCFOp(const std::string& heading, double score) {
    auto m = std::make_unique<TCCFMeasure>();
    m->SetHeading(heading);
    m->SetScore(score);
    auto op = std::make_unique<TCCFMeasureOp>();
    op->SetCCFMeasure(std::move(m));
    return op;
  }
};

TEST_F(BOMMeasures, NewDefinitionsAndOccurrencesHaveTheirDefaults) {
  TDCMeasure m;
  EXPECT_EQ(m.GetDCmax(), 0.99);
  EXPECT_EQ(m.GetDCmin(), 0.0);
  EXPECT_TRUE(m.GetInsufficient().Empty());
  EXPECT_EQ(m.GetKVDVersion(), ver1_1_2);
  TDCMeasureOp op;
  EXPECT_EQ(op.GetDC(), 0.0);
  EXPECT_TRUE(op.GetIsSatisfied());
  EXPECT_EQ(op.GetDCMeasure(), nullptr);
  EXPECT_EQ(op.GetCaption(), "DC-Massnahme");
  TCatCondition c;
  EXPECT_EQ(c.GetCCID().size(), 36u);  // what every store's identifier column holds
  EXPECT_TRUE(TCatConditionOp().GetIsSatisfied());
}

TEST_F(BOMMeasures, DCBoundsMoveEachOtherAndRefuseNegatives) {
  TDCMeasure m;
  m.SetDCmin(0.995);  // above DCmax: DCmax follows
  EXPECT_EQ(m.GetDCmax(), 0.995);
  m.SetDCmax(0.5);  // below DCmin: DCmin follows
  EXPECT_EQ(m.GetDCmin(), 0.5);
  try {
    m.SetDCmax(-0.1);
    FAIL();
  } catch (const EInvalidValue& e) {
    EXPECT_EQ(e.MsgNumber(), 1003);
    EXPECT_TRUE(e.MsgArgs().empty());
  }
  EXPECT_THROW(m.SetDCmin(kNaN), EInvalidValue);
  EXPECT_EQ(m.GetDCmin(), 0.5);
  EXPECT_EQ(m.GetDCmax(), 0.5);
}

TEST_F(BOMMeasures, NoDCOrDCBoundAbove100PercentGetsIn) {
  const auto expect1004 = [](auto&& set, const std::string& text) {
    try {
      set();
      ADD_FAILURE() << "accepted: " << text;
    } catch (const EInvalidValue& e) {
      EXPECT_EQ(e.MsgNumber(), 1004);
      EXPECT_EQ(e.Message(), text);
    }
  };
  TDCMeasure m;
  expect1004([&] { m.SetDCmax(1.5); }, "DC 1.5 nicht in 0 bis 1");
  expect1004([&] { m.SetDCmin(1.5); }, "DC 1.5 nicht in 0 bis 1");
  EXPECT_THROW(m.SetDCmax(1e308), EInvalidValue);
  EXPECT_THROW(m.SetDCmax(kInf), EInvalidValue);
  EXPECT_THROW(m.SetDCmin(kInf), EInvalidValue);
  EXPECT_THROW(m.SetPropValue("DCmax", Value(1.0000001)), EInvalidValue);
  EXPECT_EQ(m.GetDCmax(), 0.99);
  EXPECT_EQ(m.GetDCmin(), 0.0);
  m.SetDCmin(1.0);  // 100 % itself is a legal bound
  EXPECT_EQ(m.GetDCmax(), 1.0);

  TDCMeasureOp op;
  op.SetDCMeasure(Measure(0.6, 0.99));
  expect1004([&] { op.SetDCmaxPC(150.0); }, "DC 1.5 nicht in 0 bis 1");
  expect1004([&] { op.SetDCminPC(100.5); }, "DC 1.005 nicht in 0 bis 1");
  expect1004([&] { op.SetDCPC(1e300); }, "DC 1E298 nicht in 0.6 bis 0.99");
  EXPECT_EQ(op.GetDCMeasure()->GetDCmax(), 0.99);
  EXPECT_EQ(op.GetDC(), 0.6);

  TDCMeasureOp bare;  // without a measure the element's range applies
  expect1004([&] { bare.SetDC(1.5); }, "DC 1.5 nicht in 0 bis 1");
  EXPECT_THROW(bare.SetDC(1e308), EInvalidValue);
  EXPECT_THROW(bare.SetDC(kInf), EInvalidValue);
  bare.SetDC(1.0);
  EXPECT_EQ(bare.GetDC(), 1.0);
}

TEST_F(BOMMeasures, ChoosingAMeasureKeepsTheDCInsideItsRange) {
  TDCMeasureOp op;
  op.SetDC(0.99);
  op.SetDCMeasure(Measure(0.6, 0.9));
  EXPECT_EQ(op.GetDC(), 0.6);  // outside: falls back to DCmin
  EXPECT_EQ(op.GetDCMeasure()->GetOwner(), &op);

  op.SetDC(0.9);
  op.SetDCMeasure(Measure(0.6, 0.9));
  EXPECT_EQ(op.GetDC(), 0.9);  // upper bound inclusive

  // Editing the chosen measure's bounds clamps to the nearer bound.
  op.SetDCMeasure(Measure(0.0, 0.99));
  op.SetDC(0.95);
  int changes = 0;
  op.SetOnChange([&](TtiObject* s) {
    EXPECT_EQ(s, &op);
    ++changes;
  });
  op.GetDCMeasure()->SetDCmax(0.9);
  EXPECT_EQ(op.GetDC(), 0.9);
  op.GetDCMeasure()->SetDCmin(0.92);  // DCmax follows to 0.92, DC clamps up to it
  EXPECT_EQ(op.GetDC(), 0.92);
  EXPECT_EQ(changes, 2);

  op.SetDCMeasure(nullptr);
  EXPECT_EQ(op.GetDCMeasure(), nullptr);
  EXPECT_EQ(changes, 3);
}

TEST_F(BOMMeasures, DCOutsideTheRangeOrNegativeIsRefused) {
  TDCMeasureOp op;
  op.SetDCMeasure(Measure(0.6, 0.9));
  try {
    op.SetDC(0.95);
    FAIL();
  } catch (const EInvalidValue& e) {
    EXPECT_EQ(e.MsgNumber(), 1004);
    EXPECT_EQ(e.Message(), "DC 0.95 nicht in 0.6 bis 0.9");
  }
  EXPECT_THROW(op.SetDC(kNaN), EInvalidValue);
  EXPECT_EQ(op.GetDC(), 0.6);

  TDCMeasureOp bare;  // without a measure: any value from 0 to 1
  bare.SetDC(0.5);
  EXPECT_THROW(bare.SetDC(-0.01), EInvalidValue);
  EXPECT_THROW(bare.SetDC(kNaN), EInvalidValue);
  EXPECT_EQ(bare.GetDC(), 0.5);
}

TEST_F(BOMMeasures, PercentViewsDivideByHundredAndRefuseAboveHundred) {
  TDCMeasureOp op;
  op.SetDCMeasure(Measure(0.6, 0.99));
  op.SetDCPC(75.0);
  EXPECT_DOUBLE_EQ(op.GetDC(), 0.75);
  EXPECT_DOUBLE_EQ(op.GetDCPC(), 75.0);
  EXPECT_DOUBLE_EQ(op.GetDCminPC(), 60.0);
  EXPECT_THROW(op.SetDCPC(150.0), EInvalidValue);
  op.SetDCmaxPC(95.0);
  EXPECT_DOUBLE_EQ(op.GetDCMeasure()->GetDCmax(), 0.95);
  EXPECT_THROW(op.SetDCmaxPC(101.0), EInvalidValue);
  EXPECT_THROW(op.SetDCminPC(100.5), EInvalidValue);
  EXPECT_DOUBLE_EQ(op.GetDCMeasure()->GetDCmin(), 0.6);

  TDCMeasureOp bare;
  EXPECT_THROW(bare.SetDCPC(100.1), EInvalidValue);
  bare.SetDCPC(100.0);
  EXPECT_EQ(bare.GetDC(), 1.0);
  EXPECT_EQ(bare.GetDCmaxPC(), 100.0);
  EXPECT_THROW(bare.SetDCminPC(10.0), EtiPerProgrammerException);  // nothing to write to
  EXPECT_EQ(bare.GetDescription(), "<DC-Text>");
}

TEST_F(BOMMeasures, CCFScoreLiesBetweenZeroAndHundred) {
  TCCFMeasure m;
  m.SetScore(100.0);
  try {
    m.SetScore(100.5);
    FAIL();
  } catch (const EInvalidValue& e) {
    EXPECT_EQ(e.MsgNumber(), 1005);
    EXPECT_EQ(e.Message(), "Punkte 100.5 nicht in 0 bis 100");
  }
  EXPECT_THROW(m.SetScore(-1.0), EInvalidValue);
  EXPECT_THROW(m.SetScore(kNaN), EInvalidValue);
  EXPECT_EQ(m.GetScore(), 100.0);
}

TEST_F(BOMMeasures, ProtectedOccurrenceRefusesItsSettersAndAssign) {
  TDCMeasureOp op;
  op.SetDCMeasure(Measure(0.6, 0.9));
  op.SetIsProtected(true);
  op.GetDCMeasure()->SetIsProtected(true);
  EXPECT_THROW(op.SetDC(0.7), EProtectionViolation);
  EXPECT_THROW(op.SetDCMeasure(nullptr), EProtectionViolation);
  EXPECT_THROW(op.SetDCmaxPC(80.0), EProtectionViolation);
  EXPECT_THROW(op.SetDCmaxPC(120.0), EProtectionViolation);  // protection before validation
  EXPECT_THROW(op.GetDCMeasure()->SetHeading("h"), EProtectionViolation);

  TDCMeasureOp other;
  other.SetDCMeasure(Measure(0.2, 0.3));
  other.SetDC(0.25);
  EXPECT_THROW(op.Assign(other), EProtectionViolation);
  EXPECT_EQ(op.GetDC(), 0.6);
  EXPECT_EQ(op.GetDCMeasure()->GetDCmax(), 0.9);
}

TEST_F(BOMMeasures, CloneOfAProtectedOccurrenceIsAnUnprotectedEqualCopy) {
  TDCMeasureOp op;
  auto m = Measure(0.6, 0.9);
  m->SetHeading("H");
  m->SetInsufficient({plD, plE});
  op.SetDCMeasure(std::move(m));
  op.SetDC(0.7);
  op.GetOID().GetNextValue();
  op.SetIsProtected(true);
  op.GetDCMeasure()->SetIsProtected(true);

  std::unique_ptr<TDCMeasureOp> c = op.CloneAs<TDCMeasureOp>();
  EXPECT_TRUE(c->Equals(op));
  EXPECT_FALSE(c->GetIsProtected());
  EXPECT_EQ(c->GetObjectState(), posCreate);
  EXPECT_FALSE(c->GetOID().Equals(op.GetOID()));
  ASSERT_NE(c->GetDCMeasure(), op.GetDCMeasure());
  EXPECT_EQ(c->GetDCMeasure()->GetOwner(), c.get());
  EXPECT_TRUE(op.GetIsProtected());
  c->SetDC(0.8);  // the copy is editable
  EXPECT_FALSE(c->Equals(op));
  c->SetDC(0.7);
  c->GetDCMeasure()->SetInsufficient({plE});
  EXPECT_FALSE(c->Equals(op));
}

TEST_F(BOMMeasures, ConditionsWithTheSameTextButOtherIdentifiersDiffer) {
  TCatCondition a, b;
  a.SetText("t");
  b.SetText("t");
  EXPECT_FALSE(a.Equals(b));
  b.SetCCID(a.GetCCID());
  EXPECT_TRUE(a.Equals(b));
  b.SetNormVersion(ver2006);
  EXPECT_FALSE(a.Equals(b));

  TPLCondition p;
  EXPECT_THROW(p.Assign(a), EtiPerProgrammerException);  // another class
  EXPECT_FALSE(p.Equals(a));
  // A copy is the same condition of the standard's tables: it keeps the identifier.
  TPLCondition q;
  q.SetText("other");
  std::unique_ptr<TPLCondition> c = q.CloneAs<TPLCondition>();
  EXPECT_EQ(c->GetPLCID(), q.GetPLCID());
  EXPECT_TRUE(c->Equals(q));
}

TEST_F(BOMMeasures, ChangesOfTheOwnedDefinitionReachTheOccurrenceAndNotAfterReplacement) {
  TCCFMeasureOp op;
  auto m = std::make_unique<TCCFMeasure>();
  TCCFMeasure* first = m.get();
  op.SetCCFMeasure(std::move(m));
  int changes = 0;
  op.SetOnChange([&](TtiObject*) { ++changes; });
  first->SetScore(15.0);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(op.GetScoreString(), "15");
  EXPECT_EQ(op.GetDescription(), "<CCF-Text>");

  TCatConditionOp cop;
  auto cond = std::make_unique<TCatCondition>();
  TCatCondition* rawCond = cond.get();
  cop.SetCatCondition(std::move(cond));
  EXPECT_EQ(rawCond->GetOwner(), &cop);
  int condChanges = 0;
  cop.SetOnChange([&](TtiObject*) { ++condChanges; });
  rawCond->SetIsProtected(true);
  EXPECT_EQ(condChanges, 1);
  rawCond->SetText("no event");
  EXPECT_EQ(condChanges, 1);
}

TEST_F(BOMMeasures, ReportDescriptionShowsRangeOrSingleValueAndInsufficientPLs) {
  TDCMeasureOp op;
  EXPECT_EQ(op.GetReportDescription(), "");
  auto m = Measure(0.99, 0.99);
  m->SetDescription("Beschreibung");
  m->SetHeading("Kopf");
  op.SetDCMeasure(std::move(m));
  EXPECT_EQ(op.GetReportDescription(), "Beschreibung\r\n(Kopf)\r\n(99 %)");

  op.GetDCMeasure()->SetDCmin(0.6);
  op.GetDCMeasure()->SetDependency("Last");
  op.GetDCMeasure()->SetInsufficient({plE, plC, plForward});
  EXPECT_EQ(op.GetReportDescription(),
            "Beschreibung\r\n(Kopf)\r\n(60 % - 99 %, abhaengig von: Last)\r\n(nicht ausreichend fuer PL: c, e)");
}

TEST_F(BOMMeasures, CCFMeasurePositionCountsDeletedItemsInTheSubsystemsList) {
  TMeasHolder holder;
  TCCFMeasureOpList& list = *holder.GetCCFMeasureOps();
  list.Add(CCFOp("a", 1.0));
  list.Add(CCFOp("b", 2.0));
  list.Add(CCFOp("c", 3.0));
  list.Items(0)->SetDeleted(true);
  EXPECT_EQ(list.Items(2)->GetOwner(), &holder);
  EXPECT_EQ(list.Items(2)->GetComponent<TMeasHolder>(), &holder);
  EXPECT_EQ(list.Items(2)->GetPosition(), 3);
  EXPECT_EQ(list.Items(1)->GetCCFMOrder(), 1.0);
  TCCFMeasureOp loose;
  EXPECT_EQ(loose.GetCCFMOrder(), -1.0);
  EXPECT_EQ(loose.GetPosition(), 0);

  TCCFMeasure probe;
  probe.SetHeading("a");
  probe.SetScore(1.0);
  EXPECT_EQ(list.IndexOfMeasure(&probe), -1);  // only a deleted item matches
  probe.SetHeading("b");
  EXPECT_EQ(list.IndexOfMeasure(&probe), -1);  // heading matches, score does not
  probe.SetScore(2.0);
  EXPECT_EQ(list.IndexOfMeasure(&probe), 1);
}

TEST_F(BOMMeasures, IndexOfConditionMatchesTextOrIdentifier) {
  TCatConditionOpList list;
  auto add = [&](const std::string& text, const std::string& ccid) {
    auto c = std::make_unique<TCatCondition>();
    c->SetText(text);
    c->SetCCID(ccid);
    auto op = std::make_unique<TCatConditionOp>();
    op->SetCatCondition(std::move(c));
    list.Add(std::move(op));
  };
  list.Add(std::make_unique<TCatConditionOp>());  // without a condition: skipped
  add("gone", "{G}");
  add("x", "{X}");
  list.Items(1)->SetDeleted(true);

  TCatCondition probe;
  probe.SetText("gone");
  probe.SetCCID("");
  EXPECT_EQ(list.IndexOfCondition(&probe, false), -1);
  EXPECT_EQ(list.IndexOfCondition(&probe, true), 1);
  probe.SetText("renamed");
  probe.SetCCID("{X}");
  EXPECT_EQ(list.IndexOfCondition(&probe, false), 2);
  EXPECT_EQ(list.IndexOfCondition(nullptr, true), -1);
}

TEST_F(BOMMeasures, PropertyTableReachesTheSetters) {
  TDCMeasure m;
  m.SetPropValue("Insufficient", Value(static_cast<int>((1 << plD) | (1 << plE))));
  EXPECT_TRUE(m.GetInsufficient().Contains(plD));
  EXPECT_FALSE(m.GetInsufficient().Contains(plC));
  EXPECT_THROW(m.SetPropValue("DCmin", Value(-1.0)), EInvalidValue);
  TDCMeasureOp op;
  op.SetPropValue("DCPC", Value(42.0));
  EXPECT_DOUBLE_EQ(op.GetDC(), 0.42);
  EXPECT_FALSE(op.IsReadWriteProp("DCLevelString"));
  // The occurrence's graph holds its definition: deleting the occurrence deletes the measure with it.
  op.SetDCMeasure(Measure(0.0, 0.5));
  op.SetDeleted(true);
  EXPECT_TRUE(op.GetDCMeasure()->GetDeleted());
}

}  // namespace
}  // namespace kelvado

#include <gmock/gmock.h>

#include "CalcTestEnv.h"

namespace kelvado::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class ElementTest : public CalcTest {};

// The message number and arguments of a refusal.
template <class E, class F>
std::pair<int, FmtArgs> Refusal(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return {e.MsgNumber(), e.MsgArgs()};
  }
  ADD_FAILURE() << "nothing was refused";
  return {};
}

TEST_F(ElementTest, SettersRefuseValuesBelowTheLimitsWithTheirNumbersAndKeepTheOldValue) {
  TElement e;
  e.SetMTTFd(3.0);  // the limit itself is taken
  auto [n, args] = Refusal<EInvalidValue>([&] { e.SetMTTFd(2.999); });
  EXPECT_EQ(n, 1007);
  EXPECT_EQ(args.size(), 2u);
  EXPECT_EQ(e.GetMTTFd(), 3.0);

  EXPECT_EQ(Refusal<EInvalidValue>([&] { e.SetB10d(-1.0); }).first, 1006);
  EXPECT_EQ(Refusal<EInvalidValue>([&] { e.SetDC(-0.01); }).first, 1004);
  // A coverage above 100 % would lift an average into a better band.
  e.SetDC(1.0);
  EXPECT_EQ(Refusal<EInvalidValue>([&] { e.SetDC(1.5); }).first, 1004);
  EXPECT_THROW(e.SetDC(kInf), EInvalidValue);
  EXPECT_EQ(e.GetDC(), 1.0);
  for (auto set : {&TElement::SetMTTFd, &TElement::SetB10d, &TElement::SetDC, &TElement::SetMissionTime})
    EXPECT_THROW((e.*set)(std::nan("")), EInvalidValue);
  EXPECT_EQ(Refusal<EInvalidValue>([&] { e.SetDCDet(detUnknown); }).first, 1001);
  EXPECT_EQ(e.GetDCDet(), detDirect);

  // Infinity is legal wherever a value may be large.
  e.SetMTTFd(kInf);
  e.SetB10d(kInf);
  e.SetMissionTime(kInf);
  EXPECT_EQ(e.GetMTTFd(), kInf);

  TElementOp op;
  EXPECT_EQ(op.GetNop(), kInf);
  EXPECT_EQ(op.GetNopString(), "INF");  // not entered; the infinity text is not used here
  EXPECT_EQ(Refusal<EInvalidValue>([&] { op.SetNop(0.0); }).first, 1008);
  EXPECT_THROW(op.SetNop(std::nan("")), EInvalidValue);
  op.SetNop(0.001);
  EXPECT_EQ(op.GetNop(), 0.001);
}

TEST_F(ElementTest, ProtectedElementRefusesChangesButNotTheSameValue) {
  TElement e;
  e.SetIsProtected(true);
  e.SetMTTFd(10.0);  // unchanged: no check
  EXPECT_THROW(e.SetMTTFd(20.0), EProtectionViolation);
  EXPECT_THROW(e.SetDCMeasureOp(std::make_unique<TDCMeasureOp>()), EProtectionViolation);
  EXPECT_EQ(e.GetMTTFd(), 10.0);
}

TEST_F(ElementTest, MTTFdFromB10dAndNop) {
  auto op = Element(10.0);
  op->GetElement()->SetUseB10d(true);
  op->GetElement()->SetB10d(1'000'000.0);
  op->SetNop(20'000.0);
  EXPECT_DOUBLE_EQ(op->GetMTTFdLazy(), 500.0);
  EXPECT_DOUBLE_EQ(op->GetT10d(), 50.0);
  EXPECT_EQ(op->GetMTTFdBandLazy(), mttfHigh);

  // CalcNop: 220 days x 16 h x 3600 s / 6 s per cycle.
  op->CalcNop(220.0, 16.0, 6.0);
  EXPECT_DOUBLE_EQ(op->GetNop(), 2'112'000.0);
  EXPECT_TRUE(TElementOp::CheckNopParams(365, 24, 0));
  EXPECT_FALSE(TElementOp::CheckNopParams(366, 24, 1));
  EXPECT_THROW(op->CalcNop(0.0, 16.0, 6.0), EInvalidValue);  // Nop 0

  // An infinite B10d with Nop not entered gives no number (never NaN in the tree).
  op->GetElement()->SetB10d(kInf);
  op->SetNop(kInf);
  EXPECT_EQ(op->GetMTTFdLazy(), 0.0);
}

TEST_F(ElementTest, TextsRoundAndConvert) {
  auto op = Element(123.456);
  EXPECT_EQ(op->GetMTTFdDirectString(), "123.46");
  op->SetMTTFdDirectString("inF");
  EXPECT_EQ(op->GetElement()->GetMTTFd(), kInf);
  EXPECT_EQ(op->GetMTTFdDirectString(), "FE");
  EXPECT_EQ(op->GetFITDirectString(), "0");

  // FIT round trip: 0.29 FIT reads back as 0.29 (cut to two decimals without noise).
  op->SetFITDirectString("0.29");
  EXPECT_EQ(op->GetFITDirectString(), "0.29");
  op->SetFITDirectString("0");
  EXPECT_EQ(op->GetElement()->GetMTTFd(), kInf);
  EXPECT_THROW(op->SetFITDirectString("abc"), EConvertError);

  op->SetDCDirectString("90");
  EXPECT_DOUBLE_EQ(op->GetElement()->GetDC(), 0.9);
  EXPECT_EQ(op->GetDCDenotationDirectString(), "Medium");
  op->SetNopString("INF");
  EXPECT_EQ(op->GetNop(), kInf);
  EXPECT_EQ(op->GetCaption(), "E");
  op->GetElement()->SetName("");
  EXPECT_EQ(op->GetElementName(), "<T115>");
}

TEST_F(ElementTest, StatusMessagesCarryTheirNumbersAndColours) {
  // Every value fine but no name: yellow 3256.
  auto op = Element(50.0, 0.9, "");
  EXPECT_EQ(op->CheckStatus(nullptr, false), isYellow);
  EXPECT_THAT(Messages(*op), ElementsAre("isYellow=[3256] ||"));

  // A name that holds the placeholder word counts as no name.
  op->GetElement()->SetName("my T115");
  EXPECT_THAT(Messages(*op), ElementsAre("isYellow=[3256] ||"));

  // B10d 0 with Nop not entered: red, with the message that asks for Nop.
  op->GetElement()->SetName("K1");
  op->GetElement()->SetUseB10d(true);
  EXPECT_EQ(op->CheckStatus(nullptr, false), isRed);
  EXPECT_THAT(Messages(*op), ElementsAre("isRed=[3299] ||"));

  // Nop entered: T10d 1e5 / 1e4 = 10 years below the mission time, and MTTFd 100 is fine.
  op->GetElement()->SetB10d(100'000.0);
  op->SetNop(10'000.0);
  op->GetElement()->SetMissionTime(15.0);
  EXPECT_THAT(Messages(*op), ElementsAre("isYellow=[3258] 20|10|", "isYellow=[3259] 20|15|"));

  // Nop entered but the MTTFd from B10d too low: the plain message.
  op->SetNop(1e6);
  EXPECT_THAT(Messages(*op), ::testing::Contains("isRed=[3257] ||"));
}

TEST_F(ElementTest, InsufficientMeasureForThePLrIsRedEvenWithAYellowName) {
  auto sf = std::make_unique<TSFOp>();
  sf->SetSF(std::make_unique<TSF>());
  sf->GetSF()->SetName("SF");
  sf->GetSF()->SetPLrDet(detDirect);
  sf->GetSF()->SetPLrDirect(plE);
  auto comp = Subsystem(cat3);
  auto ch = Channel();
  auto bloc = Bloc();
  auto elem = Element(50.0, 0.0, "");
  elem->GetElement()->SetDCDet(detMeasures);
  auto m = std::make_unique<TDCMeasureOp>();
  auto def = std::make_unique<TDCMeasure>();
  def->SetInsufficient(TPLSet{plD, plE});
  m->SetDCMeasure(std::move(def));
  elem->GetElement()->SetDCMeasureOp(std::move(m));
  TElementOp* e = elem.get();
  TBlocOp* b = bloc.get();
  bloc->GetElementOpList()->Add(std::move(elem));
  ch->GetBlocOpList()->Add(std::move(bloc));
  comp->GetChannelOpList()->Add(std::move(ch));
  comp->GetChannelOpList()->Add(Channel());
  sf->GetComponentOpList()->Add(std::move(comp));

  ASSERT_TRUE(e->IsDCRelevant());
  EXPECT_EQ(e->CheckStatus(nullptr, false), isRed);
  const auto lines = Messages(*e);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("isRed=[3291]"));
  EXPECT_EQ(lines[1], "isYellow=[3256] ||");

  // The same rule on the block, with its own measure; a PLr the measure suffices for is fine.
  b->GetBloc()->SetName("");
  b->GetBloc()->SetDCDet(detMeasures);
  b->GetBloc()->SetDCMeasureOp(e->GetElement()->GetDCMeasureOp()->CloneAs<TDCMeasureOp>());
  EXPECT_EQ(b->CheckStatus(nullptr, false), isRed);
  EXPECT_THAT(Messages(*b)[0], HasSubstr("isRed=[3291]"));
  sf->GetSF()->SetPLrDirect(plC);
  EXPECT_EQ(b->CheckStatus(nullptr, false), isYellow);
  EXPECT_EQ(e->CheckStatus(nullptr, false), isYellow);
}

TEST_F(ElementTest, DCRelevanceOutsideABlockFollowsTheMTTFd) {
  auto op = Element(50.0);
  EXPECT_TRUE(op->IsDCRelevant());
  op->GetElement()->SetMTTFd(kInf);
  EXPECT_FALSE(op->IsDCRelevant());
  EXPECT_TRUE(op->IsMTTFdRelevant());
}

TEST_F(ElementTest, CachesAreFilledOnceAndEmptiedByChangesOfTheElementAndItsMeasure) {
  auto op = Element(50.0, 0.9);
  op->GetElement()->SetDCDet(detMeasures);
  op->GetElement()->SetDCMeasureOp(std::make_unique<TDCMeasureOp>());
  op->GetElement()->GetDCMeasureOp()->SetDCMeasure(std::make_unique<TDCMeasure>());
  op->GetElement()->GetDCMeasureOp()->SetDC(0.6);
  int changes = 0;
  op->SetOnChange([&](TtiObject*) { ++changes; });

  EXPECT_DOUBLE_EQ(op->GetDCLazy(), 0.6);
  const int lookups = db_->dcBandCalls;
  EXPECT_DOUBLE_EQ(op->GetDCLazy(), 0.6);
  EXPECT_EQ(db_->dcBandCalls, lookups);  // cached

  // Two levels below the node: the measure's bounds move and clamp the occurrence's DC.
  op->GetElement()->GetDCMeasureOp()->GetDCMeasure()->SetDCmax(0.5);
  EXPECT_GT(changes, 0);
  EXPECT_DOUBLE_EQ(op->GetDCLazy(), 0.5);
  EXPECT_DOUBLE_EQ(op->GetDCMeasuresLazy(), 0.5);

  // A deleted measure counts as none: the minimum DC.
  op->GetElement()->GetDCMeasureOp()->SetDeleted(true);
  EXPECT_DOUBLE_EQ(op->GetDCLazy(), 0.0);

  // The calculator refuses a determination the element does not handle, naming the stored one.
  op->GetElement()->SetDCDet(detSubItems);
  auto [n, args] = Refusal<EInvalidDet>([&] { op->GetDCLazy(); });
  EXPECT_EQ(n, 1010);
  EXPECT_EQ(args.at(0).AsString(), "detSubItems");
}

TEST_F(ElementTest, AssignCloneAndEquals) {
  auto op = Element(42.0, 0.75, "K7");
  op->SetNop(1234.0);
  op->GetElement()->SetDCMeasureOp(std::make_unique<TDCMeasureOp>());
  op->SetIsProtected(true);
  auto copy = op->CloneAs<TElementOp>();
  EXPECT_FALSE(copy->GetIsProtected());
  copy->SetIsProtected(true);  // the flag is not compared
  EXPECT_TRUE(copy->Equals(*op));
  EXPECT_NE(copy->GetElement(), op->GetElement());
  EXPECT_EQ(copy->GetElement()->GetOwner(), copy.get());
  EXPECT_NE(copy->GetElement()->GetDCMeasureOp(), op->GetElement()->GetDCMeasureOp());
  copy->SetIsProtected(false);
  copy->SetNop(1.0);
  EXPECT_FALSE(copy->Equals(*op));
}

}  // namespace
}  // namespace kelvado::testing

#include <gmock/gmock.h>

#include "CalcTestEnv.h"

namespace kelvado::testing {
namespace {

class VisitorsCalcTest : public CalcTest {};

TEST_F(VisitorsCalcTest, RoundForBoundsRemovesNoiseOnly) {
  EXPECT_EQ(RoundForBounds(29.999999999999993), 30.0);
  EXPECT_EQ(RoundForBounds(2.9999999999999996), 3.0);
  EXPECT_EQ(RoundForBounds(0.98999999999999999), 0.99);
  EXPECT_EQ(RoundForBounds(2.999999998), 2.999999998);  // a real difference stays
  EXPECT_EQ(RoundForBounds(kInf), kInf);
  EXPECT_EQ(RoundForBounds(-1.0), -1.0);
  EXPECT_TRUE(std::isnan(RoundForBounds(std::nan(""))));
  EXPECT_EQ(RoundForBounds(1e300), 1e300);
}

TEST_F(VisitorsCalcTest, WeightedDCStopsAtTheFirstUndeterminableChild) {
  TWeightedDC avg;
  EXPECT_EQ(avg.Result(), kInf);
  EXPECT_TRUE(avg.Add(kInf, -5.0));  // a never-failing child counts for nothing, whatever its DC
  EXPECT_EQ(avg.Result(), kInf);
  EXPECT_TRUE(avg.Add(50.0, 0.9));
  EXPECT_TRUE(avg.Add(25.0, 0.6));
  EXPECT_NEAR(avg.Result(), 0.7, 1e-15);
  EXPECT_FALSE(avg.Add(0.0, 0.9));
  EXPECT_EQ(avg.Result(), -1.0);
  TWeightedDC neg;
  EXPECT_FALSE(neg.Add(10.0, -1.0));
  EXPECT_EQ(neg.Result(), -1.0);

  // In a channel: the first block whose DC cannot be determined ends the average before a block that would
  // refuse its determination is asked.
  auto ch = Channel();
  auto undeterminable = BlocOf({50.0});
  undeterminable->GetElementOpList()->Add(std::make_unique<TElementOp>());  // DC -1, left out of the MTTFd
  ch->GetBlocOpList()->Add(std::move(undeterminable));
  auto refusing = BlocOf({50.0});
  refusing->GetElementOpList()->Items(0)->GetElement()->SetDCDet(detSubItems);
  ch->GetBlocOpList()->Add(std::move(refusing));
  TDCDenotation band = dcNone;
  EXPECT_EQ(ch->GetDC(CalcPool().GetDCCalc(), band), -1.0);
  EXPECT_EQ(band, dcForward);
  // Without the first block the refusal comes through.
  ch->GetBlocOpList()->Items(0)->SetDeleted(true);
  EXPECT_THROW(ch->GetDC(CalcPool().GetDCCalc(), band), EInvalidDet);
}

TEST_F(VisitorsCalcTest, RefusedDeterminationsNameTheStoredOne) {
  auto e = Element(10.0);
  TDCDenotation dcBand;
  try {
    CalcPool().GetDCCalc().CalcElementDC(*e, dcBand, detSubItems);
    ADD_FAILURE() << "detSubItems taken";
  } catch (const EInvalidDet& x) {
    EXPECT_EQ(x.MsgNumber(), 1010);
    EXPECT_EQ(x.MsgArgs().at(0).AsString(), "detDirect");
  }
  auto b = Bloc();
  TMTTFdDenotation mBand;
  try {
    CalcPool().GetMTTFdCalc().CalcBlocMTTFd(*b, mBand, detMeasures);
    ADD_FAILURE() << "detMeasures taken";
  } catch (const EInvalidDet& x) {
    EXPECT_EQ(x.MsgArgs().at(0).AsString(), "detSubItems");
  }
  // The element's MTTFd takes every determination: anything but detDirect is the B10d formula.
  e->GetElement()->SetB10d(1e6);
  e->SetNop(2e4);
  for (TDetermination d : {detSubItems, detMeasures, detUnknown})
    EXPECT_DOUBLE_EQ(CalcPool().GetMTTFdCalc().CalcElementMTTFd(*e, mBand, d), 500.0);
  EXPECT_EQ(CalcPool().GetMTTFdCalc().CalcElementMTTFd(*e, mBand, detDirect), 10.0);
  EXPECT_EQ(mBand, mttfMedium);
}

TEST_F(VisitorsCalcTest, BandsComeWithEveryResult) {
  auto b = BlocOf({2.0 * 3.0, 2.0 * 3.0});  // 3 years
  TMTTFdDenotation band = mttfHigh;
  EXPECT_DOUBLE_EQ(CalcPool().GetMTTFdCalc().CalcBlocMTTFd(*b, band, detUnknown), 3.0);
  EXPECT_EQ(band, mttfLow);
  b->GetElementOpList()->Add(Element(3.0));
  CalcPool().GetMTTFdCalc().CalcBlocMTTFd(*b, band, detUnknown);
  EXPECT_EQ(band, mttfNoBand);
  EXPECT_EQ(b->GetMTTFdString(), "1.5 (-)");
}

TEST_F(VisitorsCalcTest, PoolHoldsOneCalculatorOfEachKindAndReplacesThemSafely) {
  CalcPoolShutdown();
  TVisCalcPool& pool = CalcPool();
  EXPECT_EQ(&pool, &CalcPool());
  EXPECT_NE(dynamic_cast<TCCFCalc13849*>(&pool.GetCCFCalc()), nullptr);
  EXPECT_NE(dynamic_cast<TDCCalc13849*>(&pool.GetDCCalc()), nullptr);
  EXPECT_NE(dynamic_cast<TMTTFdCalc13849*>(&pool.GetMTTFdCalc()), nullptr);
  EXPECT_NE(dynamic_cast<TPLCalc13849*>(&pool.GetPLCalc()), nullptr);

  // The DC calculator uses the pool's MTTFd calculator; replacing that one leaves nothing dangling.
  auto b = Bloc();
  b->GetElementOpList()->Add(Element(50.0, 0.9));
  TDCDenotation band;
  EXPECT_DOUBLE_EQ(pool.GetDCCalc().CalcBlocDC(*b, band, detSubItems), 0.9);
  pool.SetMTTFdCalc(MTTFdCalcClass);
  EXPECT_DOUBLE_EQ(pool.GetDCCalc().CalcBlocDC(*b, band, detSubItems), 0.9);
  EXPECT_EQ(band, dcMedium);

  CalcPoolShutdown();
  EXPECT_NE(dynamic_cast<TMTTFdCalc13849*>(&CalcPool().GetMTTFdCalc()), nullptr);
}

}  // namespace
}  // namespace kelvado::testing

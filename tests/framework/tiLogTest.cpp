#include "framework/tiLog.h"

#include <gtest/gtest.h>

#include "framework/tiUtils.h"

using namespace kelvado;

namespace {

struct Line {
  std::string dateTime, threadID, message;
  TtiLogSeverity severity;
};

class CaptureTarget : public TtiLogToAbs {
public:
  explicit CaptureTarget(std::vector<Line>* lines) : lines_(lines) {}
  void Log(const std::string& dateTime, const std::string& threadID, const std::string& message,
           TtiLogSeverity severity) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_->push_back({dateTime, threadID, message, severity});
  }

private:
  std::mutex mutex_;
  std::vector<Line>* lines_;
};

class tiLogTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(LogIsShutDown()) << "an earlier test left the log shut down";
    target_ = GLog().RegisterLog(std::make_unique<CaptureTarget>(&lines_));
  }
  void TearDown() override {
    if (target_ && !LogIsShutDown()) GLog().UnRegisterLog(target_);
  }
  std::vector<Line> lines_;
  TtiLogToAbs* target_ = nullptr;
};

}  // namespace

TEST(tiLogSeverities, TextsAndDefaultSet) {
  const char* texts[] = {"Norm", "Info", "Obj", "Vis", "DBCon", "AVis", "Query", "Debug", "Warn", "Error"};
  for (int i = 0; i < kLogSeverityCount; ++i) EXPECT_STREQ(tiLogSeverityText(TtiLogSeverity(i)), texts[i]);
  TtiLog log;
  EXPECT_EQ(log.SevToLog(), 995u);
  for (TtiLogSeverity on : {lsNormal, lsUserInfo, lsAcceptableVisitorError, lsQueryTiming, lsDebug, lsWarning,
                            lsError})
    EXPECT_TRUE(log.IsSeverityOn(on)) << on;
  for (TtiLogSeverity off : {lsObjCreation, lsVisitor, lsDBConnection}) EXPECT_FALSE(log.IsSeverityOn(off)) << off;
}

TEST_F(tiLogTest, LineParts) {
  const TDateTime before = tiNow();
  Log("plain message", lsWarning);
  ASSERT_EQ(lines_.size(), 1u);
  const Line& l = lines_[0];
  EXPECT_EQ(l.message, "plain message");
  EXPECT_EQ(l.severity, lsWarning);
  ASSERT_EQ(l.dateTime.size(), 19u);
  EXPECT_EQ(l.dateTime[4], '-');
  EXPECT_EQ(l.dateTime[10], ' ');
  EXPECT_EQ(l.dateTime[13], ':');
  // The date-time is the local "now", to the second.
  EXPECT_TRUE(l.dateTime >= tiDateTimeToStr(before) && l.dateTime <= tiDateTimeToStr(tiNow())) << l.dateTime;
  const std::string id = std::to_string(tiGetCurrentThreadID());
  EXPECT_EQ(l.threadID, id.size() < 4 ? std::string(4 - id.size(), ' ') + id : id);
}

TEST_F(tiLogTest, FormattedAndErrorCalls) {
  Log("Connect to %s successful.", {"db.fdb"}, lsQueryTiming);
  Log("default severity");
  LogError("failed");
  LogError("row %d of <%s>", {12, "Elements"});
  Log("missing argument <%s>", {}, lsNormal);
  ASSERT_EQ(lines_.size(), 5u);
  EXPECT_EQ(lines_[0].message, "Connect to db.fdb successful.");
  EXPECT_EQ(lines_[0].severity, lsQueryTiming);
  EXPECT_EQ(lines_[1].severity, lsNormal);
  EXPECT_EQ(lines_[2].message, "failed");
  EXPECT_EQ(lines_[2].severity, lsError);
  EXPECT_EQ(lines_[3].message, "row 12 of <Elements>");
  EXPECT_EQ(lines_[3].severity, lsError);
  EXPECT_EQ(lines_[4].message, "missing argument <>");
}

TEST_F(tiLogTest, SeveritiesSwitchedOffAreNotHandedOn) {
  Log("object created", lsObjCreation);
  Log("visiting", lsVisitor);
  Log("connecting", lsDBConnection);
  EXPECT_TRUE(lines_.empty());
  const TtiSevToLog old = GLog().SevToLog();
  GLog().SetSevToLog(old | tiSevBit(lsDBConnection));
  Log("connecting", lsDBConnection);
  GLog().SetSevToLog(tiSevBit(lsError));
  Log("dropped", lsNormal);
  GLog().SetSevToLog(old);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0].severity, lsDBConnection);
}

TEST_F(tiLogTest, EveryTargetGetsTheLineUntilUnregistered) {
  std::vector<Line> second;
  TtiLogToAbs* t2 = GLog().RegisterLog(std::make_unique<CaptureTarget>(&second));
  EXPECT_EQ(GLog().LogTargetCount(), 2);
  Log("both");
  GLog().UnRegisterLog(t2);
  Log("first only");
  EXPECT_EQ(lines_.size(), 2u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].message, "both");
  EXPECT_EQ(second[0].dateTime, lines_[0].dateTime);
}

TEST_F(tiLogTest, CallsAfterShutDownAreIgnored) {
  Log("before");
  EXPECT_EQ(lines_.size(), 1u);
  ShutDownLog();  // frees the target as well
  EXPECT_TRUE(LogIsShutDown());
  Log("after");
  LogError("after %d", {1});
  EXPECT_EQ(lines_.size(), 1u);
  target_ = nullptr;  // freed with the log

  // Brought back, the log is a fresh one: no targets, default severities; the tests after this one log again.
  RestartLog();
  EXPECT_FALSE(LogIsShutDown());
  EXPECT_EQ(GLog().LogTargetCount(), 0);
  EXPECT_EQ(GLog().SevToLog(), kDefaultSevToLog);
}

#include "model/MsgStrings.h"

#include <filesystem>

#include "model/Exceptions.h"
#include "tests/model/TextsTestEnv.h"

namespace kelvado {
namespace {

using MsgStrings = testing::TextsTest;

TEST_F(MsgStrings, ReadsIndexPlusBaseAndTurnsLineFeedsIntoCrLf) {
  WriteLang("1004=DC %s\n3=Kanal\n10=eins\\nzwei\n11=schon\\r\\nda\n");
  EXPECT_EQ(GetMsgString(4, 1000), "DC %s");
  EXPECT_EQ(GetMsgString(3, 0), "Kanal");
  EXPECT_EQ(GetMsgString(10, 0), "eins\r\nzwei");
  // A CR LF already in the text gets a second CR before the LF.
  EXPECT_EQ(GetMsgString(11, 0), "schon\r\r\nda");
  EXPECT_EQ(GetMsgString(5, 1000), "");
  EXPECT_EQ(GetMsgString(-5, 0), "");
  std::string out = "old";
  GetMsgString(4, 1000, out);
  EXPECT_EQ(out, "DC %s");
}

TEST_F(MsgStrings, MissingLibraryGivesEmptyTextAndIsTriedAgainOnEveryCall) {
  std::filesystem::remove(langPath_);
  EXPECT_EQ(GetMsgString(3, 0), "");
  EXPECT_EQ(GetMsgString(3, 0), "");
  WriteLang("3=Kanal\n");
  EXPECT_EQ(GetMsgString(3, 0), "Kanal");
  // Once loaded it stays loaded for the run, even when the file goes away.
  std::filesystem::remove(langPath_);
  EXPECT_EQ(GetMsgString(3, 0), "Kanal");
}

TEST_F(MsgStrings, NoConfiguredLibraryGivesEmptyText) {
  RegWriteString("lang", "lngdll", "");
  WriteLang("3=Kanal\n");
  EXPECT_EQ(GetMsgString(3, 0), "");
}

TEST_F(MsgStrings, TextsAreCutAfter1024Characters) {
  // 1023 ASCII characters and then two-byte characters: the cut never splits one.
  WriteLang("1=" + std::string(1023, 'x') + "\xC3\xA4\xC3\xB6\xC3\xBC\n");
  const std::string t = GetMsgString(1, 0);
  EXPECT_EQ(t, std::string(1023, 'x') + "\xC3\xA4");
}

TEST_F(MsgStrings, FormatsArgumentsAndLeavesMissingOnesEmpty) {
  WriteLang("1004=Der DC %s liegt nicht zwischen %s und %s.\n1011=Kanäle: %d\n");
  EXPECT_EQ(FormatMsgString(1004, {0.95, 0.6, 0.9}), "Der DC 0.95 liegt nicht zwischen 0.6 und 0.9.");
  EXPECT_EQ(FormatMsgString(1004, {0.95}), "Der DC 0.95 liegt nicht zwischen  und .");
  EXPECT_EQ(FormatMsgString(1011, {3}), "Kanäle: 3");
  EXPECT_EQ(FormatMsgString(1012, {3}), "");
}

}  // namespace
}  // namespace kelvado

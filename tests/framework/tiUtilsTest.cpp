#include "framework/tiUtils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "framework/tiExcept.h"

using namespace kelvado;

namespace {

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string TempDir() {
  std::string tmpl = ::testing::TempDir() + "tiUtilsTest.XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  return tmpl;
}

}  // namespace

TEST(tiUtilsVariants, TypeMatchesExactlyOrByItsArrayAndReferenceFlags) {
  constexpr TVarType varInteger = 3, varOleStr = 8, varString = 0x0100;
  EXPECT_TRUE(tiIsVariantOfType(varString, varString));
  EXPECT_FALSE(tiIsVariantOfType(varString, varInteger));
  EXPECT_FALSE(tiIsVariantOfType(varString | varByRef, varString));  // a reference is another type
  EXPECT_TRUE(tiIsVariantOfType(varInteger | varArray, varArray));
  EXPECT_TRUE(tiIsVariantOfType(varOleStr | varByRef, varByRef));
  EXPECT_TRUE(tiIsVariantOfType(varInteger | varArray | varByRef, varArray));
  EXPECT_FALSE(tiIsVariantOfType(varInteger, varArray));
  EXPECT_FALSE(tiIsVariantOfType(varInteger | varArray, varByRef));
  // Only the two flags match by bit: another type code is never matched by the bits it shares.
  EXPECT_FALSE(tiIsVariantOfType(varInteger, 1));
  EXPECT_FALSE(tiIsVariantOfType(varOleStr | varString, varString));
}

TEST(tiUtilsText, ReplaceAndTokens) {
  EXPECT_EQ(tiStrTran("a-b-c", "-", "--"), "a--b--c");  // replaced text is not searched again
  EXPECT_EQ(tiStrTran("aaa", "aa", "b"), "ba");
  EXPECT_EQ(tiStrTran("abc", "", "x"), "abc");
  EXPECT_EQ(tiStrTranNoCase("Abc ABC abc", "aBc", "x"), "x x x");
  EXPECT_EQ(tiStrTranNoCase("Straße", "SSE", "x"), "Straße");  // only ASCII letters fold

  EXPECT_EQ(tiNumToken("", ";"), 0);
  EXPECT_EQ(tiNumToken("a;b;c", ";"), 3);
  EXPECT_EQ(tiNumToken(";", ";"), 2);
  EXPECT_EQ(tiNumToken("a::b", "::"), 2);
  EXPECT_EQ(tiToken("a;b;c", ";", 2), "b");
  EXPECT_EQ(tiToken("a;b;c", ";", 4), "");
  EXPECT_EQ(tiToken("a;b;c", ";", 0), "");
  EXPECT_EQ(tiToken("a;;c", ";", 2), "");
  EXPECT_EQ(tiToken("a::b", "::", 2), "b");
}

TEST(tiUtilsText, PaddingAndRepetition) {
  EXPECT_EQ(tiSpace(3), "   ");
  EXPECT_EQ(tiSpace(-1), "");
  EXPECT_EQ(tiPadR("ab", 4), "ab  ");
  EXPECT_EQ(tiPadR("abcdef", 4), "abcd");
  // Widths count characters, so a multi-byte character is never cut in half.
  EXPECT_EQ(tiPadR("äöü", 2), "äö");
  EXPECT_EQ(tiPadR("ä", 3), "ä  ");
  EXPECT_EQ(tiPad0(7, 3), "007");
  EXPECT_EQ(tiPad0(1234, 3), "1234");
  EXPECT_EQ(tiPad0(-5, 4), "-005");
  EXPECT_EQ(tiPad0(INT64_MIN, 1), "-9223372036854775808");
  EXPECT_EQ(tiReplicate("ab", 3), "ababab");
  EXPECT_EQ(tiCR(2), "\r\r");
  EXPECT_EQ(tiCRLF(2), "\r\n\r\n");
  EXPECT_EQ(tiAbbrevStr("abcdefgh", 6), "abc...");
  EXPECT_EQ(tiAbbrevStr("abcdef", 6), "abcdef");
  EXPECT_EQ(tiAbbrevStr("äöüßäö", 5), "äö...");
}

TEST(tiUtilsText, Booleans) {
  EXPECT_EQ(tiBoolToStr(true), "T");
  EXPECT_EQ(tiBoolToStr(false), "F");
  for (const char* t : {"TRUE", "true", "T", "t", "YES", "yes", "Y", "y", "1"}) EXPECT_TRUE(tiStrToBool(t)) << t;
  for (const char* t : {"F", "false", "no", "0", "", " T", "2", "yes "}) EXPECT_FALSE(tiStrToBool(t)) << t;
}

TEST(tiUtilsText, TrailingValues) {
  EXPECT_EQ(tiAddTrailingValue("", ",", true), "");
  EXPECT_EQ(tiAddTrailingValue("a,", ",", true), "a,,");
  EXPECT_EQ(tiAddTrailingValue("a,", ",", false), "a,");
  EXPECT_EQ(tiAddTrailingValue("a", ",", false), "a,");
  EXPECT_EQ(tiAddTrailingValue("list AND", " and", false), "list AND");
  EXPECT_EQ(tiRemoveTrailingValue("a,b,", ","), "a,b");
  EXPECT_EQ(tiRemoveTrailingValue("a AND", " and"), "a AND");  // exact comparison
  EXPECT_EQ(tiRemoveTrailingValue("a", ""), "a");
}

TEST(tiUtilsPaths, SlashesAndNames) {
  EXPECT_EQ(tiAddTrailingSlash("/data/x/"), "/data/x/");
  EXPECT_EQ(tiAddTrailingSlash("/data/x"), "/data/x/");
  EXPECT_EQ(tiAddTrailingSlash(""), "");
  EXPECT_EQ(tiRemoveTrailingSlash("/data/x/"), "/data/x");
  EXPECT_EQ(tiRemoveTrailingSlash("/"), "/");  // the root keeps its meaning

  EXPECT_EQ(tiExtractFileNameOnly("/data/projects/plant.v2.kvd"), "plant.v2");
  EXPECT_EQ(tiExtractFileNameOnly("plant"), "plant");
  EXPECT_EQ(tiExtractFileNameOnly("/data.d/plant"), "plant");
  EXPECT_EQ(tiRemoveExtension("plant.kvd"), "plant");
  EXPECT_EQ(tiRemoveExtension("/data/lib.d/plant"), "/data/lib.d/plant");
  EXPECT_EQ(tiRemoveExtension("/data/lib.d/plant.kvd"), "/data/lib.d/plant");
}

TEST(tiUtilsPaths, ExePathIsTheTestProgramsFolder) {
  const std::string path = tiGetEXEPath();
  ASSERT_FALSE(path.empty());
  EXPECT_NE(path.back(), '/');
  // The folder of the started program, however it was named on the command line.
  char* real = ::realpath(::testing::internal::GetArgvs()[0].c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  std::string expected(real);
  ::free(real);
  EXPECT_EQ(path, expected.substr(0, expected.rfind('/')));
}

TEST(tiUtilsFiles, StringToFileReplacesExactly) {
  const std::string dir = TempDir();
  const std::string name = dir + "/out.txt";
  tiStringToFile("first\r\nline with more text", name);
  EXPECT_EQ(ReadFile(name), "first\r\nline with more text");
  tiStringToFile("x", name);
  EXPECT_EQ(ReadFile(name), "x");
  tiStringToFile("", name);
  EXPECT_EQ(ReadFile(name), "");
  ::unlink(name.c_str());
  ::rmdir(dir.c_str());  // fails when a temporary file was left behind
  struct stat st {};
  EXPECT_NE(::stat(dir.c_str(), &st), 0);
}

TEST(tiUtilsFiles, StringToFileFailureNamesTheFile) {
  const std::string name = "/nonexistent-folder-kelvado/out.txt";
  try {
    tiStringToFile("x", name);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find(name), std::string::npos) << e.Message();
  }
}

TEST(tiUtilsStreams, StringAndStream) {
  std::stringstream s;
  s << "old content that is longer";
  tiStringToStream("new", s);
  EXPECT_EQ(s.str(), "new");
  EXPECT_EQ(tiStreamToString(s), "new");
  std::string word;
  s >> word;  // the read position was left at 0
  EXPECT_EQ(word, "new");

  std::stringstream bin;
  const std::string bytes("a\0b\xff", 4);
  tiStringToStream(bytes, bin);
  bin.get();
  EXPECT_EQ(tiStreamToString(bin), bytes);
  EXPECT_EQ(bin.tellg(), 1);  // position restored
}

TEST(tiUtilsNumbers, Base26) {
  EXPECT_EQ(tiEncodeNum(0), "A");
  EXPECT_EQ(tiEncodeNum(1), "B");
  EXPECT_EQ(tiEncodeNum(25), "Z");
  EXPECT_EQ(tiEncodeNum(26), "BA");
  EXPECT_EQ(tiEncodeNum(65535), "DSYP");
  EXPECT_EQ(tiDecodeNum("BA"), 26);
  EXPECT_EQ(tiDecodeNum(""), 0);
  EXPECT_EQ(tiDecodeNum("AAB"), 1);
  EXPECT_EQ(tiDecodeNum("DSYP"), 65535);
  for (unsigned v = 0; v < 2000; v += 7) EXPECT_EQ(tiDecodeNum(tiEncodeNum(static_cast<uint16_t>(v))), v);

  try {
    tiDecodeNum("Ab");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "tiDecodeNum: <Ab> does not represent a number in base 26.");
  }
  // Beyond 16 bits the value would wrap and address another column.
  EXPECT_THROW(tiDecodeNum("DSYQ"), EConvertError);
  EXPECT_THROW(tiDecodeNum("ZZZZZ"), EConvertError);
}

TEST(tiUtilsDates, EncodeDecode) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
  EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0, 0), -1.25);
  EXPECT_DOUBLE_EQ(EncodeTime(12, 0, 0, 0), 0.5);

  int y, m, d, h, n, s, z;
  DecodeDateTime(-1.25, y, m, d, h, n, s, z);
  EXPECT_EQ((std::vector<int>{y, m, d, h, n, s, z}), (std::vector<int>{1899, 12, 29, 6, 0, 0, 0}));
  DecodeDateTime(EncodeDateTime(2024, 2, 29, 23, 59, 59, 999), y, m, d, h, n, s, z);
  EXPECT_EQ((std::vector<int>{y, m, d, h, n, s, z}), (std::vector<int>{2024, 2, 29, 23, 59, 59, 999}));
  DecodeDateTime(EncodeDateTime(1, 1, 1, 0, 0, 0, 1), y, m, d, h, n, s, z);
  EXPECT_EQ((std::vector<int>{y, m, d, h, n, s, z}), (std::vector<int>{1, 1, 1, 0, 0, 0, 1}));

  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  EXPECT_THROW(EncodeDate(2023, 13, 1), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_THROW(DecodeDate(NAN, y, m, d), EConvertError);
  EXPECT_THROW(DecodeDate(1e10, y, m, d), EConvertError);
}

TEST(tiUtilsDates, NowIsToday) {
  const TDateTime now = tiNow();
  const time_t t = ::time(nullptr);
  struct tm local {};
  ::localtime_r(&t, &local);
  const TDateTime expected = EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                            local.tm_min, local.tm_sec, 0);
  EXPECT_NEAR(now, expected, 5.0 / 86400);
}

TEST(tiUtilsDates, Texts) {
  const TDateTime dt = EncodeDateTime(2024, 3, 7, 9, 5, 4, 5);
  EXPECT_EQ(tiDateTimeAsXMLString(dt), "07/03/2024 09:05:04:005");
  EXPECT_EQ(tiDateTimeToStr(dt), "2024-03-07 09:05:04");
  EXPECT_EQ(tiDateTimeToStr(EncodeDateTime(2024, 3, 7, 9, 5, 4, 999)), "2024-03-07 09:05:04");
  EXPECT_EQ(tiDateTimeToStr(0), "0000-00-00 00:00:00");
  EXPECT_EQ(tiDateTimeToStr(0.75), "0000-00-00 18:00:00");
  EXPECT_EQ(tiDateTimeAsXMLString(0), "30/12/1899 00:00:00:000");

  EXPECT_EQ(tiXMLStringToDateTime("07/03/2024 09:05:04:005"), dt);
  EXPECT_EQ(tiXMLStringToDateTime(""), 0.0);
  EXPECT_EQ(tiXMLStringToDateTime("07/03/2024"), EncodeDate(2024, 3, 7));
  EXPECT_EQ(tiXMLStringToDateTime("07/03/2024 09:xx:04:005"), EncodeDateTime(2024, 3, 7, 9, 0, 4, 5));
  for (double v : {0.0, 1.5, 45000.123, -2.75}) EXPECT_NEAR(tiXMLStringToDateTime(tiDateTimeAsXMLString(v)), v, 1e-8);

  EXPECT_THROW(tiXMLStringToDateTime("7/3/2024"), EConvertError);
  EXPECT_THROW(tiXMLStringToDateTime("07/03/24"), EConvertError);
  EXPECT_THROW(tiXMLStringToDateTime("2024-03-07"), EConvertError);
  try {
    tiXMLStringToDateTime("31/02/2024 00:00:00:000");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_NE(e.Message().find("31/02/2024"), std::string::npos) << e.Message();
  }
}

TEST(tiUtilsSystem, GUIDTextAndTicks) {
  const std::string g = tiCreateGUIDString();
  ASSERT_EQ(g.size(), 38u);
  EXPECT_EQ(g.front(), '{');
  EXPECT_EQ(g.back(), '}');
  for (size_t i = 1; i < 37; ++i) {
    if (i == 9 || i == 14 || i == 19 || i == 24)
      EXPECT_EQ(g[i], '-') << g;
    else
      EXPECT_TRUE((g[i] >= '0' && g[i] <= '9') || (g[i] >= 'A' && g[i] <= 'F')) << g;
  }
  EXPECT_NE(tiCreateGUIDString(), g);

  const uint64_t t0 = tiGetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const uint64_t t1 = tiGetTickCount();
  EXPECT_GE(t1 - t0, 29u);
  EXPECT_LT(t1 - t0, 2000u);
}

TEST(tiUtilsCOM, StartedOncePerThread) {
  TtiCoInitializeManager mgr;
  mgr.CoInitialize();
  mgr.CoInitialize();
  EXPECT_EQ(mgr.InitializeCount(), 1);
  EXPECT_TRUE(mgr.IsInitialized(tiGetCurrentThreadID()));
  std::thread other([&] {
    mgr.CoInitialize();
    EXPECT_TRUE(mgr.IsInitialized(tiGetCurrentThreadID()));
    mgr.CoUnInitialize();
    EXPECT_FALSE(mgr.IsInitialized(tiGetCurrentThreadID()));
  });
  other.join();
  EXPECT_EQ(mgr.InitializeCount(), 2);
  mgr.CoUnInitialize();
  mgr.CoUnInitialize();  // a second stop does nothing
  EXPECT_FALSE(mgr.IsInitialized(tiGetCurrentThreadID()));
  mgr.CoInitialize();
  EXPECT_EQ(mgr.InitializeCount(), 3);

  // The GUID routine starts COM for its thread.
  tiCreateGUIDString();
  EXPECT_TRUE(tiCoInitializeManager().IsInitialized(tiGetCurrentThreadID()));
}

TEST(tiIntegerList, AddFindRemove) {
  TtiIntegerList list;
  list.Add(5);
  list.Add(INT64_C(1) << 40);
  list.Add(5);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.IndexOf(INT64_C(1) << 40), 1);
  EXPECT_EQ(list.IndexOf(6), -1);
  list.Remove(5);  // the first one
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0).AnInteger, INT64_C(1) << 40);
  EXPECT_EQ(list.Items(1).AnInteger, 5);
  try {
    list.Remove(7);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Attempt to remove an integer from TtiIntegerList that does not exist: \"7\"");
  }
  EXPECT_THROW(list.Items(2), Exception);
  EXPECT_THROW(list.Items(-1), Exception);
}

TEST(tiPreSizedStream, GrowsInStepsAndReturnsOnlyWrittenBytes) {
  TtiPreSizedStream s(10, 4);
  EXPECT_EQ(s.AllocatedSize(), 10);
  EXPECT_EQ(s.AsString(), "");
  s.Write("12345678");
  EXPECT_EQ(s.AllocatedSize(), 10);
  s.WriteLn("ab");  // 12 bytes: one step
  EXPECT_EQ(s.AllocatedSize(), 14);
  s.Write(std::string(9, 'x'));  // 21 bytes: two more steps
  EXPECT_EQ(s.AllocatedSize(), 22);
  EXPECT_EQ(s.AsString(), "12345678ab\r\n" + std::string(9, 'x'));
  EXPECT_EQ(s.Size(), 21);

  TtiPreSizedStream noStep(0, 0);
  noStep.Write("abc");
  EXPECT_EQ(noStep.AsString(), "abc");
}

TEST(tiMime, KnownVectorsAndSkipping) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, coded] : vectors) {
    EXPECT_EQ(MimeEncodeString(plain), coded);
    EXPECT_EQ(MimeDecodeString(coded), plain);
    std::stringstream in(plain), out;
    MimeEncodeStream(in, out);
    EXPECT_EQ(out.str(), coded);
  }
  EXPECT_EQ(MimeDecodeString("Zm9v\r\nYmFy"), "foobar");
  EXPECT_EQ(MimeDecodeString("Zm 9v*Yg"), "foob");
  EXPECT_EQ(MimeDecodeString("Zm9vY"), "foo");  // a lone last character carries no whole byte
  EXPECT_EQ(MimeEncodeString(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(tiMime, StreamsAcrossBlockBoundaries) {
  // Longer than several read blocks, with a size that is no multiple of 3.
  std::string data;
  for (int i = 0; i < 40001; ++i) data += static_cast<char>((i * 7919) & 0xFF);
  std::stringstream in(data), coded;
  MimeEncodeStream(in, coded);
  const std::string text = coded.str();
  EXPECT_EQ(text.size(), (data.size() + 2) / 3 * 4);
  EXPECT_EQ(text, MimeEncodeString(data));

  // Line breaks every 76 characters shift the groups against the decoder's blocks.
  std::string wrapped;
  for (size_t i = 0; i < text.size(); i += 76) wrapped += text.substr(i, 76) + "\r\n";
  std::stringstream win(wrapped), decoded;
  MimeDecodeStream(win, decoded);
  EXPECT_EQ(decoded.str(), data);
}

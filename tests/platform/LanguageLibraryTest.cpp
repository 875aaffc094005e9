#include "platform/LanguageLibrary.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace kelvado {
namespace {

std::string BinFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  std::string exe(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return exe.substr(0, exe.rfind('/') + 1);
}

TEST(LanguageLibrary, ParsesNumbersEscapesAndComments) {
  LanguageLibrary lib;
  lib.LoadFromText(
      "\xEF\xBB\xBF# comment\r\n"
      "\n"
      "1004=DC %s ausserhalb\\n[%s, %s]\r\n"
      "5=a\\\\b\\tc\n"
      "7= leading and trailing \n"
      "8=\n"
      "9=x=y");
  EXPECT_TRUE(lib.IsLoaded());
  EXPECT_TRUE(lib.Problems().empty()) << lib.Problems().front();
  EXPECT_EQ(lib.Text(1004), "DC %s ausserhalb\n[%s, %s]");
  EXPECT_EQ(lib.Text(5), "a\\b\tc");
  EXPECT_EQ(lib.Text(7), " leading and trailing ");
  EXPECT_TRUE(lib.Has(8));
  EXPECT_EQ(lib.Text(8), "");
  EXPECT_EQ(lib.Text(9), "x=y");
  EXPECT_EQ(lib.Text(6), "");
  EXPECT_FALSE(lib.Has(6));
}

TEST(LanguageLibrary, ReportsMalformedLinesAndKeepsTheFirstOfADuplicate) {
  LanguageLibrary lib;
  lib.LoadFromText("1=one\nno equals sign\n=empty number\n 2=blank before\n3x=bad\n1=again\n4=bad \\q escape\n"
                   "5=dangling \\\n99999999999=too long\n6=fine\n");
  EXPECT_EQ(lib.Text(1), "one");
  EXPECT_EQ(lib.Text(6), "fine");
  EXPECT_FALSE(lib.Has(2));
  EXPECT_FALSE(lib.Has(4));
  EXPECT_FALSE(lib.Has(5));
  ASSERT_EQ(lib.Problems().size(), 8u);
  EXPECT_NE(lib.Problems()[0].find("line 2"), std::string::npos);
  EXPECT_NE(lib.Problems()[4].find("given twice"), std::string::npos);
}

TEST(LanguageLibrary, MissingFileLoadsNothingAndALaterLoadSucceeds) {
  const std::string dir = ::testing::TempDir() + "langlib_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/Lang.txt";
  std::filesystem::remove(path);

  LanguageLibrary lib;
  EXPECT_FALSE(lib.Load(path));
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_EQ(lib.Text(1), "");
  EXPECT_FALSE(lib.Load(dir));  // a folder is no language file

  std::ofstream(path) << "1=eins\n";
  ASSERT_TRUE(lib.Load(path));
  EXPECT_EQ(lib.Text(1), "eins");
  EXPECT_EQ(lib.Path(), path);
  lib.Unload();
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_EQ(lib.Text(1), "");
  std::filesystem::remove_all(dir);
}

TEST(LanguageLibrary, ShippedGermanTextsParseCleanly) {
  LanguageLibrary lib;
  ASSERT_TRUE(lib.Load(BinFolder() + "Language/Lang_DE.txt"));
  for (const auto& p : lib.Problems()) ADD_FAILURE() << p;
  EXPECT_GT(lib.Count(), 200u);
}

}  // namespace
}  // namespace kelvado

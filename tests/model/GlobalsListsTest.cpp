#include "model/GlobalsLists.h"

#include <filesystem>
#include <fstream>

#include "platform/MessageBox.h"
#include "tests/model/GlobalsTestEnv.h"

namespace kelvado {
namespace {

namespace fs = std::filesystem;
using RecentLists = testing::GlobalsTest;

std::vector<std::string> Numbered(int n, const std::string& prefix) {
  std::vector<std::string> v;
  for (int i = 0; i < n; ++i) v.push_back(prefix + std::to_string(i) + ".kvd");
  return v;
}

TEST_F(RecentLists, ALongListIsSavedWholeAndReadBackUpTo101Entries) {
  const std::vector<std::string> list = Numbered(120, "/home/u/Projekt ");
  EXPECT_TRUE(SaveRecentList(list, "projectfile"));
  const std::string key = Key("ProjektFileList");
  EXPECT_EQ(reg_->ReadString(key, "119"), list[119]);
  EXPECT_EQ(reg_->ReadValue(key, "0")->type, RegDataType::ExpandString);
  const std::vector<std::string> loaded = LoadRecentList("projectfile");
  ASSERT_EQ(loaded.size(), 101u);
  EXPECT_TRUE(std::equal(loaded.begin(), loaded.end(), list.begin()));
  EXPECT_TRUE(LoadRecentList("lib").empty());  // the library list is a list of its own
}

TEST_F(RecentLists, SavingAShorterListRemovesOldEntriesUpToTheFirstGap) {
  ASSERT_TRUE(SaveRecentList(Numbered(5, "a"), "lib"));
  ASSERT_TRUE(SaveRecentList({"b0"}, "lib"));
  EXPECT_EQ(reg_->GetValueNames(Key("LibList")), std::vector<std::string>{"0"});
  EXPECT_EQ(LoadRecentList("lib"), std::vector<std::string>{"b0"});

  ASSERT_TRUE(SaveRecentList(Numbered(5, "c"), "lib"));
  reg_->DeleteValue(Key("LibList"), "2");
  ASSERT_TRUE(SaveRecentList({"d0"}, "lib"));
  EXPECT_EQ(LoadRecentList("lib"), std::vector<std::string>{"d0"});
  EXPECT_TRUE(reg_->ValueExists(Key("LibList"), "3"));  // beyond the gap: left alone
  EXPECT_TRUE(SaveRecentList({}, "lib"));
  EXPECT_TRUE(LoadRecentList("lib").empty());
}

TEST_F(RecentLists, AnyOtherKindUsesTheBaseKey) {
  ASSERT_TRUE(SaveRecentList({"x", "y"}, "other"));
  EXPECT_EQ(reg_->ReadString(ConfigBaseKey(), "1"), "y");
  EXPECT_EQ(LoadRecentList("something"), (std::vector<std::string>{"x", "y"}));
}

TEST_F(RecentLists, AFailingStoreIsShownAndTheOldListStays) {
  ASSERT_TRUE(SaveRecentList({"keep0", "keep1"}, "lib"));
  // A value of the wrong type ends the reading there; what was read is returned.
  reg_->WriteInteger(Key("LibList"), "1", 5);
  MessageRecorder rec;
  EXPECT_EQ(LoadRecentList("lib"), std::vector<std::string>{"keep0"});
  EXPECT_EQ(rec.Count(), 1u);
  // A damaged values file: the save fails as a whole and the file keeps its contents.
  const std::string file = reg_->ValuesFile(Key("LibList"));
  std::ofstream(file, std::ios::app) << "garbage\n";
  EXPECT_FALSE(SaveRecentList({"new"}, "lib"));
  EXPECT_EQ(rec.Count(), 2u);
  EXPECT_EQ(rec.Messages()[1].caption, "Fehler (v.1.1.2)");
  std::ifstream in(file);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("keep0"), std::string::npos);
  EXPECT_EQ(all.find("new"), std::string::npos);
}

TEST(FileNames, MakeValidFileNameCutsAtTheFirstDotAndDropsReservedCharacters) {
  EXPECT_EQ(MakeValidFileName("Machine: A/B.old"), "Machine AB");
  EXPECT_EQ(MakeValidFileName(".hidden"), "");
  EXPECT_EQ(MakeValidFileName("a\"b'c*d/e:f<g>h?i\\j|k"), "abcdefghijk");
  EXPECT_EQ(MakeValidFileName("Pr\xC3\xBC" "fstand\t1"), "Pr\xC3\xBC" "fstand\t1");  // others stay
  EXPECT_EQ(MakeValidFileName("../../etc/passwd"), "");
}

TEST(WebAddresses, CheckURLAcceptsOnlyWebAndFtpAddressesThatFitTheLimits) {
  EXPECT_EQ(CheckURL("HTTPS://WWW.EXAMPLE.COM/A"), "HTTPS://WWW.EXAMPLE.COM/A");
  EXPECT_EQ(CheckURL("http://example.com"), "http://example.com");
  EXPECT_EQ(CheckURL("ftp://user:pw@ftp.example.com:21/pub/file.txt"), "ftp://user:pw@ftp.example.com:21/pub/file.txt");
  EXPECT_EQ(CheckURL("mailto:info@example.com"), "");
  EXPECT_EQ(CheckURL("file:///etc/passwd"), "");
  EXPECT_EQ(CheckURL("http:example.com"), "");
  EXPECT_EQ(CheckURL("http://exa mple.com"), "");
  EXPECT_EQ(CheckURL("www.example.com"), "");
  EXPECT_EQ(CheckURL("http://" + std::string(199, 'h')), "http://" + std::string(199, 'h'));
  EXPECT_EQ(CheckURL("http://" + std::string(200, 'h')), "");
  EXPECT_EQ(CheckURL("http://h/" + std::string(998, 'p')), "http://h/" + std::string(998, 'p'));
  EXPECT_EQ(CheckURL("http://h/" + std::string(999, 'p')), "");
  EXPECT_EQ(CheckURL("http://h/?" + std::string(1999, 'q')), "");
  EXPECT_TRUE(OpenURL("https://example.com", true));
  EXPECT_FALSE(OpenURL("javascript:alert(1)", false));
}

TEST(Processes, RunAndWaitStartsInTheProgramsFolderAndWaits) {
  const std::string dir = ::testing::TempDir() + "kv_run_" + std::to_string(getpid());
  fs::create_directories(dir);
  const std::string script = dir + "/Configurator.sh";
  std::ofstream(script) << "#!/bin/sh\nsleep 0.2\necho \"$1 $2\" > \"$(pwd)/ran.txt\"\n";
  fs::permissions(script, fs::perms::owner_all);
  EXPECT_TRUE(RunAndWait(script, "NOPOPUP \"two words\"", 10));
  std::string line;
  std::getline(std::ifstream(dir + "/ran.txt"), line);  // there already: the call waited
  EXPECT_EQ(line, "NOPOPUP two words");
  EXPECT_FALSE(RunAndWait(dir + "/Missing.exe", "NOPOPUP", 10));
  fs::remove_all(dir);
}

class RecordingReport : public IReportParameters {
public:
  void SetTextParameter(const std::string& name, const std::string& value) override { params.emplace_back(name, value); }
  std::vector<std::pair<std::string, std::string>> params;
};

using ReportLabels = testing::GlobalsTest;

TEST_F(ReportLabels, AllLabelsAreSetInOrderFromTheLanguageTexts) {
  std::ofstream(dir_ + "/lang.txt") << "4000=Kategorie erfuellt\n4100=Haftung a\n4110=(c) Zul\n391=n.r.\n"
                                       "611=keine\n4022=unused\n";
  RegWriteString("lang", "lngdll", dir_ + "/lang.txt");
  RecordingReport report;
  SetReportLabels(report);
  ASSERT_EQ(report.params.size(), 105u);
  EXPECT_EQ(report.params[0], (std::pair<std::string, std::string>{"RequireCatFullfiled", "Kategorie erfuellt"}));
  EXPECT_EQ(report.params[22], (std::pair<std::string, std::string>{"DisclaimerTexta", "Haftung a"}));
  EXPECT_EQ(report.params[24].first, "Documentation");
  EXPECT_EQ(report.params[96], (std::pair<std::string, std::string>{"NotRelevantString", "n.r."}));
  EXPECT_EQ(report.params[97], (std::pair<std::string, std::string>{"PrintNonRelevant", "0"}));
  EXPECT_EQ(report.params[98], (std::pair<std::string, std::string>{"CatRequirementNoneRelevant", "keine"}));
  EXPECT_EQ(report.params[104], (std::pair<std::string, std::string>{"CopyrightTextLeft", "(c) Zul"}));
  for (const auto& p : report.params) EXPECT_NE(p.second, "unused") << p.first;  // text 22 is not a label

  SetOptPrintNonRelevant(true);
  report.params.clear();
  SetReportLabels(report);
  EXPECT_EQ(report.params[97].second, "-1");
}

}  // namespace
}  // namespace kelvado

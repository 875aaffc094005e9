#include "storage/db/GlobalsPer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>

#include "model/BOM.h"
#include "model/BOMChannel.h"
#include "model/BOMElement.h"
#include "model/Exceptions.h"
#include "tests/model/GlobalsTestEnv.h"
#include "ui/FolderBrowser.h"

namespace kelvado {

// A class derived from a mapped one: it has a row of its own or none.
class TElementSpecial : public TElement {
public:
  TI_CLASS(TElementSpecial)
};
const TtiClass& TElementSpecial::StaticClass() {
  static const TtiClass c(TtiClass::Of<TElementSpecial, TElement>(), "TElementSpecial");
  return c;
}

namespace {

namespace fs = std::filesystem;
const double kInf = std::numeric_limits<double>::infinity();

std::string ReadAll(const std::string& file) {
  std::ifstream in(file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Touch(const std::string& file) { std::ofstream(file) << "x"; }

// A private settings store and a private desktop data folder per test.
class GlobalsPerTest : public testing::GlobalsTest {
protected:
  void SetUp() override {
    GlobalsTest::SetUp();
    const char* old = std::getenv("XDG_DATA_HOME");
    if (old) oldDataHome_ = old;
    dataHome_ = dir_ + "/xdg-data";
    fs::create_directories(dataHome_);
    setenv("XDG_DATA_HOME", dataHome_.c_str(), 1);
  }
  void TearDown() override {
    if (oldDataHome_) setenv("XDG_DATA_HOME", oldDataHome_->c_str(), 1);
    else unsetenv("XDG_DATA_HOME");
    GlobalsTest::TearDown();
  }
  std::string dataHome_;
  std::optional<std::string> oldDataHome_;
};

TEST(GlobalsPerTables, EveryBusinessClassMapsToItsTable) {
  const std::pair<const char*, const char*> rows[] = {
      {"TMetaData", "LibMetaData"},          {"TCCFMeasure", "CCFMeasures"},   {"TCCFMeasureOp", "CCFMeasureOps"},
      {"TCatCondition", "CatConditions"},    {"TCatConditionOp", "CatConditionOps"},
      {"TDCMeasure", "DCMeasures"},          {"TDCMeasureOp", "DCMeasureOps"}, {"TElement", "Elements"},
      {"TElementOp", "ElementOps"},          {"TBloc", "Blocs"},               {"TBlocOp", "BlocOps"},
      {"TChannel", "Channels"},              {"TTestChannel", "Channels"},     {"TChannelOp", "ChannelOps"},
      {"TTestChannelOp", "ChannelOps"},      {"TComponent", "Components"},     {"TComponentOp", "ComponentOps"},
      {"TSF", "SFs"},                        {"TSFOp", "SFOps"},               {"TPLCondition", "PLConditions"},
      {"TPLConditionOp", "PLConditionOps"},  {"TProject", "Projects"},         {"TProjectOp", "ProjectOps"}};
  for (const auto& [cls, table] : rows) EXPECT_EQ(TableNameForClass(std::string_view(cls)), table) << cls;

  // The typed forms go by the class itself.
  EXPECT_EQ(TableNameForClass<TTestChannelOp>(), "ChannelOps");
  EXPECT_EQ(TableNameForClass<TDCMeasureOp>(), "DCMeasureOps");
  TElementOp op;
  EXPECT_EQ(TableNameForObject(op), "ElementOps");
}

TEST(GlobalsPerTables, UnmappedClassRaisesNamingIt) {
  for (const std::string_view cls : {"TElementSpecial", "TPerObjAbsEx", "telement", ""}) {
    try {
      TableNameForClass(cls);
      ADD_FAILURE() << "no refusal for " << cls;
    } catch (const EInvalidValue& e) {
      EXPECT_EQ(e.MsgNumber(), 1001);
      ASSERT_EQ(e.MsgArgs().size(), 1u);
    }
  }
  EXPECT_THROW(TableNameForClass<TElementSpecial>(), EInvalidValue);
  TElementSpecial special;
  EXPECT_THROW(TableNameForObject(special), EInvalidValue);
}

TEST(GlobalsPerFloats, InfinityStoresAsMinusTwoAndReadsBackAsInfinity) {
  EXPECT_EQ(FloatToStrInf(kInf), "-2");
  EXPECT_EQ(FloatToStrInf(std::nan("")), "-2");
  EXPECT_EQ(FloatToStrInf(-2.0), "-2");
  EXPECT_EQ(StrToFloatInf("-2"), kInf);
  EXPECT_EQ(StrToFloatInf(FloatToStrInf(kInf)), kInf);
  EXPECT_EQ(StrToFloatInf("-2.0"), -2.0);
  EXPECT_EQ(StoredFloatToInf(-2.0), kInf);
  EXPECT_EQ(StoredFloatToInf(std::nan("")), kInf);
  EXPECT_EQ(StoredFloatToInf(-1.0), -1.0);

  // Ordinary values go through unchanged, whatever the process locale.
  for (double v : {0.0, -1.0, 0.1, 1e-7, 123456.789, 2.5e20, 0.99}) {
    const std::string s = FloatToStrInf(v);
    EXPECT_EQ(s.find(','), std::string::npos) << s;
    EXPECT_DOUBLE_EQ(StrToFloatInf(s), v) << s;
  }
  EXPECT_EQ(FloatToStrInf(1e-7), "1E-7");

  // -infinity has no stored form; malformed texts are refused.
  EXPECT_THROW(FloatToStrInf(-kInf), EConvertError);
  for (const char* bad : {"", "abc", "1,5", "INF", "-2x"}) EXPECT_THROW(StrToFloatInf(bad), EConvertError) << bad;

  // With a decimal comma, as files written under such a locale hold their numbers.
  EXPECT_EQ(StrToFloatInf("12,5", ','), 12.5);
  EXPECT_EQ(StrToFloatInf("-2", ','), kInf);
  EXPECT_EQ(StrToFloatInf("3", ','), 3.0);
  EXPECT_EQ(StrToFloatInf("1.5", '.'), 1.5);
  for (const char* bad : {"1.5", "1,5,0", "", "abc"}) EXPECT_THROW(StrToFloatInf(bad, ','), EConvertError) << bad;
}

TEST_F(GlobalsPerTest, FileNames) {
  EXPECT_TRUE(IsProjectFile("/a/b/Plant.KVD"));
  EXPECT_TRUE(IsLibraryFile("lib.klb"));
  EXPECT_FALSE(IsProjectFile("/a/b.kvd/plant"));
  EXPECT_FALSE(IsProjectFile("kvd"));
  EXPECT_FALSE(IsLibraryFile("lib.kvd"));
  EXPECT_EQ(DefaultProjectFileName(), "Default.kvd");

  Touch(dir_ + "/Project1.kvd");
  Touch(dir_ + "/Project3.kvd");
  std::string name;
  NextFreeProjectName(dir_, name);
  EXPECT_EQ(name, "Project2.kvd");
  NextFreeProjectName(dir_ + "/", name);
  EXPECT_EQ(name, "Project2.kvd");
}

TEST_F(GlobalsPerTest, RescueNamesCountUpWithoutOverwriting) {
  const std::string file = dir_ + "/Plant.kvd";
  EXPECT_EQ(RescueFileName(file), file + ".rescue");
  Touch(file + ".rescue");
  Touch(file + ".rescue_1");
  EXPECT_EQ(RescueFileName(file), file + ".rescue_2");
  Touch(file + ".rescue_2");
  EXPECT_EQ(RescueFileName(file), file + ".rescue_3");
  EXPECT_EQ(ReadAll(file + ".rescue_1"), "x");
}

TEST_F(GlobalsPerTest, RegistrationWritesMimeAndDesktopFiles) {
  EXPECT_FALSE(IsFileTypeRegistered(".kvd", ProjectProgID()));
  ASSERT_TRUE(RegisterFileType(".kvd", ProjectProgID(), ProjectFileDescription(), "/opt/kel vado/\"kv\"$x",
                               "%1", "/opt/icons/pr.ico", -1));
  const std::string mime = dataHome_ + "/mime/packages/kelvado-kvd.xml";
  const std::string desktop = dataHome_ + "/applications/kelvado-project.desktop";
  EXPECT_EQ(MimePackageFileName("kvd"), mime);
  EXPECT_EQ(DesktopEntryFileName(ProjectProgID()), desktop);

  const std::string xml = ReadAll(mime);
  EXPECT_NE(xml.find("<mime-type type=\"application/x-kelvado-project\">"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<glob pattern=\"*.kvd\"/>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<comment>KELVADO project file</comment>"), std::string::npos) << xml;
  const std::string entry = ReadAll(desktop);
  EXPECT_NE(entry.find("Exec=\"/opt/kel vado/\\\\\"kv\\\\\"\\\\$x\" %f\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("MimeType=application/x-kelvado-project;\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("Icon=/opt/icons/pr.ico\n"), std::string::npos) << entry;

  EXPECT_TRUE(IsFileTypeRegistered(".kvd", ProjectProgID()));
  EXPECT_TRUE(IsFileTypeRegistered("KVD", ProjectProgID()));
  EXPECT_FALSE(IsFileTypeRegistered(".kvd", LibraryProgID()));
  EXPECT_FALSE(IsFileTypeRegistered(".klb", LibraryProgID()));
  EXPECT_FALSE(IsFileTypeRegistered("", ProjectProgID()));

  // Registering the extension for another type replaces the mapping; no temporary files stay behind.
  ASSERT_TRUE(RegisterFileType("kvd", LibraryProgID(), LibraryFileDescription(), "/bin/kv", "", "", -1));
  EXPECT_TRUE(IsFileTypeRegistered(".kvd", LibraryProgID()));
  EXPECT_FALSE(IsFileTypeRegistered(".kvd", ProjectProgID()));
  for (const auto& e : fs::directory_iterator(dataHome_ + "/mime/packages"))
    EXPECT_EQ(e.path().filename(), "kelvado-kvd.xml");
}

TEST_F(GlobalsPerTest, RegistrationThatCannotWriteSaysWhere) {
  Touch(dataHome_ + "/applications");  // a file where the desktop entries' folder belongs
  try {
    RegisterFileType(".kvd", ProjectProgID(), "d", "/bin/kv", "%1", "", -1);
    ADD_FAILURE() << "registered";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find(dataHome_ + "/applications"), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(fs::exists(DesktopEntryFileName(ProjectProgID())));
}

TEST_F(GlobalsPerTest, RegistrationRefusesBadArgumentsAndWritesNothing) {
  EXPECT_FALSE(RegisterFileType("k", ProjectProgID(), "d", "/bin/kv", "%1", "", -1));
  EXPECT_FALSE(RegisterFileType(".", ProjectProgID(), "d", "/bin/kv", "%1", "", -1));
  EXPECT_FALSE(RegisterFileType(".kvd", "", "d", "/bin/kv", "%1", "", -1));
  EXPECT_FALSE(RegisterFileType(".kvd", "../../evil", "d", "/bin/kv", "%1", "", -1));
  EXPECT_FALSE(RegisterFileType(".k/../../x", ProjectProgID(), "d", "/bin/kv", "%1", "", -1));
  EXPECT_FALSE(RegisterFileType(".kvd", ProjectProgID(), "d", "/bin/k\nv", "%1", "", -1));
  EXPECT_TRUE(fs::is_empty(dataHome_));
}

TEST_F(GlobalsPerTest, ProjectsFolderFollowsTheSettings) {
  const std::string work = dir_ + "/work";
  fs::create_directories(work);
  RegWriteString("opt", "defworkdirfolder", work);
  RegWriteString("opt", "projectfolder", "../Projects");
  EXPECT_EQ(GetProjectsFolder(), work);  // the subfolder does not exist yet
  fs::create_directories(work + "/Projects");
  EXPECT_EQ(GetProjectsFolder(), work + "/Projects");
  RegWriteString("opt", "projectfolder", "/data/projects");
  EXPECT_EQ(GetProjectsFolder(), "/data/projects");
  RegWriteString("opt", "projectfolder", "Projects");
  RegWriteString("opt", "defworkdirfolder", "");
  EXPECT_EQ(GetProjectsFolder(), "");
}

TEST_F(GlobalsPerTest, SelectFolderStoresChoicesInsideTheBaseRelative) {
  const std::string base = dir_ + "/base";
  fs::create_directories(base + "/Docs/Sub");
  std::optional<std::string> answer;
  TFolderDialogRequest seen;
  ScopedFolderDialog dialog([&](const TFolderDialogRequest& r) {
    seen = r;
    return answer;
  });

  std::string folder = "../Old";
  SelectFolder("Choose", "../Docs", base, folder);  // cancelled
  EXPECT_EQ(folder, "../Old");
  EXPECT_EQ(seen.InitialFolder, base + "/Docs");
  EXPECT_EQ(seen.Title, "Choose");
  EXPECT_TRUE(seen.NewDialogStyle);
  EXPECT_FALSE(seen.IncludeFiles);

  SelectFolder("Choose", "../Missing", base, folder);
  EXPECT_EQ(seen.InitialFolder, base + "/");

  answer = base + "/Docs/Sub";
  SelectFolder("Choose", "", base, folder);
  EXPECT_EQ(folder, "../Docs/Sub");
  // A folder that merely contains the base path somewhere is not inside it.
  answer = "/elsewhere" + base + "/Docs";
  SelectFolder("Choose", "", base, folder);
  EXPECT_EQ(folder, *answer);
  answer = "/tmp";
  SelectFolder("Choose", "", "", folder);
  EXPECT_EQ(folder, "/tmp");
  answer = "";
  SelectFolder("Choose", "", base, folder);
  EXPECT_EQ(folder, "");
}

TEST_F(GlobalsPerTest, FileOperationsNeverOverwriteAndDeleteToTrash) {
  const std::string a = dir_ + "/a.txt", b = dir_ + "/b.txt", into = dir_ + "/into";
  fs::create_directories(into);
  Touch(a);
  std::ofstream(b) << "b";
  EXPECT_TRUE(FileOperation({a}, into, foCopy));
  EXPECT_TRUE(fs::exists(into + "/a.txt"));
  EXPECT_FALSE(FileOperation({a}, into, foCopy));  // already there
  EXPECT_FALSE(FileOperation({a}, b, foRename));   // b exists
  EXPECT_EQ(ReadAll(b), "b");
  EXPECT_TRUE(FileOperation({b}, into, foMove));
  EXPECT_FALSE(fs::exists(b));
  EXPECT_TRUE(FileOperation({a}, dir_ + "/c.txt", foRename));

  EXPECT_TRUE(FileOperation({dir_ + "/c.txt"}, "", foDelete));
  EXPECT_FALSE(fs::exists(dir_ + "/c.txt"));
  EXPECT_TRUE(fs::exists(dataHome_ + "/Trash/files/c.txt"));
  EXPECT_NE(ReadAll(dataHome_ + "/Trash/info/c.txt.trashinfo").find("Path=" + dir_ + "/c.txt"), std::string::npos);
  EXPECT_FALSE(FileOperation({dir_ + "/missing"}, into, foCopy));
  EXPECT_FALSE(FileOperation({into + "/a.txt"}, "", 9));
}

TEST_F(GlobalsPerTest, EnvironmentAndDataFiles) {
  setenv("KV_GP_TEST", "/x y", 1);
  EXPECT_EQ(ExpandEnvironment("%KV_GP_TEST%/lib"), "/x y/lib");
  EXPECT_EQ(ExpandEnvironment("%KV_NOT_SET%/%KV_GP_TEST%%"), "%KV_NOT_SET%//x y%");
  EXPECT_EQ(ExpandEnvironment("100%"), "100%");
  unsetenv("KV_GP_TEST");

  const char* keys[][2] = {{"lang", "lngfile"}, {"lang", "lngdll"}, {"database", "databasenamegen"},
                           {"database", "databasenamelib"}};
  for (const auto& k : keys) {
    Touch(dir_ + "/" + k[1]);
    RegWriteString(k[0], k[1], dir_ + "/" + k[1]);
  }
  EXPECT_TRUE(RequiredDataFilesPresent());
  for (const auto& k : keys) {
    fs::remove(dir_ + "/" + k[1]);
    EXPECT_FALSE(RequiredDataFilesPresent()) << k[1];
    Touch(dir_ + "/" + k[1]);
  }
}

}  // namespace
}  // namespace kelvado

#include "storage/db/LibSchema.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>

#include "framework/tiFirebird.h"
#include "tests/framework/TempDirTest.h"

using namespace kelvado;
namespace fs = std::filesystem;

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The schema as isql extracts it, whitespace collapsed.
std::string ExtractSchema(const std::string& file) {
  const std::string cmd = "isql-fb -x -user SYSDBA '" + file + "' 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return {};
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  std::string norm;
  for (char c : out) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!norm.empty() && norm.back() != ' ') norm += ' ';
    } else {
      norm += c;
    }
  }
  return norm;
}

std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string BinDir() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

class LibSchemaTest : public kelvado::testing::TempDirTest {
protected:
  LibSchemaTest() : TempDirTest("kv-libtest", "New.klb") {}
};

// Columns in declared order: "!" NOT NULL, "?" nullable.
const char* const kCommon = "KVDVersion D_KELVADOVERSION !,NormVersion D_NORMVERSION !,IsProtected D_BOOLEAN !,";
const std::vector<std::pair<std::string, std::string>> kTables = {
    {"Next_OID", "OID D_OID !"},
    {"LibMetaData",
     "IsProtected D_BOOLEAN !,DateTime TIMESTAMP !,Info D_TEXT !,Name D_NAME !,Owner D_NAME !,"
     "NormVersion D_NORMVERSION !,OID D_OID !,KVDVersion D_KELVADOVERSION !"},
    {"Components",
     std::string(kCommon) +
         "Cat D_CAT !,CatDocumentation D_TEXT !,CatStandard D_TEXT !,CatStandardFile D_TEXT !,"
         "CCFScore DOUBLE PRECISION !,CCFScoreDet D_DETERMINATION !,DCavg DOUBLE PRECISION !,"
         "DCavgDet D_DETERMINATION !,DCavgDocumentation D_TEXT !,Description D_TEXT !,Document D_PATH !,"
         "Documentation D_TEXT !,Manufacturer D_NAME !,MissionTime DOUBLE PRECISION !,MTTFd DOUBLE PRECISION !,"
         "MTTFdDet D_DETERMINATION !,Name D_NAME !,OID D_OID !,PartNo D_NAME !,PLDirectNoBind D_PL !,"
         "IsPLPFHBind D_BOOLEAN !,PFH DOUBLE PRECISION !,PLDet D_DETERMINATION !,PLDocumentation D_TEXT !,"
         "UseWorstCaseMTTFd D_BOOLEAN !,CatConditionsRelevant D_BOOLEAN !"},
    {"ComponentOps", std::string(kCommon) + "Component D_OID !,CompOrder DOUBLE PRECISION !,OID D_OID !"},
    {"Channels", std::string(kCommon) + "IsTestChannel D_BOOLEAN !,OID D_OID !"},
    {"ChannelOps", std::string(kCommon) +
                       "Channel D_OID !,ComponentOp D_OID ?,OID D_OID !,ChnOrder DOUBLE PRECISION !,"
                       "TestChannelOp D_OID ?,IsTestChannelOp D_BOOLEAN !"},
    {"Blocs", std::string(kCommon) +
                  "DC DOUBLE PRECISION !,DCDet D_DETERMINATION !,DCDocumentation D_TEXT !,DCMeasureOp D_OID ?,"
                  "Description D_TEXT !,Document D_PATH !,Documentation D_TEXT !,Manufacturer D_NAME !,"
                  "MissionTime DOUBLE PRECISION !,MTTFd DOUBLE PRECISION !,MTTFdDet D_DETERMINATION !,"
                  "Name D_NAME !,OID D_OID !,PartNo D_NAME !"},
    {"BlocOps", std::string(kCommon) + "Bloc D_OID !,BlocOrder DOUBLE PRECISION !,ChannelOp D_OID ?,OID D_OID !"},
    {"Elements", std::string(kCommon) +
                     "B10d DOUBLE PRECISION !,DC DOUBLE PRECISION !,DCDet D_DETERMINATION !,"
                     "DCDocumentation D_TEXT !,DCMeasureOp D_OID ?,Description D_TEXT !,Document D_PATH !,"
                     "Documentation D_TEXT !,Manufacturer D_NAME !,MissionTime DOUBLE PRECISION !,"
                     "MTTFd DOUBLE PRECISION !,Name D_NAME !,OID D_OID !,PartNo D_NAME !,"
                     "Technology D_TECHNOLOGY !,UseB10d D_BOOLEAN !"},
    {"ElementOps", std::string(kCommon) +
                       "BlocOp D_OID ?,Element D_OID !,ElmOrder DOUBLE PRECISION !,Nop DOUBLE PRECISION !,"
                       "OID D_OID !"},
    {"DCMeasures", std::string(kCommon) +
                       "DCmax DOUBLE PRECISION !,DCmin DOUBLE PRECISION !,Dependency D_TEXT !,Description D_TEXT !,"
                       "Document D_PATH !,Documentation D_TEXT !,Heading D_NAME !,OID D_OID !"},
    {"DCMeasureInsuffPLs", "DCMeasure D_OID !,PL D_PL !"},
    {"DCMeasureOps", std::string(kCommon) + "DC DOUBLE PRECISION !,DCMeasure D_OID !,OID D_OID !"},
    {"CCFMeasures", std::string(kCommon) +
                        "Description D_TEXT !,Document D_PATH !,Documentation D_TEXT !,Heading D_NAME !,"
                        "Number D_NAME !,OID D_OID !,Score DOUBLE PRECISION !"},
    {"CCFMeasureOps", std::string(kCommon) +
                          "CCFMOrder DOUBLE PRECISION !,CCFMeasure D_OID !,Component D_OID ?,OID D_OID !"},
    {"CatConditions", std::string(kCommon) + "OID D_OID !,Text D_TEXT !,CCID D_OID !"},
    {"CatConditionOps", std::string(kCommon) + "CatCondition D_OID !,Component D_OID ?,OID D_OID !"},
    {"PLConditions", std::string(kCommon) + "OID D_OID !,Text D_TEXT !,PLCID D_OID !"},
    {"PLConditionOps", std::string(kCommon) + "PLCondition D_OID !,Component D_OID ?,OID D_OID !"},
};

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t b = 0;
  for (size_t e; (e = s.find(sep, b)) != std::string::npos; b = e + 1) out.push_back(s.substr(b, e - b));
  out.push_back(s.substr(b));
  return out;
}

// The extracted column list of one table in the form of kTables, and its primary key.
std::map<std::string, std::pair<std::string, std::string>> ParseTables(const std::string& ddl) {
  std::map<std::string, std::pair<std::string, std::string>> tables;
  static const std::regex re(R"(CREATE TABLE (\w+) \((.*?)\);)");
  for (std::sregex_iterator it(ddl.begin(), ddl.end(), re), end; it != end; ++it) {
    std::string cols, pk;
    for (std::string item : Split((*it)[2].str(), ',')) {
      item = std::regex_replace(item, std::regex("^ +| +$"), "");
      if (item.rfind("CONSTRAINT ", 0) == 0) {
        pk = item;
        continue;
      }
      const bool notNull = item.size() > 9 && item.compare(item.size() - 9, 9, " NOT NULL") == 0;
      if (notNull) item.resize(item.size() - 9);
      cols += (cols.empty() ? "" : ",") + item + (notNull ? " !" : " ?");
    }
    tables[(*it)[1].str()] = {cols, pk};
  }
  return tables;
}

}  // namespace

TEST_F(LibSchemaTest, ScriptsComeInTheirRunningOrder) {
  const auto& s = LibSchemaScripts();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_STREQ(s[0].Name, "KELVADO_LIB");
  EXPECT_STREQ(s[1].Name, "KELVADO_LIB_DEP");
  EXPECT_STREQ(s[2].Name, "KELVADO_LIB_RNG");
  for (const auto& x : s) {
    EXPECT_NE(x.Text.find("/*COMMIT;*/"), std::string::npos) << x.Name;
    EXPECT_EQ(Upper(std::string(x.Text)).find("CREATE DATABASE"), std::string::npos) << x.Name;
  }
}

TEST_F(LibSchemaTest, NewLibraryHasEveryTableKeyAndCheck) {
  CreateLibraryDatabaseFile(file_);
  const std::string ddl = ExtractSchema(file_);
  ASSERT_NE(ddl.find("CREATE TABLE"), std::string::npos) << ddl.substr(0, 500);

  const auto tables = ParseTables(ddl);
  EXPECT_EQ(tables.size(), 19u);
  for (const auto& [name, cols] : kTables) {
    const auto it = tables.find(Upper(name));
    ASSERT_NE(it, tables.end()) << name;
    EXPECT_EQ(it->second.first, Upper(cols)) << name;
    const bool keyed = name != "Next_OID" && name != "LibMetaData" && name != "DCMeasureInsuffPLs";
    EXPECT_EQ(it->second.second, keyed ? Upper("CONSTRAINT PK_" + name + " PRIMARY KEY (OID)") : "") << name;
  }

  static const std::regex fkRe(R"(ALTER TABLE (\w+) ADD FOREIGN KEY \((\w+)\) REFERENCES (\w+) \(OID\);)");
  std::set<std::string> fks;
  for (std::sregex_iterator it(ddl.begin(), ddl.end(), fkRe), end; it != end; ++it)
    fks.insert((*it)[1].str() + "." + (*it)[2].str() + ">" + (*it)[3].str());
  const std::set<std::string> wantFks = {
      "COMPONENTOPS.COMPONENT>COMPONENTS",       "CHANNELOPS.CHANNEL>CHANNELS",
      "CHANNELOPS.COMPONENTOP>COMPONENTOPS",     "BLOCOPS.BLOC>BLOCS",
      "BLOCOPS.CHANNELOP>CHANNELOPS",            "ELEMENTOPS.BLOCOP>BLOCOPS",
      "ELEMENTOPS.ELEMENT>ELEMENTS",             "DCMEASUREOPS.DCMEASURE>DCMEASURES",
      "BLOCS.DCMEASUREOP>DCMEASUREOPS",          "ELEMENTS.DCMEASUREOP>DCMEASUREOPS",
      "CCFMEASUREOPS.CCFMEASURE>CCFMEASURES",    "CCFMEASUREOPS.COMPONENT>COMPONENTS",
      "CATCONDITIONOPS.CATCONDITION>CATCONDITIONS", "CATCONDITIONOPS.COMPONENT>COMPONENTS",
      "PLCONDITIONOPS.PLCONDITION>PLCONDITIONS", "PLCONDITIONOPS.COMPONENT>COMPONENTS"};
  EXPECT_EQ(fks, wantFks);

  static const std::regex ckRe(R"(ALTER TABLE (\w+) ADD CHECK (.*?);)");
  std::multiset<std::string> checks;
  for (std::sregex_iterator it(ddl.begin(), ddl.end(), ckRe), end; it != end; ++it)
    checks.insert((*it)[1].str() + ": " + (*it)[2].str());
  const std::multiset<std::string> wantChecks = {
      "COMPONENTS: (CCFScore BETWEEN 0.0 AND 100.0)",
      "COMPONENTS: ((DCavg >= 0.0) OR (DCavg = -2.0))",
      "COMPONENTS: ((MissionTime >= 0.0) OR (MissionTime = -2.0))",
      "COMPONENTS: ((MTTFd >= 3.0) OR (MTTFd = -2.0))",
      "COMPONENTS: ((PFH >= 0.0) OR (PFH = -2.0))",
      "BLOCS: ((DC >= 0.0) OR (DC = -2.0))",
      "BLOCS: ((MissionTime >= 0.0) OR (MissionTime = -2.0))",
      "BLOCS: ((MTTFd >= 3.0) OR (MTTFd = -2.0))",
      "ELEMENTS: ((B10d >= 0.0) OR (B10d = -2.0))",
      "ELEMENTS: ((DC >= 0.0) OR (DC = -2.0))",
      "ELEMENTS: ((MissionTime >= 0.0) OR (MissionTime = -2.0))",
      "ELEMENTS: ((MTTFd >= 3.0) OR (MTTFd = -2.0))",
      "ELEMENTOPS: ((Nop >= 0.0) OR (Nop = -2.0))",
      "DCMEASURES: ((DCmax >= 0.0) OR (DCmax = -2.0))",
      "DCMEASURES: ((DCmin >= 0.0) OR (DCmin = -2.0))",
      "DCMEASUREOPS: ((DC >= 0.0) OR (DC = -2.0))",
      "CCFMEASURES: (Score BETWEEN 0.0 AND 100.0)"};
  EXPECT_EQ(checks, wantChecks);

  static const std::regex domRe(R"(CREATE DOMAIN (\w+) AS (.*?);)");
  std::map<std::string, std::string> domains;
  for (std::sregex_iterator it(ddl.begin(), ddl.end(), domRe), end; it != end; ++it)
    domains[(*it)[1].str()] = (*it)[2].str();
  static const std::regex domCkRe(R"(ALTER DOMAIN (\w+) ADD CONSTRAINT CHECK (.*?);)");
  for (std::sregex_iterator it(ddl.begin(), ddl.end(), domCkRe), end; it != end; ++it)
    domains[(*it)[1].str()] += " CHECK " + (*it)[2].str();
  const std::map<std::string, std::string> wantDomains = {
      {"D_BOOLEAN", "SMALLINT DEFAULT 0 CHECK (VALUE BETWEEN 0 AND 1)"},
      {"D_CAT", "CHAR(4) DEFAULT 'cat4' CHECK (VALUE IN ('catB', 'cat1', 'cat2', 'cat3', 'cat4'))"},
      {"D_DC", "VARCHAR(8) DEFAULT 'dcNone' CHECK (VALUE IN ('dcNone', 'dcLow', 'dcMedium', 'dcHigh'))"},
      {"D_DETERMINATION",
       "VARCHAR(11) DEFAULT 'detDirect' CHECK (VALUE IN ('detDirect', 'detSubItems', 'detMeasures'))"},
      {"D_MTTFD", "VARCHAR(10) DEFAULT 'mttfLow' CHECK (VALUE IN ('mttfLow', 'mttfMedium', 'mttfHigh'))"},
      {"D_NORMVERSION", "VARCHAR(1024) DEFAULT 'ISO 13849-1:2006, ISO 13849-2:2003'"},
      {"D_KELVADOVERSION", "VARCHAR(1024) DEFAULT ''"},
      {"D_OID", "VARCHAR(36)"},
      {"D_PL", "CHAR(3) DEFAULT 'plA' CHECK (VALUE IN ('plA', 'plB', 'plC', 'plD', 'plE', 'plN'))"},
      {"D_TECHNOLOGY",
       "VARCHAR(18) DEFAULT 'tecOther' CHECK (VALUE IN ('tecElectromechanic', 'tecElectronic', 'tecHydraulic', "
       "'tecMechanic', 'tecPneumatic', 'tecOther'))"},
      {"D_NAME", "VARCHAR(1024)"},
      {"D_PATH", "VARCHAR(2048)"},
      {"D_TEXT", "VARCHAR(8192)"}};
  EXPECT_EQ(domains, wantDomains);
}

TEST_F(LibSchemaTest, ChecksAndKeysGuardTheRows) {
  CreateLibraryDatabaseFile(file_);
  TtiFBDatabase db(file_);
  db.Connect();
  TtiFBTransaction tr(db);
  auto exec = [&](const std::string& sql) {
    tr.Start();
    try {
      db.ExecuteImmediate(tr, sql);
      tr.Commit();
      return true;
    } catch (const EtiFBException&) {
      tr.RollBack();
      return false;
    }
  };
  const std::string v = "'1.1.2', 'ISO 13849-1:2006, ISO 13849-2:2003', 0";
  auto bloc = [&](const std::string& oid, const std::string& mttfd) {
    return "INSERT INTO Blocs VALUES (" + v + ", 0.9, 'detDirect', '', NULL, '', '', '', '', 20, " + mttfd +
           ", 'detDirect', 'b', '" + oid + "', '')";
  };
  auto element = [&](const std::string& oid, const std::string& mttfd, const std::string& tec) {
    return "INSERT INTO Elements VALUES (" + v + ", -2.0, 0.9, 'detDirect', '', NULL, '', '', '', '', 20, " + mttfd +
           ", 'e', '" + oid + "', '', '" + tec + "', 0)";
  };
  auto component = [&](const std::string& oid, const std::string& mttfd, const std::string& cat,
                       const std::string& pl) {
    return "INSERT INTO Components VALUES (" + v + ", '" + cat + "', '', '', '', 65, 'detDirect', 0.9, "
           "'detDirect', '', '', '', '', '', 20, " + mttfd + ", 'detDirect', 'c', '" + oid + "', '', '" + pl +
           "', 0, 1e-7, 'detDirect', '', 0, 1)";
  };
  // MTTFd below 3 years is refused; the stored infinity and 3 years upward are accepted.
  EXPECT_FALSE(exec(bloc("b1", "2.5")));
  EXPECT_TRUE(exec(bloc("b2", "-2.0")));
  EXPECT_TRUE(exec(bloc("b3", "3.0")));
  EXPECT_FALSE(exec(element("e1", "2.5", "tecOther")));
  EXPECT_TRUE(exec(element("e2", "3.0", "tecOther")));
  EXPECT_FALSE(exec(element("e3", "30", "tecWood")));
  EXPECT_FALSE(exec(component("c1", "2.5", "cat4", "plD")));
  EXPECT_FALSE(exec(component("c2", "30", "cat5", "plD")));
  EXPECT_TRUE(exec(component("c3", "30", "cat4", "plN")));
  EXPECT_TRUE(exec(component("c4", "-2.0", "catB", "plA")));
  EXPECT_FALSE(exec("INSERT INTO CCFMeasures VALUES (" + v + ", '', '', '', 'h', '1', 'm1', 101)"));
  // The insufficient-PL rows have no foreign key.
  EXPECT_TRUE(exec("INSERT INTO DCMeasureInsuffPLs VALUES ('no-such-measure', 'plE')"));
  EXPECT_FALSE(exec("INSERT INTO DCMeasureInsuffPLs VALUES ('m', 'plF')"));
  // Nodes need their data row, and a data row with a node cannot go first.
  EXPECT_FALSE(exec("INSERT INTO BlocOps VALUES (" + v + ", 'nothing', 1, NULL, 'n0')"));
  EXPECT_TRUE(exec("INSERT INTO BlocOps VALUES (" + v + ", 'b2', 1, NULL, 'n1')"));
  EXPECT_FALSE(exec("DELETE FROM Blocs WHERE OID = 'b2'"));
  EXPECT_TRUE(exec("DELETE FROM BlocOps WHERE OID = 'n1'"));
  EXPECT_TRUE(exec("DELETE FROM Blocs WHERE OID = 'b2'"));
  // Booleans are 0 or 1.
  EXPECT_FALSE(exec("INSERT INTO Channels VALUES (" + v + ", 2, 'ch1')"));
  EXPECT_TRUE(exec("INSERT INTO Channels VALUES (" + v + ", 1, 'ch2')"));
}

TEST_F(LibSchemaTest, CreationNeverOverwritesAndLeavesNoHalfFile) {
  { std::FILE* f = std::fopen(file_.c_str(), "w"); std::fputs("keep", f); std::fclose(f); }
  EXPECT_THROW(CreateLibraryDatabaseFile(file_), EtiFBException);
  EXPECT_EQ(fs::file_size(file_), 4u);  // the existing file is untouched

  const std::string bad = dir_ + "/no/such/folder/x.klb";
  try {
    CreateLibraryDatabaseFile(bad);
    FAIL() << "created in a missing folder";
  } catch (const EtiFBException& e) {
    EXPECT_NE(e.Message().find(bad), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(fs::exists(bad));
}

class DefaultLibrary : public kelvado::testing::TempDirTest {
protected:
  DefaultLibrary() : TempDirTest("kv-deflib", "KELVADO_LIB_DE.KLB") {}
};

// Attaching writes to a database file (its header page), so the shipped file is read through a copy and must
// come out byte for byte as it was.
TEST_F(DefaultLibrary, IsAnEmptyLibraryBesideTheProgram) {
  const std::string shipped = BinDir() + "/Libraries/KELVADO_LIB_DE.KLB";
  ASSERT_TRUE(fs::exists(shipped)) << shipped;
  const std::string before = ReadAll(shipped);
  fs::copy_file(shipped, file_);
  TtiFBDatabase db(file_);
  db.Connect();
  TtiFBTransaction tr(db);
  tr.Start(true);
  TtiFBStatement q(db, tr);
  int tables = 0;
  for (const auto& [name, cols] : kTables) {
    q.SetSQL("SELECT COUNT(*) FROM " + name);
    q.Open();
    EXPECT_EQ(q.FieldAsInteger(0), 0) << name;
    ++tables;
  }
  EXPECT_EQ(tables, 19);
  tr.Commit();
  db.Disconnect();
  EXPECT_TRUE(ReadAll(shipped) == before) << shipped << " was changed";
}

#include "framework/tiQueryXML.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "framework/tiLibXml.h"
#include "framework/tiPerManager.h"
#include "tests/framework/ProbedLayer.h"
#include "tests/framework/StoreConformance.h"
#include "tests/framework/TempDirTest.h"
#include "tests/framework/XMLTestFiles.h"

namespace kelvado::test {

namespace {

const char* const cEmptyFile =
    "<?xml version=\"1.0\"?><xmldocdata><tiper version=\"2.0\"/><tables></tables></xmldocdata>";

std::unique_ptr<TtiDBMetaDataTable> ItemsTable() {
  auto t = std::make_unique<TtiDBMetaDataTable>();
  t->SetName("Items");
  t->AddField("OID", qfkString, 36);
  t->AddField("Name", qfkString, 1024);
  t->AddField("Owner", qfkString, 36);
  t->AddField("Amount", qfkInteger);
  return t;
}


std::unique_ptr<TtiQueryParams> Values(std::initializer_list<std::pair<const char*, const char*>> pairs) {
  auto p = std::make_unique<TtiQueryParams>();
  for (const auto& [name, value] : pairs) p->SetValueAsString(name, value);
  return p;
}

class XMLStore : public testing::TempDirTest {
protected:
  XMLStore() : TempDirTest("kelvado-xmlstore", "project.kvd") {}

  // A new store with table Items, connected.
  void Open() {
    TtiDatabaseXML().CreateDatabase(file_, "", "");
    db_.Connect(file_, "user", "pw", "");
    db_.CreateTable(*ItemsTable());
    q_.AttachDatabase(&db_);
  }
  // A store holding one committed row "saved"; the file's bytes and the folder's entries as they are then.
  void OpenSaved() {
    Open();
    Insert("1", "saved");
    db_.StartTransaction();
    db_.Commit();
    saved = ReadWholeFile(file_);
    entries = FolderEntries(dir_);
  }
  // Connects to a file holding `text`.
  void OpenText(const std::string& text) {
    WriteWholeFile(file_, text);
    db_.Connect(file_, "", "", "");
    q_.AttachDatabase(&db_);
  }
  void Insert(const char* oid, const char* name, const char* owner = "") {
    auto p = Values({{"OID", oid}, {"Name", name}, {"Owner", owner}});
    q_.InsertRow("Items", p.get());
  }
  // The names of the rows the criteria select, in order.
  std::string Names(std::initializer_list<std::pair<const char*, const char*>> criteria) {
    auto where = Values(criteria);
    q_.SelectRow("items", where.get());
    std::string s;
    for (; !q_.Eof(); q_.Next()) s += (s.empty() ? "" : ",") + q_.FieldAsString("Name");
    return s;
  }
  // Connect error text of the file holding `text`.
  std::string ConnectError(const std::string& text) {
    WriteWholeFile(file_, text);
    TtiDatabaseXML db;
    const std::string e = Raised([&] { db.Connect(file_, "", "", ""); });
    EXPECT_FALSE(db.Connected());
    return e;
  }

  TtiDatabaseXML db_;
  TtiQueryXML q_;
  std::string saved;
  std::vector<std::string> entries;
};

}  // namespace

TEST_F(XMLStore, NewFileIsTheOneLineEmptyDocumentAndTablesAreWrittenAtOnce) {
  TtiDatabaseXML().CreateDatabase(dir_ + "/a/b/new.kvd", "", "");  // missing folders are made
  EXPECT_EQ(ReadWholeFile(dir_ + "/a/b/new.kvd"), cEmptyFile);
  db_.Connect(dir_ + "/a/b/new.kvd", "", "", "");
  TtiDBMetaData md;
  db_.ReadMetaDataTables(md);
  EXPECT_EQ(md.Count(), 0);

  db_.CreateTable(*ItemsTable());
  const std::string text = ReadWholeFile(dir_ + "/a/b/new.kvd");
  EXPECT_NE(text.find("<table table_name=\"items\"><fields><field field_name=\"oid\" field_kind=\"string\" "
                      "field_Size=\"36\"/>"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("<field field_name=\"amount\" field_kind=\"integer\" field_Size=\"0\"/></fields><rows/>"),
            std::string::npos)
      << text;
  EXPECT_EQ(Raised([&] { db_.CreateTable(*ItemsTable()); }),
            "EtiPerInternalException: Attempt to create duplicate table name <Items>");

  TtiDBMetaDataTable fields;
  fields.SetName("ITEMS");
  db_.ReadMetaDataFields(fields);
  ASSERT_EQ(fields.Count(), 4);
  EXPECT_EQ(fields.Items(1)->GetName(), "name");
  EXPECT_EQ(fields.Items(1)->GetWidth(), 1024);
  EXPECT_EQ(fields.Items(3)->GetKind(), qfkInteger);
}

TEST_F(XMLStore, EveryFieldKindIsWrittenAndReadBack) {
  TtiDatabaseXML().CreateDatabase(file_, "", "");
  db_.Connect(file_, "", "", "");
  TtiDBMetaDataTable t;
  t.SetName("Kinds");
  for (auto [name, kind] : {std::pair{"S", qfkString}, {"I", qfkInteger}, {"F", qfkFloat}, {"D", qfkDateTime},
                            {"L", qfkLogical}, {"B", qfkBinary}, {"LS", qfkLongString}, {"Empty", qfkString}})
    t.AddField(name, kind);
  db_.CreateTable(t);
  q_.AttachDatabase(&db_);

  const std::string text = "a&b <c> \"q\" 'a', tab\there\r\nline 2\r\u00e4\u20ac\U0001F600";
  const std::string bytes("\x00\x01\xff\r\n", 5);
  const double floats[] = {12.5, 1e-7, -2.0, std::numeric_limits<double>::infinity(), 0.1};
  for (double f : floats) {
    TtiQueryParams p;
    p.SetValueAsString("S", text);
    p.SetValueAsInteger("I", -9007199254740993LL);
    p.SetValueAsFloat("F", f);
    p.SetValueAsDateTime("D", EncodeDateTime(2024, 2, 29, 23, 59, 58, 400));
    p.SetValueAsBoolean("L", true);
    std::stringstream in(bytes);
    p.SetValueAsStream("B", in);
    p.SetValueAsString("LS", std::string(20000, 'x'));
    q_.InsertRow("Kinds", &p);
  }
  db_.StartTransaction();
  db_.Commit();
  db_.Connect(file_, "", "", "");  // read back from the file

  q_.SelectRow("Kinds", nullptr);
  for (double f : floats) {
    ASSERT_FALSE(q_.Eof());
    EXPECT_EQ(q_.FieldAsString("S"), text);
    EXPECT_EQ(q_.FieldAsInteger("I"), -9007199254740993LL);
    EXPECT_EQ(q_.FieldAsFloat("F"), f);
    EXPECT_EQ(q_.FieldAsDateTime("D"), EncodeDateTime(2024, 2, 29, 23, 59, 58, 400));
    EXPECT_TRUE(q_.FieldAsBoolean("L"));
    std::ostringstream out;
    q_.AssignFieldAsStream("B", out);
    EXPECT_EQ(out.str(), bytes);
    EXPECT_EQ(q_.FieldAsString("LS").size(), 20000u);
    EXPECT_TRUE(q_.FieldIsNull("Empty"));
    EXPECT_EQ(q_.FieldAsInteger("Empty"), 0);
    EXPECT_EQ(q_.FieldAsStringByIndex(0), text);
    EXPECT_EQ(q_.FieldKind(3), qfkDateTime);
    q_.Next();
  }
  EXPECT_TRUE(q_.Eof());
  // In the file: markup escaped by the document, line breaks as the store's own escapes, dates by position.
  const std::string file = ReadWholeFile(file_);
  EXPECT_NE(file.find("s=\"a&amp;b &lt;c&gt; &quot;q&quot; 'a', tab&#9;here&amp;cr;&amp;lf;line 2&amp;cr;\u00e4"),
            std::string::npos)
      << file.substr(0, 600);
  EXPECT_NE(file.find("d=\"29/02/2024 23:59:58:400\""), std::string::npos);
  EXPECT_NE(file.find("f=\"1E-7\""), std::string::npos);
  EXPECT_NE(file.find("l=\"TRUE\""), std::string::npos);
}

TEST_F(XMLStore, TextsThatConvertBadlyOrFromACommaLocaleAreReadSoundly) {
  OpenText("<?xml version=\"1.0\"?><xmldocdata><tiper version=\"2.0\"/><tables><table table_name=\"t\">"
           "<fields><field field_name=\"v\" field_kind=\"string\" field_Size=\"10\"/></fields><rows>"
           "<row v=\"12,5\"/><row v=\"1,2,3\"/><row v=\"yes\"/><row v=\"abc\"/></rows></table></tables>"
           "</xmldocdata>");
  q_.SelectRow("T", nullptr);
  EXPECT_EQ(q_.FieldAsFloat("v"), 12.5);
  q_.Next();
  const std::string e = Raised([&] { q_.FieldAsFloat("v"); });
  EXPECT_NE(e.find("EtiPerDataException: Error reading field <v> \rFrom row <1> \rIn table <t> \rXML: <<row "
                   "v=\"1,2,3\"/>> Message: "),
            std::string::npos)
      << e;
  q_.Next();
  EXPECT_TRUE(q_.FieldAsBoolean("V"));
  q_.Next();
  EXPECT_FALSE(q_.FieldAsBoolean("v"));
  EXPECT_NE(Raised([&] { q_.FieldAsIntegerByIndex(0); }).find("Error reading field index <0> "), std::string::npos);
  EXPECT_NE(Raised([&] { q_.FieldAsDateTime("v"); }).find("abc"), std::string::npos);
}

TEST_F(XMLStore, RowsAreFoundByComparingEveryCriterionNeverBySplicingXPath) {
  Open();
  Insert("1", "pump", "A");
  Insert("2", "valve \"x\"] | //row[@oid='1", "B");
  Insert("3", "motor", "A");
  EXPECT_EQ(Names({{"Owner", "A"}}), "pump,motor");
  EXPECT_EQ(Names({{"Owner", "A"}, {"OID", "3"}}), "motor");  // all criteria must hold
  EXPECT_EQ(Names({{"Owner", "B"}, {"OID", "3"}}), "");
  EXPECT_EQ(Names({{"Name", "valve \"x\"] | //row[@oid='1"}}), "valve \"x\"] | //row[@oid='1");
  EXPECT_EQ(Names({{"OID", "1\" or @oid!=\""}}), "");
  EXPECT_EQ(Names({{"Unknown", ""}}), "");
  EXPECT_EQ(Names({}), "pump,valve \"x\"] | //row[@oid='1,motor");
  EXPECT_EQ(Raised([&] { q_.InsertRow("Nothing", nullptr); }),
            "EtiPerInternalException: Can not find table <Nothing> in <" + file_ + ">");
}

TEST_F(XMLStore, IndexesFollowInsertsUpdatesAndDeletesInFileOrder) {
  Open();
  Insert("1", "a1", "X");
  Insert("2", "a2", "Y");
  Insert("3", "a3", "X");
  EXPECT_EQ(Names({{"Owner", "X"}}), "a1,a3");  // builds the index of "owner"
  EXPECT_EQ(Names({{"OID", "2"}}), "a2");       // and of "oid"

  auto to = Values({{"Owner", "X"}}), where = Values({{"OID", "2"}});
  q_.UpdateRow("Items", to.get(), where.get());
  EXPECT_EQ(Names({{"Owner", "X"}}), "a1,a2,a3");
  EXPECT_EQ(Names({{"Owner", "Y"}}), "");

  auto newKey = Values({{"OID", "20"}});
  q_.UpdateRow("Items", newKey.get(), where.get());
  EXPECT_EQ(Names({{"OID", "2"}}), "");
  EXPECT_EQ(Names({{"OID", "20"}}), "a2");

  Insert("4", "a4", "X");
  EXPECT_EQ(Names({{"Owner", "X"}}), "a1,a2,a3,a4");
  auto gone = Values({{"Owner", "X"}, {"Name", "a3"}});
  q_.DeleteRow("Items", gone.get());
  EXPECT_EQ(Names({{"Owner", "X"}}), "a1,a2,a4");
  EXPECT_EQ(Names({{"OID", "3"}}), "");

  // Updates and deletes in a table that does not exist change nothing and raise nothing.
  q_.UpdateRow("Nothing", to.get(), where.get());
  q_.DeleteRow("Nothing", where.get());
  EXPECT_EQ(Names({}), "a1,a2,a4");
}

TEST_F(XMLStore, MissingValuesAreStoredEmptyAndReadAsNull) {
  Open();
  auto p = Values({{"OID", "1"}});
  q_.InsertRow("Items", p.get());
  q_.SelectRow("Items", nullptr);
  EXPECT_FALSE(q_.FieldIsNull("OID"));
  EXPECT_TRUE(q_.FieldIsNull("Name"));
  EXPECT_TRUE(q_.FieldIsNullByIndex(3));
  EXPECT_EQ(q_.FieldCount(), 4);
  EXPECT_EQ(q_.FieldIndex("AMOUNT"), 3);
  EXPECT_EQ(q_.FieldIndex("nope"), -1);
  auto emptyName = Values({{"Name", ""}});  // an empty criterion finds the rows stored empty
  q_.SelectRow("Items", emptyName.get());
  EXPECT_EQ(q_.FieldAsString("OID"), "1");
  q_.Next();
  EXPECT_NE(Raised([&] { q_.FieldAsString("OID"); }).find("There is no current row"), std::string::npos);
}

TEST_F(XMLStore, ValuesAFileCannotCarryAreRefusedBeforeAnythingChanges) {
  Open();
  auto control = Values({{"OID", "1"}, {"Name", "bell\x07"}});
  EXPECT_EQ(Raised([&] { q_.InsertRow("Items", control.get()); }),
            "EtiPerDataException: Can not store the value of <Name> in table <items>: U+0007 at position 5 can not "
            "be stored in an XML file");
  auto broken = Values({{"Name", "caf\xe9"}});
  EXPECT_NE(Raised([&] { q_.InsertRow("Items", broken.get()); }).find("byte 0xE9 at position 4"), std::string::npos);
  TtiQueryParams nan;
  nan.SetValueAsFloat("Amount", std::nan(""));
  EXPECT_NE(Raised([&] { q_.InsertRow("Items", &nan); }).find("NaN"), std::string::npos);
  auto badName = Values({{"Bad Name", "x"}});
  EXPECT_NE(Raised([&] { q_.UpdateRow("Items", badName.get(), nullptr); }).find("can not be an XML attribute name"),
            std::string::npos);
  // A row no reader could take back: its texts above what the parser reads of one element, as written (a
  // quote takes six bytes).
  const std::string quotes(1'600'000, '"');
  auto huge = Values({{"OID", "2"}, {"Name", quotes.c_str()}});
  EXPECT_NE(Raised([&] { q_.InsertRow("Items", huge.get()); })
                .find("Can not store the value of <name> in table <items>: its row would take 96000"),
            std::string::npos);
  EXPECT_FALSE(db_.Modified());
  EXPECT_EQ(Names({}), "");
  // Also by an update of a row that is there, which stays as it was.
  const std::string half(5'000'000, 'x');
  Insert("3", half.c_str());
  auto grown = Values({{"Owner", half.c_str()}});
  EXPECT_NE(Raised([&] { q_.UpdateRow("Items", grown.get(), nullptr); }).find("<items>: its row would take"),
            std::string::npos);
  q_.SelectRow("items", nullptr);
  EXPECT_EQ(q_.FieldAsString("Owner"), "");
}

TEST_F(XMLStore, CommitRollBackAndTransactions) {
  Open();
  Insert("1", "kept");
  db_.StartTransaction();
  db_.Commit();
  EXPECT_EQ(Raised([&] { db_.Commit(); }),
            "EtiPerInternalException: Attempt to commit but not in a transaction.");

  db_.StartTransaction();
  Insert("2", "dropped");
  auto rename = Values({{"Name", "renamed"}});
  q_.UpdateRow("Items", rename.get(), nullptr);
  q_.SelectRow("Items", nullptr);  // a query still holding rows of the document that goes
  db_.RollBack();
  EXPECT_FALSE(db_.InTransaction());
  EXPECT_NE(Raised([&] { q_.FieldAsString("Name"); }).find("no longer valid"), std::string::npos);
  EXPECT_EQ(Names({}), "kept");

  // A table created inside an open transaction is committed with it, not on its own.
  const std::string before = ReadWholeFile(file_);
  db_.StartTransaction();
  TtiDBMetaDataTable extra;
  extra.SetName("Extra");
  db_.CreateTable(extra);
  EXPECT_TRUE(db_.InTransaction());
  EXPECT_EQ(ReadWholeFile(file_), before);
  db_.Commit();
  EXPECT_NE(ReadWholeFile(file_).find("table_name=\"extra\""), std::string::npos);
  db_.DropTable(extra);
  EXPECT_EQ(ReadWholeFile(file_), before);
}

// Writing a file anew: the document becomes the tables given, and the rows of a table of the same columns are
// taken over by the inserts, giving exactly the file a fresh store would write; a rollback leaves the file.
TEST_F(XMLStore, ResetTablesGivesTheFreshDocumentAndRollsBack) {
  Open();
  Insert("1", "eins");
  Insert("2", "zwei");
  Insert("3", "drei");
  // A value no column declares (a file edited by hand), which the queries cannot see.
  auto colour = Values({{"Colour", "rot"}});
  auto two = Values({{"OID", "2"}});
  q_.UpdateRow("Items", colour.get(), two.get());
  TtiDBMetaDataTable old;
  old.SetName("Old");
  old.AddField("OID", qfkString, 36);
  db_.CreateTable(old);
  db_.StartTransaction();
  db_.Commit();
  const std::string before = ReadWholeFile(file_);
  db_.SetConnected(true);  // read from the file: rows have their lines
  TtiDatabaseXML::TUndeclaredAttribute found;
  ASSERT_TRUE(db_.FindUndeclaredAttribute(found));
  EXPECT_EQ(found.Table, "items");
  EXPECT_EQ(found.Row, 2);
  EXPECT_EQ(found.Attribute, "colour");
  EXPECT_EQ(found.Line, 2);
  q_.SelectRow("Items", nullptr);

  // The new tables: Items as it was, Other in place of Old.
  auto items = ItemsTable();
  TtiDBMetaDataTable other;
  other.SetName("Other");
  other.AddField("OID", qfkString, 36);
  other.AddField("Text", qfkString, 100);
  const auto write = [&](TtiQueryXML& q) {
    for (const char* oid : {"7", "2", "8", "9"}) {
      auto p = Values({{"OID", oid}, {"Name", oid == std::string("2") ? "zwei" : "neu"}, {"Owner", ""}});
      q.InsertRow("Items", p.get());
    }
    auto o = Values({{"OID", "1"}, {"Text", "a\nb"}});
    q.InsertRow("Other", o.get());
  };
  EXPECT_THROW(db_.ResetTables({items.get(), &other}), EtiPerInternalException);  // only inside a transaction
  db_.StartTransaction();
  db_.ResetTables({items.get(), &other});
  EXPECT_FALSE(db_.FindUndeclaredAttribute(found));
  EXPECT_THROW(q_.FieldAsString("Name"), EtiPerDataException);  // rows selected before are gone
  write(q_);
  EXPECT_EQ(ReadWholeFile(file_), before);  // nothing written before the commit
  db_.RollBack();
  EXPECT_EQ(ReadWholeFile(file_), before);
  EXPECT_EQ(Names({}), "eins,zwei,drei");

  db_.StartTransaction();
  db_.ResetTables({items.get(), &other});
  write(q_);
  db_.Commit();
  const std::string rewritten = ReadWholeFile(file_);
  // A store made from nothing with the same tables and rows writes the same bytes.
  const std::string fresh = dir_ + "/fresh.kvd";
  TtiDatabaseXML db;
  db.CreateDatabase(fresh, "", "");
  db.Connect(fresh, "", "", "");
  db.CreateTable(*items);
  db.CreateTable(other);
  TtiQueryXML q;
  q.AttachDatabase(&db);
  db.StartTransaction();
  write(q);
  db.Commit();
  EXPECT_EQ(rewritten, ReadWholeFile(fresh));
  EXPECT_EQ(Names({}), "neu,zwei,neu,neu");
}

// A document read elsewhere from the file is taken by the next connect of that file instead of reading it
// again, but only while the file is unchanged.
TEST_F(XMLStore, ADocumentOfferedForAnUnchangedFileIsTakenInsteadOfReadingIt) {
  OpenSaved();
  db_.SetConnected(false);
  const auto offered = [&] {
    TtiXMLParseResult read = tiXMLParseFile(file_);
    // Marked, so that the store's content tells where it came from.
    xmlNode* items = xmlDocGetRootElement(read.Doc.get())->children->next->children;
    xmlSetProp(items, tiXMLChars("table_name"), tiXMLChars("offered"));
    return read;
  };
  {
    TtiXMLDocumentOffer offer(file_, offered());
    db_.SetConnected(true);
    EXPECT_TRUE(offer.Taken());
    TtiDBMetaData md;
    db_.ReadMetaDataTables(md);
    EXPECT_EQ(md.Items(0)->GetName(), "offered");
  }
  {
    // Not by the connect of another file.
    TtiXMLDocumentOffer second(file_, offered());
    const std::string other = dir_ + "/other.kvd";
    WriteWholeFile(other, saved);
    TtiDatabaseXML db;
    db.Connect(other, "", "", "");
    EXPECT_FALSE(second.Taken());
    // The file changed since it was read (same bytes, a later time): read anew.
    const struct timespec read = ModificationTime(file_);
    do WriteWholeFile(file_, saved);
    while (SameTime(ModificationTime(file_), read));
    db_.SetConnected(true);
    EXPECT_FALSE(second.Taken());
    TtiDBMetaData md;
    db_.ReadMetaDataTables(md);
    EXPECT_EQ(md.Items(0)->GetName(), "items");
  }
}

TEST_F(XMLStore, AFileEditedByHandReads) {
  OpenText("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
           "<!-- edited by hand -->\r\n"
           "<xmldocdata>\r\n"
           "  <tiper version=\"2.0\"/>\r\n"
           "  <tables>\r\n"
           "    <table table_name=\"Items\">\r\n"
           "      <fields>\r\n"
           "        <field field_kind=\"string\" field_name=\"oid\" field_Size=\"36\"/>\r\n"
           "        <field field_name=\"name\" field_Size=\"100\" field_kind=\"String\"/>\r\n"
           "        <!-- amount added later -->\r\n"
           "        <field field_Size=\"0\" field_kind=\"INTEGER\" field_name=\"amount\"/>\r\n"
           "      </fields>\r\n"
           "      <rows>\r\n"
           "        <row amount=\"7\" name=\"Pump &amp; valve&amp;cr;&amp;lf;line 2\" oid=\"1\"/>\r\n"
           "        <!-- a comment between rows -->\r\n"
           "        <row oid='2'\r\n"
           "             amount = \"8\"  name=\"Motor\">\r\n"
           "        </row>\r\n"
           "      </rows>\r\n"
           "    </table>\r\n"
           "  </tables>\r\n"
           "</xmldocdata>\r\n");
  q_.SelectRow("items", nullptr);
  EXPECT_EQ(q_.FieldCount(), 3);
  EXPECT_EQ(q_.FieldAsString("Name"), "Pump & valve\r\nline 2");
  // By position of the declared column, whatever the order of the row's attributes.
  EXPECT_EQ(q_.FieldAsStringByIndex(1), "Pump & valve\r\nline 2");
  EXPECT_EQ(q_.FieldAsIntegerByIndex(2), 7);
  EXPECT_EQ(q_.FieldKind(2), qfkInteger);
  q_.Next();
  EXPECT_EQ(q_.FieldAsInteger("amount"), 8);
  q_.Next();
  EXPECT_TRUE(q_.Eof());
  EXPECT_EQ(Names({{"OID", "2"}}), "Motor");

  auto p = Values({{"OID", "3"}, {"Name", "Fan"}});
  q_.InsertRow("Items", p.get());
  db_.StartTransaction();
  db_.Commit();
  db_.Connect(file_, "", "", "");
  EXPECT_EQ(Names({}), "Pump & valve\r\nline 2,Motor,Fan");
  EXPECT_NE(ReadWholeFile(file_).find("<!-- a comment between rows -->"), std::string::npos);
}

TEST_F(XMLStore, UnreadableFilesGiveTheConnectErrorWithLineAndColumnAndNothingLoaded) {
  std::string e = ConnectError("<?xml version=\"1.0\"?>\n<xmldocdata><tables><table table_name=\"a\"><fie");
  EXPECT_NE(e.find("EtiPerDBExceptionCanNotConnect: Can not connect to database"), std::string::npos) << e;
  EXPECT_NE(e.find("Message:\rXML load error: "), std::string::npos) << e;
  EXPECT_NE(e.find("\rLine: 2\rPosition: "), std::string::npos) << e;
  EXPECT_NE(e.find("\rXML " + file_), std::string::npos) << e;

  e = ConnectError("This is no XML.\n");
  EXPECT_NE(e.find("Line: 1\rPosition: 1\r"), std::string::npos) << e;
  EXPECT_NE(e.find("Details This is no XML."), std::string::npos) << e;

  e = ConnectError("<?xml version=\"1.0\"?>\n<!-- a project -->\n  <project>\n</project>\n");
  EXPECT_NE(e.find("XML load error: the root element is <project>, not <xmldocdata>\rLine: 3\rPosition: 3\r"),
            std::string::npos)
      << e;

  e = ConnectError(
      "<?xml version=\"1.0\"?>\n<!DOCTYPE xmldocdata [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;\">]>\n"
      "<xmldocdata a=\"&b;\"/>");
  EXPECT_NE(e.find("XML load error: a DOCTYPE declaration is not allowed\rLine: 2\r"), std::string::npos) << e;
  EXPECT_EQ(e.find("aaaaaaaaaaa"), std::string::npos) << e;  // the source line, nothing expanded

  ::unlink(file_.c_str());
  TtiDatabaseXML db;
  e = Raised([&] { db.Connect(file_, "", "", ""); });
  EXPECT_NE(e.find("XML load error: can not open the file: No such file or directory\rLine: 0"), std::string::npos)
      << e;
  EXPECT_FALSE(db.TestConnectTo(file_, "", "", ""));

  // A reload that fails leaves nothing of the document that was loaded before.
  WriteWholeFile(file_, cEmptyFile);
  db.Connect(file_, "", "", "");
  WriteWholeFile(file_, "<broken");
  db.StartTransaction();
  TtiDBMetaDataTable t;
  t.SetName("t");
  db.CreateTable(t);
  EXPECT_NE(Raised([&] { db.RollBack(); }).find("XML load error"), std::string::npos);
  EXPECT_FALSE(db.Connected());
  EXPECT_TRUE(db.GetErrorInLastCall());  // a pool drops the connection instead of handing it out again
}

TEST_F(XMLStore, ReadingThroughTheFrameworkNeverWritesTheFile) {
  NewTestItemStore(db_, file_);
  q_.AttachDatabase(&db_);
  auto row = Values({{"OID", "1"}, {"Name", "one"}, {"Amount", "5"}});
  q_.InsertRow(cTestTable, row.get());
  db_.StartTransaction();
  db_.Commit();
  db_.SetConnected(false);
  AgeFile(file_);
  const std::string bytes = ReadWholeFile(file_);
  const struct timespec mtime = ModificationTime(file_);

  tiPerMgrShutdown();
  RegisterPersistenceLayerXML();
  tiPerMgr().RegReadVisitor(TVisTestItemsRead::StaticClass());
  tiPerMgr().ConnectDatabase(file_, "", "", "", cTIPersistXML);
  EXPECT_TRUE(tiPerMgr().TableExists("TESTITEM", file_, cTIPersistXML));
  TTestItems list;
  // The read group's transaction is committed as every group's is; nothing changed, so nothing is written.
  EXPECT_EQ(tiPerMgr().Read(&list, file_, cTIPersistXML), "");
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Items(0)->GetAmount(), 5);
  tiPerMgr().DisconnectDatabase(file_, cTIPersistXML);
  tiPerMgrShutdown();

  EXPECT_EQ(ReadWholeFile(file_), bytes);
  EXPECT_TRUE(SameTime(ModificationTime(file_), mtime));
}

// Root ignores permission bits, so "cannot write" is made three honest ways: an immutable folder, a write
// that runs out of room, and a folder that has been replaced by a file.
TEST_F(XMLStore, ASaveIntoAnImmutableFolderRaisesAndLeavesTheOldFile) {
  OpenSaved();
  {
    TImmutableFolder lock(dir_);
    if (!lock.Supported()) SKIP_OUTSIDE_CI(lock.Why());
    db_.StartTransaction();
    Insert("2", "unsaved");
    const std::string e = Raised([&] { db_.Commit(); });
    EXPECT_NE(e.find("EtiPerDBException: "), std::string::npos) << e;
    EXPECT_NE(e.find("Can not write the file <" + file_ + ">: can not create a temporary file"), std::string::npos)
        << e;
    EXPECT_TRUE(db_.InTransaction());  // to be rolled back
  }
  EXPECT_EQ(ReadWholeFile(file_), saved);
  EXPECT_EQ(FolderEntries(dir_), entries);
  db_.RollBack();
  EXPECT_EQ(Names({}), "saved");
}

TEST_F(XMLStore, ASaveThatRunsOutOfRoomRaisesAndLeavesTheOldFileAndNoTemporaryFile) {
  OpenSaved();
  // A file size limit in a child process: the write fails in the middle of the document, as on a full disk.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {static_cast<rlim_t>(saved.size() + 100), static_cast<rlim_t>(saved.size() + 100)};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    for (int i = 0; i < 200; ++i) Insert("n", "a row that makes the file larger than the limit allows");
    db_.StartTransaction();
    const std::string e = Raised([&] { db_.Commit(); });
    ::_exit(e.find("write failed (File too large)") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadWholeFile(file_), saved);
  EXPECT_EQ(FolderEntries(dir_), entries);
}

TEST_F(XMLStore, ASaveIntoAFolderReplacedByAFileRaises) {
  std::filesystem::create_directory(dir_ + "/sub");
  const std::string inner = dir_ + "/sub/p.kvd";
  TtiDatabaseXML().CreateDatabase(inner, "", "");
  db_.Connect(inner, "", "", "");
  std::filesystem::rename(dir_ + "/sub", dir_ + "/moved");
  WriteWholeFile(dir_ + "/sub", "a file");
  db_.StartTransaction();
  db_.CreateTable(*ItemsTable());
  EXPECT_NE(Raised([&] { db_.Commit(); }).find("Can not write the file <" + inner + ">"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(dir_ + "/moved/p.kvd"), cEmptyFile);
  EXPECT_EQ(FolderEntries(dir_ + "/moved"), std::vector<std::string>{"p.kvd"});
}

TEST_F(XMLStore, AProcessKilledWhileSavingLeavesAWholeFile) {
  Open();
  db_.StartTransaction();
  db_.Commit();
  for (int round = 0; round < 3; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Saves ever larger documents until it is killed.
      for (int i = 0;; ++i) {
        for (int k = 0; k < 2000; ++k) Insert("x", "row of a document that is being saved over and over");
        db_.StartTransaction();
        db_.Commit();
      }
    }
    // Killed while a save is under way (its temporary file is there), after more whole saves each round.
    const auto inode = [&] {
      struct stat st {};
      return ::stat(file_.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    const auto saving = [&] {
      for (const std::string& name : FolderEntries(dir_))
        if (name.rfind(".project.kvd.", 0) == 0) return true;
      return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int replaced = 0;
    for (ino_t last = inode(); !(replaced > round && saving());) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "round " << round << ": no save under way after " << replaced << " saves";
        break;
      }
      if (const ino_t now = inode(); now != last) {
        ++replaced;
        last = now;
      }
      std::this_thread::yield();
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    TtiDatabaseXML db;
    EXPECT_EQ(Raised([&] { db.Connect(file_, "", "", ""); }), "") << "round " << round;
    if (db.Connected()) {
      TtiQueryXML q;
      q.AttachDatabase(&db);
      q.SelectRow("Items", nullptr);
      size_t rows = 0;
      for (; !q.Eof(); q.Next()) ++rows;
      EXPECT_EQ(rows % 2000, 0u) << rows;  // whole saves only
    }
  }
}

// ---------------------------------------------------------------------------------------------------------
// The store conformance suite on this layer (its classes wrapped by tests/framework/ProbedLayer.h).

struct TXMLStoreUnderTest : TFileStoreUnderTest<TtiDatabaseXML> {
  static std::string LayerName() { return cTIPersistXML; }
  void RegisterLayer() {
    RegisterProbedLayer<TtiDatabaseXML, TtiQueryXML>(cTIPersistXML, &TtiDBConnectionPoolDataXML::StaticClass());
  }
};

INSTANTIATE_TYPED_TEST_SUITE_P(XML, StoreConformance, ::testing::Types<TXMLStoreUnderTest>);

TEST(XMLLayer, RegistersOnceWithOneConnectionPerFile) {
  tiPerMgrShutdown();
  RegisterPersistenceLayerXML();
  RegisterPersistenceLayerXML();
  TtiPersistenceLayers& layers = tiPerMgr().GetPersistenceLayers();
  ASSERT_EQ(layers.Count(), 1);
  TtiPersistenceLayer& layer = *layers.FindByPerLayerName("xml");
  EXPECT_EQ(layer.GetDatabaseClass(), &TtiDatabaseXML::StaticClass());
  EXPECT_EQ(layer.GetQueryClass(), &TtiQueryXML::StaticClass());

  std::string tmpl = "/tmp/kelvado-xmllayer-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl.data());
  tiPerMgr().CreateDatabase(dir + "/p.kvd", "", "", cTIPersistXML);
  tiPerMgr().ConnectDatabase(dir + "/p.kvd", "", "", "", cTIPersistXML);
  TDBConnectionPool& pool = *layer.GetDBConnectionPools().Find(dir + "/p.kvd");
  EXPECT_EQ(pool.MinPoolSize(), 0);
  EXPECT_EQ(pool.MaxPoolSize(), 1);
  tiPerMgr().CreateTable(*ItemsTable(), dir + "/p.kvd", cTIPersistXML);
  auto row = Values({{"OID", "1"}, {"Name", "through the manager"}});
  tiPerMgr().InsertRow("Items", row.get(), dir + "/p.kvd", cTIPersistXML);
  EXPECT_NE(ReadWholeFile(dir + "/p.kvd").find("through the manager"), std::string::npos);

  UnRegisterPersistenceLayerXML();
  EXPECT_EQ(layers.Count(), 0);
  tiPerMgrShutdown();
  UnRegisterPersistenceLayerXML();  // without a manager: nothing
  std::filesystem::remove_all(dir);
}

}  // namespace kelvado::test

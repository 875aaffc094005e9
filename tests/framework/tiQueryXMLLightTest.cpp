#include "framework/tiQueryXMLLight.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "framework/tiCBPort.h"
#include "framework/tiCompress.h"
#include "framework/tiPerManager.h"
#include "tests/framework/ProbedLayer.h"
#include "tests/framework/StoreConformance.h"
#include "tests/framework/TempDirTest.h"
#include "tests/framework/XMLTestFiles.h"

namespace kelvado::test {

namespace {

std::unique_ptr<TtiDBMetaDataTable> ItemsTable() {
  auto t = std::make_unique<TtiDBMetaDataTable>();
  t->SetName("Items");
  t->AddField("OID", qfkString, 36);
  t->AddField("Name", qfkString, 1024);
  t->AddField("Weight", qfkFloat);
  t->AddField("Amount", qfkInteger);
  t->AddField("Made", qfkDateTime);
  t->AddField("Ok", qfkLogical);
  t->AddField("Blob", qfkBinary);
  return t;
}

class XMLLightStore : public kelvado::testing::TempDirTest {
protected:
  XMLLightStore() : TempDirTest("kelvado-xmllightstore", "store.xml") {}

  // A new store with table Items, connected with `params`.
  void Open(const std::string& params = {}) {
    TtiDatabaseXMLLight().CreateDatabase(file_, "", "");
    db_.Connect(file_, "user", "pw", params);
    db_.CreateTable(*ItemsTable());
    q_.AttachDatabase(&db_);
  }
  void Insert(const std::string& oid, const std::string& name) {
    TtiQueryParams p;
    p.SetValueAsString("OID", oid);
    p.SetValueAsString("Name", name);
    q_.InsertRow("Items", &p);
  }
  void Commit() {
    db_.StartTransaction();
    db_.Commit();
  }
  // The names of the rows whose `column` holds `value`, in order.
  std::string Names(const std::string& column, const std::string& value) {
    TtiQueryParams where;
    where.SetValueAsString(column, value);
    q_.SelectRow("ITEMS", &where);
    std::string s;
    for (; !q_.Eof(); q_.Next()) s += (s.empty() ? "" : ",") + q_.FieldAsString("Name");
    return s;
  }

  TtiDatabaseXMLLight db_;
  TtiQueryXMLLight q_;
};

}  // namespace

TEST_F(XMLLightStore, TablesAndRowsLiveInMemoryUntilACommitWritesThem) {
  Open();
  EXPECT_EQ(Raised([&] { db_.CreateTable(*ItemsTable()); }),
            "EtiPerProgrammerException: Attempt to create duplicate table name <Items>");
  TtiDBMetaDataTable gone;
  gone.SetName("Gone");
  EXPECT_EQ(Raised([&] { db_.DropTable(gone); }),
            "EtiPerProgrammerException: Attemtp to delete table that does not exist <Gone>");
  TtiDBMetaDataTable spaced;
  spaced.SetName("My Items");
  EXPECT_NE(Raised([&] { db_.CreateTable(spaced); }).find("can not stand in a document"), std::string::npos);
  // A table made outside a transaction is written at once.
  EXPECT_NE(ReadWholeFile(file_).find("table_name=\"items\""), std::string::npos);

  const std::string before = ReadWholeFile(file_);
  Insert("1", "Schütz K1");
  Insert("2", "Ventil <Y1> & \"Co\"");
  EXPECT_EQ(ReadWholeFile(file_), before);
  Commit();
  const std::string committed = ReadWholeFile(file_);
  EXPECT_NE(committed, before);

  // A commit without change writes nothing, not even the same bytes again.
  AgeFile(file_);
  const struct timespec aged = ModificationTime(file_);
  Names("OID", "1");
  TtiQueryParams same, where;
  same.SetValueAsString("Name", "Schütz K1");
  where.SetValueAsString("OID", "1");
  q_.UpdateRow("Items", &same, &where);
  Commit();
  EXPECT_TRUE(SameTime(ModificationTime(file_), aged));

  // A rollback returns to what was committed.
  Insert("3", "verworfen");
  db_.StartTransaction();
  db_.RollBack();
  EXPECT_EQ(Names("OID", "3"), "");
  EXPECT_EQ(Names("OID", "2"), "Ventil <Y1> & \"Co\"");
  TtiDatabaseXMLLight again;
  again.Connect(file_, "", "", "");
  TtiDBMetaData md;
  again.ReadMetaDataTables(md);
  ASSERT_EQ(md.Count(), 1);
  TtiDBMetaDataTable& t = *md.Items(0);
  again.ReadMetaDataFields(t);
  EXPECT_EQ(t.Count(), 7);
  EXPECT_EQ(t.Items(2)->GetKind(), qfkFloat);
}

TEST_F(XMLLightStore, CriteriaFindRowsByTheirStoredValues) {
  Open();
  const std::string markup = "Müller & Söhne <GmbH> \"Nord\"\r\nHalle 2";
  Insert("1", markup);
  Insert("2", "a");
  for (int i = 3; i < 100; ++i) Insert(std::to_string(i), "n" + std::to_string(i % 7));
  // A criterion holding markup characters finds its row, with and without the index of larger tables.
  EXPECT_EQ(Names("Name", markup), markup);
  EXPECT_EQ(Names("Name", "n3"), "n3,n3,n3,n3,n3,n3,n3,n3,n3,n3,n3,n3,n3,n3");
  // The index follows inserts, updates and deletes.
  Insert("100", "n3");
  TtiQueryParams changed, where;
  changed.SetValueAsString("Name", "geändert");
  where.SetValueAsString("OID", "10");
  q_.UpdateRow("Items", &changed, &where);
  EXPECT_EQ(Names("Name", "n3").size(), std::string("n3").size() * 14 + 13);
  EXPECT_EQ(Names("Name", "geändert"), "geändert");
  q_.DeleteRow("Items", &changed);
  EXPECT_EQ(Names("Name", "geändert"), "");
  EXPECT_EQ(Raised([&] { Names("Colour", "red"); }), "EtiPerProgrammerException: Invalid field name <Colour>");
  EXPECT_EQ(Raised([&] { q_.SelectRow("Gone", nullptr); }), "EtiPerProgrammerException: Unable to find table <Gone>");

  // Rows another query deleted stay readable to the query that selected them, until the tables are read anew.
  TtiQueryParams row2;
  row2.SetValueAsString("OID", "2");
  q_.SelectRow("Items", &row2);
  TtiQueryXMLLight other;
  other.AttachDatabase(&db_);
  TtiQueryParams two;
  two.SetValueAsString("OID", "2");
  other.DeleteRow("Items", &two);
  EXPECT_EQ(q_.FieldAsString("Name"), "a");
  db_.StartTransaction();
  db_.RollBack();
  EXPECT_NE(Raised([&] { q_.FieldAsString("Name"); }).find("are no longer valid"), std::string::npos);
}

TEST_F(XMLLightStore, ValuesOfEveryKindRoundTripThroughTheFile) {
  Open();
  TtiQueryParams p;
  p.SetValueAsString("OID", "1");
  p.SetValueAsFloat("Weight", std::numeric_limits<double>::infinity());
  p.SetValueAsInteger("Amount", -9000000000);
  p.SetValueAsDateTime("Made", EncodeDateTime(2024, 3, 1, 10, 20, 30, 400));
  p.SetValueAsBoolean("Ok", true);
  std::stringstream bytes(std::string("\x00\xff<\"", 4));
  p.SetValueAsStream("Blob", bytes);
  q_.InsertRow("Items", &p);
  TtiQueryParams nan;
  nan.SetValueAsFloat("Weight", std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(Raised([&] { q_.InsertRow("Items", &nan); }),
            "EtiPerDataException: Can not store the value of <Weight> in table <Items>: NaN is not a number");
  TtiQueryParams control;
  control.SetValueAsString("Name", std::string("a\0b", 3));
  EXPECT_NE(Raised([&] { q_.InsertRow("Items", &control); }).find("Can not store the value of <Name> in table <Items>"),
            std::string::npos);
  Commit();

  TtiDatabaseXMLLight db;
  db.Connect(file_, "", "", "");
  TtiQueryXMLLight q;
  q.AttachDatabase(&db);
  q.SelectRow("items", nullptr);
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.FieldAsFloat("weight"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(q.FieldAsInteger("Amount"), -9000000000);
  EXPECT_EQ(q.FieldAsDateTime("Made"), EncodeDateTime(2024, 3, 1, 10, 20, 30, 400));
  EXPECT_TRUE(q.FieldAsBooleanByIndex(5));
  std::stringstream out;
  q.AssignFieldAsStream("Blob", out);
  EXPECT_EQ(out.str(), std::string("\x00\xff<\"", 4));
  EXPECT_TRUE(q.FieldIsNull("Name"));
  EXPECT_EQ(q.FieldAsString("Name"), "");
  EXPECT_EQ(q.FieldIndex("made"), 4);
  EXPECT_EQ(q.FieldName(4), "Made");
  EXPECT_EQ(q.FieldSize(0), 36);
  EXPECT_EQ(Raised([&] { q.FieldAsString("Colour"); }), "EtiPerProgrammerException: Invalid field name <Colour>");
  EXPECT_EQ(Raised([&] { q.FieldAsStringByIndex(7); }), "EtiPerProgrammerException: Invalid field index <7>");
  q.Next();
  EXPECT_EQ(Raised([&] { q.FieldAsString("Name"); }),
            "EtiPerProgrammerException: No rows currently selected so can't perform this operation");
  EXPECT_EQ(q.FieldCount(), 7);  // the columns are known without a current row

  // A number column holding text that is no number says so, naming column and table.
  TtiQueryParams text;
  text.SetValueAsString("Weight", "schwer");
  TtiQueryParams all;
  q.UpdateRow("Items", &text, &all);
  q.SelectRow("Items", nullptr);
  EXPECT_EQ(Raised([&] { q.FieldAsFloat("Weight"); }),
            "EtiPerDataException: Error reading field <Weight> of table <items>: <schwer> is no number");
}

TEST_F(XMLLightStore, ParametersChooseCompressionTagsStyleAndReadOnly) {
  Open("compress=ZLib compression,optxmldbsize=optDBSizeOn,xmlfieldnamestyle=integer");
  Insert("1", "gepackt");
  Commit();
  const std::string packed = ReadWholeFile(file_);
  EXPECT_EQ(packed.find("gepackt"), std::string::npos);
  EXPECT_EQ(tiDecompressString(packed, cgsCompressZLib).substr(0, 62),
            "<?xml version=\"1.0\"?><a><tiper version=\"2.0\"/><b><c d=\"items\">");
  TtiDatabaseXMLLight plain;
  EXPECT_NE(Raised([&] { plain.Connect(file_, "", "", ""); }).find("EtiPerDBExceptionCanNotConnect"), std::string::npos);
  EXPECT_FALSE(plain.Connected());
  TtiDatabaseXMLLight same;
  same.Connect(file_, "", "", "compress=zlib compression,optxmldbsize=optdbsizeon,xmlfieldnamestyle=INTEGER");
  TtiQueryXMLLight q;
  q.AttachDatabase(&same);
  q.SelectRow("Items", nullptr);
  EXPECT_EQ(q.FieldAsString("Name"), "gepackt");

  // Read only: changes stay in memory, the file is never written.
  TtiDatabaseXMLLight readOnly;
  readOnly.Connect(file_, "", "", "readonly=T,compress=ZLib compression,optxmldbsize=optDBSizeOn,xmlfieldnamestyle=integer");
  q.AttachDatabase(&readOnly);
  TtiQueryParams p;
  p.SetValueAsString("OID", "2");
  q.InsertRow("Items", &p);
  readOnly.StartTransaction();
  readOnly.Commit();
  EXPECT_EQ(ReadWholeFile(file_), packed);

  for (const char* bad : {"compress=LZMA", "optxmldbsize=huge", "xmlfieldnamestyle=roman"}) {
    TtiDatabaseXMLLight db;
    EXPECT_NE(Raised([&] { db.Connect(file_, "", "", bad); }).find("EtiPerDBExceptionCanNotConnect"), std::string::npos)
        << bad;
  }
}

TEST_F(XMLLightStore, AFailedReadKeepsNothingAndAFailedWriteKeepsTheFile) {
  Open();
  Insert("1", "gespeichert");
  Commit();
  const std::string saved = ReadWholeFile(file_);
  WriteWholeFile(dir_ + "/cut.xml", saved.substr(0, saved.size() / 2));
  TtiDatabaseXMLLight cut;
  const std::string e = Raised([&] { cut.Connect(dir_ + "/cut.xml", "", "", ""); });
  EXPECT_NE(e.find("Error parsing XML at position"), std::string::npos) << e;
  EXPECT_NE(e.find(dir_ + "/cut.xml"), std::string::npos) << e;
  EXPECT_FALSE(cut.Connected());
  EXPECT_TRUE(cut.GetErrorInLastCall());
  EXPECT_EQ(cut.DataSets().Count(), 0);

  TImmutableFolder frozen(dir_);
  if (!frozen.Supported()) SKIP_OUTSIDE_CI(frozen.Why());
  Insert("2", "nicht gespeichert");
  db_.StartTransaction();
  EXPECT_NE(Raised([&] { db_.Commit(); }).find("Can not write the file <" + file_ + ">"), std::string::npos);
  EXPECT_TRUE(db_.InTransaction());
  EXPECT_EQ(ReadWholeFile(file_), saved);
}

// ---------------------------------------------------------------------------------------------------------
// The "CB" store, with a port standing in for the clipboard monitor.

namespace {

class TFakePort : public ItiCBStorePort {
public:
  bool ReadClipboardText(std::string& text) override {
    if (!offer) return false;
    text = clipboard;
    return true;
  }
  void WriteClipboardText(const std::string& text) override {
    clipboard = text;
    ++writes;
  }
  bool offer = true;
  std::string clipboard;
  int writes = 0;
};

class CBStore : public kelvado::testing::TempDirTest {
protected:
  CBStore() : TempDirTest("kelvado-cbstore", "cb.xml") {}
  void SetUp() override {
    TempDirTest::SetUp();
    tiSetCBStorePort(&port_);
  }
  void TearDown() override {
    tiSetCBStorePort(nullptr);
    TempDirTest::TearDown();
  }
  int Rows(TtiDatabaseCB& db) {
    TtiQueryXMLLight q;
    q.AttachDatabase(&db);
    q.SelectRow("Items", nullptr);
    int n = 0;
    for (; !q.Eof(); q.Next()) ++n;
    return n;
  }
  TFakePort port_;
};

}  // namespace

TEST_F(CBStore, TakesTheClipboardsDocumentAndGivesItChangedOnes) {
  TtiDatabaseCB db;
  EXPECT_TRUE(db.Test());  // the empty document
  port_.offer = false;
  db.Connect(file_, "", "", "");
  db.CreateTable(*ItemsTable());
  EXPECT_EQ(port_.writes, 1);
  EXPECT_EQ(ReadWholeFile(file_), port_.clipboard);
  TtiQueryXMLLight q;
  q.AttachDatabase(&db);
  TtiQueryParams p;
  p.SetValueAsString("OID", "1");
  q.InsertRow("Items", &p);
  db.StartTransaction();
  db.Commit();
  EXPECT_EQ(port_.writes, 2);
  const std::string doc = port_.clipboard;

  // Two commits of the same tables put the text on the clipboard once.
  q.DeleteRow("Items", &p);
  q.InsertRow("Items", &p);
  db.StartTransaction();
  db.Commit();
  EXPECT_EQ(port_.writes, 2);

  // Connecting takes the clipboard's document, bytes after its end left out.
  port_.offer = true;
  port_.clipboard = doc + std::string(2, '\0') + "rest";
  TtiDatabaseCB other;
  other.Connect(file_, "", "", "");
  EXPECT_EQ(Rows(other), 1);
  EXPECT_EQ(other.GetDocumentText(), doc);
  // Text of another kind leaves the previous document in place.
  port_.clipboard = "Hallo";
  other.StartTransaction();
  q.AttachDatabase(&other);
  q.InsertRow("Items", &p);
  other.RollBack();
  EXPECT_EQ(Rows(other), 1);
  // A document that cannot be read refuses the connection.
  port_.clipboard = tiStrTran(doc, "oid=\"1\"", "oid=\"1\" colour=\"red\"");
  TtiDatabaseCB hostile;
  EXPECT_NE(Raised([&] { hostile.Connect(file_, "", "", ""); }).find("the row attribute <colour> names no column"),
            std::string::npos);

  // Read only: neither the file nor the clipboard is written.
  port_.clipboard = doc;
  const int writes = port_.writes;
  AgeFile(file_);
  const struct timespec aged = ModificationTime(file_);
  TtiDatabaseCB readOnly;
  readOnly.Connect(file_, "", "", "readonly=yes");
  q.AttachDatabase(&readOnly);
  q.DeleteRow("Items", nullptr);
  readOnly.StartTransaction();
  readOnly.Commit();
  EXPECT_EQ(port_.writes, writes);
  EXPECT_TRUE(SameTime(ModificationTime(file_), aged));
}

// ---------------------------------------------------------------------------------------------------------
// Registration, and the store conformance suite on the XMLLight layer.

TEST(XMLLightLayers, RegisterOnceWithOneConnectionPerStore) {
  tiPerMgrShutdown();
  RegisterPersistenceLayerXMLLight();
  RegisterPersistenceLayerCB();
  RegisterPersistenceLayerXMLLight();
  TtiPersistenceLayers& layers = tiPerMgr().GetPersistenceLayers();
  ASSERT_EQ(layers.Count(), 2);
  EXPECT_EQ(layers.FindByPerLayerName("xmllight")->GetDatabaseClass(), &TtiDatabaseXMLLight::StaticClass());
  EXPECT_EQ(layers.FindByPerLayerName("cb")->GetDatabaseClass(), &TtiDatabaseCB::StaticClass());
  EXPECT_EQ(layers.FindByPerLayerName("cb")->GetQueryClass(), &TtiQueryXMLLight::StaticClass());
  std::string tmpl = "/tmp/kelvado-xmllightlayer-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl.data());
  tiPerMgr().CreateDatabase(dir + "/a/s.xml", "", "", cTIPersistXMLLight);
  tiPerMgr().ConnectDatabase(dir + "/a/s.xml", "", "", "", cTIPersistXMLLight);
  TDBConnectionPool& pool = *layers.FindByPerLayerName("XMLLight")->GetDBConnectionPools().Find(dir + "/a/s.xml");
  EXPECT_EQ(pool.MinPoolSize(), 0);
  EXPECT_EQ(pool.MaxPoolSize(), 1);
  UnRegisterPersistenceLayerCB();
  UnRegisterPersistenceLayerXMLLight();
  EXPECT_EQ(layers.Count(), 0);
  tiPerMgrShutdown();
  std::filesystem::remove_all(dir);
}

// The store conformance suite on this layer (its classes wrapped by tests/framework/ProbedLayer.h).
struct TXMLLightStoreUnderTest : TFileStoreUnderTest<TtiDatabaseXMLLight> {
  static std::string LayerName() { return cTIPersistXMLLight; }
  void RegisterLayer() {
    RegisterProbedLayer<TtiDatabaseXMLLight, TtiQueryXMLLight>(cTIPersistXMLLight,
                                                                &TtiDBConnectionPoolDataXMLLight::StaticClass());
  }
};

INSTANTIATE_TYPED_TEST_SUITE_P(XMLLight, StoreConformance, ::testing::Types<TXMLLightStoreUnderTest>);

}  // namespace kelvado::test

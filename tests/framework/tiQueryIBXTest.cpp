// The persistence layer "IBX" on real Firebird files: registration, databases and metadata, transactions,
// parameters and columns, the Windows-1252 boundary, and the store conformance suite (one new file per test,
// each checked by Firebird's own validation afterwards).
#include "framework/tiQueryIBX.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "framework/tiFirebird.h"
#include "framework/tiOIDGUID.h"
#include "platform/TextCase.h"
#include "framework/tiPerManager.h"
#include "tests/framework/MemoryLayer.h"
#include "tests/framework/IBXStoreUnderTest.h"
#include "tests/framework/StoreConformance.h"
#include "tests/framework/TempDirTest.h"
#include "tests/framework/tiQueryTestDoubles.h"
#include "tests/support/FirebirdCheck.h"
#include "tests/support/Raised.h"

namespace kelvado::test {

namespace {

using kelvado::testing::Raised;

// A table with a field of every kind the layer can create.
std::unique_ptr<TtiDBMetaDataTable> EveryKindTable() {
  auto t = std::make_unique<TtiDBMetaDataTable>();
  t->SetName("Items");
  t->AddField("OID", qfkString, 36);
  t->AddField("Amount", qfkInteger);
  t->AddField("Price", qfkFloat);
  t->AddField("Since", qfkDateTime);
  t->AddField("Active", qfkLogical);
  t->AddField("Picture", qfkBinary);
  t->AddField("Notes", qfkLongString);
  return t;
}

// A fresh folder with an empty database, connected through the layer.
class IBXTest : public kelvado::testing::TempDirTest {
protected:
  IBXTest() : TempDirTest("kelvado-ibx", "test.fdb") {}
  void SetUp() override {
    TempDirTest::SetUp();
    tiPerMgrShutdown();
    RegisterPersistenceLayerIBX();
    TtiDatabase::CreateDatabase(TtiDatabaseIBX::StaticClass(), file_, "SYSDBA", "");
    db_.Connect(file_, "SYSDBA", "", "");
  }
  void TearDown() override {
    db_.SetConnected(false);
    tiPerMgrShutdown();
    EXPECT_EQ(kelvado::testing::GfixValidate(file_), "");
    TempDirTest::TearDown();
  }
  std::unique_ptr<TtiQueryIBX> Query(const std::string& sql) {
    auto q = std::make_unique<TtiQueryIBX>();
    q->AttachDatabase(&db_);
    q->SetSQLText(sql);
    return q;
  }
  int64_t Count(const std::string& table) {
    const bool own = !db_.InTransaction();
    if (own) db_.StartTransaction();
    auto q = Query("select count(*) from " + table);
    q->Open();
    const int64_t n = q->FieldAsIntegerByIndex(0);
    q->DetachDatabase();
    if (own) db_.Commit();
    return n;
  }

  TtiDatabaseIBX db_;
};

}  // namespace

TEST(IBXLayer, RegistersOnceAndServesTheManagersDatabaseOperations) {
  tiPerMgrShutdown();
  RegisterPersistenceLayerIBX();
  RegisterPersistenceLayerIBX();
  TtiPersistenceLayers& layers = tiPerMgr().GetPersistenceLayers();
  ASSERT_EQ(layers.Count(), 1);
  TtiPersistenceLayer& layer = *layers.FindByPerLayerName("ibx");
  EXPECT_EQ(layer.GetDatabaseClass(), &TtiDatabaseIBX::StaticClass());
  EXPECT_EQ(layer.GetQueryClass(), &TtiQueryIBX::StaticClass());

  std::string tmpl = "/tmp/kelvado-ibxlayer-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl.data());
  const std::string file = dir + "/lib.klb";
  tiPerMgr().CreateDatabase(file, "SYSDBA", "", cTIPersistIBX);
  EXPECT_NE(Raised([&] { tiPerMgr().CreateDatabase(file, "SYSDBA", "", cTIPersistIBX); }).find("exists already"),
            std::string::npos);
  EXPECT_TRUE(TtiDatabase::TestConnectTo(TtiDatabaseIBX::StaticClass(), file, "SYSDBA", "", ""));
  EXPECT_FALSE(TtiDatabase::CanConnect(TtiDatabaseIBX::StaticClass(), dir + "/none.klb", "SYSDBA", "", ""));

  tiPerMgr().ConnectDatabase(file, "SYSDBA", "", "", cTIPersistIBX);
  tiPerMgr().CreateTable(*EveryKindTable(), file, cTIPersistIBX);
  EXPECT_TRUE(tiPerMgr().TableExists("items", file, cTIPersistIBX));
  EXPECT_FALSE(tiPerMgr().TableExists("Nothing", file, cTIPersistIBX));
  TtiQueryParams row;
  row.SetValueAsString("OID", "1");
  row.SetValueAsInteger("Amount", 7);
  row.SetValueAsString("Notes", std::string(20000, 'n'));
  tiPerMgr().InsertRow("Items", &row, file, cTIPersistIBX);
  TtiQueryParams change, where;
  change.SetValueAsInteger("Amount", 8);
  where.SetValueAsString("OID", "1");
  tiPerMgr().UpdateRow("Items", &change, &where, file, cTIPersistIBX);

  // The metadata as the pool reads it: every kind comes back as created, the logical one as the text column
  // it is made of.
  TtiDBMetaData md;
  md.SetPool(layer.GetDBConnectionPools().Find(file));
  md.Read();
  EXPECT_STREQ(md.GetObjectStateAsString(), "posClean");
  ASSERT_EQ(md.Count(), 1);
  TtiDBMetaDataTable& table = *md.FindByTableName("Items");
  EXPECT_EQ(table.GetName(), "ITEMS");
  EXPECT_STREQ(table.GetObjectStateAsString(), "posPK");
  table.Read();
  EXPECT_STREQ(table.GetObjectStateAsString(), "posClean");
  std::map<std::string, std::pair<std::string, int>> fields;
  for (int i = 0; i < table.Count(); ++i)
    fields[table.Items(i)->GetName()] = {table.Items(i)->GetKindAsStr(), table.Items(i)->GetWidth()};
  EXPECT_EQ(fields, (std::map<std::string, std::pair<std::string, int>>{{"OID", {"String", 36}},
                                                                         {"AMOUNT", {"Integer", 0}},
                                                                         {"PRICE", {"Float", 0}},
                                                                         {"SINCE", {"Date", 0}},
                                                                         {"ACTIVE", {"String", 1}},
                                                                         {"PICTURE", {"Binary", 0}},
                                                                         {"NOTES", {"Long string", 0}}}));

  TtiQueryParams gone;
  gone.SetValueAsString("OID", "1");
  tiPerMgr().DeleteRow("Items", &gone, file, cTIPersistIBX);
  UnRegisterPersistenceLayerIBX();
  EXPECT_EQ(layers.Count(), 0);
  tiPerMgrShutdown();
  UnRegisterPersistenceLayerIBX();  // without a manager: nothing
  EXPECT_EQ(kelvado::testing::GfixValidate(file), "");
  std::filesystem::remove_all(dir);
}

TEST_F(IBXTest, CreatedColumnsKeepTheirKindsAndLogicalOnesTheirCheck) {
  db_.CreateTable(*EveryKindTable());
  db_.StartTransaction();
  auto q = Query("insert into Items (OID, Active) values (:OID, :Active)");
  q->SetParamAsString("OID", "1");
  q->SetParamAsBoolean("Active", true);
  q->ExecSQL();
  q->SetParamAsString("OID", "2");
  q->SetParamAsString("Active", "X");
  const std::string refused = Raised([&] { q->ExecSQL(); });
  EXPECT_NE(refused.find("CHECK"), std::string::npos) << refused;
  db_.Commit();
  EXPECT_EQ(db_.FieldMetaDataToSQLCreate(*EveryKindTable()->FindByFieldName("Active")),
            "Char( 1 ) default 'F' check( Active in ( 'T', 'F' ))");
  TtiDBMetaDataField macro;
  macro.SetKind(qfkMacro);
  EXPECT_EQ(Raised([&] { db_.FieldMetaDataToSQLCreate(macro); }), "Invalid FieldKind");
}

TEST_F(IBXTest, MetadataOfATypeWithoutAKindIsRefusedByNumber) {
  db_.ExecSQL("create table Flags (Flag smallint)");
  TtiDBMetaDataTable table;
  table.SetName("FLAGS");
  EXPECT_EQ(Raised([&] { db_.ReadMetaDataFields(table); }), "Invalid Interbase FieldType <7>");
  EXPECT_FALSE(db_.InTransaction());  // its own transaction ended with it
  // A name that would break a quoted literal finds nothing instead.
  table.SetName("IT'S");
  db_.ReadMetaDataFields(table);
  EXPECT_EQ(table.Count(), 0);
}

TEST_F(IBXTest, TransactionsStartAndCommitOnce) {
  db_.StartTransaction();
  EXPECT_EQ(Raised([&] { db_.StartTransaction(); }), "Attempt to start a transaction but transaction already exists.");
  db_.Commit();
  EXPECT_EQ(Raised([&] { db_.Commit(); }), "Attempt to commit but not in a transaction.");
  EXPECT_NE(Raised([&] { db_.RollBack(); }).find("no transaction is active"), std::string::npos);
  // Metadata reads run inside an open transaction as well as in one of their own.
  db_.StartTransaction();
  TtiDBMetaData md;
  db_.ReadMetaDataTables(md);
  EXPECT_TRUE(db_.InTransaction());
  db_.RollBack();
}

// The ten option bits of the database object set the connection's trace flags when it connects, bit 9 giving
// the first flag and bit 0 the last; each flag that is on logs its kind of event, and none is on by default.
TEST_F(IBXTest, OptionBitsSetTheTraceFlagsAndEachLogsItsKind) {
  auto work = [&] {
    db_.StartTransaction();
    auto q = Query("select rdb$relation_id from rdb$database where 1 = :One");
    q->SetParamAsInteger("One", 1);
    q->Open();
    q->Next();
    q->DetachDatabase();
    EXPECT_THROW(Query("select nothing from nowhere")->Open(), std::exception);
    db_.Commit();
  };
  {
    kvtest::LogCapture log;
    work();
    EXPECT_EQ(db_.TraceFlags(), 0);
    EXPECT_FALSE(log.Has("IBX ")) << log.Text();
  }
  // Prepare (bit 9), execute (8), fetch (7), error (6), connect (4), transaction (3).
  db_.SetOptions(0b1111011000);
  kvtest::LogCapture log;
  db_.Connect(file_, "SYSDBA", "", "");
  EXPECT_EQ(db_.TraceFlags(), 0b1101111);
  work();
  for (const std::string& part : std::vector<std::string>
       {"IBX Connect: connect " + file_, "IBX Transaction: start", "IBX Transaction: commit",
        "IBX Prepare: select rdb$relation_id from rdb$database where 1 = :One",
        "IBX Execute: select rdb$relation_id from rdb$database where 1 = :One\r\nOne := 1",
        "IBX Fetch: end of select rdb$relation_id", "IBX Error: "})
    EXPECT_TRUE(log.Has(part)) << part << "\n" << log.Text();
  // Statement texts, blobs, services and the rest stay quiet (bits 5, 2, 1, 0).
  EXPECT_FALSE(log.Has("IBX Statement")) << log.Text();
  EXPECT_FALSE(log.Has("IBX Blob")) << log.Text();
  db_.SetOptions(0);
  db_.Connect(file_, "SYSDBA", "", "");
  EXPECT_EQ(db_.TraceFlags(), 0);
}

// The GUID identifier crosses the store as its text: into a parameter list and into a query's parameter, back
// from a column, and compared with a column exactly (letter case counts).
TEST_F(IBXTest, GUIDIdentifiersCrossTheStoreAsTheirTextAndCompareExactly) {
  db_.CreateTable(*EveryKindTable());
  TOIDGUID oid;
  oid.GetNextValue();
  TOIDGUID lower;
  lower.SetAsString(LowerAscii(oid.GetAsString()));
  for (const TOIDGUID* o : {&oid, &lower}) {
    TtiQueryParams row;
    o->AssignToTIQueryParam("OID", row);
    EXPECT_EQ(row.GetValueAsString("OID"), o->GetAsString());
    db_.InsertRow("Items", &row);
  }
  db_.StartTransaction();
  auto q = Query("select OID from Items where OID = :OID");
  oid.AssignToTIQuery("OID", *q);
  EXPECT_EQ(q->GetParamAsString("OID"), oid.GetAsString());
  q->Open();
  ASSERT_FALSE(q->Eof());
  TOIDGUID read;
  read.AssignFromTIQuery("OID", *q);
  EXPECT_TRUE(read.Equals(oid));
  EXPECT_TRUE(oid.EqualsQueryField("OID", *q));
  EXPECT_FALSE(lower.EqualsQueryField("OID", *q));
  q->Next();
  EXPECT_TRUE(q->Eof());  // the lower-case text is another identifier
  q->DetachDatabase();
  db_.Commit();
}

TEST_F(IBXTest, LogicalTextsReadAsBooleansByNameAndStrictlyByIndex) {
  db_.ExecSQL("create table L (ID integer, F varchar(10))");
  db_.StartTransaction();
  const std::vector<std::string> texts = {"T", "t", " yes ", "1", "F", "n"};
  auto ins = Query("insert into L (ID, F) values (:ID, :F)");
  for (size_t i = 0; i < texts.size(); ++i) {
    ins->SetParamAsInteger("ID", static_cast<int64_t>(i));
    ins->SetParamAsString("F", texts[i]);
    ins->ExecSQL();
  }
  ins->SetParamAsInteger("ID", 10);
  ins->SetParamAsBoolean("F", false);
  EXPECT_EQ(ins->GetParamAsString("F"), "F");
  EXPECT_FALSE(ins->GetParamAsBoolean("F"));
  ins->SetParamAsBoolean("F", true);
  EXPECT_TRUE(ins->GetParamAsBoolean("F"));
  ins->ExecSQL();

  auto q = Query("select ID, F from L order by ID");
  q->Open();
  std::vector<std::string> byName, byIndex, kinds;
  for (; !q->Eof(); q->Next()) {
    byName.push_back(q->FieldAsBoolean("f") ? "true" : "false");
    byIndex.push_back(q->FieldAsBooleanByIndex(1) ? "true" : "false");
    kinds.push_back(QueryFieldKindToString(q->FieldKind(1)));
  }
  EXPECT_EQ(byName, (std::vector<std::string>{"true", "true", "true", "true", "false", "false", "true"}));
  EXPECT_EQ(byIndex, (std::vector<std::string>{"true", "false", "false", "true", "false", "false", "true"}));
  EXPECT_EQ(kinds, (std::vector<std::string>{"Logical", "Logical", "String", "String", "Logical", "String",
                                             "Logical"}));
  EXPECT_EQ(q->FieldCount(), 0);  // at the end of the rows
  db_.Commit();
}

TEST_F(IBXTest, EveryWindows1252CharacterCrossesAndAnyOtherIsRefusedUnstored) {
  db_.ExecSQL("create table T (ID integer, S varchar(300))");
  // Every byte value (the five Windows-1252 leaves undefined travel as their C1 code points).
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  const std::string utf8 = tiWin1252ToUtf8(all);
  ASSERT_EQ(utf8.find("\xE2\x82\xAC"), 127u);  // "€" stands at 0x80
  TtiQueryParams row;
  row.SetValueAsInteger("ID", 1);
  row.SetValueAsString("S", utf8);
  db_.InsertRow("T", &row);

  db_.StartTransaction();
  auto q = Query("select S from T where ID = :ID");
  q->SetParamAsInteger("ID", 1);
  q->Open();
  EXPECT_EQ(q->FieldAsString("S"), utf8);
  q->Close();
  db_.Commit();

  // A character Windows-1252 lacks is refused with its code point, not stored as "?" or as mojibake.
  TtiQueryParams bad;
  bad.SetValueAsInteger("ID", 2);
  bad.SetValueAsString("S", "Zaz\xC3\xB3\xC5\x82\xC4\x87");  // "Zażółć" without its ż: ó is in, ł is not
  const std::string error = Raised([&] { db_.InsertRow("T", &bad); });
  EXPECT_NE(error.find("U+0142"), std::string::npos) << error;
  EXPECT_NE(error.find("Windows-1252"), std::string::npos) << error;
  EXPECT_FALSE(db_.InTransaction());
  EXPECT_EQ(Raised([&] { db_.ExecSQL("insert into T (ID, S) values (3, '\xE2\x88\x9A')"); }).find("U+221A") !=
                std::string::npos,
            true);
  EXPECT_EQ(Count("T"), 1);
}

TEST_F(IBXTest, ParametersReadBackAsGivenAndStreamsCarryEveryByte) {
  db_.CreateTable(*EveryKindTable());
  db_.StartTransaction();
  auto q = Query("insert into Items (OID, Amount, Price, Since, Picture, Notes) "
                 "values (:OID, :Amount, :Price, :Since, :Picture, :Notes)");
  EXPECT_EQ(q->ParamCount(), 6);
  EXPECT_EQ(q->ParamName(5), "Notes");
  q->SetParamAsString("oid", "42");
  q->SetParamAsInteger("Amount", 42);
  q->SetParamAsFloat("Price", 0.1);
  q->SetParamAsDateTime("Since", 45000.5);
  std::string bytes;
  for (int i = 0; i < 100000; ++i) bytes += static_cast<char>(i % 256);
  std::stringstream picture(bytes);
  picture.seekg(500);  // read from the start all the same
  q->AssignParamFromStream("Picture", picture);
  q->SetParamIsNull("Notes", true);
  EXPECT_EQ(q->GetParamAsInteger("OID"), 42);
  EXPECT_EQ(q->GetParamAsString("Amount"), "42");
  EXPECT_EQ(q->GetParamAsString("Price"), "0.1");
  EXPECT_DOUBLE_EQ(q->GetParamAsDateTime("Since"), 45000.5);
  EXPECT_TRUE(q->GetParamIsNull("Notes"));
  EXPECT_FALSE(q->GetParamIsNull("Amount"));
  std::ostringstream back;
  q->AssignParamToStream("Picture", back);
  EXPECT_EQ(back.str(), bytes);
  EXPECT_NE(q->ParamsAsString().find("Notes := Null"), std::string::npos);
  EXPECT_EQ(Raised([&] { q->GetParamAsText("OID"); }),
            "GetParamAsText is not provided by the persistence layer <IBX>");
  q->ExecSQL();

  // Running the same text again needs every value anew: none is carried over from the last run.
  q->SetSQLText(q->GetSQLText());
  q->SetParamAsString("OID", "43");
  EXPECT_NE(Raised([&] { q->ExecSQL(); }).find("has no value"), std::string::npos);

  auto s = Query("select * from Items");
  s->Open();
  EXPECT_EQ(s->FieldAsString("Price"), "0.1");
  EXPECT_EQ(s->FieldAsInteger("Amount"), 42);
  EXPECT_DOUBLE_EQ(s->FieldAsDateTime("Since"), 45000.5);
  EXPECT_EQ(s->FieldAsString("Since"), "2023-03-15 12:00:00");
  EXPECT_TRUE(s->FieldIsNull("Notes"));
  std::ostringstream field;
  s->AssignFieldAsStream("Picture", field);
  EXPECT_EQ(field.str(), bytes);
  EXPECT_EQ(s->FieldKind(s->FieldIndex("Picture")), qfkBinary);
  EXPECT_EQ(s->FieldKind(s->FieldIndex("Notes")), qfkLongString);
  EXPECT_EQ(s->FieldKind(s->FieldIndex("Since")), qfkDateTime);
  EXPECT_EQ(s->FieldSize(s->FieldIndex("OID")), 36);
  EXPECT_EQ(s->FieldSize(s->FieldIndex("Amount")), 0);
  EXPECT_EQ(s->FieldIndex("Missing"), -1);
  EXPECT_NE(Raised([&] { s->FieldAsString("Missing"); }).find("<Missing>"), std::string::npos);
  s->Next();
  EXPECT_TRUE(s->Eof());
  s->Reset();
  EXPECT_FALSE(s->GetActive());
  EXPECT_EQ(s->GetSQLText(), "");
  db_.Commit();
}

TEST_F(IBXTest, AQueryWorksOnlyOnAnIBXDatabaseItIsAttachedTo) {
  TtiQueryIBX q;
  q.SetSQLText("select 1 from rdb$database");
  EXPECT_NE(Raised([&] { q.Open(); }).find("not attached"), std::string::npos);
  TMemDatabase other;
  EXPECT_EQ(Raised([&] { q.AttachDatabase(&other); }), "TtiQueryIBX can not use a database of class <TMemDatabase>");
  q.AttachDatabase(&db_);
  db_.StartTransaction();
  q.Open();
  EXPECT_EQ(q.FieldAsIntegerByIndex(0), 1);
  q.DetachDatabase();
  EXPECT_FALSE(q.GetActive());
  db_.Commit();
}

// ---------------------------------------------------------------------------------------------------------
// The store conformance suite on this layer, on a new local file per test.

struct TIBXStoreUnderTest : TIBXStoreBase {
  std::string NewDatabase() {
    std::string tmpl = "/tmp/kelvado-ibxconformance-XXXXXX";
    dir_ = ::mkdtemp(tmpl.data());
    file_ = dir_ + "/conformance.klb";
    CreateTestItemDatabase(file_, "");
    return file_;
  }
  std::string Password() { return ""; }
  void TearDown() {
    Finish(file_, "");
    std::filesystem::remove_all(dir_);
  }
  std::string dir_, file_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(IBX, StoreConformance, ::testing::Types<TIBXStoreUnderTest>);

}  // namespace kelvado::test

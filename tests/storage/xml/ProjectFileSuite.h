#pragma once
// What the project-file visitors and tables must do on every persistence layer they run on. A layer takes part
// with a store-under-test type (see ProjectFileTestEnv.h) and instantiates the suite in its own test file:
//   INSTANTIATE_TYPED_TEST_SUITE_P(XML, ProjectFiles, ::testing::Types<TXMLProjectStore>);
// Table and column names in the errors of CheckXMLTables are the store's spelling, so they are compared
// ignoring case.
#include <algorithm>
#include <functional>

#include "tests/storage/xml/ProjectFileTestEnv.h"

namespace kelvado::testing {

template <class Store>
class ProjectFiles : public ProjectFileTest<Store> {
protected:
  // The full project saved into a new store of its own.
  std::string SavedStore(TFullProject& f, const std::string& name) {
    const std::string db = this->NewStore(name);
    CreateXMLTables(db, this->layer_);
    SaveXML(*f.Root, db, this->layer_);
    return db;
  }
  static std::vector<std::string> Lowered(std::vector<std::string> v) {
    for (std::string& s : v) s = LowerName(s);
    return v;
  }
  template <class T>
  static T& Find(TtiObject& root, const TtiObject* like) {
    T* t = dynamic_cast<T*>(root.FindByOIDAsString(OIDOf(like)));
    if (!t) throw EtiPerProgrammerException("%s %s not found", {T::StaticClass().Name(), OIDOf(like)});
    return *t;
  }
};

TYPED_TEST_SUITE_P(ProjectFiles);

TYPED_TEST_P(ProjectFiles, FullProjectRoundTrip) {
  TFullProject f = BuildFullProject();
  auto read = this->SaveAndRead(*f.Root);
  ASSERT_EQ(read->GetCount(), 1);
  ExpectSameTree(*f.Root, *read->Items(0));
  EXPECT_EQ(read->GetObjectState(), posClean);

  // Deleted items are not written; after the save nothing is left to write.
  EXPECT_EQ(Rows(this->db_, this->layer_, "SFOps").size(), 1u);
  EXPECT_EQ(Rows(this->db_, this->layer_, "ElementOps").size(), 4u);
  EXPECT_EQ(Rows(this->db_, this->layer_, "CCFMeasureOps").size(), 1u);
  EXPECT_EQ(f.DeletedSF->GetObjectState(), posDeleted);
  EXPECT_FALSE(f.Root->GetDirty());

  // Infinity is stored as "-2", flags as 0 and 1, enumerations by name, the subsystem's MTTFd as entered.
  const TRow el = RowOf(this->db_, this->layer_, "Elements", OIDOf(f.ProtectedElement->GetElement()));
  EXPECT_EQ(el.at("mttfd"), "-2");
  EXPECT_EQ(el.at("b10d"), "-2");
  EXPECT_EQ(el.at("isprotected"), "1");
  EXPECT_EQ(el.at("technology"), "tecPneumatic");
  EXPECT_EQ(el.at("normversion"), NormVersionText(ver2006pr));
  EXPECT_EQ(el.at("kvdversion"), "1.0.5a");
  EXPECT_EQ(RowOf(this->db_, this->layer_, "ElementOps", OIDOf(f.Element)).at("nop"), "150000");
  const TRow comp = RowOf(this->db_, this->layer_, "Components", OIDOf(f.Sub->GetComponent()));
  EXPECT_EQ(comp.at("mttfd"), "-2");
  EXPECT_EQ(comp.at("pfh"), "1.5E-7");
  EXPECT_EQ(comp.at("plsubitemscal"), "plN");
  EXPECT_EQ(comp.at("pfhsubitemscal"), "-");
  EXPECT_EQ(RowOf(this->db_, this->layer_, "Components", OIDOf(f.Sub2->GetComponent())).at("pfh"), "-2");
  EXPECT_EQ(RowOf(this->db_, this->layer_, "ChannelOps", OIDOf(f.T1)).at("istestchannelop"), "1");
  EXPECT_EQ(RowOf(this->db_, this->layer_, "Channels", OIDOf(f.T1->GetChannel())).at("istestchannel"), "1");

  // One node read on its own brings its whole tree; a second save writes nothing new.
  SaveXML(*f.Root, this->db_, this->layer_);
  auto one = std::make_unique<TProjectOp>();
  one->GetOID().SetAsString(OIDOf(f.Root.get()));
  ReadXML(*one, this->db_, this->layer_);
  ExpectSameTree(*f.Root, *one);
}

TYPED_TEST_P(ProjectFiles, InfiniteAndForeignNumberTexts) {
  TFullProject f = BuildFullProject();
  SaveXML(*f.Root, this->db_, this->layer_);
  const std::string el = OIDOf(f.Element->GetElement());
  SetCell(this->db_, this->layer_, "Elements", el, "MTTFd", "INF");
  SetCell(this->db_, this->layer_, "ElementOps", OIDOf(f.Element), "Nop", "inf");
  SetCell(this->db_, this->layer_, "Elements", el, "B10d", "1,5");
  SetCell(this->db_, this->layer_, "Elements", el, "MissionTime", "12,5");
  SetCell(this->db_, this->layer_, "Blocs", OIDOf(f.Bloc->GetBloc()), "MissionTime", "INF");
  SetCell(this->db_, this->layer_, "Components", OIDOf(f.Sub->GetComponent()), "CCFScore", "70,25");

  auto read = ReadProjects(this->db_, this->layer_);
  auto& op = this->template Find<TElementOp>(*read->Items(0), f.Element);
  EXPECT_EQ(op.GetNop(), kInfinity);
  EXPECT_EQ(op.GetElement()->GetMTTFd(), kInfinity);
  EXPECT_EQ(op.GetElement()->GetB10d(), 1.5);
  EXPECT_EQ(op.GetElement()->GetMissionTime(), 12.5);
  EXPECT_EQ(this->template Find<TBloc>(*read->Items(0), f.Bloc->GetBloc()).GetMissionTime(), kInfinity);
  EXPECT_EQ(this->template Find<TComponent>(*read->Items(0), f.Sub->GetComponent()).GetCCFScore(), 70.25);

  // A text that is a number in neither form (or none at all) is refused like any value the column cannot
  // hold: a numbered text naming file, table, row and column, never the framework's conversion text.
  for (const char* bad : {"abc", ""}) {
    SetCell(this->db_, this->layer_, "Elements", el, "B10d", bad);
    const auto [number, args] = IOErrorOf([&] { this->Read(); });
    EXPECT_EQ(number, msgXMLInvalidValue) << bad;
    EXPECT_EQ(args, (std::vector<std::string>{this->db_, "Elements", el, "B10d", bad}));
  }
}

TYPED_TEST_P(ProjectFiles, RefusesValuesNoColumnMayHold) {
  TFullProject f = BuildFullProject();
  const std::string db = this->SavedStore(f, "values");
  const std::string comp = OIDOf(f.Sub->GetComponent());
  const std::string el = OIDOf(f.Element->GetElement());
  const std::string sf = OIDOf(f.SF->GetSF());
  const std::string measure = OIDOf(f.Element->GetElement()->GetDCMeasureOp()->GetDCMeasure());
  const auto read = [&] { ReadProjects(db, this->layer_); };
  struct TCase {
    std::string Table, Key, Column, Bad, Good, KeyColumn;
  };
  for (const TCase& c : {TCase{"Components", comp, "Cat", "cat5", "cat2", "OID"},
                         TCase{"Elements", el, "Technology", "tecSteam", "tecPneumatic", "OID"},
                         TCase{"Elements", el, "UseB10d", "2", "1", "OID"},
                         TCase{"SFs", sf, "RiskParamS", "2", "1", "OID"},
                         TCase{"SFs", sf, "PLrDet", "", "detDirect", "OID"},
                         TCase{"DCMeasureInsuffPLs", measure, "PL", "plZ", "plE", "DCMeasure"}}) {
    SCOPED_TRACE(c.Table + "." + c.Column);
    SetCell(db, this->layer_, c.Table, c.Key, c.Column, c.Bad, c.KeyColumn);
    const auto [number, args] = IOErrorOf(read);
    EXPECT_EQ(number, msgXMLInvalidValue);
    EXPECT_EQ(args, (std::vector<std::string>{db, c.Table, c.Key, c.Column, c.Bad}));
    SetCell(db, this->layer_, c.Table, c.Key, c.Column, c.Good, c.KeyColumn);
  }
  // A value the setter refuses: detUnknown is never stored.
  SetCell(db, this->layer_, "Elements", el, "DCDet", "detUnknown");
  EXPECT_THROW(read(), EInvalidValue);
  SetCell(db, this->layer_, "Elements", el, "DCDet", "detMeasures");
  EXPECT_NO_THROW(read());
}

TYPED_TEST_P(ProjectFiles, RefusesBrokenReferences) {
  const std::string& layer = this->layer_;
  {
    TFullProject f = BuildFullProject();
    const std::string db = this->SavedStore(f, "intact");
    EXPECT_NO_THROW(CheckXMLTables(db, layer));
  }
  {  // A node whose data object has no row.
    TFullProject f = BuildFullProject();
    const std::string db = this->SavedStore(f, "no data");
    SetCell(db, layer, "SFOps", OIDOf(f.SF), "SF", "{missing}");
    auto [n, args] = IOErrorOf([&] { ReadProjects(db, layer); });
    EXPECT_EQ(n, msgXMLDanglingReference);
    EXPECT_EQ(args, (std::vector<std::string>{db, "SFOps", OIDOf(f.SF), "SF", "{missing}", "SFs"}));
    std::tie(n, args) = IOErrorOf([&] { CheckXMLTables(db, layer); });
    EXPECT_EQ(n, msgXMLDanglingReference);
    EXPECT_EQ(this->Lowered(args), this->Lowered({db, "SFOps", "1", "SF", "{missing}", "SFs"}));
  }
  {  // A row whose owner has no row: a read never meets it, the check does.
    TFullProject f = BuildFullProject();
    const std::string db = this->SavedStore(f, "no owner");
    SetCell(db, layer, "BlocOps", OIDOf(f.Bloc), "ChannelOp", "{gone}");
    EXPECT_NO_THROW(ReadProjects(db, layer));
    auto [n, args] = IOErrorOf([&] { CheckXMLTables(db, layer); });
    EXPECT_EQ(n, msgXMLDanglingReference);
    EXPECT_EQ(this->Lowered(args), this->Lowered({db, "BlocOps", "1", "ChannelOp", "{gone}", "ChannelOps"}));
  }
  {  // Two rows of one OID.
    TFullProject f = BuildFullProject();
    const std::string db = this->SavedStore(f, "twice");
    const std::string el = OIDOf(f.Element->GetElement());
    const TElementOp* third = f.C2->GetBlocOpList()->Items(0)->GetElementOpList()->Items(0);
    SetCell(db, layer, "Elements", OIDOf(third->GetElement()), "OID", el);
    auto [n, args] = IOErrorOf([&] { ReadProjects(db, layer); });
    EXPECT_EQ(n, msgXMLDuplicateOID);
    EXPECT_EQ(args, (std::vector<std::string>{db, "Elements", el, "OID", el}));
    std::tie(n, args) = IOErrorOf([&] { CheckXMLTables(db, layer); });
    EXPECT_EQ(n, msgXMLDuplicateOID);
    EXPECT_EQ(this->Lowered(args), this->Lowered({db, "Elements", "3", "OID", el}));
  }
  {  // A file without one of the tables of the tree is refused naming that table, in the user's words.
    TFullProject f = BuildFullProject();
    const std::string db = this->SavedStore(f, "no table");
    {
      const TDBConnectionLease lease = tiPerMgr().GetPersistenceLayers().LeaseDatabase(db, layer);
      TtiDBMetaDataTable elementOps;
      elementOps.SetName("ElementOps");
      lease.Database().DropTable(elementOps);
    }
    ASSERT_FALSE(tiPerMgr().TableExists("ElementOps", db, layer));
    const auto [n, args] = IOErrorOf([&] { ReadProjects(db, layer); });
    EXPECT_EQ(n, msgXMLMissingTable);
    EXPECT_EQ(this->Lowered(args), this->Lowered({db, "ElementOps"}));
  }
  {  // One data object taken by two nodes.
    TFullProject f = BuildFullProject();
    const std::string db = this->SavedStore(f, "shared");
    const std::string el = OIDOf(f.Element->GetElement());
    const TElementOp* third = f.C2->GetBlocOpList()->Items(0)->GetElementOpList()->Items(0);
    SetCell(db, layer, "ElementOps", OIDOf(third), "Element", el);
    auto [n, args] = IOErrorOf([&] { CheckXMLTables(db, layer); });
    EXPECT_EQ(n, msgXMLReferencedTwice);
    EXPECT_EQ(this->Lowered(args), this->Lowered({db, "ElementOps", "3", "Element", el}));
  }
}

// A node row must name its data object and every data row must be named by a node: read otherwise, a node
// would come up with a default object (an element without values counts as fault-excluded, a safety function
// without its row has no PLr), and a row no node names would be dropped by the next save.
TYPED_TEST_P(ProjectFiles, RefusesNodesWithoutDataAndDataWithoutNode) {
  const std::string& layer = this->layer_;
  struct TNode {
    std::string Table, Column, Target;
  };
  for (const TNode& c : {TNode{"ProjectOps", "Project", "Projects"}, {"SFOps", "SF", "SFs"},
                         {"ComponentOps", "Component", "Components"}, {"ChannelOps", "Channel", "Channels"},
                         {"BlocOps", "Bloc", "Blocs"}, {"ElementOps", "Element", "Elements"},
                         {"DCMeasureOps", "DCMeasure", "DCMeasures"}, {"CCFMeasureOps", "CCFMeasure", "CCFMeasures"},
                         {"CatConditionOps", "CatCondition", "CatConditions"},
                         {"PLConditionOps", "PLCondition", "PLConditions"}}) {
    SCOPED_TRACE(c.Table);
    TFullProject f = BuildFullProject();
    const std::string db = this->SavedStore(f, "blank " + c.Table);
    const std::string node = Rows(db, layer, c.Table).at(0).at("oid");
    SetCell(db, layer, c.Table, node, c.Column, "");
    auto [n, args] = IOErrorOf([&] { ReadProjects(db, layer); });
    EXPECT_EQ(n, msgXMLDanglingReference);
    EXPECT_EQ(args, (std::vector<std::string>{db, c.Table, node, c.Column, "", c.Target}));
    std::tie(n, args) = IOErrorOf([&] { CheckXMLTables(db, layer); });
    EXPECT_EQ(n, msgXMLDanglingReference);
    EXPECT_EQ(this->Lowered(args), this->Lowered({db, c.Table, "1", c.Column, "", c.Target}));
  }
  {  // A link row without its measure.
    TFullProject f = BuildFullProject();
    const std::string db = this->SavedStore(f, "link");
    const std::string measure = OIDOf(f.Element->GetElement()->GetDCMeasureOp()->GetDCMeasure());
    const std::vector<TRow> links = Rows(db, layer, "DCMeasureInsuffPLs");
    const auto at =
        std::find_if(links.begin(), links.end(), [&](const TRow& r) { return r.at("dcmeasure") == measure; });
    const std::string row = std::to_string(at - links.begin() + 1);
    SetCell(db, layer, "DCMeasureInsuffPLs", measure, "DCMeasure", "", "DCMeasure");
    const auto [n, args] = IOErrorOf([&] { CheckXMLTables(db, layer); });
    EXPECT_EQ(n, msgXMLDanglingReference);
    EXPECT_EQ(this->Lowered(args), this->Lowered({db, "DCMeasureInsuffPLs", row, "DCMeasure", "", "DCMeasures"}));
  }
  {  // A data row no node names.
    TFullProject f = BuildFullProject();
    const std::string db = this->SavedStore(f, "unnamed");
    InsertTextRow(db, layer, "Elements", {{"OID", "{UNNAMED}"}, {"Name", "Verwaist"}, {"IsProtected", "0"}});
    const std::string row = std::to_string(Rows(db, layer, "Elements").size());
    const auto [n, args] = IOErrorOf([&] { CheckXMLTables(db, layer); });
    EXPECT_EQ(n, msgXMLUnnamedRow);
    EXPECT_EQ(this->Lowered(args), this->Lowered({db, "Elements", row, "OID", "{UNNAMED}", "ElementOps", "Element"}));
  }
  {  // Nor is a node without its data object saved: its file would not open again.
    TFullProject f = BuildFullProject();
    auto bare = std::make_unique<TElementOp>();
    TElementOp* node = bare.get();
    f.Bloc->GetElementOpList()->Add(std::move(bare));
    node->SetObjectState(posCreate);
    const std::string db = this->NewStore("bare");
    CreateXMLTables(db, layer);
    const auto [n, args] = IOErrorOf([&] { SaveXML(*f.Root, db, layer); });
    EXPECT_EQ(n, msgXMLDanglingReference);
    EXPECT_EQ(args, (std::vector<std::string>{db, "ElementOps", OIDOf(node), "Element", "", "Elements"}));
  }
}

// A value the model refuses is refused with the setter's own error (its class and number, so that callers
// telling errors apart still can), and the error's text names the file, the table, the row and the column.
TYPED_TEST_P(ProjectFiles, RefusedValuesNameTheirPlace) {
  TFullProject f = BuildFullProject();
  const std::string db = this->SavedStore(f, "refused");
  const std::string el = OIDOf(f.Element->GetElement());
  const std::string comp = OIDOf(f.Sub->GetComponent());
  const std::string bloc = OIDOf(f.Bloc->GetBloc());
  struct TCase {
    std::string Table, Key, Column, Bad, Good;
    std::function<void()> Setter;  // raises what the row must raise
  };
  const std::vector<TCase> cases{
      {"Elements", el, "DC", "1.5", "0.6", [] { TElement().SetDC(1.5); }},
      {"Elements", el, "DC", "-0.1", "0.6", [] { TElement().SetDC(-0.1); }},
      {"Elements", el, "MTTFd", "-5", "150", [] { TElement().SetMTTFd(-5); }},
      {"Elements", el, "DCDet", "detUnknown", "detMeasures", [] { TElement().SetDCDet(detUnknown); }},
      {"ElementOps", OIDOf(f.Element), "Nop", "0", "150000", [] { TElementOp().SetNop(0); }},
      {"Components", comp, "PFH", "-1E-7", "1.5E-7", [] { TComponent().SetPFH(-1e-7); }},
      {"Components", comp, "CCFScore", "101", "65.5", [] { TComponent().SetCCFScore(101); }},
      {"Blocs", bloc, "MTTFdDet", "detMeasures", "detDirect", [] { TBloc().SetMTTFdDet(detMeasures); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Table + "." + c.Column + " " + c.Bad);
    std::string expectedClass;
    int expectedNumber = 0;
    try {
      c.Setter();
    } catch (const EKelvado& e) {
      expectedClass = e.ClassName();
      expectedNumber = e.MsgNumber();
    }
    ASSERT_NE(expectedNumber, 0);
    SetCell(db, this->layer_, c.Table, c.Key, c.Column, c.Bad);
    try {
      ReadProjects(db, this->layer_);
      ADD_FAILURE() << "read";
    } catch (const EKelvado& e) {
      EXPECT_EQ(e.ClassName(), expectedClass);
      EXPECT_EQ(e.MsgNumber(), expectedNumber);
      const std::string text = e.what();
      for (const std::string& part : {"<" + db + ">", "<" + c.Table + ">", "<" + c.Key + ">", "<" + c.Column + ">"})
        EXPECT_NE(text.find(part), std::string::npos) << part << " not in: " << text;
    }
    SetCell(db, this->layer_, c.Table, c.Key, c.Column, c.Good);
  }
  EXPECT_NO_THROW(ReadProjects(db, this->layer_));
}

TYPED_TEST_P(ProjectFiles, RefusesUnknownTablesAndColumns) {
  EXPECT_NO_THROW(this->Check());
  TtiDBMetaDataTable notes;
  notes.SetName("Notes");
  notes.AddField("OID", qfkString, 36);
  tiPerMgr().CreateTable(notes, this->db_, this->layer_);
  auto [n, args] = IOErrorOf([&] { this->Check(); });
  EXPECT_EQ(n, msgXMLUnknownTable);
  EXPECT_EQ(this->Lowered(args), this->Lowered({this->db_, "Notes"}));

  const std::string db = this->NewStore("newer");
  TtiDBMetaDataTable elements;
  elements.SetName("Elements");
  for (const TXMLColumn& c : FindXMLTableDef("Elements")->Columns)
    elements.AddField(std::string(c.Name), c.Kind, c.Width);
  elements.AddField("Colour", qfkString, 16);
  tiPerMgr().CreateTable(elements, db, this->layer_);
  CreateXMLTables(db, this->layer_);
  std::tie(n, args) = IOErrorOf([&] { CheckXMLTables(db, this->layer_); });
  EXPECT_EQ(n, msgXMLUnknownColumn);
  EXPECT_EQ(this->Lowered(args), this->Lowered({db, "Elements", "Colour"}));
}

TYPED_TEST_P(ProjectFiles, ChannelNodesOrderAndPairing) {
  // In file order: the test-channel node, a channel node paired with it, a channel node whose row names no test
  // channel (as files were written while a row could be written before its test channel had an identifier).
  auto root = std::make_unique<TProjectOp>();
  root->SetProject(std::make_unique<TProject>());
  auto sf = std::make_unique<TSFOp>();
  sf->SetSF(std::make_unique<TSF>());
  auto sub = std::make_unique<TComponentOp>();
  sub->SetComponent(std::make_unique<TComponent>());
  auto t1 = std::make_unique<TTestChannelOp>();
  t1->SetChannel(std::make_unique<TTestChannel>());
  auto c1 = std::make_unique<TChannelOp>();
  c1->SetChannel(std::make_unique<TChannel>());
  auto c2 = std::make_unique<TChannelOp>();
  c2->SetChannel(std::make_unique<TChannel>());
  TChannelOp* pc1 = c1.get();
  TChannelOp* pc2 = c2.get();
  TTestChannelOp* pt1 = t1.get();
  sub->GetChannelOpList()->Add(std::move(t1));
  sub->GetChannelOpList()->Add(std::move(c1));
  sub->GetChannelOpList()->Add(std::move(c2));
  sf->GetComponentOpList()->Add(std::move(sub));
  root->GetSFOpList()->Add(std::move(sf));
  TVisSetObjectStateByClass toCreate(nullptr, posCreate);
  root->Iterate(toCreate);
  SaveXML(*root, this->db_, this->layer_);
  SetCell(this->db_, this->layer_, "ChannelOps", OIDOf(pc2), "TestChannelOp", "");

  auto read = ReadProjects(this->db_, this->layer_);
  TChannelOpList& list =
      *read->Items(0)->GetSFOpList()->Items(0)->GetComponentOpList()->Items(0)->GetChannelOpList();
  ASSERT_EQ(list.GetCount(), 3);
  EXPECT_EQ(OIDOf(list.Items(0)), OIDOf(pc1));
  EXPECT_EQ(OIDOf(list.Items(1)), OIDOf(pc2));
  EXPECT_EQ(OIDOf(list.Items(2)), OIDOf(pt1));
  EXPECT_EQ(list.Items(0)->GetTestChannelOp(), list.Items(2));
  // Paired with the subsystem's test channel, as the channel list pairs a channel when the tree is built.
  EXPECT_EQ(list.Items(1)->GetTestChannelOp(), list.Items(2));
  EXPECT_EQ(list.Items(0)->GetChannel()->ClassName(), "TChannel");
  EXPECT_EQ(list.Items(2)->ClassName(), "TTestChannelOp");
  EXPECT_EQ(list.Items(2)->GetChannel()->ClassName(), "TTestChannel");
  EXPECT_EQ(OIDOf(list.Items(2)->GetChannel()), OIDOf(pt1->GetChannel()));

  // A pairing with a node the subsystem does not hold.
  SetCell(this->db_, this->layer_, "ChannelOps", OIDOf(pc1), "TestChannelOp", "{nowhere}");
  auto [n, args] = IOErrorOf([&] { this->Read(); });
  EXPECT_EQ(n, 1001);
  EXPECT_EQ(args, std::vector<std::string>{"T3 1"});
  try {
    this->Read();
  } catch (const EIOError& e) {
    const std::string place =
        "File <" + this->db_ + ">, table <ChannelOps>, row <" + OIDOf(pc1) + ">, column <TestChannelOp>";
    EXPECT_NE(std::string(e.what()).find(place), std::string::npos) << e.what();
  }
  std::tie(n, args) = IOErrorOf([&] { this->Check(); });
  EXPECT_EQ(n, msgXMLDanglingReference);
}

TYPED_TEST_P(ProjectFiles, DeletedTestChannelCountsAsAbsent) {
  // Deleted before the project is written anew.
  TFullProject f = BuildFullProject();
  f.T1->SetDeleted(true);
  auto read = this->SaveAndRead(*f.Root);
  ExpectSameTree(*f.Root, *read->Items(0));
  TChannelOpList& list = *this->template Find<TComponentOp>(*read->Items(0), f.Sub).GetChannelOpList();
  ASSERT_EQ(list.GetCount(), 2);
  EXPECT_EQ(list.Items(0)->GetTestChannelOp(), nullptr);
  EXPECT_EQ(list.Items(1)->GetTestChannelOp(), nullptr);

  // Deleted after the file was written: the save removes its row and every pairing with it.
  TFullProject g = BuildFullProject();
  const std::string db = this->SavedStore(g, "later");
  g.T1->SetDeleted(true);
  SaveXML(*g.Root, db, this->layer_);
  auto again = ReadProjects(db, this->layer_);
  ExpectSameTree(*g.Root, *again->Items(0));
  EXPECT_NO_THROW(CheckXMLTables(db, this->layer_));
  for (const TRow& r : Rows(db, this->layer_, "ChannelOps")) EXPECT_EQ(r.at("testchannelop"), "");
}

TYPED_TEST_P(ProjectFiles, OlderFilesTakeDefaults) {
  TFullProject f = BuildFullProject();
  SaveXML(*f.Root, this->db_, this->layer_);
  const std::string older = this->NewStore("older");
  CreateOlderTables(older, this->layer_,
                    {{"Components",
                      {"CatConditionsRelevant", "PLDirectNoBind", "IsPLPFHBind", "MissionTime", "Document",
                       "Documentation", "Manufacturer", "PartNo"}},
                     {"Elements", {"MissionTime", "Document", "Documentation", "Manufacturer", "PartNo",
                                   "NormVersion", "KVDVersion"}},
                     {"ChannelOps", {"IsTestChannelOp", "TestChannelOp"}},
                     {"Projects", {"Author", "Document", "Documentation", "DocumentsFolder"}},
                     {"CatConditions", {"CCID"}},
                     {"PLConditionOps", {}}});
  CopyRows(this->db_, older, this->layer_);
  EXPECT_NO_THROW(CheckXMLTables(older, this->layer_));
  auto read = ReadProjects(older, this->layer_);
  TtiObject& root = *read->Items(0);
  const TComponent& c = this->template Find<TComponent>(root, f.Sub->GetComponent());
  EXPECT_TRUE(c.GetCatConditionsRelevant());
  EXPECT_EQ(c.GetPLDirectNoBind(), plA);
  EXPECT_TRUE(c.GetIsPLPFHBind());
  EXPECT_EQ(c.GetMissionTime(), 20.0);
  EXPECT_EQ(c.GetDocument(), "");
  EXPECT_EQ(c.GetManufacturer(), "");
  EXPECT_EQ(c.GetCatConditionOps()->Items(0)->GetCatCondition()->GetCCID(), "");
  EXPECT_EQ(c.GetCCFMeasureOps()->GetCount(), 1);
  EXPECT_EQ(c.GetPLConditionOps()->GetCount(), 0);  // no such table
  const TElement& e = this->template Find<TElement>(root, f.Element->GetElement());
  EXPECT_EQ(e.GetMissionTime(), 20.0);
  EXPECT_EQ(e.GetPartNo(), "");
  EXPECT_EQ(e.GetNormVersion(), ver13849Unknown);
  EXPECT_EQ(e.GetKVDVersion(), verKVDUnknown);
  EXPECT_EQ(e.GetName(), "Schütz K1");
  const TProject& p = *static_cast<TProjectOp&>(root).GetProject();
  EXPECT_EQ(p.GetAuthor(), "");
  EXPECT_EQ(p.GetName(), "Projekt Ä");
  EXPECT_EQ(p.GetKVDVersionOriginalString(), "1.1.1");
  // Without the two columns every channel row is a plain channel node, none paired.
  const TChannelOpList& list = *this->template Find<TComponentOp>(root, f.Sub).GetChannelOpList();
  ASSERT_EQ(list.GetCount(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(list.Items(i)->ClassName(), "TChannelOp");
    EXPECT_EQ(list.Items(i)->GetTestChannelOp(), nullptr);
  }

  // Creating the tables of an older file adds the missing ones, never columns to those it has.
  CreateXMLTables(older, this->layer_);
  EXPECT_TRUE(tiPerMgr().TableExists("PLConditionOps", older, this->layer_));
  WithQuery(older, this->layer_, [&](TtiQuery&, TtiDatabase& d) {
    TtiDBMetaDataTable t;
    t.SetName("Components");
    d.ReadMetaDataFields(t);
    EXPECT_EQ(t.FindByFieldName("CatConditionsRelevant"), nullptr);
    EXPECT_EQ(t.Count(), static_cast<int>(FindXMLTableDef("Components")->Columns.size()) - 8);
  });
}

TYPED_TEST_P(ProjectFiles, DCMeasuresOfElementsAndBlocks) {
  TFullProject f = BuildFullProject();
  SaveXML(*f.Root, this->db_, this->layer_);
  const auto links = [&](const TDCMeasure* m) {
    std::vector<std::string> pls;
    for (const TRow& r : Rows(this->db_, this->layer_, "DCMeasureInsuffPLs"))
      if (r.at("dcmeasure") == OIDOf(m)) pls.push_back(r.at("pl"));
    return pls;
  };
  const TDCMeasure* blocMeasure = f.Bloc->GetBloc()->GetDCMeasureOp()->GetDCMeasure();
  TDCMeasure* measure = f.Element->GetElement()->GetDCMeasureOp()->GetDCMeasure();
  EXPECT_EQ(links(blocMeasure), (std::vector<std::string>{"plA", "plC"}));
  EXPECT_EQ(links(measure), std::vector<std::string>{"plE"});
  // A DC of 0.995 within a measure of 0.99 to 1 reads back as it was (checked by the round trip too).
  EXPECT_EQ(RowOf(this->db_, this->layer_, "DCMeasureOps", OIDOf(f.Bloc->GetBloc()->GetDCMeasureOp())).at("dc"),
            "0.995");
  // An element without measure writes the column empty.
  EXPECT_EQ(RowOf(this->db_, this->layer_, "Elements", OIDOf(f.ProtectedElement->GetElement())).at("dcmeasureop"),
            "");

  measure->SetInsufficient({plC, plA});
  measure->SetDirty(true);
  SaveXML(*f.Root, this->db_, this->layer_);
  EXPECT_EQ(links(measure), (std::vector<std::string>{"plA", "plC"}));
  measure->SetInsufficient({});
  measure->SetDirty(true);
  SaveXML(*f.Root, this->db_, this->layer_);
  EXPECT_TRUE(links(measure).empty());

  // Removing the measure of a saved element empties the column of its row.
  f.Element->GetElement()->SetDCMeasureOp(nullptr);
  f.Element->GetElement()->SetDirty(true);
  SaveXML(*f.Root, this->db_, this->layer_);
  EXPECT_EQ(RowOf(this->db_, this->layer_, "Elements", OIDOf(f.Element->GetElement())).at("dcmeasureop"), "");

  // Deleting a block takes its measure and the measure's link rows.
  f.Bloc->SetDeleted(true);
  SaveXML(*f.Root, this->db_, this->layer_);
  EXPECT_TRUE(links(blocMeasure).empty());
  for (const TRow& r : Rows(this->db_, this->layer_, "DCMeasures")) EXPECT_NE(r.at("oid"), OIDOf(blocMeasure));
}

TYPED_TEST_P(ProjectFiles, EmptyTestChannelNodeIsDeletedOnSave) {
  TFullProject f = BuildFullProject();
  SaveXML(*f.Root, this->db_, this->layer_);
  const std::string oid = "{EMPTY-TEST-CHANNEL}";
  InsertTextRow(this->db_, this->layer_, "ChannelOps",
                {{"OID", oid}, {"ComponentOp", OIDOf(f.Sub)}, {"IsTestChannelOp", "1"}, {"IsProtected", "0"}});
  auto node = std::make_unique<TTestChannelOp>();
  node->GetOID().SetAsString(oid);
  TTestChannelOp* empty = node.get();
  f.Sub->GetChannelOpList()->TPerObjListEx::Add(std::unique_ptr<TtiObject>(std::move(node)));
  SaveXML(*f.Root, this->db_, this->layer_);
  EXPECT_EQ(empty->GetObjectState(), posDeleted);
  for (const TRow& r : Rows(this->db_, this->layer_, "ChannelOps")) EXPECT_NE(r.at("oid"), oid);
}

TYPED_TEST_P(ProjectFiles, TablesCreatedAndReset) {
  // Declared as listed, kinds and widths included; a second run changes nothing.
  CreateXMLTables(this->db_, this->layer_);
  WithQuery(this->db_, this->layer_, [&](TtiQuery&, TtiDatabase& d) {
    TtiDBMetaData tables;
    d.ReadMetaDataTables(tables);
    EXPECT_EQ(tables.Count(), 24);
    for (const TXMLTableDef& def : XMLTableDefs()) {
      SCOPED_TRACE(def.Name);
      TtiDBMetaDataTable t;
      t.SetName(def.Name);
      d.ReadMetaDataFields(t);
      ASSERT_EQ(t.Count(), static_cast<int>(def.Columns.size()));
      for (int i = 0; i < t.Count(); ++i) {
        EXPECT_EQ(LowerName(t.Items(i)->GetName()), LowerName(std::string(def.Columns[i].Name)));
        EXPECT_EQ(t.Items(i)->GetKind(), def.Columns[i].Kind);
        EXPECT_EQ(t.Items(i)->GetWidth(), def.Columns[i].Width);
      }
    }
  });
  EXPECT_EQ(FindXMLTableDef("SFs")->FindColumn("Reaction")->Width, 0);
  EXPECT_EQ(FindXMLTableDef("Channels")->FindColumn("IsTestChannel")->Width, 36);
  EXPECT_EQ(FindXMLTableDef("ChannelOps")->FindColumn("IsTestChannelOp")->Kind, qfkInteger);
  EXPECT_EQ(FindXMLTableDef("PLReqCondition")->FindColumn("PL")->Width, 4);

  TFullProject f = BuildFullProject();
  SaveXML(*f.Root, this->db_, this->layer_);
  TMetaDataList meta;
  meta.Add(TtiObject::CreateNew<TMetaData>());
  SaveXML(meta, this->db_, this->layer_);
  ResetXMLTables(this->db_, this->layer_);
  for (const TXMLTableDef& def : XMLTableDefs())
    EXPECT_EQ(Rows(this->db_, this->layer_, def.Name).size(), def.Name == "LibMetaData" ? 1u : 0u) << def.Name;
}

TYPED_TEST_P(ProjectFiles, MetaDataRecords) {
  TMetaDataList list;
  auto m = TtiObject::CreateNew<TMetaData>();
  m->SetIsProtected(true);
  m->SetDateTime(DateTime{40000.25});
  m->SetInfo("Bibliothek für Pressen – ✓");
  m->SetOwnerName("Jörg");
  m->SetNormVersion(ver2006);
  m->SetKVDVersion(ver1_0);
  TMetaData* saved = m.get();
  list.Add(std::move(m));
  SaveXML(list, this->db_, this->layer_);
  EXPECT_EQ(saved->GetObjectState(), posClean);

  const auto readBack = [&] {
    auto l = std::make_unique<TMetaDataList>();
    ReadXML(*l, this->db_, this->layer_);
    return l;
  };
  auto read = readBack();
  ASSERT_EQ(read->GetCount(), 1);
  const TMetaData& r = *read->Items(0);
  EXPECT_EQ(OIDOf(&r), OIDOf(saved));
  EXPECT_TRUE(r.GetIsProtected());
  EXPECT_EQ(r.GetDateTime().Days, 40000.25);
  EXPECT_EQ(r.GetInfo(), "Bibliothek für Pressen – ✓");
  EXPECT_EQ(r.GetOwnerName(), "Jörg");
  EXPECT_EQ(r.GetNormVersion(), ver2006);
  EXPECT_EQ(r.GetKVDVersion(), ver1_0);
  EXPECT_EQ(r.GetKVDVersionOriginalString(), "1.0");

  saved->SetInfo("geändert");
  saved->SetDirty(true);
  SaveXML(list, this->db_, this->layer_);
  EXPECT_EQ(readBack()->Items(0)->GetInfo(), "geändert");
  saved->SetDeleted(true);
  SaveXML(list, this->db_, this->layer_);
  EXPECT_EQ(readBack()->GetCount(), 0);
}

TYPED_TEST_P(ProjectFiles, TopLevelListsReadItemsWithoutOwner) {
  // An exported safety function: a copy of the node saved on its own.
  TFullProject f = BuildFullProject();
  auto exported = f.SF->CloneAs<TSFOp>();
  TVisSetObjectStateByClass toCreate(nullptr, posCreate);
  exported->Iterate(toCreate);
  SaveXML(*exported, this->db_, this->layer_);

  TSFOpList sfs;
  ReadXML(sfs, this->db_, this->layer_);
  ASSERT_EQ(sfs.GetCount(), 1);
  ExpectSameTree(*exported, *sfs.Items(0));
  EXPECT_EQ(ReadProjects(this->db_, this->layer_)->GetCount(), 0);
  TComponentOpList subs;
  ReadXML(subs, this->db_, this->layer_);
  EXPECT_EQ(subs.GetCount(), 0);
}

REGISTER_TYPED_TEST_SUITE_P(ProjectFiles, FullProjectRoundTrip, InfiniteAndForeignNumberTexts,
                            RefusesValuesNoColumnMayHold, RefusesBrokenReferences,
                            RefusesNodesWithoutDataAndDataWithoutNode, RefusedValuesNameTheirPlace,
                            RefusesUnknownTablesAndColumns,
                            ChannelNodesOrderAndPairing, DeletedTestChannelCountsAsAbsent, OlderFilesTakeDefaults,
                            DCMeasuresOfElementsAndBlocks, EmptyTestChannelNodeIsDeletedOnSave,
                            TablesCreatedAndReset, MetaDataRecords, TopLevelListsReadItemsWithoutOwner);

}  // namespace kelvado::testing

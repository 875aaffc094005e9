// Library items written to a library file through the mapper and read back; updates, deletes, protection,
// the catalogues, a failing group, rows that are missing and the file date.
#include <fcntl.h>
#include <sys/stat.h>

#include "tests/storage/db/LibraryTestEnv.h"

using namespace kelvado;
using namespace kelvado::testing;

namespace {

struct timespec MTime(const std::string& f) {
  struct stat st {};
  ::stat(f.c_str(), &st);
  return st.st_mtim;
}

void SetMTime(const std::string& f, time_t sec) {
  struct timespec t[2] = {{sec, 0}, {sec, 0}};
  ::utimensat(AT_FDCWD, f.c_str(), t, 0);
}

class LibraryVisitorsTest : public LibraryTest {
protected:
  void SaveAll(TLibraryItems& items) {
    mapper_->SaveComponentOpList(*items.Subsystems);
    mapper_->SaveChannelOpList(*items.Channels);
    mapper_->SaveBlocOpList(*items.Blocs);
    mapper_->SaveElementOpList(*items.Elements);
    mapper_->SaveDCMeasureOpList(*items.DCCatalogue);
    mapper_->SaveCCFMeasureOpList(*items.CCFCatalogue);
    mapper_->SaveCatConditionOpList(*items.Conditions);
  }
};

TEST_F(LibraryVisitorsTest, EveryItemClassReadsBackEqual) {
  TLibraryItems items = BuildLibraryItems();
  SaveAll(items);
  EXPECT_EQ(items.Subsystems->Items(0)->GetObjectState(), posClean);

  TComponentOpList subs;
  ASSERT_TRUE(mapper_->ReadComponentOpList(subs));
  ExpectSameTree(*items.Subsystems, subs);
  // Channel nodes in their order, then the test-channel node, which both channel nodes are paired with.
  TChannelOpList& chans = *subs.Items(0)->GetChannelOpList();
  ASSERT_EQ(chans.GetCount(), 3);
  EXPECT_TRUE(chans.Items(2)->IsTestChannelNode());
  EXPECT_EQ(chans.Items(0)->GetTestChannelOp(), chans.Items(2));
  EXPECT_EQ(chans.Items(1)->GetTestChannelOp(), chans.Items(2));
  // The joins multiply the subsystem's rows (2 x 3 x 1); each node is there once.
  TComponent& comp = *subs.Items(0)->GetComponent();
  EXPECT_EQ(comp.GetCCFMeasureOps()->GetCount(), 2);
  EXPECT_EQ(comp.GetCatConditionOps()->GetCount(), 3);
  EXPECT_EQ(comp.GetPLConditionOps()->GetCount(), 1);
  EXPECT_EQ(comp.GetCCFMeasureOps()->Items(1)->GetCCFMeasure()->GetHeading(), "Diversität");

  TChannelOpList channels;
  mapper_->ReadChannelOpList(channels);
  ExpectSameTree(*items.Channels, channels);
  TBlocOpList blocs;
  mapper_->ReadBlocOpList(blocs);
  ExpectSameTree(*items.Blocs, blocs);
  EXPECT_EQ(blocs.Items(1)->GetBloc()->GetDCMeasureOp(), nullptr);
  TElementOpList elements;
  mapper_->ReadElementOpList(elements);
  ExpectSameTree(*items.Elements, elements);
  TDCMeasureOpList dcs;
  mapper_->ReadDCMeasureOpList(dcs, true);
  ExpectSameTree(*items.DCCatalogue, dcs);
  EXPECT_TRUE(dcs.Items(1)->GetDCMeasure()->GetInsufficient() == (TPLSet{plD, plE}));
  TCCFMeasureOpList ccfs;
  mapper_->ReadCCFMeasureOpList(ccfs, true);
  ExpectSameTree(*items.CCFCatalogue, ccfs);
  TCatConditionOpList conds;
  mapper_->ReadCatConditionOpList(conds);
  ExpectSameTree(*items.Conditions, conds);
  EXPECT_EQ(GfixCopy(lib_), "");
}

TEST_F(LibraryVisitorsTest, StoredValuesAndStamps) {
  TLibraryItems items = BuildLibraryItems();
  items.Elements->Items(0)->GetElement()->SetKVDVersion(ver1_0_5a);
  items.Elements->Items(0)->GetElement()->SetNormVersion(ver2006pr);
  items.Elements->Items(0)->GetElement()->SetDC(0.1 + 0.2);
  SaveAll(items);
  const std::string compOID = OIDOf(items.Subsystems->Items(0)->GetComponent());
  // The subsystem's MTTFd as entered (150 years), not cut to the category's 100.
  TRow comp = LibRow("Components", compOID);
  EXPECT_EQ(comp["mttfd"], "150");
  EXPECT_EQ(comp["pfh"], "-2");
  EXPECT_EQ(comp["cat"], "cat3");
  // Older stamps are replaced by the running program's.
  TRow el = LibRow("Elements", OIDOf(items.Elements->Items(0)->GetElement()));
  EXPECT_EQ(el["kvdversion"], VersionText(CurrentKVDVersion));
  EXPECT_EQ(el["normversion"], NormVersionText(CurrentNormVersion));
  // A DOUBLE column as text: the framework's 15 significant digits, as every number text of the program (the
  // shortest exact text would be 0.30000000000000004).
  EXPECT_EQ(el["dc"], "0.3");
  // A DC measure writes one row per insufficient PL; an update to {plE} leaves one, a delete none.
  TDCMeasure& m = *items.DCCatalogue->Items(1)->GetDCMeasure();
  auto insuff = [&] {
    int n = 0;
    for (TRow& r : LibRows("DCMeasureInsuffPLs"))
      if (r["dcmeasure"] == OIDOf(&m)) ++n;
    return n;
  };
  EXPECT_EQ(insuff(), 2);
  m.SetInsufficient({plE});
  m.SetDirty(true);
  mapper_->SaveDCMeasureOpList(*items.DCCatalogue);
  EXPECT_EQ(insuff(), 1);
  items.DCCatalogue->Items(1)->SetDeleted(true);
  mapper_->SaveDCMeasureOpList(*items.DCCatalogue);
  EXPECT_EQ(insuff(), 0);
  // The entered MTTFd again after an update.
  items.Subsystems->Items(0)->GetComponent()->SetName("Neu");
  items.Subsystems->Items(0)->GetComponent()->SetDirty(true);
  mapper_->SaveComponentOpList(*items.Subsystems);
  EXPECT_EQ(LibRow("Components", compOID)["mttfd"], "150");
  EXPECT_EQ(GfixCopy(lib_), "");
}

// A value the model refuses keeps the setter's error (class and number), and its text names the library, the
// table, the row and the column.
TEST_F(LibraryVisitorsTest, RefusedValuesNameTheirPlace) {
  TLibraryItems items = BuildLibraryItems();
  SaveAll(items);
  const std::string node = OIDOf(items.Elements->Items(0));
  const std::string element = OIDOf(items.Elements->Items(0)->GetElement());
  struct TCase {
    std::string Update, Table, Row, Column;
    int Msg;
  };
  for (const TCase& c :
       {TCase{"UPDATE Elements SET DC = 1.5 WHERE OID = '" + element + "'", "Elements", element, "DC", msgDCOutOfRange},
        TCase{"UPDATE ElementOps SET Nop = 0 WHERE OID = '" + node + "'", "ElementOps", node, "Nop", msgNopTooSmall}}) {
    SCOPED_TRACE(c.Update);
    Exec(c.Update);
    TElementOpList back;
    try {
      mapper_->ReadElementOpList(back);
      ADD_FAILURE() << "read";
    } catch (const EInvalidValue& e) {
      EXPECT_EQ(e.MsgNumber(), c.Msg);
      const std::string place =
          "File <" + lib_ + ">, table <" + c.Table + ">, row <" + c.Row + ">, column <" + c.Column + ">: ";
      EXPECT_EQ(std::string(e.what()).rfind(place, 0), 0u) << e.what();
    }
    Exec("UPDATE Elements SET DC = 0.6 WHERE OID = '" + element + "'");  // the next case refuses its own
  }
}

// A node whose data row is missing (its reference NULL or naming no row), or a block whose DC measure node is
// missing, is refused naming the library, the table, the row and the column, as a project file's would be: it
// is never read as an object made up of default values. A library made by an older release may lack the keys
// that keep such rows out; here they are dropped.
TEST_F(LibraryVisitorsTest, ANodeWhoseDataRowIsMissingIsRefusedNamingItsPlace) {
  const std::string lib = NewLibrary("Ohne Schlüssel.klb");
  {
    TtiFBDatabase db(lib);
    db.Connect();
    std::vector<std::pair<std::string, std::string>> keys;
    {
      TtiFBTransaction tr(db);
      tr.Start(true);
      TtiFBStatement q(db, tr);
      q.SetSQL("SELECT TRIM(RDB$RELATION_NAME), TRIM(RDB$CONSTRAINT_NAME) FROM RDB$RELATION_CONSTRAINTS "
               "WHERE RDB$CONSTRAINT_TYPE = 'FOREIGN KEY'");
      for (q.Open(); !q.Eof(); q.Next()) keys.emplace_back(q.FieldAsString(0), q.FieldAsString(1));
      q.Close();
      tr.Commit();
    }
    std::string ddl;
    for (const auto& [table, key] : keys) ddl += "ALTER TABLE " + table + " DROP CONSTRAINT " + key + ";\n";
    tiFBRunScript(db, ddl + "ALTER TABLE ElementOps ALTER COLUMN Element DROP NOT NULL;\n", "test");
    db.Disconnect();
  }
  ASSERT_TRUE(mapper_->OpenLibrary(lib));
  TLibraryItems items = BuildLibraryItems();
  mapper_->SaveComponentOpList(*items.Subsystems);
  const TComponentOp& subNode = *items.Subsystems->Items(0);
  const TCCFMeasureOp& ccfNode = *subNode.GetComponent()->GetCCFMeasureOps()->Items(0);
  const TChannelOp& channelNode = *subNode.GetChannelOpList()->Items(0);
  const TBlocOp& blocNode = *channelNode.GetBlocOpList()->Items(0);
  const TElementOp& elementNode = *blocNode.GetElementOpList()->Items(0);
  struct TCase {
    std::string Table, Row, Column, Refers, Broken, Target;
  };
  for (const TCase& c : {
           TCase{"ElementOps", OIDOf(&elementNode), "Element", OIDOf(elementNode.GetElement()), "", "Elements"},
           TCase{"ElementOps", OIDOf(&elementNode), "Element", OIDOf(elementNode.GetElement()), "nix", "Elements"},
           TCase{"BlocOps", OIDOf(&blocNode), "Bloc", OIDOf(blocNode.GetBloc()), "nix", "Blocs"},
           TCase{"Blocs", OIDOf(blocNode.GetBloc()), "DCMeasureOp", OIDOf(blocNode.GetBloc()->GetDCMeasureOp()), "nix",
                 "DCMeasureOps"},
           TCase{"ChannelOps", OIDOf(&channelNode), "Channel", OIDOf(channelNode.GetChannel()), "nix", "Channels"},
           TCase{"ComponentOps", OIDOf(&subNode), "Component", OIDOf(subNode.GetComponent()), "nix", "Components"},
           TCase{"CCFMeasureOps", OIDOf(&ccfNode), "CCFMeasure", OIDOf(ccfNode.GetCCFMeasure()), "nix",
                 "CCFMeasures"},
       }) {
    SCOPED_TRACE(c.Table + "." + c.Column + " = '" + c.Broken + "'");
    auto set = [&](const std::string& value) {
      tiPerMgr().ExecSQL("UPDATE " + c.Table + " SET " + c.Column + " = " +
                             (value.empty() ? std::string("NULL") : "'" + value + "'") + " WHERE OID = '" + c.Row + "'",
                         lib, cTIPersistIBX);
    };
    set(c.Broken);
    EXPECT_EQ(IOErrorOf([&] {
                TComponentOpList back;
                mapper_->ReadComponentOpList(back);
              }),
              std::make_pair(msgXMLDanglingReference,
                             std::vector<std::string>{lib, c.Table, c.Row, c.Column, c.Broken, c.Target}));
    set(c.Refers);
  }
  // Whole again, the library reads as it was written.
  TComponentOpList subs;
  mapper_->ReadComponentOpList(subs);
  ExpectSameTree(*items.Subsystems, subs);
}

TEST_F(LibraryVisitorsTest, UpdateAndDelete) {
  TLibraryItems items = BuildLibraryItems();
  SaveAll(items);
  TElementOp& e = *items.Elements->Items(0);
  e.GetElement()->SetName("Geändert");
  e.SetNop(42.0);
  e.GetElement()->SetDirty(true);
  e.SetDirty(true);
  mapper_->SaveElementOpList(*items.Elements);
  TElementOpList back;
  mapper_->ReadElementOpList(back);
  ExpectSameTree(*items.Elements, back);

  // Deleting a subsystem removes the rows of its whole tree, node rows before data rows.
  items.Subsystems->Items(0)->SetDeleted(true);
  mapper_->SaveComponentOpList(*items.Subsystems);
  EXPECT_EQ(items.Subsystems->Items(0)->GetObjectState(), posDeleted);
  EXPECT_EQ(LibRows("ComponentOps").size(), 1u);
  EXPECT_EQ(LibRows("Components").size(), 1u);
  EXPECT_EQ(LibRows("CCFMeasureOps").size(), 1u);  // the catalogue's
  EXPECT_EQ(LibRows("CatConditionOps").size(), 1u);
  EXPECT_EQ(LibRows("PLConditionOps").size(), 0u);
  TComponentOpList subs;
  mapper_->ReadComponentOpList(subs);
  ASSERT_EQ(subs.GetCount(), 1);
  EXPECT_EQ(subs.Items(0)->GetComponent()->GetName(), "Mechanik");
  EXPECT_EQ(GfixCopy(lib_), "");
}

// A library has no column for whether a subsystem's CCF measure or condition is ticked: a node read from it is
// ticked. So an unticked one must not be kept: read back it would count (a CCF score of 75 instead of 35, a
// category condition left open read as met).
TEST_F(LibraryVisitorsTest, UntickedMeasuresAndConditionsReadBackAsNotCounting) {
  SetPersistenceDB(ConnectGeneral());  // the standard's conditions of category 3
  TLibraryItems items = BuildLibraryItems();
  TComponentOpList& subs = *items.Subsystems;
  TComponent& c = *subs.Items(0)->GetComponent();
  c.SetCCFScoreDet(detMeasures);
  c.SetCatConditionsRelevant(true);
  c.GetCCFMeasureOps()->Add(CCFMeasureOp("Schutz", 40.0));
  c.GetCCFMeasureOps()->Items(2)->SetIsSatisfied(false);
  TCatConditionOpList& conds = *c.GetCatConditionOps();
  conds.Clear();
  const TCatConditionList* required = PersistenceDB().GetCatConditions(cat3);
  ASSERT_TRUE(required && required->GetCount() > 1);
  for (int i = 0; i < required->GetCount(); ++i) {
    auto op = std::make_unique<TCatConditionOp>();
    op->SetCatCondition(required->Items(i)->CloneAs<TCatCondition>());
    conds.Add(std::move(op));
  }
  conds.Items(0)->SetIsSatisfied(false);
  c.GetPLConditionOps()->Items(0)->SetIsSatisfied(false);
  TVisSetObjectStateByClass toCreate(nullptr, posCreate);
  subs.Iterate(toCreate);
  ASSERT_DOUBLE_EQ(subs.Items(0)->GetCCFScoreLazy(), 35.0);
  ASSERT_FALSE(c.AreCatConditionsSatisfied());

  mapper_->SaveComponentOpList(subs);
  // Not written, yet saved: it stays in memory, unticked, with nothing left to write.
  EXPECT_EQ(c.GetCCFMeasureOps()->Items(2)->GetObjectState(), posClean);
  EXPECT_FALSE(c.GetCCFMeasureOps()->Items(2)->GetIsSatisfied());
  EXPECT_EQ(conds.Items(0)->GetObjectState(), posClean);
  auto readBack = [&](TComponentOpList& into) {
    into.Clear();
    ASSERT_TRUE(mapper_->ReadComponentOpList(into));
    ASSERT_EQ(into.GetCount(), 2);
    const TCCFMeasureOpList& read = *into.Items(0)->GetComponent()->GetCCFMeasureOps();
    for (int i = 0; i < read.GetCount(); ++i) EXPECT_TRUE(read.Items(i)->GetIsSatisfied());
  };
  TComponentOpList back;
  readBack(back);
  TComponent& r = *back.Items(0)->GetComponent();
  EXPECT_DOUBLE_EQ(back.Items(0)->GetCCFScoreLazy(), 35.0);
  EXPECT_FALSE(back.Items(0)->IsCCFSatisfiedLazy());
  EXPECT_FALSE(r.AreCatConditionsSatisfied());
  EXPECT_EQ(r.GetCCFMeasureOps()->GetCount(), 2);
  EXPECT_EQ(r.GetCatConditionOps()->GetCount(), required->GetCount() - 1);
  EXPECT_EQ(r.GetPLConditionOps()->GetCount(), 0);

  // A measure read ticked and unticked since: its row goes, and its score no longer counts.
  TCCFMeasureOp& twenty = *r.GetCCFMeasureOps()->Items(1);
  ASSERT_EQ(twenty.GetCCFMeasure()->GetScore(), 20.0);
  twenty.SetIsSatisfied(false);
  twenty.SetDirty(true);
  mapper_->SaveComponentOpList(back);
  EXPECT_EQ(twenty.GetObjectState(), posClean);
  TComponentOpList again;
  readBack(again);
  EXPECT_DOUBLE_EQ(again.Items(0)->GetCCFScoreLazy(), 15.0);
  // Ticked again, it is kept again.
  twenty.SetIsSatisfied(true);
  twenty.SetDirty(true);
  mapper_->SaveComponentOpList(back);
  readBack(again);
  EXPECT_DOUBLE_EQ(again.Items(0)->GetCCFScoreLazy(), 35.0);
  EXPECT_EQ(GfixCopy(lib_), "");
}

// The rule above is a subsystem's: an entry of the library's catalogues (held by no subsystem) keeps its row
// whether it is ticked or not, when saved new and when unticked after it was read.
TEST_F(LibraryVisitorsTest, UntickedCatalogueEntriesKeepTheirRows) {
  TLibraryItems items = BuildLibraryItems();
  items.CCFCatalogue->Items(0)->SetIsSatisfied(false);
  mapper_->SaveCCFMeasureOpList(*items.CCFCatalogue);
  mapper_->SaveCatConditionOpList(*items.Conditions);
  TCatConditionOpList conds;
  ASSERT_TRUE(mapper_->ReadCatConditionOpList(conds));
  ASSERT_EQ(conds.GetCount(), 1);
  conds.Items(0)->SetIsSatisfied(false);
  conds.Items(0)->SetDirty(true);
  mapper_->SaveCatConditionOpList(conds);

  auto oids = [](const TtiObjectList& list) {
    std::vector<std::string> v;
    for (const TtiObject* o : list) v.push_back(OIDOf(o));
    return v;
  };
  TCCFMeasureOpList ccfs;
  ASSERT_TRUE(mapper_->ReadCCFMeasureOpList(ccfs, true));
  EXPECT_EQ(oids(ccfs), oids(*items.CCFCatalogue));
  TCatConditionOpList back;
  ASSERT_TRUE(mapper_->ReadCatConditionOpList(back));
  EXPECT_EQ(oids(back), oids(*items.Conditions));
}

TEST_F(LibraryVisitorsTest, ProtectedItemsAreWrittenOnceUnlessTheModeAllowsMore) {
  TLibraryItems items = BuildLibraryItems();
  TElementOp& e = *items.Elements->Items(0);
  e.GetElement()->SetIsProtected(true);
  mapper_->SaveElementOpList(*items.Elements);
  TElementOpList back;
  mapper_->ReadElementOpList(back);
  EXPECT_TRUE(back.Items(0)->GetElement()->GetIsProtected());

  const uint8_t saved = WriteProtectionMode;
  WriteProtectionMode = 2;
  e.GetElement()->SetName("Neu");
  WriteProtectionMode = saved;
  e.GetElement()->SetDirty(true);
  mapper_->SaveElementOpList(*items.Elements);
  EXPECT_EQ(e.GetElement()->GetObjectState(), posUpdate);
  EXPECT_EQ(LibRow("Elements", OIDOf(e.GetElement()))["name"], "Endschalter");
  WriteProtectionMode = 2;
  mapper_->SaveElementOpList(*items.Elements);
  WriteProtectionMode = saved;
  EXPECT_EQ(e.GetElement()->GetObjectState(), posClean);
  EXPECT_EQ(LibRow("Elements", OIDOf(e.GetElement()))["name"], "Neu");
}

// Refreshing takes what the library holds now: a protected item takes the changed row and stays protected, a
// DC measure loses the insufficient PLs the library no longer holds.
TEST_F(LibraryVisitorsTest, RefreshTakesTheRowsAsTheLibraryHoldsThemNow) {
  TLibraryItems items = BuildLibraryItems();
  TElementOp& e = *items.Elements->Items(0);
  e.GetElement()->SetIsProtected(true);
  TComponentOp& sub = *items.Subsystems->Items(0);
  sub.GetComponent()->SetIsProtected(true);
  TBlocOp& bloc = *items.Blocs->Items(0);
  bloc.GetBloc()->SetIsProtected(true);
  SaveAll(items);
  Exec("UPDATE Elements SET Name = 'Anders', MTTFd = 77 WHERE OID = '" + OIDOf(e.GetElement()) + "'");
  EXPECT_NO_THROW(mapper_->Refresh(e));
  EXPECT_EQ(e.GetElement()->GetName(), "Anders");
  EXPECT_EQ(e.GetElement()->GetMTTFd(), 77.0);
  EXPECT_TRUE(e.GetElement()->GetIsProtected());
  EXPECT_EQ(e.GetElement()->GetObjectState(), posClean);
  Exec("UPDATE Components SET Name = 'Anders', MTTFd = 66, Cat = 'cat4' WHERE OID = '" + OIDOf(sub.GetComponent()) +
       "'");
  Exec("UPDATE Blocs SET Name = 'Anders', DC = 0.9 WHERE OID = '" + OIDOf(bloc.GetBloc()) + "'");
  EXPECT_NO_THROW(mapper_->Refresh(sub));
  EXPECT_NO_THROW(mapper_->Refresh(bloc));
  EXPECT_EQ(sub.GetComponent()->GetName(), "Anders");
  EXPECT_EQ(sub.GetComponent()->GetMTTFd(), 66.0);
  EXPECT_EQ(sub.GetComponent()->GetCat(), cat4);
  EXPECT_TRUE(sub.GetComponent()->GetIsProtected());
  EXPECT_EQ(bloc.GetBloc()->GetName(), "Anders");
  EXPECT_EQ(bloc.GetBloc()->GetDC(), 0.9);
  EXPECT_TRUE(bloc.GetBloc()->GetIsProtected());
  EXPECT_NO_THROW(mapper_->Refresh(*items.Elements));
  EXPECT_EQ(items.Elements->GetCount(), 2);

  TDCMeasureOp& dc = *items.DCCatalogue->Items(1);
  ASSERT_TRUE(dc.GetDCMeasure()->GetInsufficient() == (TPLSet{plD, plE}));
  Exec("DELETE FROM DCMeasureInsuffPLs WHERE DCMeasure = '" + OIDOf(dc.GetDCMeasure()) + "' AND PL = 'plD'");
  mapper_->Refresh(dc);
  EXPECT_TRUE(dc.GetDCMeasure()->GetInsufficient() == (TPLSet{plE}));
  Exec("DELETE FROM DCMeasureInsuffPLs WHERE DCMeasure = '" + OIDOf(dc.GetDCMeasure()) + "'");
  mapper_->Refresh(dc);
  EXPECT_TRUE(dc.GetDCMeasure()->GetInsufficient() == TPLSet{});
  // The measure of a block in a subsystem, refreshed with the subsystem.
  TBlocOp& inSub = *sub.GetChannelOpList()->Items(0)->GetBlocOpList()->Items(0);
  TDCMeasure& blocMeasure = *inSub.GetBloc()->GetDCMeasureOp()->GetDCMeasure();
  ASSERT_TRUE(blocMeasure.GetInsufficient() == (TPLSet{plA, plC}));
  Exec("DELETE FROM DCMeasureInsuffPLs WHERE DCMeasure = '" + OIDOf(&blocMeasure) + "' AND PL = 'plC'");
  mapper_->Refresh(sub);
  TDCMeasure& blocMeasureNow =
      *sub.GetChannelOpList()->Items(0)->GetBlocOpList()->Items(0)->GetBloc()->GetDCMeasureOp()->GetDCMeasure();
  EXPECT_TRUE(blocMeasureNow.GetInsufficient() == (TPLSet{plA}));
}

// Deleting a subsystem's test channel leaves no channel row naming it, and the subsystem reads back without it.
TEST_F(LibraryVisitorsTest, DeletingATestChannelLeavesNoRowNamingIt) {
  TLibraryItems items = BuildLibraryItems();
  SaveAll(items);
  TComponentOp& sub = *items.Subsystems->Items(0);
  TChannelOp& test = *sub.GetChannelOpList()->Items(2);
  ASSERT_TRUE(test.IsTestChannelNode());
  const std::string testOID = OIDOf(&test);
  test.SetDeleted(true);
  mapper_->SaveComponentOpList(*items.Subsystems);
  for (TRow& r : LibRows("ChannelOps")) {
    EXPECT_NE(r["oid"], testOID);
    EXPECT_NE(r["testchannelop"], testOID) << r["oid"];
  }
  TComponentOpList back;
  ASSERT_TRUE(mapper_->ReadComponentOpList(back));
  TChannelOpList& chans = *back.Items(0)->GetChannelOpList();
  ASSERT_EQ(chans.GetCount(), 2);
  EXPECT_EQ(chans.Items(0)->GetTestChannelOp(), nullptr);
  EXPECT_EQ(chans.Items(1)->GetTestChannelOp(), nullptr);
  EXPECT_EQ(GfixCopy(lib_), "");
}

// The channel node of a category-2 subsystem (the first node of its list), refreshed on its own, takes the
// test channel its row now names: the one of its own list.
TEST_F(LibraryVisitorsTest, AChannelNodeRefreshedOnItsOwnIsPairedWithItsTestChannel) {
  TLibraryItems items = BuildLibraryItems();
  TComponentOp& sub = *items.Subsystems->Items(0);
  sub.GetComponent()->SetCat(cat2);
  sub.GetChannelOpList()->Remove(sub.GetChannelOpList()->Items(1));
  SaveAll(items);
  const std::string channel = OIDOf(sub.GetChannelOpList()->Items(0));
  const std::string test = OIDOf(sub.GetChannelOpList()->Items(1));
  Exec("UPDATE ChannelOps SET TestChannelOp = NULL WHERE OID = '" + channel + "'");
  TComponentOpList subs;
  ASSERT_TRUE(mapper_->ReadComponentOpList(subs));
  TChannelOpList& chans = *subs.Items(0)->GetChannelOpList();
  ASSERT_EQ(chans.GetCount(), 2);
  ASSERT_EQ(chans.Items(0)->GetTestChannelOp(), nullptr);
  Exec("UPDATE ChannelOps SET TestChannelOp = '" + test + "' WHERE OID = '" + channel + "'");
  mapper_->Refresh(*chans.Items(0));
  EXPECT_EQ(chans.Items(0)->GetTestChannelOp(), chans.Items(1));
  EXPECT_EQ(OIDOf(chans.Items(1)), test);
}

// A failure anywhere in a group rolls the whole group back: the library keeps its old content and the objects
// their states.
TEST_F(LibraryVisitorsTest, AFailingGroupLeavesTheLibraryAsItWas) {
  TLibraryItems items = BuildLibraryItems();
  mapper_->SaveElementOpList(*items.Elements);
  const auto before = LibRows("Elements");

  TLibraryItems more = BuildLibraryItems();
  // The second subsystem carries the OID of one already stored: its insert fails after the first
  // subsystem's rows and the element's update went in.
  more.Subsystems->Items(1)->GetComponent()->GetOID().SetAsString(OIDOf(items.Elements->Items(0)->GetElement()));
  Exec("INSERT INTO Components (KVDVersion, NormVersion, IsProtected, Cat, CatDocumentation, CatStandard, "
       "CatStandardFile, CCFScore, CCFScoreDet, DCavg, DCavgDet, DCavgDocumentation, Description, Document, "
       "Documentation, Manufacturer, MissionTime, MTTFd, MTTFdDet, Name, OID, PartNo, PLDirectNoBind, IsPLPFHBind, "
       "PFH, PLDet, PLDocumentation, UseWorstCaseMTTFd, CatConditionsRelevant) VALUES ('1.1.2', 'x', 0, 'cat4', '', "
       "'', '', 0, 'detDirect', 0, 'detDirect', '', '', '', '', '', 20, 30, 'detDirect', 'alt', '" +
       OIDOf(items.Elements->Items(0)->GetElement()) + "', '', 'plA', 1, 0, 'detDirect', '', 0, 1)");
  EXPECT_ANY_THROW(mapper_->SaveComponentOpList(*more.Subsystems));
  EXPECT_EQ(LibRows("ComponentOps").size(), 0u);
  EXPECT_EQ(LibRows("ChannelOps").size(), 0u);
  EXPECT_EQ(LibRows("Components").size(), 1u);
  EXPECT_EQ(LibRows("Elements"), before);
  EXPECT_EQ(more.Subsystems->Items(0)->GetObjectState(), posCreate);
  EXPECT_EQ(more.Subsystems->Items(0)->GetComponent()->GetObjectState(), posCreate);
  EXPECT_EQ(GfixCopy(lib_), "");
}

TEST_F(LibraryVisitorsTest, TheDCCatalogueListsUnusedMeasuresOfTheEditionInForce) {
  TLibraryItems items = BuildLibraryItems();
  SaveAll(items);
  // Blocks without a measure (NULL) must not hide the catalogue.
  ASSERT_FALSE(LibRows("Blocs").empty());
  Exec("UPDATE DCMeasureOps SET NormVersion = 'ISO 13849-1:2006' WHERE OID = '" +
       OIDOf(items.DCCatalogue->Items(1)) + "'");
  TDCMeasureOpList dcs;
  mapper_->ReadDCMeasureOpList(dcs, true);
  ASSERT_EQ(dcs.GetCount(), 1);
  EXPECT_EQ(OIDOf(dcs.Items(0)), OIDOf(items.DCCatalogue->Items(0)));
}

TEST_F(LibraryVisitorsTest, ReadingKeepsTheFileDate) {
  TLibraryItems items = BuildLibraryItems();
  SaveAll(items);
  SetMTime(lib_, 1000000000);
  TComponentOpList subs;
  mapper_->ReadComponentOpList(subs);
  TChannelOpList chans;
  mapper_->ReadChannelOpList(chans);
  TMetaData meta;
  mapper_->ReadMetaData(meta);
  EXPECT_EQ(MTime(lib_).tv_sec, 1000000000);
}

TEST_F(LibraryVisitorsTest, HooksFireAroundTheVisitors) {
  std::vector<std::string> log;
  mapper_->SetOnBeforeSave([&](TtiObject* o) { log.push_back("before " + o->ClassName()); });
  mapper_->SetOnAfterSave([&](TtiObject* o) { log.push_back("after " + o->ClassName()); });
  TLibraryItems items = BuildLibraryItems();
  mapper_->SaveElementOpList(*items.Elements);
  ASSERT_EQ(log.size(), 8u);
  EXPECT_EQ(log[0], "before TElement");
  EXPECT_EQ(log[4], "after TElement");
  mapper_->SetOnBeforeSave(nullptr);
  mapper_->SetOnAfterSave(nullptr);
  int reads = 0;
  mapper_->SetOnAfterRead([&](TtiObject*) { ++reads; });
  TElementOpList back;
  mapper_->ReadElementOpList(back);
  mapper_->SetOnAfterRead(nullptr);
  EXPECT_EQ(reads, 5);  // the list, two nodes, two elements
}

TEST_F(LibraryVisitorsTest, MetaData) {
  TMetaData meta;
  mapper_->ReadMetaData(meta);
  EXPECT_EQ(meta.GetObjectState(), posCreate);
  EXPECT_EQ(meta.GetName(), "Bibliothek");
  meta.SetInfo("Geprüfte Bauteile");
  meta.SetOwnerName("Jörg");
  mapper_->SaveMetaData(meta);
  TMetaData back;
  mapper_->ReadMetaData(back, lib_);
  EXPECT_EQ(back.GetObjectState(), posClean);
  EXPECT_EQ(back.GetInfo(), "Geprüfte Bauteile");
  EXPECT_EQ(back.GetOwnerName(), "Jörg");
  EXPECT_EQ(back.GetKVDVersion(), CurrentKVDVersion);
  EXPECT_EQ(OIDOf(&back), OIDOf(&meta));
  try {
    mapper_->ReadMetaData(back, dir_ + "/fehlt.klb");
    ADD_FAILURE();
  } catch (const EKelvado& e) {
    EXPECT_EQ(e.MsgNumber(), 1026);
  }
  EXPECT_THROW(mapper_->ReadSFOpList(*std::make_unique<TSFOpList>()), ENotImplemented);
}

}  // namespace

namespace {

// The general database ships the standard's measure catalogues in the tables of a library file.
TEST_F(LibraryVisitorsTest, TheCataloguesOfTheGeneralDatabase) {
  TLibraryItems items = BuildLibraryItems();
  SaveAll(items);
  TCCFMeasureOpList ccfs;
  ASSERT_TRUE(mapper_->ReadCCFMeasureOpList(ccfs, false));
  ASSERT_EQ(ccfs.GetCount(), 8);
  double sum = 0.0;
  for (int i = 0; i < ccfs.GetCount(); ++i) {
    ASSERT_NE(ccfs.Items(i)->GetCCFMeasure(), nullptr);
    EXPECT_TRUE(ccfs.Items(i)->GetCCFMeasure()->GetIsProtected());
    sum += ccfs.Items(i)->GetCCFMeasure()->GetScore();
  }
  EXPECT_EQ(sum, 100.0);
  EXPECT_EQ(ccfs.Items(0)->GetCCFMeasure()->GetNumber(), "1");
  TDCMeasureOpList dcs;
  ASSERT_TRUE(mapper_->ReadDCMeasureOpList(dcs, false));
  ASSERT_EQ(dcs.GetCount(), 34);
  int insufficientForE = 0;
  for (int i = 0; i < dcs.GetCount(); ++i) {
    const TDCMeasure& m = *dcs.Items(i)->GetDCMeasure();
    EXPECT_GE(dcs.Items(i)->GetDC(), m.GetDCmin());
    EXPECT_LE(dcs.Items(i)->GetDC(), m.GetDCmax());
    if (m.GetInsufficient().Contains(plE)) ++insufficientForE;
  }
  EXPECT_EQ(insufficientForE, 3);
  // The library's own catalogue is still there beside it.
  TCCFMeasureOpList lib;
  mapper_->ReadCCFMeasureOpList(lib, true);
  EXPECT_EQ(lib.GetCount(), 1);
}

}  // namespace

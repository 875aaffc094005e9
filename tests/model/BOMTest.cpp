// Business object base: write protection, the setter order, change propagation up a tree, status combination
// and texts, and the list operations that must never touch deleted items wrongly.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "TextsTestEnv.h"
#include "model/BOM.h"
#include "model/BOMBloc.h"
#include "model/BOMComponent.h"
#include "model/BOMElement.h"
#include "model/BOMSF.h"
#include "model/MsgStrings.h"

namespace kelvado {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A data object with one property of each setter kind.
class TBomItem : public TPerObjAbsEx {
public:
  TI_CLASS(TBomItem)
  TBomItem() = default;
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { SetProp(name_, v); }
  double GetWeight() const { return weight_; }
  void SetWeight(double v) { SetFloatProp(weight_, v, {3.0, 100.0, false, 1007, TFloatLimits::ValueMin}); }
  TDetermination GetDet() const { return det_; }
  void SetDet(TDetermination v) { SetDetProp(det_, v, {detMeasures}); }
  // Status rules of the test: what the node reports about itself.
  std::vector<std::pair<TItemStatus, std::string>> Rules;
  TItemStatus CheckStatus(TStatusMessages* messages, bool) override {
    TItemStatus r = isGreen;
    for (auto& [s, t] : Rules) ReportStatus(messages, r, s, t);
    return r;
  }

private:
  std::string name_;
  double weight_ = 10.0;
  TDetermination det_ = detDirect;
};

// An inner node with a child list and one cached value, wired as the model's nodes are.
class TBomNode : public TNodeInner {
public:
  TI_CLASS(TBomNode)
  TBomNode() : list_(std::make_unique<TPerObjListEx>()) {
    list_->SetItemOwner(this);
    list_->SetOnChange([this](TtiObject* sender) {
      Cache = -1.0;
      DoOnChange(sender);
    });
  }
  TPerObjListEx* GetList() const override { return list_.get(); }
  void Assign(const TtiObject& source) override {
    TtiObject::Assign(source);
    for (TtiObject* o : *static_cast<const TBomNode&>(source).list_)
      if (!o->GetDeleted()) list_->Add(o->Clone());
  }
  void SetOnStructureChange(TNotifyEvent e) override {
    TPerObjAbsEx::SetOnStructureChange(e);
    list_->SetOnStructureChange(e);
  }
  TItemStatus CheckStatus(TStatusMessages* messages, bool recursive) override {
    CallOnBeforeCheckStatus();
    TItemStatus r = isGreen;
    for (auto& [s, t] : Rules) ReportStatus(messages, r, s, t);
    if (recursive)
      for (TtiObject* o : *list_)
        if (!o->GetDeleted()) r = MinItemStatus(r, static_cast<TPerObjAbsEx*>(o)->CheckStatus(messages, true));
    CallOnAfterCheckStatus();
    return r;
  }
  double Cache = 5.0;
  std::vector<std::pair<TItemStatus, std::string>> Rules;

private:
  std::unique_ptr<TPerObjListEx> list_;
};

// Channel nodes for the pairing rules of the channel list.
class TBomChannel : public TNodeChannelAbs {
public:
  TI_CLASS(TBomChannel)
  TBomChannel() = default;
  explicit TBomChannel(bool test) : test_(test) {}
  TPerObjListEx* GetList() const override { return nullptr; }
  double GetDC(TDCCalc&, TDCDenotation&) override { return 0.0; }
  double GetMTTFd(TMTTFdCalc&, TMTTFdDenotation&) override { return 0.0; }
  bool IsTestChannelNode() const override { return test_; }
  void PairTestChannelNode(TNodeChannelAbs* tc) override { Paired = tc; }
  TNodeChannelAbs* Paired = nullptr;

private:
  bool test_ = false;
};

}  // namespace

const TtiClass& TBomItem::StaticClass() {
  static const TtiClass c(TtiClass::Of<TBomItem, TPerObjAbsEx>(), "TBomItem", [](TtiPropTableBuilder<TBomItem>& b) {
    b.String("Name", &TBomItem::GetName, &TBomItem::SetName)
        .Float("Weight", &TBomItem::GetWeight, &TBomItem::SetWeight);
  });
  return c;
}
const TtiClass& TBomNode::StaticClass() {
  static const TtiClass c(TtiClass::Of<TBomNode, TNodeInner>(), "TBomNode");
  return c;
}
const TtiClass& TBomChannel::StaticClass() {
  static const TtiClass c(TtiClass::Of<TBomChannel, TNodeChannelAbs>(), "TBomChannel");
  return c;
}

namespace {

class BOMBase : public testing::TextsTest {
protected:
  void SetUp() override {
    TextsTest::SetUp();
    WriteLang("81=Rot\n82=Gelb\n83=Gruen\n1001=Wert %s\n1002=Geschuetzt\n1007=MTTFd %s unter %s\n");
    WriteProtectionMode = 0;
  }
  void TearDown() override {
    WriteProtectionMode = 0;
    SetOnBeforeCheckStatus(nullptr);
    SetOnAfterCheckStatus(nullptr);
    TextsTest::TearDown();
  }
  static TBomItem* AddItem(TPerObjListEx& list, const std::string& name, bool deleted = false) {
    auto item = std::make_unique<TBomItem>();
    TBomItem* raw = item.get();
    raw->SetName(name);
    list.Add(std::move(item));
    if (deleted) raw->SetDeleted(true);
    return raw;
  }
  static std::string Names(const TPerObjListEx& list) {
    std::string s;
    for (TtiObject* o : list) s += static_cast<TBomItem*>(o)->GetName() + (o->GetDeleted() ? "*" : "") + " ";
    return s;
  }
};

TEST_F(BOMBase, NewObjectCarriesTheRunningStampsAndIsUnprotected) {
  TBomItem item;
  EXPECT_EQ(item.GetNormVersion(), ver20062003);
  EXPECT_EQ(item.GetKVDVersion(), ver1_1_2);
  EXPECT_FALSE(item.GetIsProtected());
  EXPECT_FALSE(item.GetIsNew());
}

TEST_F(BOMBase, WriteProtectionModeZeroRefusesChangesButNotTheCurrentValue) {
  TBomItem item;
  item.SetName("A");
  int changes = 0;
  item.SetOnChange([&](TtiObject*) { ++changes; });
  item.SetIsProtected(true);
  EXPECT_EQ(changes, 1);
  item.SetIsProtected(true);  // the flag itself is always stored and always announced
  EXPECT_EQ(changes, 2);

  item.SetName("A");  // equal: compared before the check, so silently accepted
  try {
    item.SetName("B");
    FAIL() << "a protected object took a change";
  } catch (const EProtectionViolation& e) {
    EXPECT_EQ(e.MsgNumber(), 1002);
    EXPECT_EQ(e.Obj(), &item);
    EXPECT_EQ(e.Message(), "Geschuetzt");
  }
  EXPECT_EQ(item.GetName(), "A");
  // Protection comes before validation: an invalid value on a protected object is a protection violation.
  EXPECT_THROW(item.SetWeight(1.0), EProtectionViolation);
  EXPECT_THROW(item.SetDet(detUnknown), EProtectionViolation);
  EXPECT_EQ(changes, 2);
  // The stamps are set by the stores and the protection visitor: no check.
  item.SetNormVersion(ver2006);
  EXPECT_EQ(item.GetNormVersion(), ver2006);
}

TEST_F(BOMBase, WriteProtectionModeTwoLetsProtectedObjectsChange) {
  TBomItem item;
  item.SetIsProtected(true);
  WriteProtectionMode = 2;
  item.SetName("B");
  EXPECT_EQ(item.GetName(), "B");
  EXPECT_THROW(item.SetWeight(2.0), EInvalidValue);  // limits still hold
}

TEST_F(BOMBase, SettersRefuseOutOfLimitsNaNAndUnstorableDeterminations) {
  TBomItem item;
  int changes = 0;
  item.SetOnChange([&](TtiObject* sender) {
    EXPECT_EQ(sender, &item);
    ++changes;
  });
  try {
    item.SetWeight(2.5);
    FAIL();
  } catch (const EInvalidValue& e) {
    EXPECT_EQ(e.MsgNumber(), 1007);
    ASSERT_EQ(e.MsgArgs().size(), 2u);
    EXPECT_EQ(e.Message(), "MTTFd 2.5 unter 3");
  }
  EXPECT_THROW(item.SetWeight(kNaN), EInvalidValue);
  EXPECT_THROW(item.SetWeight(100.5), EInvalidValue);
  EXPECT_THROW(item.SetPropValue("Weight", Value(1.0)), EInvalidValue);  // the property table uses the setter
  EXPECT_EQ(item.GetWeight(), 10.0);
  EXPECT_EQ(changes, 0);
  item.SetWeight(3.0);  // the bound itself is admissible
  item.SetWeight(3.0);  // equal: no event
  EXPECT_EQ(changes, 1);

  try {
    item.SetDet(detUnknown);
    FAIL();
  } catch (const EInvalidValue& e) {
    EXPECT_EQ(e.MsgNumber(), 1001);
    EXPECT_EQ(e.Message(), "Wert detUnknown");
  }
  EXPECT_THROW(item.SetDet(detMeasures), EInvalidValue);
  EXPECT_THROW(item.SetDet(static_cast<TDetermination>(9)), EInvalidValue);
  item.SetDet(detSubItems);
  EXPECT_EQ(item.GetDet(), detSubItems);
}

// A value refused through the interface names the item it was meant for, as far as the item has a name; the
// number and arguments stay, and a store naming the value's place takes the text without the item.
TEST_F(BOMBase, ARefusalNamesTheItemTheValueWasMeantFor) {
  std::ofstream(langPath_, std::ios::app) << "1004=DC %s nicht in %s bis %s\n1008=Nop %s unter %s\n"
                                          << "1196=Element \"%s\"\n1197=Block \"%s\"\n1198=Subsystem \"%s\"\n"
                                          << "1199=Sicherheitsfunktion \"%s\"\n";
  ReleaseMsgStrings();
  const auto refusal = [](auto&& set) -> std::string {
    try {
      set();
    } catch (const EInvalidValue& e) {
      return std::to_string(e.MsgNumber()) + " " + e.Message();
    }
    return "accepted";
  };
  auto element = std::make_unique<TElement>();
  EXPECT_EQ(refusal([&] { element->SetDC(99); }), "1004 DC 99 nicht in 0 bis 1");  // no name to give
  element->SetName("Switch S1");
  EXPECT_EQ(refusal([&] { element->SetDC(99); }), "1004 Element \"Switch S1\": DC 99 nicht in 0 bis 1");
  TElementOp elementOp;
  elementOp.SetElement(std::move(element));
  EXPECT_EQ(refusal([&] { elementOp.SetNop(0); }), "1008 Element \"Switch S1\": Nop 0 unter 0");
  TBloc bloc;
  bloc.SetName("Relay");
  EXPECT_EQ(refusal([&] { bloc.SetMTTFd(2); }), "1007 Block \"Relay\": MTTFd 2 unter 3");
  TComponentOp subsystem;
  subsystem.SetComponent(std::make_unique<TComponent>());
  subsystem.GetComponent()->SetName("PLC");
  EXPECT_EQ(refusal([&] { subsystem.SetDCavgPCDirect(9900); }), "1004 Subsystem \"PLC\": DC 99 nicht in 0 bis 1");
  EXPECT_EQ(refusal([&] { subsystem.GetComponent()->SetPLDet(detMeasures); }),
            "1001 Subsystem \"PLC\": Wert detMeasures");
  TSF sf;
  sf.SetName("Stop");
  EXPECT_EQ(refusal([&] { sf.SetPLrDet(detUnknown); }), "1001 Sicherheitsfunktion \"Stop\": Wert detUnknown");
  try {
    bloc.SetDC(1.5);
    ADD_FAILURE() << "accepted";
  } catch (const EInvalidValue& e) {
    EXPECT_EQ(e.MsgArgs().size(), 3u);
    EXPECT_EQ(TextWithoutItem(e), "DC 1.5 nicht in 0 bis 1");
  }
}

TEST_F(BOMBase, ChangeBelowResetsCachesOfEveryOwnerAndReachesTheTop) {
  TBomNode top;
  auto mid = std::make_unique<TBomNode>();
  TBomNode* midRaw = mid.get();
  top.GetList()->Add(std::move(mid));
  TBomItem* leaf = AddItem(*midRaw->GetList(), "leaf");
  int topChanges = 0;
  TtiObject* lastSender = nullptr;
  top.SetOnChange([&](TtiObject* s) {
    ++topChanges;
    lastSender = s;
  });
  int structureChanges = 0;
  top.SetOnStructureChange([&](TtiObject*) { ++structureChanges; });
  top.Cache = midRaw->Cache = 5.0;

  leaf->SetName("changed");
  EXPECT_EQ(midRaw->Cache, -1.0);
  EXPECT_EQ(top.Cache, -1.0);
  EXPECT_EQ(topChanges, 1);
  EXPECT_EQ(lastSender, leaf);
  EXPECT_EQ(leaf->GetOwner(), midRaw);

  // The structure event was handed down the tree: a list two levels below announces its new item at the top.
  AddItem(*midRaw->GetList(), "second");
  EXPECT_EQ(structureChanges, 1);
  leaf->SetDeleted(true);
  EXPECT_EQ(structureChanges, 2);
  EXPECT_TRUE(leaf->GetDeleted());
}

TEST_F(BOMBase, DestroyingObjectsFiresNoEvents) {
  int events = 0;
  {
    TPerObjListEx list;
    list.SetOnChange([&](TtiObject*) { ++events; });
    list.SetOnStructureChange([&](TtiObject*) { ++events; });
    AddItem(list, "a");
    AddItem(list, "b");
    events = 0;
  }
  EXPECT_EQ(events, 0);
}

TEST_F(BOMBase, ItemsTakenOutLoseTheListsEvents) {
  TPerObjListEx list;
  int events = 0;
  list.SetOnChange([&](TtiObject*) { ++events; });
  TBomItem* a = AddItem(list, "a");
  AddItem(list, "b");
  std::unique_ptr<TtiObject> taken = list.Extract(a);
  ASSERT_EQ(taken.get(), a);
  EXPECT_EQ(a->GetOwner(), nullptr);
  events = 0;
  a->SetName("x");
  EXPECT_EQ(events, 0);
  list.Remove(list.GetItems(0));  // once, although the framework's Remove deletes through Delete
  EXPECT_EQ(events, 1);
  EXPECT_EQ(list.GetCount(), 0);
}

TEST_F(BOMBase, ListChangedAndSetOnChangeReachItemsOneLevelDown) {
  TPerObjListEx list;
  TBomItem* a = AddItem(list, "a");
  TBomItem* x = AddItem(list, "x", true);
  std::vector<TtiObject*> senders;
  list.SetOnChange([&](TtiObject* s) { senders.push_back(s); });
  list.Changed();  // deleted items are left out
  EXPECT_EQ(senders, (std::vector<TtiObject*>{a}));
  x->SetName("y");
  EXPECT_EQ(senders.size(), 2u);
}

TEST_F(BOMBase, InsertedItemGetsTheSameOwnerAndEventsAsAnAddedOne) {
  TBomNode node;
  AddItem(*node.GetList(), "a");
  auto b = std::make_unique<TBomItem>();
  TBomItem* raw = b.get();
  node.GetList()->Insert(0, std::move(b));
  EXPECT_EQ(raw->GetOwner(), &node);
  node.Cache = 1.0;
  raw->SetName("b");
  EXPECT_EQ(node.Cache, -1.0);
}

TEST_F(BOMBase, StatusIsTheWorstOfOwnRulesAndChildren) {
  TBomNode top;
  top.Rules = {{isYellow, "top yellow"}, {isGreen, "top green"}};
  TBomItem* child = AddItem(*top.GetList(), "c");
  child->Rules = {{isRed, "child red"}};
  TBomItem* gone = AddItem(*top.GetList(), "d", true);
  gone->Rules = {{isRed, "deleted red"}};

  TStatusMessages msgs;
  EXPECT_EQ(top.CheckStatus(&msgs, false), isYellow);
  EXPECT_EQ(msgs.Count(), 2);
  EXPECT_EQ(top.CheckStatus(nullptr, true), isRed);  // no collector: the status still counts
  EXPECT_EQ(top.StatusString(true), "Rot");
  EXPECT_EQ(top.StatusString(false), "Gelb");
  child->Rules.clear();
  top.Rules.clear();
  EXPECT_EQ(top.StatusString(true), "Gruen");

  std::vector<TtiObject*> calls;
  SetOnBeforeCheckStatus([&](TtiObject* s) { calls.push_back(s); });
  SetOnAfterCheckStatus([&](TtiObject* s) { calls.push_back(s); });
  top.CheckStatus(nullptr, false);
  EXPECT_EQ(calls, (std::vector<TtiObject*>{&top, &top}));
}

TEST_F(BOMBase, StatusMessagesStringListsLastFirstWithoutTrailingBreaks) {
  TBomItem item;
  item.Rules = {{isYellow, "A"}, {isRed, "B"}};
  EXPECT_EQ(item.StatusMessagesString(false), "B\r\n[Rot]\r\n\r\nA\r\n[Gelb]");

  TStatusMessages msgs;
  item.CheckStatus(&msgs, false);
  TStatusMessage rec;
  msgs.GetItem(1, rec);
  EXPECT_EQ(rec.Text, "B");
  EXPECT_EQ(rec.Item, &item);
  EXPECT_EQ(msgs.Lines()[0], "isYellow=A");
  EXPECT_THROW(msgs.GetItem(2, rec), EtiPerProgrammerException);

  item.Rules = {{isGreen, "plain"}, {isRed, "with blank, comma \"q\""}};
  TStatusMessages m2;
  item.CheckStatus(&m2, false);
  EXPECT_EQ(m2.GetCommaText(), "isGreen=plain,\"isRed=with blank, comma \"\"q\"\"\"");
}

TEST_F(BOMBase, StatusMessagesStringStopsBeforeTheLimit) {
  TBomItem item;
  item.Rules = {{isGreen, std::string(5000, 'a')}, {isRed, std::string(5000, 'b')}};
  // The later message alone fits; adding the earlier one would pass 8192 characters, so it is left out.
  EXPECT_EQ(item.StatusMessagesString(false), std::string(5000, 'b') + "\r\n[Rot]");
}

TEST_F(BOMBase, ExchangeWithoutSkippingSwapsListIndices) {
  TPerObjListEx list;
  AddItem(list, "a", true);
  AddItem(list, "b");
  int changes = 0, structure = 0;
  list.SetOnChange([&](TtiObject*) { ++changes; });
  list.SetOnStructureChange([&](TtiObject*) { ++structure; });
  list.Exchange(0, 1, false);
  EXPECT_EQ(Names(list), "b a* ");
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(structure, 1);
  EXPECT_THROW(list.Exchange(0, 2, false), EtiPerProgrammerException);
}

TEST_F(BOMBase, ExchangeSkippingDeletedNeverLandsOnADeletedItem) {
  TPerObjListEx list;
  AddItem(list, "x", true);
  AddItem(list, "a");
  AddItem(list, "b");
  list.Exchange(0, 1, true);  // a deleted first item: the first two live items swap
  EXPECT_EQ(Names(list), "x* b a ");

  TPerObjListEx two;
  AddItem(two, "x", true);
  AddItem(two, "y", true);
  AddItem(two, "a");
  AddItem(two, "b");
  two.Exchange(0, 1, true);  // counting deleted items twice would have picked "y"
  EXPECT_EQ(Names(two), "x* y* b a ");
  EXPECT_THROW(two.Exchange(0, 2, true), EtiPerProgrammerException);  // only two live items
  EXPECT_EQ(Names(two), "x* y* b a ");
}

TEST_F(BOMBase, MovingAnItemUpAndDownStepsOverDeletedItems) {
  TPerObjListEx list;
  TBomItem* a = AddItem(list, "a");
  AddItem(list, "x", true);
  AddItem(list, "y", true);
  AddItem(list, "b");
  AddItem(list, "c");
  list.Exchange(0, 1, true);  // move "a" down one place among the live items
  EXPECT_EQ(Names(list), "b x* y* a c ");
  list.Exchange(1, 2, true);
  EXPECT_EQ(Names(list), "b x* y* c a ");
  list.Exchange(2, 1, true);  // and up again
  EXPECT_EQ(Names(list), "b x* y* a c ");
  EXPECT_EQ(list.IndexOfOID(a, true), 1);
  EXPECT_EQ(list.IndexOfOID(a, false), 3);
  for (TtiObject* o : list) EXPECT_EQ(o->GetOwner(), &list);
}

TEST_F(BOMBase, IndexOfOIDCountsPositionsAndMatchesIdentifiers) {
  TPerObjListEx list;
  EXPECT_EQ(list.IndexOfOID(nullptr, false), -1);
  AddItem(list, "x", true);
  AddItem(list, "y", true);
  TBomItem* a = AddItem(list, "a");
  EXPECT_EQ(list.IndexOfOID(a, true), 0);
  EXPECT_EQ(list.IndexOfOID(a, false), 2);
  TBomItem stranger;
  EXPECT_EQ(list.IndexOfOID(&stranger, false), -1);
  // Fresh objects carry null identifiers; a null identifier matches only the object itself.
  stranger.GetOID().SetAsString(a->GetOID().GetAsString());
  EXPECT_EQ(list.IndexOfOID(&stranger, false), -1);
  a->GetOID().GetNextValue();
  stranger.GetOID().Assign(a->GetOID());
  EXPECT_EQ(list.IndexOfOID(&stranger, true), 0);
}

TEST_F(BOMBase, CloneOfAnObjectIsNewUnprotectedAndLeavesTheSourceAlone) {
  TBomItem item;
  item.SetName("n");
  item.GetOID().GetNextValue();
  item.SetObjectState(posClean);
  item.SetIsProtected(true);
  std::unique_ptr<TBomItem> c = item.CloneAs<TBomItem>();
  EXPECT_EQ(c->GetName(), "n");
  EXPECT_FALSE(c->GetIsProtected());
  EXPECT_EQ(c->GetObjectState(), posCreate);
  EXPECT_FALSE(c->GetOID().Equals(item.GetOID()));
  EXPECT_TRUE(item.GetIsProtected());
  EXPECT_EQ(item.GetObjectState(), posClean);

  item.SetDeleted(true);
  EXPECT_TRUE(item.CloneAs<TBomItem>()->GetDeleted());
}

TEST_F(BOMBase, ListCloneDropsDeletedItemsAndCloneItemUnprotectsTheGraph) {
  TBomNode node;
  AddItem(*node.GetList(), "a");
  AddItem(*node.GetList(), "x", true);
  AddItem(*node.GetList(), "b");
  node.GetList()->SetProtected(true);
  for (TtiObject* o : *node.GetList()) EXPECT_TRUE(static_cast<TBomItem*>(o)->GetIsProtected());

  auto copy = node.GetList()->CloneAs<TPerObjListEx>();
  EXPECT_EQ(Names(*copy), "a b ");
  for (TtiObject* o : *copy) {
    EXPECT_EQ(o->GetObjectState(), posCreate);
    EXPECT_FALSE(o->GetOID().IsNull());
  }
  EXPECT_TRUE(copy->ListEquals(*copy->CloneAs<TPerObjListEx>()));
  EXPECT_FALSE(copy->ListEquals(*node.GetList()));

  TBomNode parent;
  auto child = std::make_unique<TBomNode>();
  AddItem(*child->GetList(), "deep");
  parent.GetList()->Add(std::move(child));
  parent.GetList()->SetProtected(true);
  std::unique_ptr<TtiObject> item = parent.GetList()->CloneItem(0);
  auto* clonedChild = static_cast<TBomNode*>(item.get());
  auto* deep = static_cast<TBomItem*>(clonedChild->GetList()->GetItems(0));
  EXPECT_FALSE(clonedChild->GetIsProtected());
  EXPECT_FALSE(deep->GetIsProtected());
  EXPECT_EQ(deep->GetObjectState(), posCreate);
}

TEST_F(BOMBase, ChannelListPairsChannelsWithTheTestChannel) {
  TChannelOpList list;
  auto c1 = std::make_unique<TBomChannel>(false);
  auto c2 = std::make_unique<TBomChannel>(false);
  TBomChannel *r1 = c1.get(), *r2 = c2.get();
  list.Add(std::move(c1));
  list.Add(std::move(c2));
  auto t = std::make_unique<TBomChannel>(true);
  TBomChannel* tc = t.get();
  list.Add(std::move(t));
  EXPECT_EQ(r1->Paired, tc);
  EXPECT_EQ(r2->Paired, tc);
  EXPECT_EQ(tc->Paired, nullptr);

  auto c3 = std::make_unique<TBomChannel>(false);
  TBomChannel* r3 = c3.get();
  list.Add(std::move(c3));
  EXPECT_EQ(r3->Paired, tc);

  tc->SetDeleted(true);  // a deleted test channel counts as absent
  auto c4 = std::make_unique<TBomChannel>(false);
  TBomChannel* r4 = c4.get();
  list.Add(std::move(c4));
  EXPECT_EQ(r4->Paired, nullptr);
}

// Items of the list's own class take a shortcut; those of a derived class must still be found, and one of
// another class must be refused, naming both classes.
TEST_F(BOMBase, TypedListGivesItemsOfItsClassAndDerivedOnesAndRefusesOthers) {
  class TBomItemPlus : public TBomItem {};
  TPerObjListOf<TBomItem> list;
  TBomItem* own = AddItem(list, "own");
  auto derived = std::make_unique<TBomItemPlus>();
  TBomItemPlus* derivedRaw = derived.get();
  list.Add(std::move(derived));
  list.Add(std::unique_ptr<TtiObject>(std::make_unique<TBomNode>()));
  EXPECT_EQ(list.Items(0), own);
  EXPECT_EQ(list.Items(1), derivedRaw);
  try {
    list.Items(2);
    ADD_FAILURE() << "an item of another class was handed out";
  } catch (const EtiPerProgrammerException& e) {
    EXPECT_NE(std::string(e.what()).find("TBomNode"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("TBomItem"), std::string::npos) << e.what();
  }
  EXPECT_THROW(list.Items(3), EtiPerProgrammerException);  // past the end
}

TEST_F(BOMBase, FindProjectOpWalksUpThroughLists) {
  TBomNode top;
  auto mid = std::make_unique<TBomNode>();
  TBomNode* midRaw = mid.get();
  top.GetList()->Add(std::move(mid));
  TBomItem* leaf = AddItem(*midRaw->GetList(), "leaf");
  EXPECT_EQ(FindProjectOp<TBomNode>(leaf), midRaw);
  EXPECT_EQ(FindProjectOp<TBomChannel>(leaf), nullptr);
  EXPECT_EQ(FindProjectOp<TBomNode>(nullptr), nullptr);
}

}  // namespace
}  // namespace kelvado

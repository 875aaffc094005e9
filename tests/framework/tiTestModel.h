#pragma once
// A small business model for the framework's tests: an item with one property of every simple kind, and a
// node that owns a child object and a child list and refers to an object it does not own.
#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "framework/tiObject.h"

namespace kelvado::testmodel {

enum TColour : uint8_t { colRed, colGreen, colBlue };
inline constexpr std::array<std::string_view, 3> ColourNames{"colRed", "colGreen", "colBlue"};

class TItem : public TtiObject {
public:
  TI_CLASS(TItem)
  TItem() = default;
  int GetCount() const { return count_; }
  void SetCount(int v) { count_ = v; }
  double GetWeight() const { return weight_; }
  void SetWeight(double v) { weight_ = v; }
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { name_ = v; }
  bool GetActive() const { return active_; }
  void SetActive(bool v) { active_ = v; }
  TColour GetColour() const { return colour_; }
  void SetColour(TColour v) { colour_ = v; }
  DateTime GetStamp() const { return stamp_; }
  void SetStamp(DateTime v) { stamp_ = v; }
  std::string GetLabel() const { return "#" + name_; }  // read-only
  std::string GetCaption() const override { return name_.empty() ? TtiObject::GetCaption() : name_; }

private:
  int count_ = 0;
  double weight_ = 0.0;
  std::string name_;
  bool active_ = false;
  TColour colour_ = colRed;
  DateTime stamp_;
};

// A descendant adding one property: its rows come after TItem's.
class TSpecialItem : public TItem {
public:
  TI_CLASS(TSpecialItem)
  TSpecialItem() = default;
  int16_t GetCode() const { return code_; }
  void SetCode(int16_t v) { code_ = v; }

private:
  int16_t code_ = 0;
};

class TItemList : public TtiObjectList {
public:
  TI_CLASS(TItemList)
  TItemList() = default;
  TItem* Items(int i) const { return static_cast<TItem*>(GetItems(i)); }
};

class TNode : public TtiObject {
public:
  TI_CLASS(TNode)
  TNode() : children_(std::make_unique<TItemList>()) {
    children_->SetOwner(this);
    children_->SetItemOwner(this);
    childNodes_->SetOwner(this);  // items' Owner stays the list itself
  }
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { name_ = v; }
  // Owned data object.
  TItem* GetData() const { return data_.get(); }
  void SetData(std::unique_ptr<TItem> d) {
    data_ = std::move(d);
    if (data_) data_->SetOwner(this);
  }
  // Owned child list (published as "List": the walk visits its items).
  TItemList& Children() const { return *children_; }
  // Not owned.
  TtiObject* GetPeer() const { return peer_; }
  void SetPeer(TtiObject* p) { peer_ = p; }
  TNode* AddChildNode(std::unique_ptr<TNode> n) {
    TNode* raw = n.get();
    childNodes_->Add(std::move(n));
    return raw;
  }
  TtiObjectList& ChildNodes() const { return *childNodes_; }

private:
  std::string name_;
  std::unique_ptr<TItem> data_;
  std::unique_ptr<TItemList> children_;
  std::unique_ptr<TtiObjectList> childNodes_ = std::make_unique<TtiObjectList>();
  TtiObject* peer_ = nullptr;
};

inline const TtiClass& TItem::StaticClass() {
  static const TtiClass c(TtiClass::Of<TItem, TtiObject>(), "TItem", [](TtiPropTableBuilder<TItem>& b) {
    b.Integer("Count", &TItem::GetCount, &TItem::SetCount)
        .Float("Weight", &TItem::GetWeight, &TItem::SetWeight)
        .String("Name", &TItem::GetName, &TItem::SetName)
        .Boolean("Active", &TItem::GetActive, &TItem::SetActive)
        .Enumeration("Colour", &TItem::GetColour, &TItem::SetColour, ColourNames)
        .DateTime("Stamp", &TItem::GetStamp, &TItem::SetStamp)
        .String("Label", &TItem::GetLabel);
  });
  return c;
}

inline const TtiClass& TSpecialItem::StaticClass() {
  static const TtiClass c(TtiClass::Of<TSpecialItem, TItem>(), "TSpecialItem",
                          [](TtiPropTableBuilder<TSpecialItem>& b) {
                            b.Integer("Code", &TSpecialItem::GetCode, &TSpecialItem::SetCode);
                          });
  return c;
}

inline const TtiClass& TItemList::StaticClass() {
  static const TtiClass c(TtiClass::Of<TItemList, TtiObjectList>(), "TItemList");
  return c;
}

inline const TtiClass& TNode::StaticClass() {
  static const TtiClass c(TtiClass::Of<TNode, TtiObject>(), "TNode", [](TtiPropTableBuilder<TNode>& b) {
    b.String("Name", &TNode::GetName, &TNode::SetName)
        .Object("Data", &TNode::GetData)
        .List("List", &TNode::Children)
        .Object("Peer", &TNode::GetPeer)
        .List("Nodes", [](const TNode& n) { return &n.ChildNodes(); });
  });
  return c;
}

inline std::unique_ptr<TItem> MakeItem(const std::string& name, int count = 0) {
  auto i = std::make_unique<TItem>();
  i->SetName(name);
  i->SetCount(count);
  return i;
}

}  // namespace kelvado::testmodel

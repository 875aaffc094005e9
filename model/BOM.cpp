#include "model/BOM.h"

#include <cmath>
#include <utility>

#include "model/GlobalsConfig.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "platform/TextCase.h"
#include "platform/MessageBox.h"

namespace kelvado {

uint8_t WriteProtectionMode = 0;

namespace {

TNotifyEvent& BeforeCheckStatusHook() {
  static TNotifyEvent e;
  return e;
}
TNotifyEvent& AfterCheckStatusHook() {
  static TNotifyEvent e;
  return e;
}

// Fires a copy of the event, so that a handler may replace the event it was called from.
void Fire(const TNotifyEvent& event, TtiObject* sender) {
  if (!event) return;
  TNotifyEvent f = event;
  f(sender);
}

[[noreturn]] void NotImplemented(const TtiObject& obj, const char* operation) {
  throw EtiPerProgrammerException("%s does not implement %s", {obj.ClassName(), operation});
}

// Name of a status as the users see it: texts 81 (red), 82 (yellow), 83 (green).
std::string StatusName(TItemStatus s) { return GetMsgString(txtFirstStatusName + static_cast<int>(s), msgBaseGeneral); }

// Length in characters of UTF-8 text.
size_t Utf8Length(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

constexpr size_t kStatusTextLimit = 8192;

}  // namespace

void SetOnBeforeCheckStatus(TNotifyEvent event) { BeforeCheckStatusHook() = std::move(event); }
void SetOnAfterCheckStatus(TNotifyEvent event) { AfterCheckStatusHook() = std::move(event); }

void RaiseInvalidValue(int msgNumber, FmtArgs args) { throw EInvalidValue(msgNumber, std::move(args)); }

void CheckFloatLimits(double value, const TFloatLimits& limits) {
  const bool below = limits.MinExclusive ? value <= limits.Min : value < limits.Min;
  if (!std::isnan(value) && !below && !(value > limits.Max)) return;
  switch (limits.Args) {
    case TFloatLimits::None: RaiseInvalidValue(limits.Msg);
    case TFloatLimits::ValueMin: RaiseInvalidValue(limits.Msg, {FloatToStr(value), FloatToStr(limits.Min)});
    case TFloatLimits::ValueMax: RaiseInvalidValue(limits.Msg, {FloatToStr(value), FloatToStr(limits.Max)});
    case TFloatLimits::ValueMinMax:
      RaiseInvalidValue(limits.Msg, {FloatToStr(value), FloatToStr(limits.Min), FloatToStr(limits.Max)});
  }
  RaiseInvalidValue(limits.Msg);
}

// ---- TStatusMessages ----

void TStatusMessages::Add(const TStatusMessage& rec) {
  items_.push_back(rec);
  lines_.push_back(std::string(EnumName(rec.Status)) + "=" + rec.Text);
}

const TStatusMessage& TStatusMessages::Item(int index) const {
  if (index < 0 || index >= Count()) throw EtiPerProgrammerException("List index out of bounds (%d)", {index});
  return items_[static_cast<size_t>(index)];
}

void TStatusMessages::GetItem(int index, TStatusMessage& rec) const { rec = Item(index); }

std::string TStatusMessages::GetCommaText() const {
  std::string out;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (i > 0) out += ',';
    const std::string& line = lines_[i];
    bool quote = line.empty();
    for (unsigned char c : line)
      if (c <= ' ' || c == '"' || c == ',') quote = true;
    if (!quote) {
      out += line;
      continue;
    }
    out += '"';
    for (char c : line) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

// ---- TPerObjAbsEx ----

const TtiClass& TPerObjAbsEx::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPerObjAbsEx, TtiObject>(), "TPerObjAbsEx",
                          [](TtiPropTableBuilder<TPerObjAbsEx>& b) {
                            b.Boolean("IsProtected", &TPerObjAbsEx::GetIsProtected, &TPerObjAbsEx::SetIsProtected)
                                .Boolean("IsNew", &TPerObjAbsEx::GetIsNew, &TPerObjAbsEx::SetIsNew);
                          });
  return c;
}

TPerObjAbsEx::TPerObjAbsEx() = default;

TPerObjAbsEx::~TPerObjAbsEx() = default;

void TPerObjAbsEx::SetIsProtected(bool value) {
  isProtected_ = value;
  DoOnChange(this);
}

void TPerObjAbsEx::SetNormVersion(TNormVersion value) {
  if (normVersion_ == value) return;
  normVersion_ = value;
  DoOnChange(this);
}

void TPerObjAbsEx::SetKVDVersion(TKelvadoVersion value) {
  if (kvdVersion_ == value) return;
  kvdVersion_ = value;
  DoOnChange(this);
}

void TPerObjAbsEx::SetKVDVersionOriginalString(const std::string& value) {
  if (kvdVersionOriginalString_ == value) return;
  kvdVersionOriginalString_ = value;
  DoOnChange(this);
}

void TPerObjAbsEx::DoOnChange(TtiObject* sender) {
  if (!assigning_) Fire(onChange_, sender ? sender : this);
}

bool TPerObjAbsEx::OwnPropsEqual(const TtiObject& other, const TtiClass& cls) const {
  for (const TtiPropInfo* row : cls.Props().SimpleRows())
    if (&row->DeclaringClass() == &cls && !(row->RawGet(*this) == row->RawGet(other))) return false;
  return true;
}

void TPerObjAbsEx::AssignOwnProps(const TtiObject& source, const TtiClass& cls) {
  assigning_ = true;
  try {
    for (const TtiPropInfo* row : cls.Props().SimpleRows())
      if (&row->DeclaringClass() == &cls && row->CanWrite()) row->RawSet(*this, row->RawGet(source));
  } catch (...) {
    assigning_ = false;
    throw;
  }
  assigning_ = false;
}

void TPerObjAbsEx::DoOnStructureChange(TtiObject* sender) { Fire(onStructureChange_, sender ? sender : this); }

void TPerObjAbsEx::CheckWriteProtection() {
  if (WriteProtectionMode == 0 && isProtected_) throw EProtectionViolation(this);
}

int TPerObjAbsEx::GetPosition() const { NotImplemented(*this, "GetPosition"); }

TItemStatus TPerObjAbsEx::CheckStatus(TStatusMessages* messages, bool recursive) {
  (void)messages;
  (void)recursive;
  NotImplemented(*this, "CheckStatus");
}

void TPerObjAbsEx::ExpandDocumentPaths() { NotImplemented(*this, "ExpandDocumentPaths"); }

void TPerObjAbsEx::Changed() { DoOnChange(this); }

void TPerObjAbsEx::SetDeleted(bool value) {
  TtiObject::SetDeleted(value);
  DoOnChange(this);
  DoOnStructureChange(this);
}

std::unique_ptr<TtiObject> TPerObjAbsEx::Clone() const {
  std::unique_ptr<TtiObject> c;
  {
    // The copy is assigned through its own setters; with the source's protection copied first they would
    // refuse. Lifted for the copy only, restored even when the copy fails.
    struct Restore {
      bool& flag;
      bool saved;
      ~Restore() { flag = saved; }
    } restore{isProtected_, isProtected_};
    isProtected_ = false;
    c = TtiObject::Clone();
  }
  auto* copy = static_cast<TPerObjAbsEx*>(c.get());
  copy->isProtected_ = false;
  copy->SetObjectState(GetObjectState());
  if (!copy->GetDeleted()) copy->SetObjectState(posCreate);
  copy->GetOID().GetNextValue(GetDatabaseDatabaseNameLib(), GetDatabasePersistenceLayerName());
  return c;
}

void TPerObjAbsEx::StatusString(bool recursive, std::string& text) {
  TStatusMessages messages;
  text = StatusName(CheckStatus(&messages, recursive));
}

std::string TPerObjAbsEx::StatusString(bool recursive) {
  std::string s;
  StatusString(recursive, s);
  return s;
}

void TPerObjAbsEx::StatusMessagesString(bool recursive, std::string& text) {
  TStatusMessages messages;
  CheckStatus(&messages, recursive);
  std::string s;
  std::string result;
  for (int i = messages.Count() - 1; i >= 0; --i) {
    const TStatusMessage& m = messages.Item(i);
    s += m.Text;
    s += "\r\n[" + StatusName(m.Status) + "]";
    if (Utf8Length(s) >= kStatusTextLimit) break;
    s += "\r\n\r\n";
    result = s;
  }
  result.resize(TrimRightAny(result, " \r\n").size());
  if (Utf8Length(result) >= kStatusTextLimit) {
    ShowMessage("KELVADO Error (v." + VersionText(CurrentKVDVersion) + ")",
                "Error Code 11 (StatusMessagesString is too long! (" + std::to_string(Utf8Length(result)) + ")",
                MsgIcon::Error);
    result = "Error Code 11 (StatusMessagesString is too long!";
  }
  text = std::move(result);
}

std::string TPerObjAbsEx::StatusMessagesString(bool recursive) {
  std::string s;
  StatusMessagesString(recursive, s);
  return s;
}

bool TPerObjAbsEx::SetFloatProp(double& field, double value, const TFloatLimits& limits) {
  if (field == value) return false;
  if (assigning_) return field = value, true;
  CheckWriteProtection();
  CheckNamingItem([&] { CheckFloatLimits(value, limits); });
  field = value;
  PropertyChanged();
  return true;
}

std::string TPerObjAbsEx::NamedItem(int msgNumber, const std::string& name) {
  if (name.empty()) return {};
  const std::string text = GetRunMsgString(msgNumber, 0);
  return text.empty() ? "\"" + name + "\"" : tiFormat(text, {name});
}

bool TPerObjAbsEx::SetDetProp(TDetermination& field, TDetermination value,
                              std::initializer_list<TDetermination> refused) {
  return SetEnumProp(field, value, [refused](TDetermination d) {
    if (d == detUnknown) return false;
    for (TDetermination r : refused)
      if (r == d) return false;
    return true;
  });
}

void TPerObjAbsEx::AssignStamps(const TPerObjAbsEx& source) {
  normVersion_ = source.normVersion_;
  kvdVersion_ = source.kvdVersion_;
}

bool TPerObjAbsEx::StampsEqual(const TPerObjAbsEx& other) const {
  return normVersion_ == other.normVersion_ && kvdVersion_ == other.kvdVersion_;
}

void TPerObjAbsEx::CallOnBeforeCheckStatus() { Fire(BeforeCheckStatusHook(), this); }

void TPerObjAbsEx::CallOnAfterCheckStatus() { Fire(AfterCheckStatusHook(), this); }

void TPerObjAbsEx::ReportStatus(TStatusMessages* messages, TItemStatus& result, TItemStatus status,
                                const std::string& text) {
  if (messages) messages->Add(TStatusMessage{status, text, this});
  result = MinItemStatus(result, status);
}

TtiObjectList* TPerObjAbsEx::ContainingList(std::string_view ownerListProp) const {
  TtiObject* owner = GetOwner();
  if (!owner) return nullptr;
  if (auto* list = dynamic_cast<TtiObjectList*>(owner); list && list->IndexOf(this) >= 0) return list;
  const TtiPropInfo* row = owner->Props().Find(ownerListProp);
  if (!row) return nullptr;
  TtiObjectList* list = nullptr;
  if (row->Kind() == TtiPropKind::List) list = row->GetList(*owner);
  else if (row->Kind() == TtiPropKind::Object) list = dynamic_cast<TtiObjectList*>(row->GetObject(*owner));
  return list && list->IndexOf(this) >= 0 ? list : nullptr;
}

int TPerObjAbsEx::IndexInContainingList(std::string_view ownerListProp) const {
  const TtiObjectList* list = ContainingList(ownerListProp);
  // The object itself is in the list, so identity gives the position its identifier would give; unlike the
  // identifier it also tells apart fresh objects whose identifiers are all still null.
  return list ? list->IndexOf(this) : -1;
}

// ---- TPerObjListEx ----

const TtiClass& TPerObjListEx::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPerObjListEx, TtiObjectList>(), "TPerObjListEx");
  return c;
}

TPerObjListEx::~TPerObjListEx() = default;

void TPerObjListEx::HookItem(TtiObject* item) const {
  if (auto* p = dynamic_cast<TPerObjAbsEx*>(item)) {
    p->SetOnChange(onChange_);
    p->SetOnStructureChange(onStructureChange_);
  }
}

void TPerObjListEx::UnhookItem(TtiObject* item) {
  // An item taken out must not call into a list or node that may be gone by the time it changes.
  if (auto* p = dynamic_cast<TPerObjAbsEx*>(item)) {
    p->SetOnChange(nullptr);
    p->SetOnStructureChange(nullptr);
  }
}

void TPerObjListEx::DoOnChange(TtiObject* sender) { Fire(onChange_, sender ? sender : this); }

void TPerObjListEx::DoOnStructureChange(TtiObject* sender) { Fire(onStructureChange_, sender ? sender : this); }

int TPerObjListEx::Add(std::unique_ptr<TtiObject> item) {
  TtiObject* raw = item.get();
  const int i = TtiObjectList::Add(std::move(item));
  HookItem(raw);
  DoOnChange(raw);
  DoOnStructureChange(this);
  return i;
}

void TPerObjListEx::Insert(int index, std::unique_ptr<TtiObject> item) {
  TtiObject* raw = item.get();
  TtiObjectList::Insert(index, std::move(item));
  // The same Owner an added item gets, so that an item's owner never depends on how it came into the list.
  if (GetAutoSetItemOwner()) raw->SetOwner(GetItemOwner());
  HookItem(raw);
  DoOnChange(raw);
  DoOnStructureChange(this);
}

void TPerObjListEx::Clear() {
  TtiObjectList::Clear();
  DoOnChange(this);
  DoOnStructureChange(this);
}

std::vector<std::unique_ptr<TtiObject>> TPerObjListEx::Empty() {
  std::vector<std::unique_ptr<TtiObject>> items = TtiObjectList::Empty();
  for (auto& p : items) UnhookItem(p.get());
  DoOnChange(this);
  DoOnStructureChange(this);
  return items;
}

void TPerObjListEx::Delete(int index) {
  TtiObjectList::Delete(index);
  DoOnChange(this);
  DoOnStructureChange(this);
}

int TPerObjListEx::Remove(TtiObject* item) {
  // Not through the inherited Remove: it calls Delete, which would fire the events a second time.
  const int i = IndexOf(item);
  if (i >= 0) TtiObjectList::Delete(i);
  DoOnChange(this);
  DoOnStructureChange(this);
  return i;
}

std::unique_ptr<TtiObject> TPerObjListEx::Extract(TtiObject* item) {
  std::unique_ptr<TtiObject> p = TtiObjectList::Extract(item);
  if (p) UnhookItem(p.get());
  DoOnChange(this);
  DoOnStructureChange(this);
  return p;
}

void TPerObjListEx::MarkAllItemsDeleted() {
  TtiObjectList::MarkAllItemsDeleted();
  DoOnChange(this);
  DoOnStructureChange(this);
}

void TPerObjListEx::AssignClassProps(const TtiObject& source) {
  TtiObjectList::AssignClassProps(source);
  for (TtiObject* item : *this) HookItem(item);
}

int TPerObjListEx::IndexSkippingDeleted(int position) const {
  if (position >= 0) {
    int seen = 0;
    for (int i = 0; i < GetCount(); ++i) {
      if (GetItems(i)->GetDeleted()) continue;
      if (seen == position) return i;
      ++seen;
    }
  }
  throw EtiPerProgrammerException("List index out of bounds (%d)", {position});
}

void TPerObjListEx::Exchange(int index1, int index2, bool skipDeleted) {
  int i1 = index1, i2 = index2;
  if (skipDeleted) {
    i1 = IndexSkippingDeleted(index1);
    i2 = IndexSkippingDeleted(index2);
  } else {
    (void)GetItems(i1);  // index checks
    (void)GetItems(i2);
  }
  if (i1 != i2) {
    if (!OwnsObjects())
      throw EtiPerProgrammerException("%s cannot exchange items it does not own", {ClassName()});
    // The framework's list offers no swap: take the items out (without freeing them) and put them back.
    std::vector<std::unique_ptr<TtiObject>> items = TtiObjectList::Empty();
    std::swap(items[static_cast<size_t>(i1)], items[static_cast<size_t>(i2)]);
    for (auto& p : items) TtiObjectList::AddItem(std::move(p));
  }
  DoOnChange(this);
  DoOnStructureChange(this);
}

int TPerObjListEx::IndexOfOID(const TtiObject* obj, bool skipDeleted) const {
  if (!obj || GetCount() == 0) return -1;
  const bool hasOID = obj->HasOID() && !obj->GetOID().IsNull();
  int position = 0;
  for (TtiObject* item : *this) {
    if (skipDeleted && item->GetDeleted()) continue;
    // A null identifier names nothing: fresh objects all carry one, so only the object itself matches then.
    if (item == obj || (hasOID && item->HasOID() && item->GetOID().Equals(obj->GetOID()))) return position;
    ++position;
  }
  return -1;
}

bool TPerObjListEx::ListEquals(const TtiObjectList& other) const {
  if (&other.Class() != &Class() || other.GetCount() != GetCount()) return false;
  for (int i = 0; i < GetCount(); ++i)
    if (!GetItems(i)->Equals(*other.GetItems(i))) return false;
  return true;
}

void TPerObjListEx::Changed() {
  for (TtiObject* item : *this)
    if (!item->GetDeleted())
      if (auto* p = dynamic_cast<TPerObjAbsEx*>(item)) p->Changed();
}

std::unique_ptr<TtiObject> TPerObjListEx::Clone() const {
  std::unique_ptr<TPerObjListEx> c = Class().CreateAs<TPerObjListEx>();
  for (TtiObject* item : *this)
    if (!item->GetDeleted()) c->Add(item->Clone());
  const std::string db = GetDatabaseDatabaseNameLib();
  const std::string layer = GetDatabasePersistenceLayerName();
  for (TtiObject* item : *c) {
    if (item->GetDeleted()) continue;
    item->SetObjectState(posCreate);
    item->GetOID().GetNextValue(db, layer);
  }
  return c;
}

std::unique_ptr<TtiObject> TPerObjListEx::CloneItem(int index) const {
  std::unique_ptr<TtiObject> c = GetItems(index)->Clone();
  TVisSetObjectStateByClass states(nullptr, posCreate);
  c->Iterate(states);
  TVisSetProtected unprotect(false);
  c->Iterate(unprotect);
  return c;
}

void TPerObjListEx::SetProtected(bool flag) {
  TVisSetProtected v(flag);
  Iterate(v);
}

void TPerObjListEx::SetOnChange(TNotifyEvent event) {
  onChange_ = std::move(event);
  for (TtiObject* item : *this)
    if (auto* p = dynamic_cast<TPerObjAbsEx*>(item)) p->SetOnChange(onChange_);
}

void TPerObjListEx::SetOnStructureChange(TNotifyEvent event) {
  onStructureChange_ = std::move(event);
  for (TtiObject* item : *this)
    if (auto* p = dynamic_cast<TPerObjAbsEx*>(item)) p->SetOnStructureChange(onStructureChange_);
}

// ---- Abstract nodes ----

const TtiClass& TNodeInner::StaticClass() {
  static const TtiClass c(TtiClass::Of<TNodeInner, TPerObjAbsEx>(), "TNodeInner",
                          [](TtiPropTableBuilder<TNodeInner>& b) { b.List("List", &TNodeInner::GetList); });
  return c;
}

const TtiClass& TNodeSFAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TNodeSFAbs, TNodeInner>(), "TNodeSFAbs");
  return c;
}

const TtiClass& TNodeComponentAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TNodeComponentAbs, TNodeInner>(), "TNodeComponentAbs");
  return c;
}

const TtiClass& TNodeChannelAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TNodeChannelAbs, TNodeInner>(), "TNodeChannelAbs");
  return c;
}

const TtiClass& TNodeBlocAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TNodeBlocAbs, TNodeInner>(), "TNodeBlocAbs");
  return c;
}

const TtiClass& TNodeElementAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TNodeElementAbs, TPerObjAbsEx>(), "TNodeElementAbs");
  return c;
}

// ---- Visitors ----

const TtiClass& TVisSetObjectStateByClass::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisSetObjectStateByClass, TtiVisitor>(), "TVisSetObjectStateByClass");
  return c;
}

bool TVisSetObjectStateByClass::AcceptVisitor() {
  auto* o = dynamic_cast<TtiObject*>(GetVisited());
  return o && (!cls_ || o->InheritsFrom(*cls_));
}

void TVisSetObjectStateByClass::Execute(TtiVisited* visited) {
  TtiVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  auto* o = static_cast<TtiObject*>(visited);
  o->SetObjectState(state_);
  if (state_ == posCreate) o->GetOID().GetNextValue({}, {});
}

const TtiClass& TVisSetProtected::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisSetProtected, TtiVisitor>(), "TVisSetProtected");
  return c;
}

bool TVisSetProtected::AcceptVisitor() { return dynamic_cast<TPerObjAbsEx*>(GetVisited()) != nullptr; }

void TVisSetProtected::Execute(TtiVisited* visited) {
  TtiVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  static_cast<TPerObjAbsEx*>(visited)->SetIsProtected(flag_);
}

}  // namespace kelvado

#include "framework/tiObject.h"

#include <algorithm>
#include <unordered_set>

#include "platform/TextCase.h"

namespace kelvado {

namespace {

// The visitors only read through these; walks need non-const objects.
TtiObject& Mutable(const TtiObject& o) { return const_cast<TtiObject&>(o); }

// Lists of this thread being copied into one another, and being freed inside one another.
thread_local int tCopyNesting = 0;
struct CopyLevel {
  CopyLevel() { ++tCopyNesting; }
  ~CopyLevel() { --tCopyNesting; }
  CopyLevel(const CopyLevel&) = delete;
  CopyLevel& operator=(const CopyLevel&) = delete;
};
thread_local int tFreeNesting = 0;
// Beyond this many lists being freed inside one another, a list hands its items to the outermost one, which
// frees them one after the other: freeing takes no stack per level below.
constexpr int kFreeNestingInline = 64;
thread_local std::vector<std::unique_ptr<TtiObject>>* tFreeLater = nullptr;

// Whether the owned lists of `list` (lists among its owned items, theirs, ...) reach deeper than `limit` levels,
// the list itself counting as one. Without recursion.
bool NestedDeeperThan(const TtiObjectList& list, int limit) {
  std::vector<std::pair<const TtiObjectList*, int>> open{{&list, 1}};
  while (!open.empty()) {
    const auto [at, depth] = open.back();
    open.pop_back();
    if (depth > limit) return true;
    if (!at->OwnsObjects()) continue;
    for (TtiObject* item : *at)
      if (const auto* inner = dynamic_cast<const TtiObjectList*>(item)) open.emplace_back(inner, depth + 1);
  }
  return false;
}

// Whether a walk from `root` (TtiVisited::Iterate) would go deeper than `limit` levels, the root counting as
// one. Followed as the walk does (object and list rows, nothing already on the path), without recursion.
bool WalkDeeperThan(const TtiVisited& root, int limit) {
  struct Frame {
    TtiVisited* At;
    size_t Row;
    int Item;
  };
  std::vector<Frame> path{{const_cast<TtiVisited*>(&root), 0, 0}};
  const auto onPath = [&](const TtiVisited* v) {
    return std::any_of(path.begin(), path.end(), [v](const Frame& f) { return f.At == v; });
  };
  while (!path.empty()) {
    if (static_cast<int>(path.size()) > limit) return true;
    Frame& f = path.back();
    const std::vector<const TtiPropInfo*>& rows = f.At->Class().Props().ObjectRows();
    TtiVisited* next = nullptr;
    while (!next && f.At->GetSelfIterate() && f.Row < rows.size()) {
      const TtiPropInfo& row = *rows[f.Row];
      if (row.Kind() == TtiPropKind::Object) {
        next = row.RawObject(*f.At);
        ++f.Row;
      } else if (TtiObjectList* list = row.RawList(*f.At); list && f.Item < list->GetCount()) {
        next = list->GetItems(f.Item++);
      } else {
        ++f.Row;
        f.Item = 0;
      }
      if (next && onPath(next)) next = nullptr;
    }
    if (next) path.push_back({next, 0, 0});
    else path.pop_back();
  }
  return false;
}

}  // namespace

void TtiObjectList::IndexError(int index) {
  throw EtiPerProgrammerException("List index out of bounds (%d)", {index});
}

const std::string_view cObjectStateNames[7] = {"posEmpty",  "posPK",      "posCreate", "posUpdate",
                                               "posDelete", "posDeleted", "posClean"};

const char* ObjectStateToStr(TPerObjectState s) {
  return s <= posClean ? cObjectStateNames[s].data() : "Unknown";
}

TtiTypeKind tiGetSimplePropType(const TtiBaseObject& obj, std::string_view propName) {
  const TtiPropInfo* row = obj.Class().Props().Find(propName);
  if (!row)
    throw Exception(obj.ClassName() + "Property name: " + std::string(propName) +
                    "Message: Unknown property");
  switch (row->Kind()) {
    case TtiPropKind::DateTime: return skDateTime;
    case TtiPropKind::Boolean: return skBoolean;
    case TtiPropKind::Integer:
    case TtiPropKind::Enumeration: return skInteger;
    case TtiPropKind::Float: return skFloat;
    case TtiPropKind::String: return skString;
    default:
      throw Exception("Invalid property type passed to tiGetSimplePropType. ClassName <" + obj.ClassName() +
                      "> Property name <" + std::string(propName) + ">");
  }
}

std::string tiPropValueText(const TtiObject& obj, const TtiPropInfo& row) {
  return row.Get(obj).AsString();
}

// ---- TtiObject ----

const TtiClass& TtiObject::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiObject, TtiVisited>(), "TtiObject");
  return c;
}

TtiObject::~TtiObject() = default;

void TtiObject::InitNew(TtiObject* owner, const std::string& dbName, const std::string& layerName) {
  if (owner) SetOwner(owner);
  SetObjectState(posCreate);
  GetOID().GetNextValue(dbName, layerName);
}

bool TtiObject::GetDeleted() const { return objectState_ == posDelete || objectState_ == posDeleted; }

void TtiObject::SetDeleted(bool value) {
  if (!value || GetDeleted()) return;
  TVisPerObjDel v;
  Iterate(v);
}

bool TtiObject::GetDirty() const {
  TVisPerObjIsDirty v;
  Mutable(*this).Iterate(v);
  return v.Dirty();
}

void TtiObject::SetDirty(bool value) {
  if (!value) {
    SetObjectState(posClean);
    return;
  }
  switch (objectState_) {
    case posEmpty:
      SetObjectState(posCreate);
      (void)GetOID();
      break;
    case posPK:
    case posClean: SetObjectState(posUpdate); break;
    case posCreate:
    case posUpdate:
    case posDelete:
    case posDeleted: break;
    default: throw EtiPerInternalException("Invalid ObjectState");
  }
}

TOID& TtiObject::GetOID() {
  if (!oid_) oid_ = tiOIDFactory().CreateOID();
  return *oid_;
}

const TOID& TtiObject::GetOID() const {
  if (!oid_) oid_ = tiOIDFactory().CreateOID();
  return *oid_;
}

void TtiObject::SetOID(std::unique_ptr<TOID> oid) { oid_ = std::move(oid); }

int TtiObject::IndexInOwner() const {
  const auto* list = dynamic_cast<const TtiObjectList*>(owner_);
  return list ? list->IndexOf(this) : -1;
}

TtiObject* TtiObject::TopOfHierarchy() {
  // Bounded by a step count so that an Owner cycle (a programming error) cannot hang the program.
  TtiObject* o = this;
  for (int steps = 0; o->owner_ && steps < 1000000; ++steps) o = o->owner_;
  return o;
}

void TtiObject::AssignPublicProps(const TtiObject& source) {
  GetOID().Assign(source.GetOID());
  SetObjectState(source.GetObjectState());
  if (source.GetOwner() && source.GetOwner()->Is<TtiObjectList>()) SetOwner(source.GetOwner());
}

void TtiObject::AssignClassProps(const TtiObject& source) { (void)source; }

void TtiObject::Assign(const TtiObject& source) {
  if (&source == this) return;
  AssignPublicProps(source);
  const TtiPropTable& srcProps = source.Props();
  if (&srcProps == &Props()) {
    // Same class: the rows pair up and the values need no conversion.
    for (const TtiPropInfo* row : Props().SimpleRows())
      if (row->CanWrite()) row->RawSet(*this, row->RawGet(source));
    AssignClassProps(source);
    return;
  }
  for (const TtiPropInfo* row : Props().SimpleRows()) {
    if (!row->CanWrite()) continue;
    const TtiPropInfo* src = srcProps.Find(row->Name());
    if (!src || !src->IsSimple()) continue;
    if (src->Kind() == TtiPropKind::Enumeration && row->Kind() == TtiPropKind::Enumeration)
      row->RawSet(*this, src->RawGet(source));  // ordinal to ordinal
    else
      row->Set(*this, src->Get(source));
  }
  AssignClassProps(source);
}

std::unique_ptr<TtiObject> TtiObject::Clone() const {
  if (!DeclaresOwnClass())
    throw EtiPerProgrammerException("Cannot clone: a descendant of %s does not declare its class (TI_CLASS)",
                                    {ClassName()});
  std::unique_ptr<TtiObject> c = Class().CreateAs<TtiObject>();
  c->Assign(*this);
  return c;
}

bool TtiObject::Equals(const TtiObject& other) const {
  // Lists of one item each, nested a hundred thousand deep, would overflow the stack of the walks below (and
  // their texts grow with the square of the depth).
  for (const TtiObject* o : {this, &other})
    if (WalkDeeperThan(*o, TtiObjectList::kMaxCopyNesting + 1))
      throw EtiPerDataException("Cannot compare the %s: its lists are nested more than %d deep",
                                {o->ClassName(), TtiObjectList::kMaxCopyNesting});
  return DebugText(true, false) == other.DebugText(true, false);
}

Value TtiObject::GetPropValue(std::string_view name) const {
  if (SameTextAscii(name, "OID")) return GetOID().GetAsVariant();
  const TtiPropInfo* row = Props().Find(name);
  if (!row)
    throw EtiPerProgrammerException("Attempt to get non-published property %s.%s",
                                    {ClassName(), std::string(name)});
  return row->Get(*this);
}

void TtiObject::SetPropValue(std::string_view name, const Value& value) {
  if (SameTextAscii(name, "OID")) {
    GetOID().SetAsVariant(value);
    return;
  }
  const TtiPropInfo* row = Props().Find(name);
  if (!row || !row->IsSimple())
    throw EtiPerProgrammerException("Attempt to set non-published property %s.%s to %s",
                                    {ClassName(), std::string(name), value.AsString()});
  if (row->Kind() == TtiPropKind::Boolean) {
    switch (value.GetKind()) {
      case Value::Kind::Integer:
      case Value::Kind::String:
      case Value::Kind::Boolean: row->Set(*this, Value(value.AsBoolean())); return;
      case Value::Kind::Float:
      case Value::Kind::DateTime:
        throw EtiPerProgrammerException("Error setting property %s.%s Message %s",
                                        {ClassName(), row->Name(), "Unknown type"});
      case Value::Kind::Null: throw Exception("Invalid variant type");
    }
  }
  row->Set(*this, value);
}

bool TtiObject::IsReadWriteProp(std::string_view name) const {
  if (SameTextAscii(name, "OID")) return true;
  const TtiPropInfo* row = Props().Find(name);
  return row && row->IsReadWrite();
}

TtiObject* TtiObject::FindByOIDAsString(const std::string& text) {
  std::unique_ptr<TOID> oid = tiOIDFactory().CreateOID();
  oid->SetAsString(text);
  return FindByOID(*oid);
}

TtiObject* TtiObject::FindByOID(const TOID& oid) {
  TVisPerObjFindByOID v(&oid);
  Iterate(v);
  return v.Found();
}

void TtiObject::MatchSameOID(TtiObject& candidate, bool& found, const TtiObject& compared) const {
  found = &candidate != &compared && !candidate.GetDeleted() && candidate.GetOID().Equals(compared.GetOID());
}

bool TtiObject::IsUnique(const TtiObject& obj) {
  std::vector<TtiObject*> hits;
  FindAll([&](TtiObject& candidate, bool& found) { MatchSameOID(candidate, found, obj); }, &hits);
  return hits.empty();
}

int TtiObject::FindAll(const TtiFindMethod& method, std::vector<TtiObject*>* list) {
  if (!method) throw EtiPerProgrammerException("No find method assigned");
  if (list) list->clear();
  TVisPerObjFind v(method, list);
  Iterate(v);
  if (list) return static_cast<int>(list->size());
  return v.Found() ? 1 : 0;
}

TtiObject* TtiObject::Find(const TtiFindMethod& method) {
  if (!method) throw EtiPerProgrammerException("No find method assigned");
  TVisPerObjFind v(method, nullptr);
  Iterate(v);
  return v.Found();
}

void TtiObject::SetAllObjectStates(TPerObjectState state) {
  TVisSetAllObjectStates v(state);
  Iterate(v);
}

bool TtiObject::IsValid(TPerObjErrors& errors) const {
  errors.Clear();
  return true;
}

namespace {

std::string RunStandardGroup(const char* group, TtiObject& o, const std::string& db, const std::string& layer) {
  TtiVisitorManager* m = tiDefaultVisitorManager();
  if (!m) throw EtiPerInternalException("No persistence manager to run <%s>", {group});
  return m->Execute(group, &o, db, layer);
}

}  // namespace

std::string TtiObject::Read(const std::string& db, const std::string& layer) {
  return RunStandardGroup(cuStandardTask_Read, *this, db, layer);
}
std::string TtiObject::ReadPK(const std::string& db, const std::string& layer) {
  return RunStandardGroup(cuStandardTask_ReadPK, *this, db, layer);
}
std::string TtiObject::ReadThis(const std::string& db, const std::string& layer) {
  return RunStandardGroup(cuStandardTask_ReadThis, *this, db, layer);
}
std::string TtiObject::Save(const std::string& db, const std::string& layer) {
  return RunStandardGroup(cuStandardTask_Save, *this, db, layer);
}

std::string TtiObject::AsDebugString() const { return DebugText(false, true); }

std::string TtiObject::DebugText(bool compact, bool includeDeleted, bool raiseOnError) const {
  TVisTIObjectAsDebugString v(compact, includeDeleted, raiseOnError);
  Mutable(*this).Iterate(v);
  return v.TakeText();
}

void TtiObject::AttachObserver(TtiObject* observer) {
  if (!observer) return;
  if (!observers_) observers_ = std::make_unique<std::vector<TtiObject*>>();
  if (std::find(observers_->begin(), observers_->end(), observer) == observers_->end())
    observers_->push_back(observer);
}

void TtiObject::DetachObserver(TtiObject* observer) {
  if (!observers_) return;
  std::erase(*observers_, observer);
  if (observers_->empty()) observers_.reset();
}

void TtiObject::NotifyObservers() {
  if (!observers_) return;
  // A copy: an observer may detach itself (or others) while being told.
  std::vector<TtiObject*> list = *observers_;
  for (TtiObject* o : list) o->Update(*this);
}

// ---- TtiObjectList ----

const TtiClass& TtiObjectList::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiObjectList, TtiObject>(), "TtiObjectList",
                          [](TtiPropTableBuilder<TtiObjectList>& b) {
                            b.List("List", [](const TtiObjectList& l) { return const_cast<TtiObjectList*>(&l); });
                          });
  return c;
}

void TtiObjectList::ItemDeleter::operator()(TtiObject* p) const noexcept {
  if (Owns) std::default_delete<TtiObject>()(p);
}

TtiObjectList::TtiObjectList() : itemOwner_(this) {}

TtiObjectList::~TtiObjectList() {
  // Items go last to first, as they were built up. Deep inside other lists being freed, the owned items go to the
  // outermost one instead (see kFreeNestingInline), so that a tree of any depth is freed without overflow.
  if (tFreeNesting >= kFreeNestingInline) {
    while (!items_.empty()) {
      ItemPtr p = std::move(items_.back());
      items_.pop_back();
      if (p.get_deleter().Owns) tFreeLater->emplace_back(p.release());
    }
    return;
  }
  std::vector<std::unique_ptr<TtiObject>> later;
  if (tFreeNesting == 0) tFreeLater = &later;
  ++tFreeNesting;
  while (!items_.empty()) items_.pop_back();
  // Only the outermost list has items handed to it; freeing one may hand it more.
  while (!later.empty()) {
    std::unique_ptr<TtiObject> p = std::move(later.back());
    later.pop_back();
    p.reset();
  }
  if (--tFreeNesting == 0) tFreeLater = nullptr;
}

TtiObjectList::ItemPtr TtiObjectList::Own(std::unique_ptr<TtiObject> item) const {
  return ItemPtr(item.release(), ItemDeleter{true});
}

std::unique_ptr<TtiObject> TtiObjectList::Release(size_t index) {
  ItemPtr p = std::move(items_[index]);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  if (!p.get_deleter().Owns) {
    p.release();
    return nullptr;
  }
  return std::unique_ptr<TtiObject>(p.release());
}

void TtiObjectList::CheckIndex(int index) const {
  if (index < 0 || index >= GetCount()) IndexError(index);
}

int TtiObjectList::CountNotDeleted() const {
  int n = 0;
  for (auto& p : items_)
    if (!p->GetDeleted()) ++n;
  return n;
}

void TtiObjectList::SetItems(int index, std::unique_ptr<TtiObject> item) {
  CheckIndex(index);
  if (!item) throw EtiPerProgrammerException("Attempt to put a null item into %s", {ClassName()});
  if (!ownsObjects_)
    throw EtiPerProgrammerException("Attempt to give an item to %s, which does not own its items", {ClassName()});
  if (autoSetItemOwner_) item->SetOwner(itemOwner_);
  items_[static_cast<size_t>(index)] = Own(std::move(item));
}

void TtiObjectList::SetOwnsObjects(bool v) { ownsObjects_ = v; }

void TtiObjectList::SetItemOwner(TtiObject* owner) {
  itemOwner_ = owner;
  for (auto& p : items_)
    if (p.get_deleter().Owns) p->SetOwner(owner);  // referenced items keep their real owner
}

int TtiObjectList::AddItem(std::unique_ptr<TtiObject> item) {
  if (!item) throw EtiPerProgrammerException("Attempt to add a null item to %s", {ClassName()});
  if (!ownsObjects_)
    throw EtiPerProgrammerException("Attempt to give an item to %s, which does not own its items", {ClassName()});
  items_.push_back(Own(std::move(item)));
  return GetCount() - 1;
}

int TtiObjectList::Add(std::unique_ptr<TtiObject> item) {
  TtiObject* raw = item.get();
  int i = AddItem(std::move(item));
  if (autoSetItemOwner_) raw->SetOwner(itemOwner_);
  return i;
}

int TtiObjectList::AddReference(TtiObject& item) {
  if (ownsObjects_)
    throw EtiPerProgrammerException("Attempt to add a referenced item to %s, which owns its items", {ClassName()});
  items_.push_back(ItemPtr(&item, ItemDeleter{false}));
  return GetCount() - 1;
}

void TtiObjectList::Insert(int index, std::unique_ptr<TtiObject> item) {
  if (index < 0 || index > GetCount()) IndexError(index);
  if (!item) throw EtiPerProgrammerException("Attempt to add a null item to %s", {ClassName()});
  if (!ownsObjects_)
    throw EtiPerProgrammerException("Attempt to give an item to %s, which does not own its items", {ClassName()});
  item->SetOwner(this);
  items_.insert(items_.begin() + index, Own(std::move(item)));
}

void TtiObjectList::InsertBefore(const TtiObject* existing, std::unique_ptr<TtiObject> newItem) {
  int i = IndexOf(existing);
  if (i >= 0) Insert(i, std::move(newItem));
  else AddItem(std::move(newItem));
}

void TtiObjectList::Delete(int index) {
  CheckIndex(index);
  std::unique_ptr<TtiObject> owned = Release(static_cast<size_t>(index));
  if (owned && autoSetItemOwner_) owned->SetOwner(nullptr);
  // `owned` frees the item here when the list owned it.
}

int TtiObjectList::Remove(TtiObject* item) {
  int i = IndexOf(item);
  if (i >= 0) Delete(i);
  return i;
}

std::unique_ptr<TtiObject> TtiObjectList::Extract(TtiObject* item) {
  int i = IndexOf(item);
  if (i < 0) return nullptr;
  std::unique_ptr<TtiObject> owned = Release(static_cast<size_t>(i));
  if (owned && autoSetItemOwner_) owned->SetOwner(nullptr);
  return owned;
}

void TtiObjectList::Clear() {
  while (!items_.empty()) items_.pop_back();
  SetObjectState(posEmpty);
}

std::vector<std::unique_ptr<TtiObject>> TtiObjectList::Empty() {
  std::vector<std::unique_ptr<TtiObject>> out;
  for (auto& p : items_) {
    bool owns = p.get_deleter().Owns;
    TtiObject* raw = p.release();
    if (owns) out.emplace_back(raw);
  }
  items_.clear();
  return out;
}

int TtiObjectList::IndexOf(const TtiObject* item) const {
  const size_t n = items_.size();
  // The item found last and the one after it first.
  const size_t hint = indexHint_.load(std::memory_order_relaxed);
  for (size_t i = hint; i < n && i < hint + 2; ++i)
    if (items_[i].get() == item) {
      indexHint_.store(i, std::memory_order_relaxed);
      return static_cast<int>(i);
    }
  for (size_t i = 0; i < n; ++i)
    if (items_[i].get() == item) {
      indexHint_.store(i, std::memory_order_relaxed);
      return static_cast<int>(i);
    }
  return -1;
}

TtiObject* TtiObjectList::First() const { return items_.empty() ? nullptr : items_.front().get(); }
TtiObject* TtiObjectList::Last() const { return items_.empty() ? nullptr : items_.back().get(); }

TtiObject* TtiObjectList::FirstExcludeDeleted() const {
  for (auto& p : items_)
    if (!p->GetDeleted()) return p.get();
  return nullptr;
}

TtiObject* TtiObjectList::LastExcludeDeleted() const {
  for (auto it = items_.rbegin(); it != items_.rend(); ++it)
    if (!(*it)->GetDeleted()) return it->get();
  return nullptr;
}

int TtiObjectList::IndexOfOIDLinear(const TOID& oid) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i]->GetOID().Equals(oid)) return static_cast<int>(i);
  return -1;
}

int TtiObjectList::IndexOfOIDBinary(const TOID& oid) const {
  int lo = 0, hi = GetCount() - 1;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    int c = items_[static_cast<size_t>(mid)]->GetOID().Compare(oid);
    if (c == 0) return mid;
    if (c < 0) lo = mid + 1;
    else hi = mid - 1;
  }
  return -1;
}

int TtiObjectList::IndexOfOID(const TOID& oid, TtiPerObjListSortType sortType) const {
  switch (sortType) {
    case stNone: return IndexOfOIDLinear(oid);
    case stOID: return IndexOfOIDBinary(oid);
  }
  throw EtiPerInternalException("Invalid TtiPerObjListSortType");
}

TtiObject* TtiObjectList::FindByOIDAsString(const std::string& text) {
  std::unique_ptr<TOID> oid = tiOIDFactory().CreateOID();
  oid->SetAsString(text);
  return FindByOID(*oid);
}

TtiObject* TtiObjectList::FindByOID(const TOID& oid) {
  int i = IndexOfOIDLinear(oid);
  return i < 0 ? nullptr : items_[static_cast<size_t>(i)].get();
}

void TtiObjectList::ForEach(const std::function<void(TtiObject&)>& method, bool includeDeleted) {
  for (int i = 0; i < GetCount(); ++i) {
    TtiObject* o = GetItems(i);
    if (includeDeleted || !o->GetDeleted()) method(*o);
  }
}

void TtiObjectList::MarkAllItemsDeleted() {
  for (int i = 0; i < GetCount(); ++i) GetItems(i)->SetDeleted(true);
}

void TtiObjectList::MarkAllItemsDirty() {
  for (int i = 0; i < GetCount(); ++i) GetItems(i)->SetDirty(true);
}

void TtiObjectList::PropToStrings(std::vector<std::pair<std::string, TtiObject*>>& strings,
                                  std::string_view propName) const {
  strings.clear();
  for (auto& p : items_) strings.emplace_back(p->GetPropValue(propName).AsString(), p.get());
}

namespace {

// Searched value converted to the property value's kind (to boolean when the searched value is one).
bool PropEquals(const Value& prop, const Value& searched, bool caseSensitive) {
  if (searched.IsBoolean()) return prop.AsBoolean() == searched.AsBoolean();
  try {
    switch (prop.GetKind()) {
      case Value::Kind::String: {
        std::string s = searched.AsString();
        return caseSensitive ? prop.AsString() == s : SameTextAscii(prop.AsString(), s);
      }
      case Value::Kind::Integer: return prop.AsInteger() == searched.AsInteger();
      case Value::Kind::Float: return prop.AsFloat() == searched.AsFloat();
      case Value::Kind::Boolean: return prop.AsBoolean() == searched.AsBoolean();
      case Value::Kind::DateTime: return prop.AsDateTime() == searched.AsDateTime();
      case Value::Kind::Null: return searched.IsNull();
    }
  } catch (const EConvertError&) {
    return false;  // a value of another kind that does not convert is simply not equal
  }
  return false;
}

int CompareValues(const Value& a, const Value& b) {
  switch (a.GetKind()) {
    case Value::Kind::String: {
      int c = a.AsString().compare(b.AsString());
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case Value::Kind::Boolean: return static_cast<int>(a.AsBoolean()) - static_cast<int>(b.AsBoolean());
    case Value::Kind::Integer: {
      int64_t x = a.AsInteger(), y = b.AsInteger();
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    default: {
      double x = a.AsFloat(), y = b.AsFloat();
      return x < y ? -1 : (x > y ? 1 : 0);
    }
  }
}

}  // namespace

TtiObject* TtiObjectList::FindByProps(const std::vector<std::string>& propNames, const std::vector<Value>& values,
                                      bool caseSensitive) const {
  if (propNames.size() != values.size())
    throw EtiPerProgrammerException("FindByProps: %d property names but %d values",
                                    {propNames.size(), values.size()});
  for (auto& p : items_) {
    bool all = true;
    for (size_t i = 0; i < propNames.size() && all; ++i) {
      // A typed field held in an Object property compares through its text.
      const TtiPropInfo* row = p->Props().Find(propNames[i]);
      const auto* field = row && row->Kind() == TtiPropKind::Object
                              ? dynamic_cast<const TtiFieldAbs*>(row->RawObject(*p))
                              : nullptr;
      all = PropEquals(field ? Value(field->GetAsString()) : p->GetPropValue(propNames[i]), values[i], caseSensitive);
    }
    if (all) return p.get();
  }
  return nullptr;
}

void TtiObjectList::SortByProps(const std::vector<std::string>& propNames, bool ascending) {
  auto cmp = [&](const TtiObject& a, const TtiObject& b) {
    for (const std::string& n : propNames) {
      int c = CompareValues(a.GetPropValue(n), b.GetPropValue(n));
      if (c != 0) return ascending ? c : -c;
    }
    return 0;
  };
  // Quicksort with the middle item as pivot.
  std::function<void(int, int)> sort = [&](int lo, int hi) {
    while (lo < hi) {
      int i = lo, j = hi;
      TtiObject* pivot = items_[static_cast<size_t>((lo + hi) / 2)].get();
      while (i <= j) {
        while (cmp(*items_[static_cast<size_t>(i)], *pivot) < 0) ++i;
        while (cmp(*items_[static_cast<size_t>(j)], *pivot) > 0) --j;
        if (i <= j) {
          std::swap(items_[static_cast<size_t>(i)], items_[static_cast<size_t>(j)]);
          ++i;
          --j;
        }
      }
      // Recurse into the smaller part, loop over the larger (bounded stack).
      if (j - lo < hi - i) {
        sort(lo, j);
        lo = i;
      } else {
        sort(i, hi);
        hi = j;
      }
    }
  };
  if (GetCount() > 1) sort(0, GetCount() - 1);
}

void TtiObjectList::SortByOID() {
  std::stable_sort(items_.begin(), items_.end(),
                   [](const ItemPtr& a, const ItemPtr& b) { return a->GetOID().Compare(b->GetOID()) < 0; });
}

void TtiObjectList::CompareWithList(TtiObjectList& other, const TtiCompareEvent& onSameEqual,
                                    const TtiCompareEvent& onSameDifferent, const TtiCompareEvent& onOnlyHere,
                                    const TtiCompareEvent& onOnlyThere) {
  for (int i = 0; i < GetCount(); ++i) {
    TtiObject* here = GetItems(i);
    TtiObject* there = other.FindByOID(here->GetOID());
    if (there) {
      if (here->Equals(*there)) {
        if (onSameEqual) onSameEqual(here, there);
      } else if (onSameDifferent) {
        onSameDifferent(here, there);
      }
    } else if (onOnlyHere) {
      onOnlyHere(here, nullptr);
    }
  }
  for (int i = 0; i < other.GetCount(); ++i) {
    TtiObject* there = other.GetItems(i);
    if (!FindByOID(there->GetOID()) && onOnlyThere) onOnlyThere(nullptr, there);
  }
}

void TtiObjectList::Assign(const TtiObject& source) {
  if (&source == this) return;  // Clear would destroy what is to be copied
  // The whole source is measured once, by the outermost copy, before anything of this list changes.
  const auto* src = dynamic_cast<const TtiObjectList*>(&source);
  if (src && tCopyNesting == 0 && NestedDeeperThan(*src, kMaxCopyNesting))
    throw EtiPerDataException("Cannot copy the %s: its lists are nested more than %d deep", {source.ClassName(),
                                                                                          kMaxCopyNesting});
  Clear();
  TtiObject::Assign(source);
}

void TtiObjectList::AssignClassProps(const TtiObject& source) {
  const auto* src = dynamic_cast<const TtiObjectList*>(&source);
  if (!src) return;
  if (src == this) return;
  // Reached through items of other classes too, whose copies the measure above does not see.
  if (tCopyNesting >= kMaxCopyNesting)
    throw EtiPerDataException("Cannot copy the %s: its lists are nested more than %d deep", {source.ClassName(),
                                                                                          kMaxCopyNesting});
  const CopyLevel level;
  // The copy holds its items the way the source does: copies of owned items, the same referenced items.
  if (items_.empty()) ownsObjects_ = src->ownsObjects_;
  for (TtiObject* item : *src) {
    if (ownsObjects_) {
      if (!item->DeclaresOwnClass())
        throw EtiPerProgrammerException("Cannot copy: a descendant of %s does not declare its class (TI_CLASS)",
                                        {item->ClassName()});
      std::unique_ptr<TtiObject> copy = item->Class().CreateAs<TtiObject>();
      TtiObject* raw = copy.get();
      AddItem(std::move(copy));
      raw->Assign(*item);
      if (autoSetItemOwner_) raw->SetOwner(itemOwner_);
    } else {
      AddReference(*item);
    }
  }
}

// ---- TPerObjError ----

const TtiClass& TPerObjError::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPerObjError, TtiObject>(), "TPerObjError",
                          [](TtiPropTableBuilder<TPerObjError>& b) {
                            b.String("ErrorMessage", &TPerObjError::GetErrorMessage, &TPerObjError::SetErrorMessage)
                                .String("ErrorProperty", &TPerObjError::GetErrorProperty,
                                        &TPerObjError::SetErrorProperty)
                                .Integer("ErrorCode", &TPerObjError::GetErrorCode, &TPerObjError::SetErrorCode);
                          });
  return c;
}

const TtiClass& TPerObjErrors::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPerObjErrors, TtiObjectList>(), "TPerObjErrors");
  return c;
}

TPerObjError& TPerObjErrors::AddError(const std::string& propName, const std::string& message, int16_t code) {
  auto e = std::make_unique<TPerObjError>();
  e->SetErrorProperty(propName);
  e->SetErrorMessage(message);
  e->SetErrorCode(code);
  TPerObjError& ref = *e;
  Add(std::move(e));
  return ref;
}

// ---- visitors ----

const TtiClass& TVisPerObjDel::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisPerObjDel, TtiVisitor>(), "TVisPerObjDel");
  return c;
}

bool TVisPerObjDel::Owned() const {
  auto* o = dynamic_cast<TtiObject*>(GetVisited());
  if (!o) return false;
  TtiVisited* parent = GetWalkParent();
  if (!parent) return true;  // the root
  // What hangs below an object this walk does not own is not ours either.
  if (notOwned_.count(parent)) return false;
  // Items of a list that merely references them belong to someone else.
  if (GetWalkList() && !GetWalkList()->OwnsObjects()) return false;
  if (parent == o || o->GetOwner() == parent) return true;
  // An item of an owning list that belongs to the parent (the list itself, or a list the parent owns).
  TtiObjectList* list = GetWalkList() ? GetWalkList() : dynamic_cast<TtiObjectList*>(parent);
  if (!list || !list->OwnsObjects() || list->GetItemOwner() != o->GetOwner()) return false;
  return list == parent || list->GetOwner() == parent;
}

bool TVisPerObjDel::AcceptVisitor() {
  auto* o = dynamic_cast<TtiObject*>(GetVisited());
  return o && o->GetObjectState() != posDeleted && Owned();
}

void TVisPerObjDel::Execute(TtiVisited* visited) {
  TtiVisitor::Execute(visited);
  if (!dynamic_cast<TtiObject*>(visited)) return;
  if (!Owned()) {
    notOwned_.insert(visited);
    return;
  }
  if (AcceptVisitor()) static_cast<TtiObject*>(visited)->SetObjectState(posDelete);
}

const TtiClass& TVisPerObjIsDirty::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisPerObjIsDirty, TtiVisitor>(), "TVisPerObjIsDirty");
  return c;
}

bool TVisPerObjIsDirty::AcceptVisitor() { return !dirty_ && dynamic_cast<TtiObject*>(GetVisited()); }

void TVisPerObjIsDirty::Execute(TtiVisited* visited) {
  TtiVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  TPerObjectState s = static_cast<TtiObject*>(visited)->GetObjectState();
  if (s == posCreate || s == posUpdate || s == posDelete) {
    dirty_ = true;
    SetContinueVisiting(false);
  }
}

const TtiClass& TVisPerObjFindByOID::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisPerObjFindByOID, TtiVisitor>(), "TVisPerObjFindByOID");
  return c;
}

bool TVisPerObjFindByOID::AcceptVisitor() { return !found_ && oid_ && dynamic_cast<TtiObject*>(GetVisited()); }

void TVisPerObjFindByOID::Execute(TtiVisited* visited) {
  TtiVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  auto* o = static_cast<TtiObject*>(visited);
  if (o->GetOID().Equals(*oid_)) {
    found_ = o;
    SetContinueVisiting(false);
  }
}

const TtiClass& TVisPerObjFind::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisPerObjFind, TtiVisitor>(), "TVisPerObjFind");
  return c;
}

bool TVisPerObjFind::AcceptVisitor() { return dynamic_cast<TtiObject*>(GetVisited()) != nullptr; }

void TVisPerObjFind::Execute(TtiVisited* visited) {
  TtiVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  if (!method_) throw EtiPerProgrammerException("No find method assigned");
  auto* o = static_cast<TtiObject*>(visited);
  bool found = false;
  method_(*o, found);
  if (!found) return;
  if (list_) {
    list_->push_back(o);
  } else {
    found_ = o;
    SetContinueVisiting(false);
  }
}

const TtiClass& TVisSetAllObjectStates::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisSetAllObjectStates, TtiVisitor>(), "TVisSetAllObjectStates");
  return c;
}

bool TVisSetAllObjectStates::AcceptVisitor() {
  auto* o = dynamic_cast<TtiObject*>(GetVisited());
  return o && (o->GetObjectState() == posUpdate || o->GetObjectState() == posClean);
}

void TVisSetAllObjectStates::Execute(TtiVisited* visited) {
  TtiVisitor::Execute(visited);
  if (AcceptVisitor()) static_cast<TtiObject*>(visited)->SetObjectState(state_);
}

const TtiClass& TVisTIObjectAsDebugString::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisTIObjectAsDebugString, TVisStringStream>(), "TVisTIObjectAsDebugString");
  return c;
}

bool TVisTIObjectAsDebugString::AcceptVisitor() {
  auto* o = dynamic_cast<TtiObject*>(GetVisited());
  return o && (includeDeleted_ || !o->GetDeleted());
}

void TVisTIObjectAsDebugString::Execute(TtiVisited* visited) {
  TtiVisitor::Execute(visited);
  if (!AcceptVisitor() || !stream_) return;
  const auto& o = *static_cast<TtiObject*>(visited);
  std::string& out = *stream_;
  const size_t indent = static_cast<size_t>(std::max(0, GetDepth() - 1)) * 2;
  const std::string caption = o.GetCaption();
  out.append(indent, ' ').append(caption);
  if (!compact_) {
    out.append(", ").append(o.GetObjectStateAsString()).append(", ");
    if (caption != o.ClassName()) out.append(caption).append(", ");
    if (tiOIDFactory().GetDefaultOIDClassName().empty()) out.append("OID=Null");
    else out.append("OID=").append(o.GetOID().GetAsString());
    if (o.GetDirty()) out.append(", *< Dirty >*");
  }
  out.append("\r\n");
  // The rows come from the object's own table, so the unchecked read is safe here.
  for (const TtiPropInfo* row : o.Props().SimpleRows()) {
    if (SameTextAscii(row->Name(), "Caption")) continue;
    out.append(indent + 2, ' ').append(row->Name()).append(" = ");
    try {
      Value v = row->RawGet(o);
      if (row->Kind() == TtiPropKind::Enumeration) {
        const int64_t ord = v.AsInteger();
        const TtiEnumNames names = row->EnumNames();
        if (ord < 0 || ord >= static_cast<int64_t>(names.size()))
          throw EtiPerProgrammerException("Ordinal out of range: %d", {ord});
        out.append(names[static_cast<size_t>(ord)]);
      } else {
        out.append(v.AsString());
      }
    } catch (const std::exception& e) {
      if (raiseOnError_) throw;
      out.append("Error: ").append(e.what());
    }
    out.append("\r\n");
  }
}

}  // namespace kelvado

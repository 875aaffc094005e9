#include "framework/tiClassToDBMap_Srv.h"

#include <algorithm>

#include "framework/tiClassToDBMap_BOM.h"
#include "framework/tiExcept.h"
#include "framework/tiPerManager.h"
#include "framework/tiQuery.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace {

bool IsOID(const TtiAttrColMap& m) { return SameTextAscii(m.AttrName(), "OID"); }

// The published row of a mapped attribute (the mapping was checked against the class when registered).
const TtiPropInfo& AttrRow(const TtiObject& object, const TtiAttrColMap& m) {
  const TtiPropInfo* row = object.Props().Find(m.AttrName());
  if (!row)
    throw EtiPerProgrammerException("Class %s publishes no property %s", {object.ClassName(), m.AttrName()});
  if (!row->IsSimple()) throw EtiPerInternalException("Invalid TtiQueryFieldKind");
  return *row;
}

// The attribute `m` of `object` as the parameter `param`.
void SetAttrParam(const TtiObject& object, const TtiAttrColMap& m, const std::string& param, TtiQueryParams& params) {
  if (IsOID(m)) {
    object.GetOID().AssignToTIQueryParam(param, params);
    return;
  }
  const TtiPropInfo& row = AttrRow(object, m);
  const Value v = row.Get(object);
  switch (row.Kind()) {
    case TtiPropKind::Integer: params.SetValueAsInteger(param, v.AsInteger()); return;
    case TtiPropKind::Float: params.SetValueAsFloat(param, v.AsFloat()); return;
    case TtiPropKind::DateTime: params.SetValueAsDateTime(param, v.AsDateTime().Days); return;
    case TtiPropKind::Boolean: params.SetValueAsString(param, v.AsBoolean() ? "T" : "F"); return;
    case TtiPropKind::String:
    case TtiPropKind::Enumeration: params.SetValueAsString(param, v.AsString()); return;  // identifier text
    case TtiPropKind::Object:
    case TtiPropKind::List: break;
  }
  throw EtiPerInternalException("Invalid TtiQueryFieldKind");
}

// "OID = ..., Other = ..." for messages.
std::string KeyText(const TtiQueryParams& key) {
  std::string s;
  for (int i = 0; i < key.Count(); ++i)
    s += (i ? ", " : "") + key.Items(i)->GetName() + " = " + key.Items(i)->GetValueAsString();
  return s;
}

// The lists an object holds: through List properties, and (when `objectRowsToo`) list objects held through
// Object properties.
std::vector<TtiObjectList*> HeldLists(const TtiObject& object, bool objectRowsToo) {
  std::vector<TtiObjectList*> lists;
  for (const TtiPropInfo* row : object.Props().ObjectRows()) {
    TtiObjectList* list = row->Kind() == TtiPropKind::List ? row->RawList(object)
                          : objectRowsToo                  ? dynamic_cast<TtiObjectList*>(row->RawObject(object))
                                                           : nullptr;
    if (list && list != &object && std::find(lists.begin(), lists.end(), list) == lists.end()) lists.push_back(list);
  }
  return lists;
}

}  // namespace

void tiRegisterAutoVisitors(TtiVisitorManager& visMgr) {
  visMgr.RegisterVisitor<TVisAutoCollectionPKRead>(cuStandardTask_ReadPK);
  visMgr.RegisterVisitor<TVisAutoReadThis>(cuStandardTask_ReadThis);
  visMgr.RegisterVisitor<TVisAutoReadThis>(cuStandardTask_Read);
  visMgr.RegisterVisitor<TVisAutoCollectionRead>(cuStandardTask_Read);
  visMgr.RegisterVisitor<TVisAutoDelete>(cuStandardTask_Save);
  visMgr.RegisterVisitor<TVisAutoUpdate>(cuStandardTask_Save);
  visMgr.RegisterVisitor<TVisAutoCreate>(cuStandardTask_Save);
}

// ---------------------------------------------------------------------------------------------------------
// TVisAutoAbs

const TtiClass& TVisAutoAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisAutoAbs, TtiPerObjVisitor>(), "TVisAutoAbs");
  return c;
}

TVisAutoAbs::TVisAutoAbs() = default;
TVisAutoAbs::~TVisAutoAbs() = default;

TtiClassDBMappingMgr& TVisAutoAbs::Maps() { return tiPerMgr().GetClassDBMappingMgr(); }

TtiObject* TVisAutoAbs::MappedVisited(TPerObjectState state) const {
  TtiObject* object = GetVisitedObject();
  if (!object || object->GetObjectState() != state || !Maps().FindClassMap(object->Class())) return nullptr;
  return object;
}

TtiDBMetaDataTable* TVisAutoAbs::MetaTable(const std::string& tableName) {
  if (!metaData_) {
    auto md = std::make_unique<TtiDBMetaData>();
    if (!GetDatabase()) throw EtiPerProgrammerException("%s has no database: it runs only inside a visitor group",
                                                        {ClassName()});
    GetDatabase()->ReadMetaDataTables(*md);
    metaData_ = std::move(md);
  }
  TtiDBMetaDataTable* table = metaData_->FindByTableName(tableName);
  if (table && table->GetObjectState() == posPK) GetDatabase()->ReadMetaDataFields(*table);
  return table;
}

const TVisAutoAbs::TTablePlan& TVisAutoAbs::Plan(const TtiClassMap& classMap) {
  if (auto it = plans_.find(&classMap); it != plans_.end()) return it->second;
  TtiClassDBMappingMgr& maps = Maps();
  TTablePlan plan;
  plan.ClassMap = &classMap;
  plan.Table = maps.TableMap(classMap).GetTableName();
  for (const TtiAttrColMap* m : maps.AttrColMaps(classMap)) {
    plan.Cols.push_back(m);
    if (m->GetPK()) plan.Keys.push_back(m);
  }
  const std::string& cls = classMap.GetPerObjAbsClassName();
  if (plan.Keys.empty())
    throw EtiPerProgrammerException("Class %s has no primary-key column in table %s", {cls, plan.Table});
  // Every mapping is checked before the first statement on the table runs.
  const TtiDBMetaDataTable* table = MetaTable(plan.Table);
  for (const TtiAttrColMap* m : plan.Cols) {
    if (!table)
      throw EtiPerProgrammerException("Mapping of %s.%s to %s.%s: the database <%s> has no table %s",
                                      {cls, m->AttrName(), plan.Table, m->ColName(), GetDatabase()->DatabaseName(),
                                       plan.Table});
    if (!table->FindByFieldName(m->ColName()))
      throw EtiPerProgrammerException("Mapping of %s.%s to %s.%s: table %s has no column %s",
                                      {cls, m->AttrName(), plan.Table, m->ColName(), plan.Table, m->ColName()});
  }
  return plans_.emplace(&classMap, std::move(plan)).first->second;
}

std::vector<const TVisAutoAbs::TTablePlan*> TVisAutoAbs::Plans(const TtiClass& cls) {
  std::vector<const TTablePlan*> plans;
  for (const TtiClassMap* m : Maps().ClassMapChain(cls)) plans.push_back(&Plan(*m));
  return plans;
}

const TVisAutoAbs::TTablePlan& TVisAutoAbs::ItemPlan(const TtiClassDBCollection& collection) {
  const TtiClassMap* itemMap = Maps().FindClassMap(*collection.GetPerObjAbsClass());
  if (!itemMap)
    throw EtiPerProgrammerException("Item class %s of collection %s has no class map",
                                    {collection.GetPerObjAbsClassName(), collection.GetCollectionClassName()});
  const TTablePlan& plan = Plan(*itemMap);
  CheckForeignKeyCols(collection, plan);
  return plan;
}

void TVisAutoAbs::CheckForeignKeyCols(const TtiClassDBCollection& collection, const TTablePlan& itemPlan) {
  if (!checkedCollections_.insert(&collection).second) return;
  const TtiDBMetaDataTable* table = MetaTable(itemPlan.Table);  // exists: the plan was checked
  for (const std::string& col : collection.GetForeignKeyCols())
    if (!table || !table->FindByFieldName(col))
      throw EtiPerProgrammerException("Collection %s of %s: table %s has no foreign-key column %s",
                                      {collection.GetCollectionClassName(), collection.GetPerObjAbsClassName(),
                                       itemPlan.Table, col});
}

void TVisAutoAbs::AddKeyParams(const TTablePlan& plan, const TtiObject& object, TtiQueryParams& params) {
  for (const TtiAttrColMap* m : plan.Keys) SetAttrParam(object, *m, m->ColName(), params);
}

void TVisAutoAbs::AddValueParams(const TTablePlan& plan, const TtiObject& object, TtiQueryParams& params,
                                 bool withKeys) {
  for (const TtiAttrColMap* m : plan.Cols)
    if (withKeys || !m->GetPK()) SetAttrParam(object, *m, m->ColName(), params);
}

void TVisAutoAbs::AddForeignKeyParams(const TtiClassDBCollection& collection, const TtiObject* owner,
                                      TtiQueryParams& params) {
  const std::vector<std::string>& cols = collection.GetForeignKeyCols();
  if (cols.empty()) return;
  if (!owner)
    throw EtiPerProgrammerException("The items of %s are tied to their owner by %s, but the list has no owner",
                                    {collection.GetCollectionClassName(), collection.GetForeignKeyColsText()});
  // The owner's key: the primary-key columns of its own class, else of its nearest mapped ancestor.
  std::vector<TtiAttrColMap*> keys;
  std::vector<TtiClassMap*> chain = Maps().ClassMapChain(owner->Class());
  for (auto it = chain.rbegin(); it != chain.rend() && keys.empty(); ++it) keys = Maps().PKAttrColMaps(**it);
  if (keys.size() != cols.size())
    throw EtiPerProgrammerException(
        "The items of %s are tied to their owner by %d column(s) (%s), but the owner's class %s has a key of %d",
        {collection.GetCollectionClassName(), static_cast<int64_t>(cols.size()), collection.GetForeignKeyColsText(),
         owner->ClassName(), static_cast<int64_t>(keys.size())});
  for (size_t i = 0; i < cols.size(); ++i) SetAttrParam(*owner, *keys[i], cols[i], params);
}

TVisAutoAbs::THolding TVisAutoAbs::HoldingList(const TtiObject& item) const {
  // A list held through a List property is handed over by its holder; a list object by itself.
  if (TtiObjectList* list = GetWalkList())
    return {list, GetWalkParent() == list ? list->GetOwner() : dynamic_cast<TtiObject*>(GetWalkParent())};
  if (GetWalkParent()) return {};  // held by an Object property: no collection
  // Saved on its own: the list it sits in now, so that an item moved to another owner is stored under it.
  TtiObject* owner = item.GetOwner();
  if (auto* list = dynamic_cast<TtiObjectList*>(owner)) return {list, list->GetOwner()};
  if (owner)
    for (const TtiPropInfo* row : owner->Props().ObjectRows())
      if (TtiObjectList* list = row->Kind() == TtiPropKind::List ? row->RawList(*owner) : nullptr;
          list && list->IndexOf(&item) >= 0)
        return {list, owner};
  return {};
}

const TtiClassDBCollection* TVisAutoAbs::WalkCollection(const TtiObject& item) const {
  TtiObjectList* list = HoldingList(item).List;
  if (!list) return nullptr;
  const std::vector<TtiClassDBCollection*> collections = Maps().Collections(list->Class());
  if (collections.empty()) return nullptr;
  for (const TtiClassDBCollection* c : collections)
    if (c->GetPerObjAbsClass() == &item.Class()) return c;
  throw EtiPerProgrammerException("%s holds a %s, but its collections hold no such items: it would not read back",
                                  {list->ClassName(), item.ClassName()});
}

void TVisAutoAbs::AddWalkOwnerKeyParams(const TTablePlan& plan, const TtiObject& item, TtiQueryParams& params) {
  const TtiClassDBCollection* collection = WalkCollection(item);
  if (!collection || collection->GetForeignKeyCols().empty() || &ItemPlan(*collection) != &plan) return;
  AddForeignKeyParams(*collection, HoldingList(item).Owner, params);
}

void TVisAutoAbs::MapRowToObject(const TTablePlan& plan, TtiObject& object, bool keysOnly) {
  TtiQuery& q = Query();
  for (const TtiAttrColMap* m : keysOnly ? plan.Keys : plan.Cols) {
    const std::string& col = m->ColName();
    if (IsOID(*m)) {
      object.GetOID().AssignFromTIQuery(col, q);
      continue;
    }
    const TtiPropInfo& row = AttrRow(object, *m);
    if (!row.CanWrite()) continue;  // a derived value: stored for others to read, never read back
    if (q.FieldIsNull(col)) {
      if (row.Kind() != TtiPropKind::String)
        throw EtiPerDataException("Column %s of table %s holds no value for %s.%s",
                                  {col, plan.Table, object.ClassName(), m->AttrName()});
      row.Set(object, Value(std::string()));
      continue;
    }
    switch (row.Kind()) {
      case TtiPropKind::Integer: row.Set(object, Value(static_cast<long long>(q.FieldAsInteger(col)))); break;
      case TtiPropKind::Float: row.Set(object, Value(q.FieldAsFloat(col))); break;
      case TtiPropKind::DateTime: row.Set(object, Value(DateTime{q.FieldAsDateTime(col)})); break;
      case TtiPropKind::String:
      case TtiPropKind::Enumeration: row.Set(object, Value(q.FieldAsString(col))); break;
      case TtiPropKind::Boolean: {
        const std::string text = q.FieldAsString(col);
        const std::string flag = UpperAscii(TrimBlanks(text));
        if (flag != "T" && flag != "F")
          throw EtiPerDataException("Column %s of table %s holds <%s> for %s.%s: a boolean is stored as T or F",
                                    {col, plan.Table, text, object.ClassName(), m->AttrName()});
        row.Set(object, Value(flag == "T"));
        break;
      }
      case TtiPropKind::Object:
      case TtiPropKind::List: throw EtiPerInternalException("Invalid TtiQueryFieldKind");
    }
  }
}

void TVisAutoAbs::ReadByKey(const TTablePlan& plan, TtiObject& object) {
  TtiQueryParams key;
  AddKeyParams(plan, object, key);
  TtiQuery& q = Query();
  q.SelectRow(plan.Table, &key);
  try {
    if (q.Eof())
      throw EtiPerDataException("No row of table %s holds the %s with %s",
                                {plan.Table, object.ClassName(), KeyText(key)});
    MapRowToObject(plan, object, false);
    q.Next();
    if (!q.Eof()) throw EtiPerDataException("Query returned more than one row");
    q.Close();
  } catch (...) {
    if (q.GetActive()) q.Close();
    throw;
  }
}

// ---------------------------------------------------------------------------------------------------------
// Collection readers

const TtiClass& TVisAutoCollectionReadAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisAutoCollectionReadAbs, TVisAutoAbs>(), "TVisAutoCollectionReadAbs");
  return c;
}

TVisAutoCollectionReadAbs::TVisAutoCollectionReadAbs() = default;
TVisAutoCollectionReadAbs::~TVisAutoCollectionReadAbs() = default;

bool TVisAutoCollectionReadAbs::CanRead(const TtiObjectList* list) {
  return list && list->GetObjectState() == posEmpty && !Maps().Collections(list->Class()).empty();
}

std::vector<TVisAutoCollectionReadAbs::TListToRead> TVisAutoCollectionReadAbs::ListsToRead(
    TtiVisited* visited) const {
  std::vector<TListToRead> lists;
  auto* object = dynamic_cast<TtiObject*>(visited);
  if (!object) return lists;
  auto consider = [&](TtiObjectList* list, TtiObject* owner) {
    if (!CanRead(list) || read_.count(list)) return;
    for (const TListToRead& l : lists)
      if (l.List == list) return;
    lists.push_back({list, owner});
  };
  // A visited list: its owner, else the object that holds it through an Object property.
  if (auto* list = dynamic_cast<TtiObjectList*>(object))
    consider(list, list->GetOwner() ? list->GetOwner() : dynamic_cast<TtiObject*>(GetWalkParent()));
  // Lists held through List properties are never visited themselves.
  for (TtiObjectList* list : HeldLists(*object, false)) consider(list, object);
  return lists;
}

bool TVisAutoCollectionReadAbs::AcceptVisitor() { return !ListsToRead(GetVisited()).empty(); }

void TVisAutoCollectionReadAbs::Execute(TtiVisited* visited) {
  if (tiFrameworkTerminated()) return;
  TtiPerObjVisitor::Execute(visited);
  for (const TListToRead& l : ListsToRead(visited)) {
    read_.insert(l.List);
    staged_.push_back({GetVisitedObject(), l.List, ReadItems(*l.List, l.Owner)});
  }
}

std::vector<std::unique_ptr<TtiObject>> TVisAutoCollectionReadAbs::ReadItems(const TtiObjectList& list,
                                                                             const TtiObject* owner) {
  std::vector<std::unique_ptr<TtiObject>> items;
  for (const TtiClassDBCollection* collection : Maps().Collections(list.Class())) {
    const TtiClass& itemClass = *collection->GetPerObjAbsClass();
    const std::vector<const TTablePlan*> plans = Plans(itemClass);
    const TTablePlan& itemPlan = ItemPlan(*collection);
    TtiQueryParams where;
    AddForeignKeyParams(*collection, owner, where);
    const size_t first = items.size();
    TtiQuery& q = Query();
    q.SelectRow(itemPlan.Table, &where);
    try {
      for (; !q.Eof() && !tiFrameworkTerminated(); q.Next()) {
        std::unique_ptr<TtiObject> item = itemClass.CreateAs<TtiObject>();
        MapRowToObject(itemPlan, *item, KeysOnly());
        items.push_back(std::move(item));
      }
      q.Close();
    } catch (...) {
      if (q.GetActive()) q.Close();
      throw;
    }
    // The ancestors' tables and the items' own collections need the query again: after the rows are read.
    for (size_t i = first; i < items.size(); ++i) {
      TtiObject& item = *items[i];
      if (!KeysOnly()) {
        for (const TTablePlan* plan : plans)
          if (plan != &itemPlan) ReadByKey(*plan, item);
        ReadItemCollections(item);
      }
      item.SetObjectState(KeysOnly() ? posPK : posClean);
    }
  }
  return items;
}

void TVisAutoCollectionReadAbs::ReadItemCollections(TtiObject& item) {
  for (TtiObjectList* list : HeldLists(item, true)) {
    if (!CanRead(list)) continue;
    for (std::unique_ptr<TtiObject>& child : ReadItems(*list, &item)) list->Add(std::move(child));
    list->SetObjectState(posClean);
  }
}

void TVisAutoCollectionReadAbs::Final() {
  TtiObject* visited = GetVisitedObject();
  for (TStaged& s : staged_) {
    if (s.Visited != visited || !s.List) continue;
    for (std::unique_ptr<TtiObject>& item : s.Items) s.List->Add(std::move(item));
    s.List->SetObjectState(posClean);
    s.List = nullptr;  // joined once
  }
}

const TtiClass& TVisAutoCollectionPKRead::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisAutoCollectionPKRead, TVisAutoCollectionReadAbs>(),
                          "TVisAutoCollectionPKRead");
  return c;
}

const TtiClass& TVisAutoCollectionRead::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisAutoCollectionRead, TVisAutoCollectionReadAbs>(),
                          "TVisAutoCollectionRead");
  return c;
}

// ---------------------------------------------------------------------------------------------------------
// ReadThis

const TtiClass& TVisAutoReadThis::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisAutoReadThis, TVisAutoAbs>(), "TVisAutoReadThis");
  return c;
}

bool TVisAutoReadThis::AcceptVisitor() { return MappedVisited(posEmpty) || MappedVisited(posPK); }

void TVisAutoReadThis::Execute(TtiVisited* visited) {
  if (tiFrameworkTerminated()) return;
  TtiPerObjVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  TtiObject& object = *GetVisitedObject();
  for (const TTablePlan* plan : Plans(object.Class())) ReadByKey(*plan, object);
}

// ---------------------------------------------------------------------------------------------------------
// Save

const TtiClass& TVisAutoDelete::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisAutoDelete, TVisAutoAbs>(), "TVisAutoDelete");
  return c;
}

// Items go before their owner, whose row they may refer to.
TVisAutoDelete::TVisAutoDelete() { SetIterationStyle(isBottomUp); }

bool TVisAutoDelete::AcceptVisitor() { return MappedVisited(posDelete) != nullptr; }

void TVisAutoDelete::Execute(TtiVisited* visited) {
  if (tiFrameworkTerminated()) return;
  TtiPerObjVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  const TtiObject& object = *GetVisitedObject();
  const std::vector<const TTablePlan*> plans = Plans(object.Class());
  // The class's own table first: its row may refer to the ancestors'.
  for (auto it = plans.rbegin(); it != plans.rend(); ++it) {
    TtiQueryParams key;
    AddKeyParams(**it, object, key);
    Query().DeleteRow((*it)->Table, &key);
  }
}

const TtiClass& TVisAutoUpdate::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisAutoUpdate, TVisAutoAbs>(), "TVisAutoUpdate");
  return c;
}

bool TVisAutoUpdate::AcceptVisitor() { return MappedVisited(posUpdate) != nullptr; }

void TVisAutoUpdate::Execute(TtiVisited* visited) {
  if (tiFrameworkTerminated()) return;
  TtiPerObjVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  const TtiObject& object = *GetVisitedObject();
  for (const TTablePlan* plan : Plans(object.Class())) {
    TtiQueryParams values, key;
    AddValueParams(*plan, object, values, false);
    AddWalkOwnerKeyParams(*plan, object, values);
    if (values.Count() == 0) continue;  // a table of key columns only
    AddKeyParams(*plan, object, key);
    Query().UpdateRow(plan->Table, &values, &key);
  }
}

const TtiClass& TVisAutoCreate::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisAutoCreate, TVisAutoAbs>(), "TVisAutoCreate");
  return c;
}

bool TVisAutoCreate::AcceptVisitor() { return MappedVisited(posCreate) != nullptr; }

void TVisAutoCreate::Execute(TtiVisited* visited) {
  if (tiFrameworkTerminated()) return;
  TtiPerObjVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  const TtiObject& object = *GetVisitedObject();
  WalkCollection(object);  // refuses an item its list would not read back
  for (const TTablePlan* plan : Plans(object.Class())) {
    TtiQueryParams values;
    AddValueParams(*plan, object, values, true);
    AddWalkOwnerKeyParams(*plan, object, values);
    Query().InsertRow(plan->Table, &values);
  }
}

}  // namespace kelvado

#include "framework/tiClassToDBMap_BOM.h"

#include "framework/tiExcept.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace {

// The list's item of that name (ignoring case), null when none.
template <class Item, class List, class Name>
Item* FindByName(const List& list, const std::string& name, Name getName) {
  for (TtiObject* o : list)
    if (SameTextAscii((static_cast<Item*>(o)->*getName)(), name)) return static_cast<Item*>(o);
  return nullptr;
}

template <class Item, class List, class Name>
Item& FindCreateByName(List& list, const std::string& name, Name getName, void (Item::*setName)(const std::string&)) {
  if (Item* found = FindByName<Item>(list, name, getName)) return *found;
  auto item = std::make_unique<Item>();
  (item.get()->*setName)(name);
  Item& r = *item;
  list.Add(std::move(item));
  return r;
}

template <class T>
T& OwnerAs(const TtiObject& o, const char* what) {
  auto* owner = dynamic_cast<T*>(o.GetOwner());
  if (!owner) throw EtiPerProgrammerException("%s is not held by its map", {what});
  return *owner;
}

}  // namespace

// ---- attribute and class maps ----

const TtiClass& TtiAttrMap::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiAttrMap, TtiObject>(), "TtiAttrMap", [](TtiPropTableBuilder<TtiAttrMap>& b) {
    b.String("AttrName", &TtiAttrMap::GetAttrName);
  });
  return c;
}

TtiClassMap& TtiAttrMap::ClassMap() const { return OwnerAs<TtiClassMap>(*this, "An attribute map"); }

const TtiClass& TtiClassMap::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiClassMap, TtiObjectList>(), "TtiClassMap",
                          [](TtiPropTableBuilder<TtiClassMap>& b) {
                            b.String("PerObjAbsClassName", &TtiClassMap::GetPerObjAbsClassName);
                          });
  return c;
}

TtiAttrMap* TtiClassMap::FindByAttrName(const std::string& attrName) const {
  return FindByName<TtiAttrMap>(*this, attrName, &TtiAttrMap::GetAttrName);
}

const TtiClass& TtiClassMaps::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiClassMaps, TtiObjectList>(), "TtiClassMaps");
  return c;
}

TtiClassMap* TtiClassMaps::FindByClass(const TtiClass& cls) const {
  for (TtiObject* o : *this)
    if (static_cast<TtiClassMap*>(o)->GetPerObjAbsClass() == &cls) return static_cast<TtiClassMap*>(o);
  return nullptr;
}

void TtiClassMaps::LinkParents() {
  for (TtiObject* o : *this) {
    auto* map = static_cast<TtiClassMap*>(o);
    TtiClassMap* parent = nullptr;
    for (const TtiClass* c = map->GetPerObjAbsClass()->Parent(); c && !parent; c = c->Parent())
      parent = FindByClass(*c);
    map->SetParentClassMap(parent);
  }
}

// ---- database, table and column maps ----

const TtiClass& TtiDBColMap::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDBColMap, TtiObject>(), "TtiDBColMap",
                          [](TtiPropTableBuilder<TtiDBColMap>& b) { b.String("ColName", &TtiDBColMap::GetColName); });
  return c;
}

TtiDBTableMap& TtiDBColMap::TableMap() const { return OwnerAs<TtiDBTableMap>(*this, "A column map"); }

const TtiClass& TtiDBTableMap::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDBTableMap, TtiObjectList>(), "TtiDBTableMap",
                          [](TtiPropTableBuilder<TtiDBTableMap>& b) {
                            b.String("TableName", &TtiDBTableMap::GetTableName);
                          });
  return c;
}

TtiDBColMap& TtiDBTableMap::FindCreate(const std::string& colName) {
  return FindCreateByName<TtiDBColMap>(*this, colName, &TtiDBColMap::GetColName, &TtiDBColMap::SetColName);
}

const TtiClass& TtiDBMap::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDBMap, TtiObjectList>(), "TtiDBMap", [](TtiPropTableBuilder<TtiDBMap>& b) {
    b.String("DatabaseName", &TtiDBMap::GetDatabaseName);
  });
  return c;
}

TtiDBTableMap& TtiDBMap::FindCreate(const std::string& tableName) {
  return FindCreateByName<TtiDBTableMap>(*this, tableName, &TtiDBTableMap::GetTableName,
                                         &TtiDBTableMap::SetTableName);
}

const TtiClass& TtiDBMaps::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDBMaps, TtiObjectList>(), "TtiDBMaps");
  return c;
}

TtiDBMap& TtiDBMaps::FindCreate(const std::string& databaseName) {
  return FindCreateByName<TtiDBMap>(*this, databaseName, &TtiDBMap::GetDatabaseName, &TtiDBMap::SetDatabaseName);
}

// ---- attribute-column maps and collections ----

const TtiClass& TtiAttrColMap::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiAttrColMap, TtiObject>(), "TtiAttrColMap",
                          [](TtiPropTableBuilder<TtiAttrColMap>& b) {
                            b.String("PerObjAbsClassName",
                                     [](const TtiAttrColMap& m) {
                                       return m.GetAttrMap()->ClassMap().GetPerObjAbsClassName();
                                     })
                                .String("AttrName", &TtiAttrColMap::AttrName)
                                .String("TableName", &TtiAttrColMap::TableName)
                                .String("ColName", &TtiAttrColMap::ColName)
                                .Boolean("PK", &TtiAttrColMap::GetPK);
                          });
  return c;
}

const TtiClass& TtiAttrColMaps::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiAttrColMaps, TtiObjectList>(), "TtiAttrColMaps");
  return c;
}

const TtiClass& TtiClassDBCollection::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiClassDBCollection, TtiObject>(), "TtiClassDBCollection",
                          [](TtiPropTableBuilder<TtiClassDBCollection>& b) {
                            b.String("CollectionClassName", &TtiClassDBCollection::GetCollectionClassName)
                                .String("PerObjAbsClassName", &TtiClassDBCollection::GetPerObjAbsClassName)
                                .String("ForeignKeyCols", &TtiClassDBCollection::GetForeignKeyColsText);
                          });
  return c;
}

std::string TtiClassDBCollection::GetForeignKeyColsText() const {
  std::string s;
  for (const std::string& col : foreignKeyCols_) s += (s.empty() ? "" : ", ") + col;
  return s;
}

const TtiClass& TtiClassDBCollections::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiClassDBCollections, TtiObjectList>(), "TtiClassDBCollections");
  return c;
}

// ---- the manager ----

const TtiClass& TtiClassDBMappingMgr::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiClassDBMappingMgr, TtiObject>(), "TtiClassDBMappingMgr",
                          [](TtiPropTableBuilder<TtiClassDBMappingMgr>& b) {
                            b.Object("ClassMaps", &TtiClassDBMappingMgr::GetClassMaps)
                                .Object("DBMaps", &TtiClassDBMappingMgr::GetDBMaps)
                                .Object("AttrColMaps", &TtiClassDBMappingMgr::GetAttrColMaps)
                                .Object("Collections", &TtiClassDBMappingMgr::GetCollections);
                          });
  return c;
}

TtiClassDBMappingMgr::TtiClassDBMappingMgr()
    : classMaps_(std::make_unique<TtiClassMaps>()),
      dbMaps_(std::make_unique<TtiDBMaps>()),
      attrColMaps_(std::make_unique<TtiAttrColMaps>()),
      collections_(std::make_unique<TtiClassDBCollections>()) {
  for (TtiObject* list : std::initializer_list<TtiObject*>{classMaps_.get(), dbMaps_.get(), attrColMaps_.get(),
                                                           collections_.get()})
    list->SetOwner(this);
}

// The attribute-column maps point into the other lists: they go first.
TtiClassDBMappingMgr::~TtiClassDBMappingMgr() {
  collections_.reset();
  attrColMaps_.reset();
  classMaps_.reset();
  dbMaps_.reset();
}

void TtiClassDBMappingMgr::RegisterMapping(const TtiClass& cls, const std::string& tableName,
                                           const std::string& attrName, const std::string& colName,
                                           bool primaryKey) {
  if (tableName.empty() || colName.empty())
    throw EtiPerProgrammerException("Mapping of %s.%s names no table or no column", {cls.Name(), attrName});
  if (!SameTextAscii(attrName, "OID")) {
    const TtiPropInfo* row = cls.Props().Find(attrName);
    if (!row)
      throw EtiPerProgrammerException("Mapping of %s.%s to %s.%s: class %s publishes no property %s",
                                      {cls.Name(), attrName, tableName, colName, cls.Name(), attrName});
  }
  TtiClassMap* classMap = classMaps_->FindByClass(cls);
  if (classMap && classMap->FindByAttrName(attrName))
    throw EtiPerProgrammerException("%s.%s is mapped already", {cls.Name(), attrName});
  if (!classMap) {
    auto m = std::make_unique<TtiClassMap>();
    m->SetPerObjAbsClass(&cls);
    classMap = m.get();
    classMaps_->Add(std::move(m));
    classMaps_->LinkParents();
  }
  auto attr = std::make_unique<TtiAttrMap>();
  attr->SetAttrName(attrName);
  TtiAttrMap* attrMap = attr.get();
  classMap->Add(std::move(attr));
  TtiDBColMap& col = dbMaps_->FindCreate("").FindCreate(tableName).FindCreate(colName);
  auto attrCol = std::make_unique<TtiAttrColMap>();
  attrCol->SetAttrMap(attrMap);
  attrCol->SetDBColMap(&col);
  attrCol->SetPK(primaryKey);
  attrColMaps_->Add(std::move(attrCol));
}

void TtiClassDBMappingMgr::RegisterCollection(const TtiClass& collectionClass, const TtiClass& itemClass,
                                              std::vector<std::string> foreignKeyCols) {
  if (!collectionClass.InheritsFrom(TtiObjectList::StaticClass()))
    throw EtiPerProgrammerException("Collection class %s is not a list", {collectionClass.Name()});
  if (!itemClass.InheritsFrom(TtiObject::StaticClass()))
    throw EtiPerProgrammerException("Item class %s of collection %s is not a TtiObject",
                                    {itemClass.Name(), collectionClass.Name()});
  for (const TtiClassDBCollection* c : Collections(collectionClass)) {
    if (c->GetPerObjAbsClass() == &itemClass)
      throw EtiPerProgrammerException("Collection %s of %s is registered already",
                                      {collectionClass.Name(), itemClass.Name()});
    // An ancestor's table holds a row of every descendant: its read would bring the descendant's items again.
    if (itemClass.InheritsFrom(*c->GetPerObjAbsClass()) || c->GetPerObjAbsClass()->InheritsFrom(itemClass))
      throw EtiPerProgrammerException("Collection %s of %s: its items could not be told from those of %s",
                                      {collectionClass.Name(), itemClass.Name(), c->GetPerObjAbsClassName()});
  }
  for (const std::string& col : foreignKeyCols)
    if (col.empty())
      throw EtiPerProgrammerException("Collection %s of %s names an empty foreign-key column",
                                      {collectionClass.Name(), itemClass.Name()});
  auto c = std::make_unique<TtiClassDBCollection>();
  c->SetCollectionClass(&collectionClass);
  c->SetPerObjAbsClass(&itemClass);
  c->SetForeignKeyCols(std::move(foreignKeyCols));
  collections_->Add(std::move(c));
}

TtiClassMap* TtiClassDBMappingMgr::FindClassMap(const TtiClass& cls) const { return classMaps_->FindByClass(cls); }

std::vector<TtiClassMap*> TtiClassDBMappingMgr::ClassMapChain(const TtiClass& cls) const {
  std::vector<TtiClassMap*> chain;
  for (TtiClassMap* m = FindClassMap(cls); m; m = m->GetParentClassMap()) chain.insert(chain.begin(), m);
  return chain;
}

std::vector<TtiAttrColMap*> TtiClassDBMappingMgr::AttrColMaps(const TtiClassMap& classMap) const {
  std::vector<TtiAttrColMap*> maps;
  for (TtiObject* o : *attrColMaps_) {
    auto* m = static_cast<TtiAttrColMap*>(o);
    if (&m->GetAttrMap()->ClassMap() == &classMap) maps.push_back(m);
  }
  return maps;
}

std::vector<TtiAttrColMap*> TtiClassDBMappingMgr::AttrColMaps(const TtiClass& cls) const {
  const TtiClassMap* m = FindClassMap(cls);
  return m ? AttrColMaps(*m) : std::vector<TtiAttrColMap*>{};
}

std::vector<TtiAttrColMap*> TtiClassDBMappingMgr::PKAttrColMaps(const TtiClassMap& classMap) const {
  std::vector<TtiAttrColMap*> maps = AttrColMaps(classMap);
  std::erase_if(maps, [](const TtiAttrColMap* m) { return !m->GetPK(); });
  return maps;
}

std::vector<TtiAttrColMap*> TtiClassDBMappingMgr::PKAttrColMaps(const TtiClass& cls) const {
  const TtiClassMap* m = FindClassMap(cls);
  return m ? PKAttrColMaps(*m) : std::vector<TtiAttrColMap*>{};
}

std::vector<TtiClassDBCollection*> TtiClassDBMappingMgr::Collections(const TtiClass& collectionClass) const {
  std::vector<TtiClassDBCollection*> found;
  for (TtiObject* o : *collections_) {
    auto* c = static_cast<TtiClassDBCollection*>(o);
    if (c->GetCollectionClass() == &collectionClass) found.push_back(c);
  }
  return found;
}

TtiDBTableMap& TtiClassDBMappingMgr::TableMap(const TtiClassMap& classMap) const {
  TtiDBTableMap* table = nullptr;
  for (const TtiAttrColMap* m : AttrColMaps(classMap)) {
    TtiDBTableMap& t = m->GetDBColMap()->TableMap();
    if (table && table != &t) throw EtiPerProgrammerException("Inconsistent table names found in DBColMap");
    table = &t;
  }
  if (!table) throw EtiPerProgrammerException("Class %s has no attribute maps", {classMap.GetPerObjAbsClassName()});
  return *table;
}

}  // namespace kelvado

#pragma once
// Class-to-database maps: which table holds a class, which column holds each of its published attributes, which
// of them form the primary key, and which lists hold items tied to their owner by foreign-key columns. The
// automatic visitors of framework/tiClassToDBMap_Srv.h read and save objects from these maps alone.
//
// The manager is reached through the persistence manager (`tiPerMgr().GetClassDBMappingMgr()`), which makes it
// on first use and then registers the automatic visitors in the standard groups.
//
// Inheritance: every mapped class has a table of its own; an object of a class is stored in the tables of its
// class and of every mapped ancestor (one row each, under the same key). A class map links to the map of its
// nearest mapped ancestor, whichever of the two is registered first.
//
// The maps apply to whatever database a visitor group runs on: they are kept under one database map of empty
// name. Registration checks what can be checked without a database (the class publishes the attribute, nothing
// is mapped twice); that the tables and columns exist is checked against the database's metadata before the
// first statement runs on them.
//
// The look-ups take no lock: register the maps before visitor groups run on other threads.
#include <memory>
#include <string>
#include <vector>

#include "framework/tiObject.h"

namespace kelvado {

class TtiClassMap;
class TtiDBTableMap;

// One mapped attribute of a class ("OID" stands for the object's identifier). Owned by its class map.
class TtiAttrMap : public TtiObject {
public:
  TI_CLASS(TtiAttrMap)
  TtiAttrMap() = default;
  const std::string& GetAttrName() const { return attrName_; }
  void SetAttrName(const std::string& v) { attrName_ = v; }
  // The class map that owns this attribute map.
  TtiClassMap& ClassMap() const;

private:
  std::string attrName_;
};

// The map entry of one class: its attribute maps, and a link to the entry of its nearest mapped ancestor.
class TtiClassMap : public TtiObjectList {
public:
  TI_CLASS(TtiClassMap)
  TtiClassMap() = default;
  TtiAttrMap* Items(int index) const { return static_cast<TtiAttrMap*>(GetItems(index)); }

  const TtiClass* GetPerObjAbsClass() const { return class_; }
  void SetPerObjAbsClass(const TtiClass* cls) { class_ = cls; }
  std::string GetPerObjAbsClassName() const { return class_ ? class_->Name() : std::string(); }
  // Null for a class without a mapped ancestor.
  TtiClassMap* GetParentClassMap() const { return parent_; }
  void SetParentClassMap(TtiClassMap* parent) { parent_ = parent; }
  // The attribute map of that name (ignoring case); null when none.
  TtiAttrMap* FindByAttrName(const std::string& attrName) const;

private:
  const TtiClass* class_ = nullptr;
  TtiClassMap* parent_ = nullptr;
};

class TtiClassMaps : public TtiObjectList {
public:
  TI_CLASS(TtiClassMaps)
  TtiClassMaps() = default;
  TtiClassMap* Items(int index) const { return static_cast<TtiClassMap*>(GetItems(index)); }
  // The entry of exactly that class; null when none.
  TtiClassMap* FindByClass(const TtiClass& cls) const;
  // Links every entry to the entry of its nearest mapped ancestor.
  void LinkParents();
};

// One column of a table. Owned by its table map.
class TtiDBColMap : public TtiObject {
public:
  TI_CLASS(TtiDBColMap)
  TtiDBColMap() = default;
  const std::string& GetColName() const { return colName_; }
  void SetColName(const std::string& v) { colName_ = v; }
  TtiDBTableMap& TableMap() const;

private:
  std::string colName_;
};

class TtiDBTableMap : public TtiObjectList {
public:
  TI_CLASS(TtiDBTableMap)
  TtiDBTableMap() = default;
  TtiDBColMap* Items(int index) const { return static_cast<TtiDBColMap*>(GetItems(index)); }
  const std::string& GetTableName() const { return tableName_; }
  void SetTableName(const std::string& v) { tableName_ = v; }
  // Ignoring case; a new column map when none.
  TtiDBColMap& FindCreate(const std::string& colName);

private:
  std::string tableName_;
};

// A database and its tables.
class TtiDBMap : public TtiObjectList {
public:
  TI_CLASS(TtiDBMap)
  TtiDBMap() = default;
  TtiDBTableMap* Items(int index) const { return static_cast<TtiDBTableMap*>(GetItems(index)); }
  const std::string& GetDatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& v) { databaseName_ = v; }
  // Ignoring case; a new table map when none.
  TtiDBTableMap& FindCreate(const std::string& tableName);

private:
  std::string databaseName_;
};

class TtiDBMaps : public TtiObjectList {
public:
  TI_CLASS(TtiDBMaps)
  TtiDBMaps() = default;
  TtiDBMap* Items(int index) const { return static_cast<TtiDBMap*>(GetItems(index)); }
  // Ignoring case; a new database map when none.
  TtiDBMap& FindCreate(const std::string& databaseName);
};

// An attribute of a class and the column it is stored in; `PK` marks the columns of the primary key.
class TtiAttrColMap : public TtiObject {
public:
  TI_CLASS(TtiAttrColMap)
  TtiAttrColMap() = default;
  TtiAttrMap* GetAttrMap() const { return attrMap_; }
  void SetAttrMap(TtiAttrMap* v) { attrMap_ = v; }
  TtiDBColMap* GetDBColMap() const { return colMap_; }
  void SetDBColMap(TtiDBColMap* v) { colMap_ = v; }
  bool GetPK() const { return pk_; }
  void SetPK(bool v) { pk_ = v; }
  // Short-cuts for messages and statements.
  const std::string& AttrName() const { return attrMap_->GetAttrName(); }
  const std::string& ColName() const { return colMap_->GetColName(); }
  const std::string& TableName() const { return colMap_->TableMap().GetTableName(); }

private:
  TtiAttrMap* attrMap_ = nullptr;
  TtiDBColMap* colMap_ = nullptr;
  bool pk_ = false;
};

class TtiAttrColMaps : public TtiObjectList {
public:
  TI_CLASS(TtiAttrColMaps)
  TtiAttrColMaps() = default;
  TtiAttrColMap* Items(int index) const { return static_cast<TtiAttrColMap*>(GetItems(index)); }
};

// A list class, the class of its items and the columns of the items' table that hold the key of the list's
// owner, in the order of the owner's primary-key attributes. No columns: the list holds every row.
class TtiClassDBCollection : public TtiObject {
public:
  TI_CLASS(TtiClassDBCollection)
  TtiClassDBCollection() = default;
  const TtiClass* GetCollectionClass() const { return collectionClass_; }
  void SetCollectionClass(const TtiClass* v) { collectionClass_ = v; }
  const TtiClass* GetPerObjAbsClass() const { return itemClass_; }
  void SetPerObjAbsClass(const TtiClass* v) { itemClass_ = v; }
  const std::vector<std::string>& GetForeignKeyCols() const { return foreignKeyCols_; }
  void SetForeignKeyCols(std::vector<std::string> v) { foreignKeyCols_ = std::move(v); }
  std::string GetCollectionClassName() const { return collectionClass_ ? collectionClass_->Name() : std::string(); }
  std::string GetPerObjAbsClassName() const { return itemClass_ ? itemClass_->Name() : std::string(); }
  // The columns joined with ", " (messages, debug text).
  std::string GetForeignKeyColsText() const;

private:
  const TtiClass* collectionClass_ = nullptr;
  const TtiClass* itemClass_ = nullptr;
  std::vector<std::string> foreignKeyCols_;
};

class TtiClassDBCollections : public TtiObjectList {
public:
  TI_CLASS(TtiClassDBCollections)
  TtiClassDBCollections() = default;
  TtiClassDBCollection* Items(int index) const { return static_cast<TtiClassDBCollection*>(GetItems(index)); }
};

// Owns the four lists (each owned by the manager) and answers the look-ups the automatic visitors need.
class TtiClassDBMappingMgr : public TtiObject {
public:
  TI_CLASS(TtiClassDBMappingMgr)
  TtiClassDBMappingMgr();
  ~TtiClassDBMappingMgr() override;

  TtiClassMaps& GetClassMaps() const { return *classMaps_; }
  TtiDBMaps& GetDBMaps() const { return *dbMaps_; }
  TtiAttrColMaps& GetAttrColMaps() const { return *attrColMaps_; }
  TtiClassDBCollections& GetCollections() const { return *collections_; }

  // Maps the attribute `attrName` of `cls` (a published simple property, or "OID") to column `colName` of
  // table `tableName`. Refused with EtiPerProgrammerException: an attribute the class does not publish, an
  // attribute mapped twice, an empty table or column name.
  void RegisterMapping(const TtiClass& cls, const std::string& tableName, const std::string& attrName,
                       const std::string& colName, bool primaryKey = false);
  // The items of lists of `collectionClass` are of `itemClass` (a mapped class by the time they are read or
  // saved) and carry their owner's key in `foreignKeyCols` of the item class's table. A list class may hold
  // several item classes, none an ancestor of another. Refused with EtiPerProgrammerException: a collection
  // class that is not a list, an item class that is not a TtiObject, a pair registered twice, an item class
  // related to one the list class holds already.
  void RegisterCollection(const TtiClass& collectionClass, const TtiClass& itemClass,
                          std::vector<std::string> foreignKeyCols = {});

  // Look-ups.
  // The entry of exactly `cls`; null when none.
  TtiClassMap* FindClassMap(const TtiClass& cls) const;
  // The entries of `cls` and its mapped ancestors, root first; empty when `cls` has no entry.
  std::vector<TtiClassMap*> ClassMapChain(const TtiClass& cls) const;
  // The attribute maps of one class (its own, not its ancestors'), in registration order.
  std::vector<TtiAttrColMap*> AttrColMaps(const TtiClassMap& classMap) const;
  std::vector<TtiAttrColMap*> AttrColMaps(const TtiClass& cls) const;
  // The same, only the primary-key columns.
  std::vector<TtiAttrColMap*> PKAttrColMaps(const TtiClassMap& classMap) const;
  std::vector<TtiAttrColMap*> PKAttrColMaps(const TtiClass& cls) const;
  // The collections whose list class is exactly `collectionClass`.
  std::vector<TtiClassDBCollection*> Collections(const TtiClass& collectionClass) const;
  // The table that holds `classMap`'s attributes. Attribute maps naming different tables raise
  // EtiPerProgrammerException "Inconsistent table names found in DBColMap"; a class map without attribute maps
  // raises EtiPerProgrammerException naming the class.
  TtiDBTableMap& TableMap(const TtiClassMap& classMap) const;

private:
  std::unique_ptr<TtiClassMaps> classMaps_;
  std::unique_ptr<TtiDBMaps> dbMaps_;
  std::unique_ptr<TtiAttrColMaps> attrColMaps_;
  std::unique_ptr<TtiClassDBCollections> collections_;
};

}  // namespace kelvado

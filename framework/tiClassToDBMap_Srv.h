#pragma once
// The automatic visitors: they read and save the objects of mapped classes (framework/tiClassToDBMap_BOM.h) with
// the row operations of the query, so that a class needs no hand-written visitors. The persistence manager
// registers them in the standard groups when its map manager is first read:
//   "StandardTask_ReadPK"    TVisAutoCollectionPKRead
//   "StandardTask_ReadThis"  TVisAutoReadThis
//   "StandardTask_Read"      TVisAutoReadThis, TVisAutoCollectionRead
//   "StandardTask_Save"      TVisAutoDelete, TVisAutoUpdate, TVisAutoCreate
// They act only on objects whose class has a map entry of its own (and on lists of a registered collection
// class), so hand-written visitors of the same groups are not disturbed.
//
// Storage: an object of a mapped class is one row in the table of its class and one in the table of each mapped
// ancestor, under the same key. Attributes travel by their kind: integers, floats, date-times and texts as such,
// enumerations by their identifier text, booleans as "T" and "F". Before the first statement on a table the
// table and every column mapped to it are looked up in the database's metadata; a missing one is refused with
// an error naming class, property, table and column, before anything is written.
//
// Reading: ReadThis fills an object that is not read yet (posEmpty or posPK) from its key, one row per table; no
// row and more than one row are errors. A collection reader fills a list that is not read yet (posEmpty) with
// the rows whose foreign-key columns hold the key of the list's owner, and (the full reader) the items' own
// collections too. The items join their list only once the group has committed, so a failed read leaves the
// list as it was. A list held through a List property is not visited itself: its holder's visit reads it.
//
// Saving: deletes run bottom-up (items before their owner, the class's table before its ancestors'), updates and
// creates top-down (owner before items, ancestors' tables first). An item saved from a list of a registered
// collection gets the key of the list's owner in the foreign-key columns; an item of a class the list's
// collections do not hold is refused, since it would read back as another class or not at all.
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "framework/tiVisitorDB.h"

namespace kelvado {

class TtiClassDBMappingMgr;
class TtiClassMap;
class TtiAttrColMap;
class TtiClassDBCollection;
class TtiDBMetaData;
class TtiDBMetaDataTable;
class TtiQueryParams;
class TtiVisitorManager;

// Registers the automatic visitors in the standard groups of `visMgr` (the persistence manager does this when
// it makes its map manager).
void tiRegisterAutoVisitors(TtiVisitorManager& visMgr);

class TVisAutoAbs : public TtiPerObjVisitor {
public:
  TI_CLASS(TVisAutoAbs)
  TVisAutoAbs();
  ~TVisAutoAbs() override;

protected:
  // One table of a mapped class, checked against the metadata of the run's database.
  struct TTablePlan {
    const TtiClassMap* ClassMap = nullptr;
    std::string Table;
    std::vector<const TtiAttrColMap*> Cols;  // every mapped attribute, in registration order
    std::vector<const TtiAttrColMap*> Keys;  // the primary-key ones
  };

  // The persistence manager's map manager.
  static TtiClassDBMappingMgr& Maps();
  // The visited object when its class has a map entry and its state is `state`; null otherwise.
  TtiObject* MappedVisited(TPerObjectState state) const;
  // The plans of `cls` and its mapped ancestors, root first (empty when `cls` has no map entry).
  std::vector<const TTablePlan*> Plans(const TtiClass& cls);
  const TTablePlan& Plan(const TtiClassMap& classMap);

  // The object's key (where clause) and values as parameters named by their columns.
  static void AddKeyParams(const TTablePlan& plan, const TtiObject& object, TtiQueryParams& params);
  static void AddValueParams(const TTablePlan& plan, const TtiObject& object, TtiQueryParams& params,
                             bool withKeys);
  // The owner's key in the collection's foreign-key columns. A collection with such columns and no owner, or an
  // owner whose key has another number of columns, is refused.
  void AddForeignKeyParams(const TtiClassDBCollection& collection, const TtiObject* owner, TtiQueryParams& params);
  // The list that holds `item` and the owner the list's foreign-key columns name: the list the walk handed it
  // over from; for an item saved on its own, the list it sits in (its Owner, or a List property of its Owner).
  struct THolding {
    TtiObjectList* List = nullptr;
    TtiObject* Owner = nullptr;
  };
  THolding HoldingList(const TtiObject& item) const;
  // The collection of the list that holds `item` (HoldingList), when the list's class holds `item`'s class;
  // null for an item of no such list. An item the list's collections would not read back as its own class (a
  // list class with collections, none of the item's class) is refused.
  const TtiClassDBCollection* WalkCollection(const TtiObject& item) const;
  // For an item of a collection (WalkCollection): when `plan` is the table of the collection's item class, the
  // list owner's key in the foreign-key columns.
  void AddWalkOwnerKeyParams(const TTablePlan& plan, const TtiObject& item, TtiQueryParams& params);
  // Refuses foreign-key columns that the item class's table does not have.
  void CheckForeignKeyCols(const TtiClassDBCollection& collection, const TTablePlan& itemPlan);
  // The plan of the collection's item class (refused when the item class has no map entry).
  const TTablePlan& ItemPlan(const TtiClassDBCollection& collection);

  // The current row's columns into the object's attributes (only the key's when `keysOnly`).
  void MapRowToObject(const TTablePlan& plan, TtiObject& object, bool keysOnly);
  // Reads the object's row of `plan`'s table by its key: no row and more than one row are errors.
  void ReadByKey(const TTablePlan& plan, TtiObject& object);

private:
  // The metadata table of that name with its fields read; null when the database has no such table.
  TtiDBMetaDataTable* MetaTable(const std::string& tableName);

  std::unique_ptr<TtiDBMetaData> metaData_;  // read on first need, for this run
  std::map<const TtiClassMap*, TTablePlan> plans_;
  std::set<const TtiClassDBCollection*> checkedCollections_;
};

// Base of the two collection readers: the lists to read are the visited list itself and the lists the visited
// object holds through List properties.
class TVisAutoCollectionReadAbs : public TVisAutoAbs {
public:
  TI_CLASS(TVisAutoCollectionReadAbs)
  TVisAutoCollectionReadAbs();
  ~TVisAutoCollectionReadAbs() override;

  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;
  // After the commit: the items read join their lists, which become posClean. The visited object's own state
  // is left alone: its attributes are not what this visitor read.
  void Final() override;

protected:
  // Only the items' keys (posPK items), not their other attributes and collections.
  virtual bool KeysOnly() const = 0;

private:
  struct TListToRead {
    TtiObjectList* List;
    TtiObject* Owner;  // whose key ties the items to the list; null for a list without owner
  };
  struct TStaged {
    TtiObject* Visited;
    TtiObjectList* List;
    std::vector<std::unique_ptr<TtiObject>> Items;
  };
  std::vector<TListToRead> ListsToRead(TtiVisited* visited) const;
  static bool CanRead(const TtiObjectList* list);
  // The items of `list` that belong to `owner`, read completely unless KeysOnly.
  std::vector<std::unique_ptr<TtiObject>> ReadItems(const TtiObjectList& list, const TtiObject* owner);
  // Fills the unread lists of a freshly read item (it belongs to no graph yet, so they are filled at once).
  void ReadItemCollections(TtiObject& item);

  std::vector<TStaged> staged_;
  std::set<const TtiObjectList*> read_;  // lists read in this run (a list reached twice is read once)
};

// "StandardTask_ReadPK": the keys of the items of unread lists.
class TVisAutoCollectionPKRead : public TVisAutoCollectionReadAbs {
public:
  TI_CLASS(TVisAutoCollectionPKRead)
  TVisAutoCollectionPKRead() = default;

protected:
  bool KeysOnly() const override { return true; }
};

// "StandardTask_Read": the items of unread lists, with their ancestors' tables and their own collections.
class TVisAutoCollectionRead : public TVisAutoCollectionReadAbs {
public:
  TI_CLASS(TVisAutoCollectionRead)
  TVisAutoCollectionRead() = default;

protected:
  bool KeysOnly() const override { return false; }
};

// Reads a mapped object that is not read yet (posEmpty or posPK) by its key.
class TVisAutoReadThis : public TVisAutoAbs {
public:
  TI_CLASS(TVisAutoReadThis)
  TVisAutoReadThis() = default;
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;
};

// Deletes the rows of mapped objects in posDelete; walks bottom-up.
class TVisAutoDelete : public TVisAutoAbs {
public:
  TI_CLASS(TVisAutoDelete)
  TVisAutoDelete();
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;
};

// Updates the rows of mapped objects in posUpdate.
class TVisAutoUpdate : public TVisAutoAbs {
public:
  TI_CLASS(TVisAutoUpdate)
  TVisAutoUpdate() = default;
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;
};

// Inserts the rows of mapped objects in posCreate.
class TVisAutoCreate : public TVisAutoAbs {
public:
  TI_CLASS(TVisAutoCreate)
  TVisAutoCreate() = default;
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;
};

}  // namespace kelvado

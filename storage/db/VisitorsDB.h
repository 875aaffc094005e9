#pragma once
// The SQL visitors that move library items between objects and the tables of a library file (resources/db/
// KELVADO_LIB*.sql): a reader, creator, updater and deleter per business class, readers of the top-level lists,
// and their two groups "StandardTask_Read" and "StandardTask_Save". They run their statements through the
// framework's query interface on the layer the library mapper names ("IBX").
//
// Reading: each reader fills one posEmpty object from its row (or joined rows) and creates the objects the row
// refers to, and its child nodes, empty with their OIDs; the readers registered after it fill those in the same
// run, so one run over an empty list reads whole trees. Values go through the setters; the protection flag is
// set last. A text that names no value of an enumeration is refused with EIOError naming file, table, row and
// column (the schema's domain checks keep such texts out of files we write). A node whose data reference is
// NULL or names no row (a block's DC measure node included) is refused alike (EIOError 1063, as in project
// files): it is never read with an object made up of default values.
//
// Writing: every writer binds the running program's edition and release (the row is restamped), +infinity as
// the stored -2.0, a missing reference as NULL. Protected objects are written when created and afterwards
// neither updated nor deleted unless WriteProtectionMode is 2. A group run is one transaction: a failure rolls
// back everything the run wrote. A subsystem's CCF measure, category or PL condition has its row only while it
// is ticked (no table has a column for that): saved unticked it loses its row and reads back absent.
#include <memory>
#include <string>

#include "framework/tiVisitorDB.h"
#include "model/BOMBase.h"

namespace kelvado {

// Registers the visitor classes of both groups with the persistence manager, in the order in which they run,
// replacing what the two groups held (so it may be called again, e.g. for a persistence manager created anew).
// Clears the four hooks first.
void RegisterVisitorsDB();

struct TDBClassMap;
struct TDBListMap;

// Base of every reader. The hooks are process-wide: after-read fires in Final (after the commit) for every
// object read, before-read at the start of Init for every accepted object.
class TVisSelect : public TVisOwnedQrySelect {
public:
  TI_CLASS(TVisSelect)
  static void SetOnAfterRead(TNotifyEvent event);
  static void SetOnBeforeRead(TNotifyEvent event);
  void Final() override;
  void Init() override;

protected:
  TVisSelect() = default;
  // The statement of the visit (SQL text).
  virtual void InitStatement() = 0;
};

// Base of every writer: after-save fires in Final, before-save at the start of Init.
class TVisUpdate : public TVisOwnedQryUpdate {
public:
  TI_CLASS(TVisUpdate)
  static void SetOnAfterSave(TNotifyEvent event);
  static void SetOnBeforeSave(TNotifyEvent event);
  void Final() override;
  void Init() override;

protected:
  TVisUpdate() = default;
  virtual void InitStatement() = 0;
  // Sets the query's SQL text unless it holds that text already (the prepared statement is kept then).
  void SetStatement(const std::string& sql);
};

// Readers and writers of one business class (see TDBClassMap in the .cpp).
class TVisDBRead : public TVisSelect {
public:
  TI_CLASS(TVisDBRead)
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;
  void SetupParams() override;
  void MapRowToObject() override;

protected:
  explicit TVisDBRead(const TDBClassMap& map) : map_(&map) {}
  void InitStatement() override;

private:
  void RefuseMissingRow();
  const TDBClassMap* map_;
  int rows_ = 0;               // rows mapped in this visit
  bool accepted_ = false;      // this visit read the object
  bool isProtected_ = false;   // of the last row, set after the scan
  bool wasProtected_ = false;  // before the visit (kept when no row is found)
};

// Kind of a writer.
enum class TDBWrite : uint8_t { Create, Update, Delete };

class TDBValues;

class TVisDBWrite : public TVisUpdate {
public:
  TI_CLASS(TVisDBWrite)
  ~TVisDBWrite() override;
  bool AcceptVisitor() override;
  void SetupParams() override;
  void Final() override;

protected:
  TVisDBWrite(const TDBClassMap& map, TDBWrite kind);
  void InitStatement() override;

private:
  const TDBClassMap* map_;
  TDBWrite kind_;
  std::unique_ptr<TDBValues> values_;  // of the visit in progress
};

// Readers of a top-level list: a posEmpty list without Owner gets one posEmpty item per row of the item table
// that belongs to no owner (the DC-measure catalogue: the nodes of the edition in force that no block and no
// element uses).
class TVisDBListRead : public TVisSelect {
public:
  TI_CLASS(TVisDBListRead)
  bool AcceptVisitor() override;
  void SetupParams() override;
  void MapRowToObject() override;
  void Final() override;

protected:
  explicit TVisDBListRead(const TDBListMap& map) : map_(&map) {}
  void InitStatement() override;

private:
  const TDBListMap* map_;
};

// The concrete visitors, named after the class they serve and what they do.
#define KELVADO_VIS_DB(Name, Base) class Name : public Base { public: TI_CLASS(Name) Name(); };

KELVADO_VIS_DB(TVisMetaDataRead, TVisDBRead)
KELVADO_VIS_DB(TVisMetaDataCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisMetaDataUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisMetaDataDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisComponentRead, TVisDBRead)
KELVADO_VIS_DB(TVisComponentCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisComponentUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisComponentDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisComponentOpRead, TVisDBRead)
KELVADO_VIS_DB(TVisComponentOpCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisComponentOpUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisComponentOpDelete, TVisDBWrite)
// The plain channel visitors serve channels that are not test channels.
KELVADO_VIS_DB(TVisChannelRead, TVisDBRead)
KELVADO_VIS_DB(TVisChannelCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisChannelUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisChannelDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisTestChannelRead, TVisDBRead)
KELVADO_VIS_DB(TVisTestChannelCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisTestChannelUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisTestChannelDelete, TVisDBWrite)
// The channel-node visitors serve test-channel nodes too.
KELVADO_VIS_DB(TVisChannelOpRead, TVisDBRead)
KELVADO_VIS_DB(TVisChannelOpCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisChannelOpUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisChannelOpDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisBlocRead, TVisDBRead)
KELVADO_VIS_DB(TVisBlocCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisBlocUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisBlocDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisBlocOpRead, TVisDBRead)
KELVADO_VIS_DB(TVisBlocOpCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisBlocOpUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisBlocOpDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisElementRead, TVisDBRead)
KELVADO_VIS_DB(TVisElementCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisElementUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisElementDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisElementOpRead, TVisDBRead)
KELVADO_VIS_DB(TVisElementOpCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisElementOpUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisElementOpDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisDCMeasureRead, TVisDBRead)
KELVADO_VIS_DB(TVisDCMeasureCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisDCMeasureUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisDCMeasureDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisDCMeasureOpRead, TVisDBRead)
KELVADO_VIS_DB(TVisDCMeasureOpCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisDCMeasureOpUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisDCMeasureOpDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisCCFMeasureRead, TVisDBRead)
KELVADO_VIS_DB(TVisCCFMeasureCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisCCFMeasureUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisCCFMeasureDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisCCFMeasureOpRead, TVisDBRead)
KELVADO_VIS_DB(TVisCCFMeasureOpCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisCCFMeasureOpUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisCCFMeasureOpDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisCatConditionRead, TVisDBRead)
KELVADO_VIS_DB(TVisCatConditionCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisCatConditionUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisCatConditionDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisCatConditionOpRead, TVisDBRead)
KELVADO_VIS_DB(TVisCatConditionOpCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisCatConditionOpUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisCatConditionOpDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisPLConditionRead, TVisDBRead)
KELVADO_VIS_DB(TVisPLConditionCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisPLConditionUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisPLConditionDelete, TVisDBWrite)
KELVADO_VIS_DB(TVisPLConditionOpRead, TVisDBRead)
KELVADO_VIS_DB(TVisPLConditionOpCreate, TVisDBWrite)
KELVADO_VIS_DB(TVisPLConditionOpUpdate, TVisDBWrite)
KELVADO_VIS_DB(TVisPLConditionOpDelete, TVisDBWrite)

KELVADO_VIS_DB(TVisMetaDataListRead, TVisDBListRead)
KELVADO_VIS_DB(TVisElementOpListRead, TVisDBListRead)
KELVADO_VIS_DB(TVisBlocOpListRead, TVisDBListRead)
KELVADO_VIS_DB(TVisChannelOpListRead, TVisDBListRead)
KELVADO_VIS_DB(TVisComponentOpListRead, TVisDBListRead)
KELVADO_VIS_DB(TVisDCMeasureOpListRead, TVisDBListRead)
KELVADO_VIS_DB(TVisCCFMeasureOpListRead, TVisDBListRead)
KELVADO_VIS_DB(TVisCatConditionOpListRead, TVisDBListRead)
KELVADO_VIS_DB(TVisPLConditionOpListRead, TVisDBListRead)

#undef KELVADO_VIS_DB

}  // namespace kelvado

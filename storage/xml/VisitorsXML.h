#pragma once
// The visitors that move the project tree between objects and the tables of a project file (XMLTables.h): a
// reader, creator, updater and deleter per business class, readers of top-level lists, and their two groups
// "Task_ReadXML" and "Task_SaveXML". They work only through the framework's query interface (SelectRow,
// InsertRow, UpdateRow, DeleteRow, FieldIndex, FieldAs...), so they run on any persistence layer.
//
// Reading: each reader fills one posEmpty object from its row and creates the objects its row refers to and
// its child nodes empty, with their OIDs; the readers registered after it fill those in the same run, so one
// run over an empty project list (or one empty node with its OID) reads the whole tree. Values go through the
// business objects' setters; the protection flag is set last, so a protected row reads like any other.
// A row that names a value no column may hold (an unknown enumeration text, a flag other than 0 and 1), an
// object whose row is missing or an OID found twice is refused with EIOError naming file, table, row (by its
// OID) and column (XMLTables.h). A float text that is no number raises EConvertError naming the same.
//
// Writing: creators and updaters write every column of the class (the computed ones too, for readers of the
// file), deleters remove the row; each leaves its object posClean or posDeleted.
#include <string>

#include "framework/tiQuery.h"
#include "framework/tiVisitorDB.h"

namespace kelvado {

inline constexpr const char* cTask_ReadXML = "Task_ReadXML";
inline constexpr const char* cTask_SaveXML = "Task_SaveXML";

// Registers the visitor classes of both groups with the persistence manager's visitor manager, in the order
// in which they run, replacing what the two groups held (so it may be called again, e.g. for a persistence
// manager created anew).
void RegisterVisitorsXML();

struct TXMLClassMap;
struct TXMLListMap;

// Base of the project-file visitors: acts on the visited object when AcceptVisitor says so.
class TVisXMLAbs : public TtiPerObjVisitor {
public:
  TI_CLASS(TVisXMLAbs)
  void Execute(TtiVisited* visited) override;

protected:
  TVisXMLAbs() = default;
  virtual void Act(TtiObject& obj) = 0;
  // The file name of the store, for error texts.
  std::string FileName() const;
  // The visited object as a TtiObject (null for anything else), worked out once per visit: every visitor of a
  // group is asked about every object of the tree, and nearly all of them say no.
  TtiObject* VisitedObject() const;

private:
  mutable TtiVisited* castFrom_ = nullptr;
  mutable TtiObject* cast_ = nullptr;
};

// Visitors of one business class (see TXMLClassMap in the .cpp): accept objects of the class in one state.
class TVisXMLObjAbs : public TVisXMLAbs {
public:
  TI_CLASS(TVisXMLObjAbs)
  bool AcceptVisitor() override;

protected:
  TVisXMLObjAbs(const TXMLClassMap& map, uint8_t state) : map_(&map), state_(state) {}
  const TXMLClassMap& Map() const { return *map_; }
  // Inserts or updates the object's row (and its link rows); the object becomes posClean.
  void WriteRow(TtiObject& obj, bool insert);

private:
  const TXMLClassMap* map_;
  uint8_t state_;  // a TPerObjectState
  TtiQueryParams inserted_;  // the values of the last row inserted
};

class TVisXMLRead : public TVisXMLObjAbs {
public:
  TI_CLASS(TVisXMLRead)

protected:
  explicit TVisXMLRead(const TXMLClassMap& map);
  void Act(TtiObject& obj) override;

private:
  // No row for obj: refused when a row of another table refers to it, else obj stays posEmpty.
  void MissingRow(TtiObject& obj, const std::string& table, const std::string& oid);
};

class TVisXMLCreate : public TVisXMLObjAbs {
public:
  TI_CLASS(TVisXMLCreate)

protected:
  explicit TVisXMLCreate(const TXMLClassMap& map);
  void Act(TtiObject& obj) override;
};

class TVisXMLUpdate : public TVisXMLObjAbs {
public:
  TI_CLASS(TVisXMLUpdate)

protected:
  explicit TVisXMLUpdate(const TXMLClassMap& map);
  void Act(TtiObject& obj) override;
};

class TVisXMLDelete : public TVisXMLObjAbs {
public:
  TI_CLASS(TVisXMLDelete)

protected:
  explicit TVisXMLDelete(const TXMLClassMap& map);
  void Act(TtiObject& obj) override;
};

// Readers of a top-level list: a posEmpty list of the class without Owner gets one posEmpty item per row of
// the item table that belongs to no owner (every row for the project nodes, DC-measure nodes and metadata).
class TVisXMLListRead : public TVisXMLAbs {
public:
  TI_CLASS(TVisXMLListRead)
  bool AcceptVisitor() override;

protected:
  explicit TVisXMLListRead(const TXMLListMap& map) : map_(&map) {}
  void Act(TtiObject& obj) override;

private:
  const TXMLListMap* map_;
};

// The concrete visitors, named after the class they serve and what they do.
#define KELVADO_VIS_XML(Name, Base) class Name : public Base { public: TI_CLASS(Name) Name(); };

KELVADO_VIS_XML(TVisXMLElementRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLElementCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLElementUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLElementDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLElementOpRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLElementOpCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLElementOpUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLElementOpDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLBlocRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLBlocCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLBlocUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLBlocDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLBlocOpRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLBlocOpCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLBlocOpUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLBlocOpDelete, TVisXMLDelete)
// The plain channel visitors serve channels that are not test channels.
KELVADO_VIS_XML(TVisXMLChannelRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLChannelCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLChannelUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLChannelDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLTestChannelRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLTestChannelCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLTestChannelUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLTestChannelDelete, TVisXMLDelete)
// The channel-node visitors serve test-channel nodes too.
KELVADO_VIS_XML(TVisXMLChannelOpRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLChannelOpCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLChannelOpUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLChannelOpDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLComponentRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLComponentCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLComponentUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLComponentDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLComponentOpRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLComponentOpCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLComponentOpUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLComponentOpDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLSFRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLSFCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLSFUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLSFDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLSFOpRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLSFOpCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLSFOpUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLSFOpDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLProjectRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLProjectCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLProjectUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLProjectDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLProjectOpRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLProjectOpCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLProjectOpUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLProjectOpDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLDCMeasureRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLDCMeasureCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLDCMeasureUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLDCMeasureDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLDCMeasureOpRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLDCMeasureOpCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLDCMeasureOpUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLDCMeasureOpDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLCCFMeasureRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLCCFMeasureCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLCCFMeasureUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLCCFMeasureDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLCCFMeasureOpRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLCCFMeasureOpCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLCCFMeasureOpUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLCCFMeasureOpDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLCatConditionRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLCatConditionCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLCatConditionUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLCatConditionDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLCatConditionOpRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLCatConditionOpCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLCatConditionOpUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLCatConditionOpDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLPLConditionRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLPLConditionCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLPLConditionUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLPLConditionDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLPLConditionOpRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLPLConditionOpCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLPLConditionOpUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLPLConditionOpDelete, TVisXMLDelete)
KELVADO_VIS_XML(TVisXMLMetaDataRead, TVisXMLRead)
KELVADO_VIS_XML(TVisXMLMetaDataCreate, TVisXMLCreate)
KELVADO_VIS_XML(TVisXMLMetaDataUpdate, TVisXMLUpdate)
KELVADO_VIS_XML(TVisXMLMetaDataDelete, TVisXMLDelete)

KELVADO_VIS_XML(TVisXMLElementOpListRead, TVisXMLListRead)
KELVADO_VIS_XML(TVisXMLBlocOpListRead, TVisXMLListRead)
KELVADO_VIS_XML(TVisXMLChannelOpListRead, TVisXMLListRead)
KELVADO_VIS_XML(TVisXMLComponentOpListRead, TVisXMLListRead)
KELVADO_VIS_XML(TVisXMLSFOpListRead, TVisXMLListRead)
KELVADO_VIS_XML(TVisXMLProjectOpListRead, TVisXMLListRead)
KELVADO_VIS_XML(TVisXMLDCMeasureOpListRead, TVisXMLListRead)
KELVADO_VIS_XML(TVisXMLCCFMeasureOpListRead, TVisXMLListRead)
KELVADO_VIS_XML(TVisXMLCatConditionOpListRead, TVisXMLListRead)
KELVADO_VIS_XML(TVisXMLPLConditionOpListRead, TVisXMLListRead)
KELVADO_VIS_XML(TVisXMLMetaDataListRead, TVisXMLListRead)

#undef KELVADO_VIS_XML

// Test-channel nodes still posEmpty: read (the channel-node reader reads them first in a group run) ...
class TVisXMLTestChannelOpRead : public TVisXMLChannelOpRead {
public:
  TI_CLASS(TVisXMLTestChannelOpRead)
  TVisXMLTestChannelOpRead() = default;
  bool AcceptVisitor() override;
};

// ... and, when a save meets one, deleted: its row goes. Test-channel nodes in posDelete go through the
// channel-node deleter.
class TVisXMLTestChannelOpDelete : public TVisXMLChannelOpDelete {
public:
  TI_CLASS(TVisXMLTestChannelOpDelete)
  TVisXMLTestChannelOpDelete() = default;
  bool AcceptVisitor() override;
};

}  // namespace kelvado

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
// A row that names a value no column may hold (an unknown enumeration text, a flag other than 0 and 1), a node
// row without its data object, an object whose row is missing or an OID found twice is refused with EIOError
// naming file, table, row (by its OID) and column (XMLTables.h). A float text that is no number raises
// EConvertError naming the same. A value a setter refuses raises the setter's error (its class and number),
// its text preceded by the same place.
//
// Writing: creators and updaters write every column of the class (the computed ones too, for readers of the
// file), deleters remove the row; each leaves its object posClean or posDeleted. A node without its data object
// is refused like a row that lacks it, so that no save writes a file that would not open again.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// What a visitor of a save acts on: the objects of a class (or below it, but not of `Excluded` or below) in one
// state.
struct TXMLActsOn {
  const TtiClass* Cls;
  const TtiClass* Excluded;  // may be null
  uint8_t State;             // a TPerObjectState
};

// The objects of a tree about to be saved, taken in one walk, in the order of the walk, with their classes and
// states. While one is current on this thread, a visitor of "Task_SaveXML" run top-down over that tree does not
// walk it: it is given the objects of the class and state it acts on, in the order the walk would give them,
// and none when there is none (a save of a project thus walks the tree once, not 67 times). Sound because no
// visitor of the group adds or frees an object or puts one into a state that one of them acts on (they leave
// objects posClean or posDeleted), so the walk each visitor would make meets the objects the census met, and
// each visitor still asks of every object it is given whether it is one of its own.
class TXMLSaveCensus {
public:
  explicit TXMLSaveCensus(TtiObject& root);
  ~TXMLSaveCensus();
  TXMLSaveCensus(const TXMLSaveCensus&) = delete;
  TXMLSaveCensus& operator=(const TXMLSaveCensus&) = delete;

  // The census of the tree `root` heads, when one is current; null otherwise.
  static const TXMLSaveCensus* For(const TtiVisited* root);
  // Some object is one of those `acts` names.
  bool Holds(const TXMLActsOn& acts) const;
  // Those objects in the order of the walk (an object the walk meets twice comes twice).
  std::vector<TtiObject*> Objects(const TXMLActsOn& acts) const;
  const TtiVisited* Root() const { return root_; }
  const TXMLSaveCensus* Outer() const { return outer_; }

  // The objects of one class in one state, by their places in the walk.
  struct Group {
    const TtiClass* Cls;
    uint8_t State;
    std::vector<uint32_t> Places;
  };

private:
  bool Matches(const Group& g, const TXMLActsOn& acts) const;

  const TtiVisited* root_;
  std::vector<TtiObject*> walk_;  // every object met, in the order met
  std::vector<Group> groups_;     // each class and state once
  const TXMLSaveCensus* outer_;
};

// Which tables of a store hold rows, for a read of a file that has passed CheckXMLTables. While one is current
// on this thread, a reader of "Task_ReadXML" run over the tree `root` heads skips its walk when the table of its
// class holds no row and the root is not of its class: after the check, every object the readers create has its
// row in its class's table (children come from rows, data objects from references that are not dangling), so
// the reader would turn down every object.
class TXMLReadCensus {
public:
  TXMLReadCensus(TtiObject& root, const std::string& DatabaseName, const std::string& LayerName);
  ~TXMLReadCensus();
  TXMLReadCensus(const TXMLReadCensus&) = delete;
  TXMLReadCensus& operator=(const TXMLReadCensus&) = delete;

  static const TXMLReadCensus* For(const TtiVisited* root);
  // Ignoring case.
  bool HasRows(const std::string& table) const;
  const TtiVisited* Root() const { return root_; }
  const TXMLReadCensus* Outer() const { return outer_; }

private:
  const TtiVisited* root_;
  std::vector<std::string> filled_;  // lower case
  const TXMLReadCensus* outer_;
};

// Base of the project-file visitors: acts on the visited object when AcceptVisitor says so.
class TVisXMLAbs : public TtiPerObjVisitor {
public:
  TI_CLASS(TVisXMLAbs)
  void Execute(TtiVisited* visited) override;

protected:
  TVisXMLAbs() = default;
  virtual void Act(TtiObject& obj) = 0;
  // What the visitor acts on in a save, when it is one class in one state (base: not known, anything).
  virtual std::optional<TXMLActsOn> ActsOn() const;
  // Whether the read of the tree `root` heads could give the visitor an object (with a census of its tables).
  virtual bool MayRead(const TXMLReadCensus& census, const TtiVisited& root) const;
  // Only the root can be the visitor's: the walk ends after it.
  virtual bool RootOnly() const { return false; }
  // The file name of the store, for error texts.
  std::string FileName() const;
  // The visited object as a TtiObject (null for anything else), worked out once per visit: every visitor of a
  // group is asked about every object of the tree, and nearly all of them say no.
  TtiObject* VisitedObject() const;

private:
  // The visit of one object: acts on it when it is the visitor's.
  void Visit(TtiVisited* visited);

  mutable TtiVisited* castFrom_ = nullptr;
  mutable TtiObject* cast_ = nullptr;
  bool first_ = true;  // the next visit is the walk's first, of its root
};

// Visitors of one business class (see TXMLClassMap in the .cpp): accept objects of the class in one state.
class TVisXMLObjAbs : public TVisXMLAbs {
public:
  TI_CLASS(TVisXMLObjAbs)
  bool AcceptVisitor() override;

protected:
  TVisXMLObjAbs(const TXMLClassMap& map, uint8_t state) : map_(&map), state_(state) {}
  std::optional<TXMLActsOn> ActsOn() const override;
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
  bool MayRead(const TXMLReadCensus& census, const TtiVisited& root) const override;

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
  // The lists below the root all have their node as Owner.
  bool RootOnly() const override { return true; }

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

protected:
  std::optional<TXMLActsOn> ActsOn() const override;
};

}  // namespace kelvado

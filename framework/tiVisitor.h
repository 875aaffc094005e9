#pragma once
// Visitors: the one way work is done over object graphs. A visitable object (TtiVisited) walks itself, then
// the objects and list items of its published Object/List properties (its property table, in table order),
// handing each to the visitor. The visitor manager runs named groups of visitor classes over an object with a
// controller per controller class around them (the database controller opens and commits a transaction there).
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/tiBaseObject.h"

namespace kelvado {

class TtiVisitor;
class TtiVisitorCtrlr;
class TtiVisitorManager;

// Set by the persistence manager: while true, walks and visitor groups do nothing.
void tiSetFrameworkTerminated(bool terminated);
bool tiFrameworkTerminated();

// The visitor manager of the persistence manager, announced here so that objects can run the standard groups
// (Read, Save, ...) without knowing the manager. Null until announced.
void tiSetDefaultVisitorManager(TtiVisitorManager* mgr);
TtiVisitorManager* tiDefaultVisitorManager();

// Names of the standard groups.
inline constexpr const char* cuStandardTask_Read = "StandardTask_Read";
inline constexpr const char* cuStandardTask_ReadPK = "StandardTask_ReadPK";
inline constexpr const char* cuStandardTask_ReadThis = "StandardTask_ReadThis";
inline constexpr const char* cuStandardTask_Save = "StandardTask_Save";

// Something a visitor can walk. Published read-only property "Caption".
class TtiVisited : public TtiBaseObject {
public:
  TI_CLASS(TtiVisited)
  TtiVisited() = default;

  // Whether a walk expands this object's Object and List properties (true after construction).
  bool GetSelfIterate() const { return selfIterate_; }
  void SetSelfIterate(bool v) { selfIterate_ = v; }
  virtual std::string GetCaption() const { return ClassName(); }

  // Top-down walk (pre-order): this object, then per Object/List row in table order the held object or the
  // list's items in index order, recursively. An object already on the path from the root is not entered
  // again, so a cyclic graph cannot make a walk endless.
  virtual void Iterate(TtiVisitor& visitor);
  // Collects top-down what the visitor accepts, then executes it on them from the last to the first.
  virtual void IterateBottomUp(TtiVisitor& visitor);
  // Clears the list and fills it with every object of the graph that is of the class (or below).
  void FindAllByClass(const TtiClass& cls, std::vector<TtiVisited*>& list);

private:
  void IterateChildren(TtiVisitor& visitor);
  bool selfIterate_ = true;
};

enum TtiIterationStyle : uint8_t { isTopDown = 0, isBottomUp = 1 };

class TtiVisitor : public TtiBaseObject {
public:
  TI_CLASS(TtiVisitor)
  TtiVisitor() = default;

  // Whether to act on Visited (base: true). Descendants' Execute call TtiVisitor::Execute first.
  virtual bool AcceptVisitor() { return true; }
  TtiVisited* GetVisited() const { return visited_; }
  virtual void SetVisited(TtiVisited* v) { visited_ = v; }
  virtual void Execute(TtiVisited* visited) { visited_ = visited; }
  // Class of the controller the visitor manager attaches (base: TtiVisitorCtrlr).
  virtual const TtiClass& VisitorControllerClass() const;

  // Once false, a walk stops descending and visiting.
  bool GetContinueVisiting() const { return continueVisiting_; }
  void SetContinueVisiting(bool v) { continueVisiting_ = v; }
  TtiVisitorCtrlr* GetVisitorController() const { return controller_; }
  void SetVisitorController(TtiVisitorCtrlr* c) { controller_ = c; }
  // 1 for the root of a top-down walk, +1 per level.
  int GetDepth() const { return depth_; }
  void SetDepth(int d) { depth_ = d; }
  // 0 = top-down (Iterate), anything else bottom-up (IterateBottomUp).
  uint8_t GetIterationStyle() const { return iterationStyle_; }
  void SetIterationStyle(uint8_t s) { iterationStyle_ = s; }
  // The object whose properties the walk is expanding (null at the root).
  TtiVisited* GetWalkParent() const { return walkParent_; }
  void SetWalkParent(TtiVisited* p) { walkParent_ = p; }
  // The list whose items the walk is handing over (null for the root and for objects held by Object rows).
  TtiObjectList* GetWalkList() const { return walkList_; }
  void SetWalkList(TtiObjectList* l) { walkList_ = l; }

private:
  friend class TtiVisited;
  TtiVisited* visited_ = nullptr;
  bool continueVisiting_ = true;
  TtiVisitorCtrlr* controller_ = nullptr;
  int depth_ = 0;
  uint8_t iterationStyle_ = isTopDown;
  TtiVisited* walkParent_ = nullptr;
  TtiObjectList* walkList_ = nullptr;
  std::vector<const TtiVisited*> path_;  // objects being expanded, root first (cycle guard)
};

using TtiVisitors = std::vector<TtiVisitor*>;

// Hooks around one run of a visitor group; one instance per controller class per run.
class TtiVisitorCtrlr : public TtiBaseObject {
public:
  TI_CLASS(TtiVisitorCtrlr)
  TtiVisitorCtrlr() = default;
  virtual void SetPerLayerName(const std::string& name) { perLayerName_ = name; }
  const std::string& GetPerLayerName() const { return perLayerName_; }
  void SetDatabaseName(const std::string& name) { databaseName_ = name; }
  const std::string& GetDatabaseName() const { return databaseName_; }
  // The object the run's visitors walk (null when they are called without one).
  void SetVisitedRoot(TtiVisited* root) { root_ = root; }
  TtiVisited* GetVisitedRoot() const { return root_; }

  // `visitors`: this run's visitors whose VisitorControllerClass is exactly this controller's class.
  // A controller whose BeforeExecute raises must undo its own partial work itself; the manager then calls
  // AfterExecuteError on every controller whose BeforeExecute had completed, once.
  virtual void BeforeExecute(const TtiVisitors& visitors) { (void)visitors; }
  virtual void BeforeVisit(TtiVisitor& visitor) { (void)visitor; }
  virtual void AfterVisit(TtiVisitor& visitor) { (void)visitor; }
  virtual void AfterExecute(const TtiVisitors& visitors) { (void)visitors; }
  virtual void AfterExecuteError(const TtiVisitors& visitors) { (void)visitors; }

private:
  std::string perLayerName_;
  std::string databaseName_;
  TtiVisited* root_ = nullptr;
};

// A visitor that writes text. Lines end with CR LF.
class TVisStream : public TtiVisitor {
public:
  TI_CLASS(TVisStream)
  TVisStream() = default;
  virtual void Write(const std::string& text);
  virtual void WriteLn(const std::string& text = {});
  // The text the visitor appends to (not owned).
  virtual void SetStream(std::string* stream) { stream_ = stream; }

protected:
  std::string* stream_ = nullptr;
};

// A TVisStream with its own text.
class TVisStringStream : public TVisStream {
public:
  TI_CLASS(TVisStringStream)
  TVisStringStream() { TVisStream::SetStream(&own_); }
  const std::string& Text() const { return own_; }
  std::string TakeText() { return std::move(own_); }

private:
  std::string own_;
};

class TVisFindAllByClass : public TtiVisitor {
public:
  TI_CLASS(TVisFindAllByClass)
  TVisFindAllByClass() = default;
  TVisFindAllByClass(const TtiClass* cls, std::vector<TtiVisited*>* list) : cls_(cls), list_(list) {}
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;

private:
  const TtiClass* cls_ = nullptr;
  std::vector<TtiVisited*>* list_ = nullptr;
};

// Runs named groups of visitor classes. Group names are compared in upper case; a group runs its classes in
// registration order (a class registered twice runs twice).
class TtiVisitorManager : public TtiBaseObject {
public:
  TI_CLASS(TtiVisitorManager)
  TtiVisitorManager() = default;
  ~TtiVisitorManager() override = default;

  // `visitorClass` must be a concrete TtiVisitor class (EtiPerProgrammerException otherwise).
  void RegisterVisitor(const std::string& groupName, const TtiClass& visitorClass);
  // Same with the class named by type; refuses a class that does not declare its own descriptor (TI_CLASS),
  // which would otherwise register its parent.
  template <class T>
  void RegisterVisitor(const std::string& groupName) {
    if (T::StaticClass().Type() != std::type_index(typeid(T)))
      throw EtiPerProgrammerException("Visitor class registered in <%s> does not declare its class (TI_CLASS)",
                                      {groupName});
    RegisterVisitor(groupName, T::StaticClass());
  }
  // Removes every mapping of the group (for tests and for units that unload).
  void UnRegisterVisitors(const std::string& groupName);
  // Whether the group has a visitor class (ignoring case).
  bool HasGroup(const std::string& groupName) const;

  // Runs the group over `visited` (may be null: each visitor's Execute is then called once with null).
  // Empty names take the defaults (see SetDefaultNamesResolver). Returns "" or, when a failure is not
  // re-raised, its message.
  std::string Execute(const std::string& groupName, TtiVisited* visited, const std::string& dbName = {},
                      const std::string& layerName = {});

  bool GetReRaiseExceptions() const { return reRaise_; }
  void SetReRaiseExceptions(bool v) { reRaise_ = v; }
  // Installed by the persistence manager: fills an empty database name / layer name with its defaults.
  void SetDefaultNamesResolver(std::function<void(std::string& dbName, std::string& layerName)> f) {
    resolveDefaults_ = std::move(f);
  }
  // Ids of non-main threads currently inside Execute.
  std::vector<std::thread::id> ActiveThreads() const;
  // Number of mappings (group, class).
  size_t MappingCount() const { return mappings_.size(); }

private:
  struct Mapping {
    std::string GroupName;  // upper case
    const TtiClass* VisitorClass;
  };
  void RunGroup(const std::string& upperGroup, TtiVisited* visited, const std::string& dbName,
                const std::string& layerName);
  std::vector<Mapping> mappings_;
  std::function<void(std::string&, std::string&)> resolveDefaults_;
  mutable std::mutex threadsLock_;
  std::vector<std::thread::id> threads_;
  bool reRaise_ = true;
};

}  // namespace kelvado

#include "framework/tiVisitor.h"

#include <algorithm>
#include <atomic>
#include <cctype>

#include "framework/tiLog.h"
#include "framework/tiObject.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace {

std::atomic<bool> gTerminated{false};
std::atomic<TtiVisitorManager*> gDefaultVisMgr{nullptr};
// The thread that started the program (static initialisation runs on it).
const std::thread::id gMainThread = std::this_thread::get_id();

bool OnPath(const std::vector<const TtiVisited*>& path, const TtiVisited* o) {
  return std::find(path.begin(), path.end(), o) != path.end();
}

}  // namespace

void tiSetFrameworkTerminated(bool terminated) { gTerminated.store(terminated); }
bool tiFrameworkTerminated() { return gTerminated.load(std::memory_order_relaxed); }
void tiSetDefaultVisitorManager(TtiVisitorManager* mgr) { gDefaultVisMgr.store(mgr); }
TtiVisitorManager* tiDefaultVisitorManager() { return gDefaultVisMgr.load(); }

// ---- TtiVisited ----

const TtiClass& TtiVisited::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiVisited, TtiBaseObject>(), "TtiVisited",
                          [](TtiPropTableBuilder<TtiVisited>& b) { b.String("Caption", &TtiVisited::GetCaption); });
  return c;
}

void TtiVisited::Iterate(TtiVisitor& visitor) {
  if (tiFrameworkTerminated() || !visitor.continueVisiting_) return;
  const bool root = visitor.path_.empty();
  TtiVisited* const savedParent = visitor.walkParent_;
  TtiObjectList* const savedList = visitor.walkList_;
  visitor.depth_++;
  visitor.path_.push_back(this);
  try {
    visitor.Execute(this);
    if (selfIterate_ && !tiFrameworkTerminated()) IterateChildren(visitor);
  } catch (...) {
    // Leave the visitor usable: the next walk starts clean.
    visitor.path_.clear();
    visitor.walkParent_ = savedParent;
    visitor.walkList_ = savedList;
    visitor.depth_ = 0;
    throw;
  }
  visitor.path_.pop_back();
  if (root) visitor.path_.clear();
  visitor.walkParent_ = savedParent;
  visitor.walkList_ = savedList;
  visitor.depth_--;
}

void TtiVisited::IterateChildren(TtiVisitor& visitor) {
  visitor.walkParent_ = this;
  for (const TtiPropInfo* row : Class().Props().ObjectRows()) {
    if (!visitor.continueVisiting_ || tiFrameworkTerminated()) break;
    if (row->Kind() == TtiPropKind::Object) {
      TtiVisited* child = row->RawObject(*this);
      if (!child || OnPath(visitor.path_, child)) continue;
      visitor.walkList_ = nullptr;
      child->Iterate(visitor);
    } else {
      TtiObjectList* list = row->RawList(*this);
      if (!list) continue;
      // Index access each time: a visitor may add to the list it walks; items added are walked too.
      for (int i = 0; i < list->GetCount(); ++i) {
        if (!visitor.continueVisiting_ || tiFrameworkTerminated()) break;
        TtiObject* item = list->GetItems(i);
        if (!item || OnPath(visitor.path_, item)) continue;
        visitor.walkList_ = list;
        item->Iterate(visitor);
      }
    }
  }
}

namespace {

// Records what the wrapped visitor accepts during a top-down walk.
class TtiVisGetAllToVisit : public TtiVisitor {
public:
  struct Entry {
    TtiVisited* Object;
    TtiVisited* Parent;
    TtiObjectList* List;
    int Depth;
  };
  explicit TtiVisGetAllToVisit(TtiVisitor& wrapped) : wrapped_(wrapped) {}
  void Execute(TtiVisited* visited) override {
    TtiVisitor::Execute(visited);
    wrapped_.SetVisited(visited);
    wrapped_.SetWalkParent(GetWalkParent());
    wrapped_.SetWalkList(GetWalkList());
    if (wrapped_.AcceptVisitor()) entries.push_back({visited, GetWalkParent(), GetWalkList(), GetDepth()});
  }
  std::vector<Entry> entries;

private:
  TtiVisitor& wrapped_;
};

}  // namespace

void TtiVisited::IterateBottomUp(TtiVisitor& visitor) {
  if (tiFrameworkTerminated() || !visitor.GetContinueVisiting()) return;
  TtiVisGetAllToVisit all(visitor);
  Iterate(all);
  for (auto it = all.entries.rbegin(); it != all.entries.rend(); ++it) {
    visitor.SetWalkParent(it->Parent);
    visitor.SetWalkList(it->List);
    visitor.SetDepth(it->Depth);
    visitor.Execute(it->Object);
  }
  visitor.SetWalkParent(nullptr);
  visitor.SetWalkList(nullptr);
  visitor.SetDepth(0);
}

void TtiVisited::FindAllByClass(const TtiClass& cls, std::vector<TtiVisited*>& list) {
  list.clear();
  TVisFindAllByClass v(&cls, &list);
  Iterate(v);
}

// ---- visitors ----

const TtiClass& TtiVisitor::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiVisitor, TtiBaseObject>(), "TtiVisitor");
  return c;
}

const TtiClass& TtiVisitor::VisitorControllerClass() const { return TtiVisitorCtrlr::StaticClass(); }

const TtiClass& TtiVisitorCtrlr::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiVisitorCtrlr, TtiBaseObject>(), "TtiVisitorCtrlr");
  return c;
}

const TtiClass& TVisStream::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisStream, TtiVisitor>(), "TVisStream");
  return c;
}

void TVisStream::Write(const std::string& text) {
  if (stream_) stream_->append(text);
}

void TVisStream::WriteLn(const std::string& text) {
  if (!stream_) return;
  stream_->append(text);
  stream_->append("\r\n");
}

const TtiClass& TVisStringStream::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisStringStream, TVisStream>(), "TVisStringStream");
  return c;
}

const TtiClass& TVisFindAllByClass::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisFindAllByClass, TtiVisitor>(), "TVisFindAllByClass");
  return c;
}

bool TVisFindAllByClass::AcceptVisitor() {
  return GetVisited() && cls_ && GetVisited()->InheritsFrom(*cls_);
}

void TVisFindAllByClass::Execute(TtiVisited* visited) {
  TtiVisitor::Execute(visited);
  if (AcceptVisitor() && list_) list_->push_back(visited);
}

// ---- TtiVisitorManager ----

const TtiClass& TtiVisitorManager::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiVisitorManager, TtiBaseObject>(), "TtiVisitorManager");
  return c;
}

void TtiVisitorManager::RegisterVisitor(const std::string& groupName, const TtiClass& visitorClass) {
  if (!visitorClass.InheritsFrom(TtiVisitor::StaticClass()) || visitorClass.IsAbstract())
    throw EtiPerProgrammerException("Attempt to register <%s> in visitor group <%s>: not a concrete visitor class",
                                    {visitorClass.Name(), groupName});
  mappings_.push_back({UpperAscii(groupName), &visitorClass});
}

void TtiVisitorManager::UnRegisterVisitors(const std::string& groupName) {
  std::string g = UpperAscii(groupName);
  std::erase_if(mappings_, [&](const Mapping& m) { return m.GroupName == g; });
}

bool TtiVisitorManager::HasGroup(const std::string& groupName) const {
  const std::string g = UpperAscii(groupName);
  return std::any_of(mappings_.begin(), mappings_.end(), [&](const Mapping& m) { return m.GroupName == g; });
}

std::vector<std::thread::id> TtiVisitorManager::ActiveThreads() const {
  std::lock_guard<std::mutex> lock(threadsLock_);
  return threads_;
}

std::string TtiVisitorManager::Execute(const std::string& groupName, TtiVisited* visited, const std::string& dbName,
                                       const std::string& layerName) {
  if (tiFrameworkTerminated()) return {};
  const std::thread::id self = std::this_thread::get_id();
  const bool mainThread = self == gMainThread;
  bool listed = false;
  if (!mainThread) {
    std::lock_guard<std::mutex> lock(threadsLock_);
    if (std::find(threads_.begin(), threads_.end(), self) == threads_.end()) {
      threads_.push_back(self);
      listed = true;
    }
  }
  // Unlisted on every way out, also when the failure is re-raised.
  struct Unlist {
    TtiVisitorManager& m;
    std::thread::id id;
    bool active;
    ~Unlist() {
      if (!active || tiFrameworkTerminated()) return;
      std::lock_guard<std::mutex> lock(m.threadsLock_);
      std::erase(m.threads_, id);
    }
  } unlist{*this, self, listed};

  Log("About to process visitors for <" + groupName + ">", lsVisitor);
  std::string db = dbName, layer = layerName;
  if ((db.empty() || layer.empty()) && resolveDefaults_) resolveDefaults_(db, layer);

  std::string result;
  try {
    RunGroup(UpperAscii(groupName), visited, db, layer);
  } catch (const std::exception& e) {
    result = e.what();
    LogError(result);
    if (reRaise_) throw;
  }
  // Also after a failure that is handed back as the result text.
  Log("Finished process visitors for <" + groupName + ">", lsVisitor);
  return result;
}

void TtiVisitorManager::RunGroup(const std::string& upperGroup, TtiVisited* visited, const std::string& dbName,
                                 const std::string& layerName) {
  std::vector<std::unique_ptr<TtiVisitor>> visitors;
  for (const Mapping& m : mappings_)
    if (m.GroupName == upperGroup) visitors.push_back(m.VisitorClass->CreateAs<TtiVisitor>());

  Log("Getting visitor controllers", lsVisitor);
  std::vector<std::unique_ptr<TtiVisitorCtrlr>> controllers;
  for (auto& v : visitors) {
    const TtiClass& cc = v->VisitorControllerClass();
    TtiVisitorCtrlr* found = nullptr;
    for (auto& c : controllers)
      if (c->ClassName() == cc.Name()) found = c.get();
    if (!found) {
      auto c = cc.CreateAs<TtiVisitorCtrlr>();
      c->SetPerLayerName(layerName);
      c->SetDatabaseName(dbName);
      c->SetVisitedRoot(visited);
      found = c.get();
      controllers.push_back(std::move(c));
    }
    v->SetVisitorController(found);
  }
  Log("Done getting visitor controllers", lsVisitor);
  Log("Visitor count: " + std::to_string(visitors.size()) + " VisitorMgr count: " + std::to_string(controllers.size()),
      lsVisitor);

  // The visitors of each controller: those whose controller class is exactly the controller's class.
  auto visitorsOf = [&](const TtiVisitorCtrlr& c) {
    TtiVisitors list;
    for (auto& v : visitors)
      if (&v->VisitorControllerClass() == &c.Class()) list.push_back(v.get());
    return list;
  };
  // AfterExecuteError on the first `count` controllers, each once; a hook that fails itself does not keep the
  // others from releasing what they hold. The original failure goes on.
  auto afterError = [&](size_t count) {
    for (size_t i = 0; i < count; ++i) {
      try {
        controllers[i]->AfterExecuteError(visitorsOf(*controllers[i]));
      } catch (const std::exception& e) {
        LogError("AfterExecuteError of " + controllers[i]->ClassName() + " failed: " + e.what());
      }
    }
  };

  // A controller whose BeforeExecute fails has undone its own work; those before it have locked and begun
  // theirs and must be released.
  size_t begun = 0;
  try {
    for (; begun < controllers.size(); ++begun) controllers[begun]->BeforeExecute(visitorsOf(*controllers[begun]));
  } catch (...) {
    afterError(begun);
    throw;
  }

  try {
    for (auto& v : visitors) {
      if (tiFrameworkTerminated()) break;
      TtiVisitorCtrlr& c = *v->GetVisitorController();
      c.BeforeVisit(*v);
      if (!visited) v->Execute(nullptr);
      else if (v->GetIterationStyle() == isTopDown) visited->Iterate(*v);
      else visited->IterateBottomUp(*v);
      if (!tiFrameworkTerminated()) c.AfterVisit(*v);
    }
    for (auto& c : controllers) c->AfterExecute(visitorsOf(*c));
  } catch (...) {
    afterError(controllers.size());
    throw;
  }
}

}  // namespace kelvado

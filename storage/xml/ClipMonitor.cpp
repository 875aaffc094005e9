#include "storage/xml/ClipMonitor.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "framework/tiExcept.h"
#include "framework/tiLog.h"
#include "framework/tiPerManager.h"
#include "framework/tiQueryXMLLight.h"
#include "framework/tiXMLLight.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/Exceptions.h"
#include "model/GlobalsConfig.h"
#include "platform/TextCase.h"
#include "storage/xml/VisitorsXML.h"
#include "storage/xml/XMLTables.h"

namespace kelvado {

namespace {

constexpr const char* kUser = "zilk";
constexpr const char* kPassword = "zilk";
constexpr const char* kUnknownFormat = "unknown";

// The kinds in the order a classification tries them, with their node and list classes.
struct TKind {
  uint8_t Kind;
  const TtiClass& (*Item)();
  const TtiClass& (*List)();
};

template <class T>
const TtiClass& ClassOf() {
  return T::StaticClass();
}

constexpr TKind kKinds[] = {
    {ckProject, &ClassOf<TProjectOp>, &ClassOf<TProjectOpList>},
    {ckSF, &ClassOf<TSFOp>, &ClassOf<TSFOpList>},
    {ckComponent, &ClassOf<TComponentOp>, &ClassOf<TComponentOpList>},
    {ckBloc, &ClassOf<TBlocOp>, &ClassOf<TBlocOpList>},
    {ckElement, &ClassOf<TElementOp>, &ClassOf<TElementOpList>},
    {ckCCFMeasure, &ClassOf<TCCFMeasureOp>, &ClassOf<TCCFMeasureOpList>},
    {ckDCMeasure, &ClassOf<TDCMeasureOp>, &ClassOf<TDCMeasureOpList>},
};

const TKind* KindOfClass(const TtiClass* cls) {
  for (const TKind& k : kKinds)
    if (cls == &k.Item()) return &k;
  return nullptr;
}

// The caption of the list of items of that class ("Subsysteme"), for messages.
std::string ItemsCaption(const TtiClass* cls) {
  const TKind* k = KindOfClass(cls);
  if (!k) return cls ? cls->Name() : std::string();
  return k->List().CreateAs<TtiObject>()->GetCaption();
}

int CountNotDeleted(const TtiObjectList& list) {
  int n = 0;
  for (const TtiObject* o : list)
    if (!o->GetDeleted()) ++n;
  return n;
}

// Removes every object of the graph that is marked deleted from the list holding it (with everything it owns).
void RemoveDeleted(TtiObject& root) {
  for (bool removed = true; removed;) {
    removed = false;
    std::vector<TtiVisited*> lists;
    root.FindAllByClass(TtiObjectList::StaticClass(), lists);
    for (TtiVisited* v : lists) {
      auto* list = static_cast<TtiObjectList*>(v);
      if (!list->OwnsObjects()) continue;
      for (int i = list->GetCount() - 1; i >= 0; --i)
        if (list->GetItems(i)->GetDeleted()) {
          list->Delete(i);
          removed = true;
        }
      // What the removed items owned (lists among them) is gone: look again from the start.
      if (removed) break;
    }
  }
}

// Every object of the graph new: posCreate with a new identifier.
void MakeAllNew(TtiObject& root) {
  TVisSetObjectStateByClass toCreate(nullptr, posCreate);
  root.Iterate(toCreate);
}

// The list items of a paste go to: the target list itself, or the child list of a node.
TtiObjectList* PasteDestination(TtiObject& target) {
  if (auto* list = dynamic_cast<TtiObjectList*>(&target)) return list;
  if (auto* node = dynamic_cast<TNodeInner*>(&target)) return node->GetList();
  return nullptr;
}

std::string ReasonOf(const std::exception& e) { return e.what(); }

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// The store's port

bool TClipMonitor::TStorePort::ReadClipboardText(std::string& text) {
  // A copy starts from an empty store: nothing of what the clipboard held before may end up in it.
  if (monitor_.copying_) return false;
  if (!monitor_.GetKVDDataAvailable() && !monitor_.isTestData_) return false;
  text = monitor_.GetKVDData();
  return true;
}

void TClipMonitor::TStorePort::WriteClipboardText(const std::string& text) { monitor_.SetKVDData(text); }

// ---------------------------------------------------------------------------------------------------------
// Life

TClipMonitor::TClipMonitor() : layerName_(cTIPersistCB), fileName_(GetXmlCBFileName()) {
  Board();
  EnsureStore();
  tiPerMgr().CreateDatabase(fileName_, kUser, kPassword, layerName_);
  tiSetCBStorePort(&port_);
}

TClipMonitor::~TClipMonitor() {
  if (tiCBStorePort() == &port_) tiSetCBStorePort(nullptr);
  // Watchers of a clipboard replaced meanwhile went with it.
  if (watcherId_ && ClipboardGeneration() == clipboardGeneration_) Clipboard().RemoveWatcher(watcherId_);
  try {
    if (tiPerMgrAssigned() && tiPerMgr().GetPersistenceLayers().IsLoaded(layerName_))
      tiPerMgr().UnLoadPersistenceLayer(layerName_);
  } catch (const std::exception& e) {
    LogError(std::string("The clipboard's persistence layer could not be unloaded: ") + e.what());
  }
}

TClipboard& TClipMonitor::Board() {
  TClipboard& board = Clipboard();
  if (clipboardGeneration_ != ClipboardGeneration()) {
    // Another clipboard now: the old one and the watcher on it are gone.
    clipboardGeneration_ = ClipboardGeneration();
    format_ = board.RegisterFormat(cClipFormatKVD);
    watcherId_ = 0;
    lastSequence_ = 0;
    if (viewerActive_) watcherId_ = board.AddWatcher([this] { OnDrawClipboard(); });
  }
  return board;
}

void TClipMonitor::EnsureStore() {
  TtiPersistenceLayers& layers = tiPerMgr().GetPersistenceLayers();
  if (!layers.IsLoaded(layerName_)) {
    if (SameTextAscii(layerName_, cTIPersistCB)) RegisterPersistenceLayerCB();
    else if (SameTextAscii(layerName_, cTIPersistXMLLight)) RegisterPersistenceLayerXMLLight();
  }
  RegisterVisitorsXML();
}

void TClipMonitor::Connect() { tiPerMgr().ConnectDatabase(fileName_, kUser, kPassword, {}, layerName_); }

void TClipMonitor::Disconnect() noexcept {
  try {
    tiPerMgr().DisconnectDatabase(fileName_, layerName_);
  } catch (const std::exception& e) {
    LogError(std::string("The clipboard's store could not be disconnected: ") + e.what());
  }
}

// ---------------------------------------------------------------------------------------------------------
// Watching

void TClipMonitor::Join() {
  TClipboard& board = Board();
  viewerActive_ = true;
  if (!watcherId_) watcherId_ = board.AddWatcher([this] { OnDrawClipboard(); });
}

void TClipMonitor::Leave() {
  TClipboard& board = Board();
  viewerActive_ = false;
  if (watcherId_) board.RemoveWatcher(watcherId_);
  watcherId_ = 0;
}

bool TClipMonitor::GetClipChangeStatus() const { return activeHandler_ ? viewerActive_ : false; }

void TClipMonitor::SetClipChangeStatus(bool value) {
  if (!value) {
    activeHandler_ = nullptr;
    Leave();
    return;
  }
  activeHandler_ = onKVDDataChange_;
  Join();
  // Joining tells the new watcher what the clipboard holds, when that changed since it last looked (never
  // again for a change it has handled: classifying turns watching off and on).
  if (Board().SequenceNumber() != lastSequence_) OnDrawClipboard();
}

void TClipMonitor::CheckClipboard() {
  TClipboard& board = Board();
  board.Poll();
  if (board.SequenceNumber() != lastSequence_) OnDrawClipboard();
}

void TClipMonitor::OnDrawClipboard() {
  TClipboard& board = Board();
  lastSequence_ = board.SequenceNumber();
  if (board.HasFormat(format_)) {
    OnClipboardChanged();
  } else {
    data_.clear();
    // A clipboard file that cannot be read holds nothing, but the user is told why, not "no items".
    lastError_ = board.LastError();
    formatName_ = kUnknownFormat;
    SetContentKind(ckNone);
  }
}

void TClipMonitor::OnClipboardChanged() {
  std::optional<std::string> bytes = Board().GetData(format_);
  lastError_.clear();
  uint8_t kind = ckNone;
  if (!bytes || bytes->empty()) {
    data_.clear();
  } else if (static_cast<int64_t>(bytes->size()) > tiXMLLightMaxDocumentSize) {
    data_.clear();
    lastError_ = "the clipboard holds " + std::to_string(bytes->size()) + " bytes, more than the " +
                 std::to_string(tiXMLLightMaxDocumentSize) + " a paste reads";
  } else if (!tiIsXMLLightDocument(*bytes, tiXMLTags())) {
    data_.clear();
    lastError_ = "the clipboard's " + std::string(cClipFormatKVD) +
                 " data is no complete document (it is cut short or of another kind)";
  } else {
    data_ = std::move(*bytes);
    formatName_ = cClipFormatKVD;
    kind = ClassifyClipboard();
  }
  if (kind == ckNone) {
    data_.clear();
    formatName_ = kUnknownFormat;
  }
  SetContentKind(kind);
}

void TClipMonitor::SetContentKind(uint8_t kind) {
  if (kind == contentKind_ && isTestData_) return;
  contentKind_ = kind;
  if (onKVDDataChange_) onKVDDataChange_(*this);
}

uint8_t TClipMonitor::ClassifyClipboard() {
  SetClipChangeStatus(false);
  isTestData_ = true;
  uint8_t kind = ckNone;
  std::string error;
  try {
    EnsureStore();
    Connect();
  } catch (const std::exception& e) {
    lastError_ = ReasonOf(e);
    isTestData_ = false;
    SetClipChangeStatus(true);
    return ckNone;
  }
  try {
    for (const TKind& k : kKinds) {
      std::unique_ptr<TtiObjectList> list = k.List().CreateAs<TtiObjectList>();
      // A list that cannot be read ends the look: taking it as empty would let the document pass for items
      // of a kind further down (the measures of a subsystem whose row is damaged).
      tiPerMgr().GetVisitorManager().Execute(cTask_ReadXML, list.get(), fileName_, layerName_);
      if (CountNotDeleted(*list) > 0) {
        kind = k.Kind;
        break;
      }
    }
  } catch (const std::exception& e) {
    kind = ckNone;
    error = ReasonOf(e);
  }
  Disconnect();
  isTestData_ = false;
  lastError_ = error;
  SetClipChangeStatus(true);
  return kind;
}

// ---------------------------------------------------------------------------------------------------------
// Published values

std::string TClipMonitor::GetKVDData() const { return contentKind_ == ckNone && !isTestData_ ? std::string() : data_; }

void TClipMonitor::SetKVDData(const std::string& text) {
  if (copying_) {
    // The document goes to the clipboard when the copy is complete, never a part of it.
    pending_ = text;
    return;
  }
  if (isTestData_ || isPasteData_ || text.empty()) return;
  Board().SetData(format_, text);
}

bool TClipMonitor::GetKVDDataAvailable() const { return !data_.empty() && contentKind_ != ckNone; }

uint8_t TClipMonitor::ContentKind() const {
  if (isTestData_) return ckNone;
  return GetKVDDataAvailable() ? contentKind_ : ckNone;
}

const TtiClass* TClipMonitor::ContentClass() const {
  return GetKVDDataAvailable() ? KindToClass(contentKind_) : nullptr;
}

const TtiClass* TClipMonitor::KindToClass(uint8_t kind) {
  for (const TKind& k : kKinds)
    if (k.Kind == kind) return &k.Item();
  return nullptr;
}

const TtiClass* TClipMonitor::AcceptedPasteClass(const TtiObject* target) {
  if (!target) return nullptr;
  struct TRule {
    const TtiClass& (*Target)();
    const TtiClass& (*Accepted)();
  };
  static constexpr TRule kRules[] = {
      {&ClassOf<TProjectOpList>, &ClassOf<TProjectOp>}, {&ClassOf<TSFOpList>, &ClassOf<TSFOp>},
      {&ClassOf<TComponentOpList>, &ClassOf<TComponentOp>}, {&ClassOf<TBlocOpList>, &ClassOf<TBlocOp>},
      {&ClassOf<TElementOpList>, &ClassOf<TElementOp>}, {&ClassOf<TProjectOp>, &ClassOf<TSFOp>},
      {&ClassOf<TSFOp>, &ClassOf<TComponentOp>},          {&ClassOf<TChannelOp>, &ClassOf<TBlocOp>},
      {&ClassOf<TBlocOp>, &ClassOf<TElementOp>},
  };
  for (const TRule& r : kRules)
    if (target->InheritsFrom(r.Target())) return &r.Accepted();
  return nullptr;
}

std::unique_ptr<TtiObjectList> TClipMonitor::NewPasteList(const TtiObject* target) {
  const TtiClass* accepted = AcceptedPasteClass(target);
  if (!accepted) return nullptr;
  if (dynamic_cast<const TtiObjectList*>(target)) return target->Class().CreateAs<TtiObjectList>();
  const TKind* k = KindOfClass(accepted);
  return k ? k->List().CreateAs<TtiObjectList>() : nullptr;
}

// ---------------------------------------------------------------------------------------------------------
// Copy, cut, paste

void TClipMonitor::CopyToClipboard(TtiObject& item) {
  SetClipChangeStatus(false);
  copying_ = true;
  pending_.reset();
  bool connected = false;
  try {
    EnsureStore();
    Connect();
    connected = true;
    CreateXMLTables(fileName_, layerName_);
    ResetXMLTables(fileName_, layerName_);
    std::unique_ptr<TtiObject> clone = item.Clone();
    RemoveDeleted(*clone);
    clone->SetOwner(nullptr);
    MakeAllNew(*clone);
    if (auto* projectOp = dynamic_cast<TProjectOp*>(clone.get()))
      if (TProject* project = projectOp->GetProject()) project->SetFileName("");
    tiPerMgr().GetVisitorManager().Execute(cTask_SaveXML, clone.get(), fileName_, layerName_);
  } catch (const std::exception& e) {
    if (connected) Disconnect();
    copying_ = false;
    pending_.reset();
    SetClipChangeStatus(true);
    throw EIOError(msgClipCopyFailed, {ReasonOf(e)});
  }
  Disconnect();
  copying_ = false;
  std::optional<std::string> text = std::move(pending_);
  pending_.reset();
  try {
    if (text) SetKVDData(*text);
  } catch (const std::exception& e) {
    SetClipChangeStatus(true);
    throw EIOError(msgClipCopyFailed, {ReasonOf(e)});
  }
  SetClipChangeStatus(true);
  if (onKVDDataChange_) onKVDDataChange_(*this);
}

void TClipMonitor::CutToClipboard(TtiObject& item) {
  CopyToClipboard(item);
  item.SetDeleted(true);
}

void TClipMonitor::PasteFromClipboard(TtiObject& target) {
  std::unique_ptr<TtiObjectList> list = NewPasteList(&target);
  TtiObjectList* destination = PasteDestination(target);
  if (!list || !destination) return;
  CheckClipboard();
  if (!GetKVDDataAvailable()) {
    if (!lastError_.empty()) throw EIOError(msgClipUnreadable, {lastError_});
    throw EIOError(msgClipNoItems);
  }
  const TtiClass* accepted = AcceptedPasteClass(&target);
  if (ContentClass() != accepted) throw EIOError(msgClipWrongTarget, {ItemsCaption(ContentClass()), ItemsCaption(accepted)});

  isPasteData_ = true;
  SetClipChangeStatus(false);
  std::vector<std::unique_ptr<TtiObject>> clones;
  bool connected = false;
  try {
    EnsureStore();
    Connect();
    connected = true;
    // Nothing of the document is taken unless all of it can be: tables and columns a project file has, rows
    // that form a tree.
    CheckXMLTables(fileName_, layerName_);
    tiPerMgr().GetVisitorManager().Execute(cTask_ReadXML, list.get(), fileName_, layerName_);
    Disconnect();
    connected = false;
    for (TtiObject* item : *list) {
      if (item->GetDeleted()) continue;
      std::unique_ptr<TtiObject> clone = item->Clone();
      // The whole graph new, so that a second paste of the same items never shares an identifier with the
      // first and every pasted object is written with its project.
      MakeAllNew(*clone);
      clones.push_back(std::move(clone));
    }
  } catch (const std::exception& e) {
    if (connected) Disconnect();
    isPasteData_ = false;
    SetClipChangeStatus(true);
    throw EIOError(msgClipUnreadable, {ReasonOf(e)});
  }
  isPasteData_ = false;
  SetClipChangeStatus(true);
  if (clones.empty()) throw EIOError(msgClipNoItems);
  for (auto& clone : clones) destination->Add(std::move(clone));
}

// ---------------------------------------------------------------------------------------------------------
// The singleton

namespace {

std::atomic<bool> gShutdown{false};

struct TMonitorHolder {
  std::mutex lock;
  std::unique_ptr<TClipMonitor> monitor;
  ~TMonitorHolder() {
    gShutdown.store(true);
    std::unique_ptr<TClipMonitor> m;
    {
      std::lock_guard<std::mutex> g(lock);
      m = std::move(monitor);
    }
  }
};

TMonitorHolder& Holder() {
  // The persistence manager is made first, so that it is freed after the monitor (which unloads its layer).
  static const bool deps = [] {
    tiPerMgrAssigned();
    return true;
  }();
  (void)deps;
  static TMonitorHolder h;
  return h;
}

}  // namespace

TClipMonitor& GetClipMonitor() {
  if (gShutdown.load()) throw Exception("ClipMonitor is Shutdown!");
  TMonitorHolder& h = Holder();
  std::lock_guard<std::mutex> g(h.lock);
  if (!h.monitor) {
    auto monitor = std::make_unique<TClipMonitor>();
    monitor->SetLayerName(GetXmlCBPersistenceLayerName());
    h.monitor = std::move(monitor);
  }
  return *h.monitor;
}

bool ClipMonitorIsShutdown() { return gShutdown.load(); }

void ClipMonitorShutdown() {
  TMonitorHolder& h = Holder();
  std::unique_ptr<TClipMonitor> m;
  {
    std::lock_guard<std::mutex> g(h.lock);
    m = std::move(h.monitor);
  }
}

void ClipMonitorFinalize() {
  gShutdown.store(true);
  ClipMonitorShutdown();
}

}  // namespace kelvado

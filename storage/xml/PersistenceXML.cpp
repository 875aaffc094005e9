#include "storage/xml/PersistenceXML.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "framework/tiLog.h"
#include "framework/tiPerManager.h"
#include "framework/tiQueryXML.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/GlobalsConfig.h"
#include "model/MetaData.h"
#include "platform/FileIO.h"
#include "platform/TextCase.h"
#include "storage/db/GlobalsPer.h"
#include "storage/db/VersionMgr.h"
#include "storage/xml/VisitorsXML.h"
#include "storage/xml/XMLTables.h"

namespace kelvado {

namespace {

// User name and password of XML stores: placeholders the layer ignores.
const char* const kUser = "zilk";
const char* const kPassword = "zilk";

// The modification time of a file; valid is false when it cannot be read.
struct TFileTime {
  bool Valid = false;
  timespec Time{};
};

TFileTime FileTime(const std::string& name) {
  TFileTime t;
  struct stat st {};
  if (!name.empty() && ::stat(name.c_str(), &st) == 0) {
    t.Valid = true;
    t.Time = st.st_mtim;
  }
  return t;
}

// Sets the file's modification time back to `before` when it has changed. Nothing writes a file that is only
// read, so this touches nothing in practice; and a file another user owns can still be read.
void RestoreFileTime(const std::string& name, const TFileTime& before) {
  if (!before.Valid) return;
  const TFileTime now = FileTime(name);
  if (!now.Valid || (now.Time.tv_sec == before.Time.tv_sec && now.Time.tv_nsec == before.Time.tv_nsec)) return;
  const timespec times[2] = {{0, UTIME_OMIT}, before.Time};
  if (::utimensat(AT_FDCWD, name.c_str(), times, 0) != 0)
    throw Exception("The modification date of <%s> can not be set back: %s", {name, std::string(std::strerror(errno))});
}

// Gives up what a failed save left in the database's transaction: the file is read again.
void DiscardPending(const std::string& fileName, const std::string& layerName) noexcept {
  try {
    const TDBConnectionLease lease = tiPerMgr().GetPersistenceLayers().LeaseDatabase(fileName, layerName);
    if (lease.Database().InTransaction()) lease.Database().RollBack();
  } catch (const std::exception& e) {
    LogError("Giving up the unsaved changes of <" + fileName + "> failed: " + e.what());
  }
}

}  // namespace

// ---- TXMLMapper_tiPer ----

TXMLMapper_tiPer::TXMLMapper_tiPer(const std::string& LayerName, const std::string& FileName)
    : charset_(GetXmlCharset()), layerName_(LayerName) {
  const std::string file = FileName.empty() ? DefaultProjectFileName() : FileName;
  if (SameTextAscii(layerName_, cTIPersistXML) && !tiPerMgr().GetPersistenceLayers().IsLoaded(layerName_))
    RegisterPersistenceLayerXML();
  tiPerMgr().LoadPersistenceLayer(layerName_);
  if (FileExists(file)) {
    tiPerMgr().ConnectDatabase(file, kUser, kPassword, {}, layerName_);
    fileName_ = file;
  }
  Prepare();
}

TXMLMapper_tiPer::~TXMLMapper_tiPer() {
  if (fileName_.empty() || !tiPerMgrAssigned()) return;
  try {
    TtiPersistenceLayer* layer = tiPerMgr().GetPersistenceLayers().FindByPerLayerName(layerName_);
    if (layer && layer->GetDBConnectionPools().Find(fileName_)) tiPerMgr().DisconnectDatabase(fileName_, layerName_);
  } catch (const std::exception& e) {
    LogError("Disconnecting <" + fileName_ + "> failed: " + e.what());
  }
}

void TXMLMapper_tiPer::PrepareLayer() {
  TtiPerManager& mgr = tiPerMgr();
  TtiPersistenceLayers& layers = mgr.GetPersistenceLayers();
  if (SameTextAscii(layerName_, cTIPersistXML) && !layers.IsLoaded(layerName_)) RegisterPersistenceLayerXML();
  if (!layers.FindByPerLayerName(layerName_))
    throw EtiPerInternalException("Unable to find persistence layer <%s>", {layerName_});
  TtiVisitorManager& vm = mgr.GetVisitorManager();
  if (!vm.HasGroup(cTask_ReadXML) || !vm.HasGroup(cTask_SaveXML)) RegisterVisitorsXML();
}

void TXMLMapper_tiPer::Prepare() {
  PrepareLayer();
  TtiPersistenceLayer* layer = tiPerMgr().GetPersistenceLayers().FindByPerLayerName(layerName_);
  if (!fileName_.empty() && !layer->GetDBConnectionPools().Find(fileName_) && FileExists(fileName_))
    tiPerMgr().ConnectDatabase(fileName_, kUser, kPassword, {}, layerName_);
}

bool TXMLMapper_tiPer::IsXMLStoreLayer() const {
  const TtiPersistenceLayer* layer = tiPerMgr().GetPersistenceLayers().FindByPerLayerName(layerName_);
  return layer && layer->GetDatabaseClass() && layer->GetDatabaseClass()->InheritsFrom(TtiDatabaseXML::StaticClass());
}

void TXMLMapper_tiPer::AttachUnread(const std::string& FileName) noexcept {
  try {
    if (!fileName_.empty() && tiPerMgrAssigned()) {
      TtiPersistenceLayer* layer = tiPerMgr().GetPersistenceLayers().FindByPerLayerName(layerName_);
      if (layer && layer->GetDBConnectionPools().Find(fileName_)) tiPerMgr().DisconnectDatabase(fileName_, layerName_);
    }
  } catch (const std::exception& e) {
    LogError("Letting go of <" + fileName_ + "> failed: " + e.what());
  }
  fileName_ = FileName;
}

void TXMLMapper_tiPer::ReleaseDocument() noexcept {
  if (fileName_.empty() || !tiPerMgrAssigned()) return;
  try {
    if (!IsXMLStoreLayer()) return;
    TtiPersistenceLayer* layer = tiPerMgr().GetPersistenceLayers().FindByPerLayerName(layerName_);
    if (layer->GetDBConnectionPools().Find(fileName_)) tiPerMgr().DisconnectDatabase(fileName_, layerName_);
  } catch (const std::exception& e) {
    LogError("Releasing the document of <" + fileName_ + "> failed: " + e.what());
  }
}

TVersionMgr& TXMLMapper_tiPer::GetVersionMgr() {
  if (versionMgr_) return *versionMgr_;
  if (!ownVersionMgr_) ownVersionMgr_ = std::make_unique<TVersionMgr>();
  return *ownVersionMgr_;
}

namespace {
[[noreturn]] void NoVisitorHooks() { throw ENotImplemented(1012); }
}  // namespace

void TXMLMapper_tiPer::SetOnAfterRead(TNotifyEvent) { NoVisitorHooks(); }
void TXMLMapper_tiPer::SetOnAfterSave(TNotifyEvent) { NoVisitorHooks(); }
void TXMLMapper_tiPer::SetOnBeforeRead(TNotifyEvent) { NoVisitorHooks(); }
void TXMLMapper_tiPer::SetOnBeforeSave(TNotifyEvent) { NoVisitorHooks(); }

template <class T>
bool TXMLMapper_tiPer::ReadObject(T& Obj) {
  Prepare();
  const TFileTime before = FileTime(fileName_);
  try {
    tiPerMgr().GetVisitorManager().Execute(cTask_ReadXML, &Obj, fileName_, layerName_);
  } catch (...) {
    RestoreFileTime(fileName_, before);
    throw;
  }
  RestoreFileTime(fileName_, before);
  return true;
}

template <class T>
bool TXMLMapper_tiPer::ReadList(T& List) {
  // The list readers accept only a list that is empty in the store's sense.
  List.SetObjectState(posEmpty);
  return ReadObject(List);
}

bool TXMLMapper_tiPer::ReadCatConditionOp(TCatConditionOp& Obj) { return ReadObject(Obj); }
bool TXMLMapper_tiPer::ReadCCFMeasureOp(TCCFMeasureOp& Obj) { return ReadObject(Obj); }
bool TXMLMapper_tiPer::ReadDCMeasureOp(TDCMeasureOp& Obj) { return ReadObject(Obj); }
bool TXMLMapper_tiPer::ReadElementOp(TElementOp& Obj) { return ReadObject(Obj); }
bool TXMLMapper_tiPer::ReadBlocOp(TBlocOp& Obj) { return ReadObject(Obj); }
bool TXMLMapper_tiPer::ReadChannelOp(TChannelOp& Obj) { return ReadObject(Obj); }
bool TXMLMapper_tiPer::ReadComponentOp(TComponentOp& Obj) { return ReadObject(Obj); }
bool TXMLMapper_tiPer::ReadSFOp(TSFOp& Obj) { return ReadObject(Obj); }
bool TXMLMapper_tiPer::ReadProjectOp(TProjectOp& Obj) { return ReadObject(Obj); }
bool TXMLMapper_tiPer::ReadCatConditionOpList(TCatConditionOpList& List) { return ReadList(List); }
bool TXMLMapper_tiPer::ReadCCFMeasureOpList(TCCFMeasureOpList& List, bool) { return ReadList(List); }
bool TXMLMapper_tiPer::ReadDCMeasureOpList(TDCMeasureOpList& List, bool) { return ReadList(List); }
bool TXMLMapper_tiPer::ReadElementOpList(TElementOpList& List) { return ReadList(List); }
bool TXMLMapper_tiPer::ReadBlocOpList(TBlocOpList& List) { return ReadList(List); }
bool TXMLMapper_tiPer::ReadChannelOpList(TChannelOpList& List) { return ReadList(List); }
bool TXMLMapper_tiPer::ReadComponentOpList(TComponentOpList& List) { return ReadList(List); }
bool TXMLMapper_tiPer::ReadSFOpList(TSFOpList& List) { return ReadList(List); }
bool TXMLMapper_tiPer::ReadProjectOpList(TProjectOpList& List) { return ReadList(List); }

void TXMLMapper_tiPer::Refresh(TtiObject& Obj) {
  // The readers create a node's children and data object anew from the rows: what the object holds below it
  // now is dropped first, so that nothing is read twice.
  if (auto* list = dynamic_cast<TtiObjectList*>(&Obj)) list->Clear();
  else if (auto* node = dynamic_cast<TNodeInner*>(&Obj)) node->GetList()->Clear();
  TAbsMapper::Refresh(Obj);
}

void TXMLMapper_tiPer::SaveObject(TtiObject& Obj) {
  Prepare();
  if (!FileExists(fileName_)) CreateNew({});
  const TXMLSaveCensus census(Obj);
  tiPerMgr().GetVisitorManager().Execute(cTask_SaveXML, &Obj, fileName_, layerName_);
}

void TXMLMapper_tiPer::SaveCatConditionOp(TCatConditionOp& Obj) { SaveObject(Obj); }
void TXMLMapper_tiPer::SaveCCFMeasureOp(TCCFMeasureOp& Obj) { SaveObject(Obj); }
void TXMLMapper_tiPer::SaveDCMeasureOp(TDCMeasureOp& Obj) { SaveObject(Obj); }
void TXMLMapper_tiPer::SaveElementOp(TElementOp& Obj) { SaveObject(Obj); }
void TXMLMapper_tiPer::SaveBlocOp(TBlocOp& Obj) { SaveObject(Obj); }
void TXMLMapper_tiPer::SaveChannelOp(TChannelOp& Obj) { SaveObject(Obj); }
void TXMLMapper_tiPer::SaveComponentOp(TComponentOp& Obj) { SaveObject(Obj); }
void TXMLMapper_tiPer::SaveSFOp(TSFOp& Obj) { SaveObject(Obj); }

void TXMLMapper_tiPer::SaveProjectOp(TProjectOp& Obj) {
  Prepare();
  if (!FileExists(fileName_)) CreateNew({});
  if (TProject* p = Obj.GetProject()) {
    TWriteProtectionLifted lifted;  // where the project is stored is no edit of it
    p->SetFileName(fileName_);
  }
  SaveObject(Obj);
}

void TXMLMapper_tiPer::SaveCatConditionOpList(TCatConditionOpList& List) { SaveObject(List); }
void TXMLMapper_tiPer::SaveCCFMeasureOpList(TCCFMeasureOpList& List) { SaveObject(List); }
void TXMLMapper_tiPer::SaveDCMeasureOpList(TDCMeasureOpList& List) { SaveObject(List); }
void TXMLMapper_tiPer::SaveElementOpList(TElementOpList& List) { SaveObject(List); }
void TXMLMapper_tiPer::SaveBlocOpList(TBlocOpList& List) { SaveObject(List); }
void TXMLMapper_tiPer::SaveChannelOpList(TChannelOpList& List) { SaveObject(List); }
void TXMLMapper_tiPer::SaveComponentOpList(TComponentOpList& List) { SaveObject(List); }
void TXMLMapper_tiPer::SaveSFOpList(TSFOpList& List) { SaveObject(List); }
void TXMLMapper_tiPer::SaveProjectOpList(TProjectOpList& List) { SaveObject(List); }

void TXMLMapper_tiPer::SetFileName(const std::string& FileName) {
  // Only the layer: the file held so far is let go below, so reading it again first (as Prepare does for a
  // document released after a read) would cost a whole read and fail on a file damaged since.
  PrepareLayer();
  if (!FileExists(FileName)) {
    CreateNew(FileName);
    return;
  }
  TtiPersistenceLayer& layer = tiPerMgr().GetPersistenceLayers().LayerOrDefault(layerName_);
  if (!fileName_.empty() && layer.GetDBConnectionPools().Find(fileName_))
    tiPerMgr().DisconnectDatabase(fileName_, layerName_);
  layer.GetDBConnectionPools().DisconnectAll();
  fileName_ = FileName;
  tiPerMgr().ConnectDatabase(FileName, kUser, kPassword, {}, layerName_);
}

void TXMLMapper_tiPer::CreateNew(const std::string& FileName) {
  const std::string name = FileName.empty() ? fileName_ : FileName;
  PrepareLayer();  // SetFileName below lets the file held so far go (see there)
  tiPerMgr().CreateDatabase(name, kUser, kPassword, layerName_);
  SetFileName(name);
  CreateXMLTables(name, layerName_);
}

void TXMLMapper_tiPer::RebuildTables(TtiDatabase& Database) {
  if (auto* xml = dynamic_cast<TtiDatabaseXML*>(&Database)) {
    // The store takes over the rows of the file for the new ones: a project saved again with few changes
    // costs little.
    std::vector<std::unique_ptr<TtiDBMetaDataTable>> tables;
    std::vector<const TtiDBMetaDataTable*> order;
    for (const TXMLTableDef& def : XMLTableDefs()) {
      auto t = std::make_unique<TtiDBMetaDataTable>();
      t->SetName(def.Name);
      for (const TXMLColumn& c : def.Columns) t->AddField(std::string(c.Name), c.Kind, c.Width);
      order.push_back(t.get());
      tables.push_back(std::move(t));
    }
    xml->ResetTables(order);
    return;
  }
  TtiDBMetaData tables;
  Database.ReadMetaDataTables(tables);
  for (int i = 0; i < tables.Count(); ++i) Database.DropTable(*tables.Items(i));
  CreateXMLTables(Database);
}

void TXMLMapper_tiPer::Recreate() {
  Prepare();
  if (!FileExists(fileName_)) {
    CreateNew({});
    return;
  }
  const TDBConnectionLease lease = tiPerMgr().GetPersistenceLayers().LeaseDatabase(fileName_, layerName_);
  TtiDatabase& db = lease.Database();
  db.StartTransaction();
  try {
    RebuildTables(db);
    db.Commit();
  } catch (...) {
    db.RollBack();
    throw;
  }
}

void TXMLMapper_tiPer::SaveIntoAttached(TtiObject& Obj) {
  // The rebuilt tables stay in the database's open transaction, which the save group (it locks the same
  // database: one per file) takes over and commits with the tree.
  {
    const TDBConnectionLease lease = tiPerMgr().GetPersistenceLayers().LeaseDatabase(fileName_, layerName_);
    TtiDatabase& db = lease.Database();
    db.StartTransaction();
    try {
      RebuildTables(db);
    } catch (...) {
      db.RollBack();
      throw;
    }
  }
  try {
    TablesRebuilt(Obj);
    auto* op = dynamic_cast<TProjectOp*>(&Obj);
    if (TProject* p = op ? op->GetProject() : nullptr) {
      TWriteProtectionLifted lifted;
      p->SetFileName(fileName_);
    }
    const TXMLSaveCensus census(Obj);
    tiPerMgr().GetVisitorManager().Execute(cTask_SaveXML, &Obj, fileName_, layerName_);
  } catch (...) {
    DiscardPending(fileName_, layerName_);
    throw;
  }
}

void TXMLMapper_tiPer::SaveAnew(TtiObject& Obj, const std::string& FileName) {
  PrepareLayer();
  if (!IsXMLStoreLayer()) {
    // Another store is changed in place, inside the save's transaction.
    if (FileName != fileName_ || !FileExists(FileName)) SetFileName(FileName);
    Prepare();
    SaveIntoAttached(Obj);
    return;
  }
  const std::string before = fileName_;
  TtiPersistenceLayer& layer = tiPerMgr().GetPersistenceLayers().LayerOrDefault(layerName_);
  // Whatever the store holds goes (of the target too: it is written anew).
  if (!fileName_.empty() && layer.GetDBConnectionPools().Find(fileName_))
    tiPerMgr().DisconnectDatabase(fileName_, layerName_);
  if (layer.GetDBConnectionPools().Find(FileName)) tiPerMgr().DisconnectDatabase(FileName, layerName_);
  layer.GetDBConnectionPools().DisconnectAll();
  {
    const TtiXMLDocumentOffer empty(FileName);
    tiPerMgr().ConnectDatabase(FileName, kUser, kPassword, {}, layerName_);
  }
  fileName_ = FileName;
  try {
    SaveIntoAttached(Obj);
  } catch (...) {
    // Nothing was written: the store made for the save goes, and the mapper holds the file it held before
    // (read again when next used).
    try {
      if (layer.GetDBConnectionPools().Find(FileName)) tiPerMgr().DisconnectDatabase(FileName, layerName_);
    } catch (const std::exception& e) {
      LogError("Dropping the unsaved store of <" + FileName + "> failed: " + e.what());
    }
    fileName_ = before;
    throw;
  }
}

void TXMLMapper_tiPer::SaveProjectOpAnew(TProjectOp& Obj, const std::string& FileName) { SaveAnew(Obj, FileName); }

void TXMLMapper_tiPer::EmptyTableOfClass(const TtiClass& AClass) { EmptyTable(TableNameForClass(AClass)); }

void TXMLMapper_tiPer::EmptyTable(const std::string& TableName) {
  Prepare();
  tiPerMgr().DeleteRow(TableName, nullptr, fileName_, layerName_);
}

// ---- The application's mapper ----

namespace {
std::mutex gMapperLock;
std::unique_ptr<TXMLMapper_tiPer> gMapper;
}  // namespace

TXMLMapper_tiPer& XMLMapper() {
  std::lock_guard<std::mutex> lock(gMapperLock);
  if (!gMapper) gMapper = std::make_unique<TXMLMapper_tiPer>(GetXmlPersistenceLayerName(), std::string());
  return *gMapper;
}

void XMLMapperShutdown() {
  std::unique_ptr<TXMLMapper_tiPer> gone;
  {
    std::lock_guard<std::mutex> lock(gMapperLock);
    gone = std::move(gMapper);
  }
}

}  // namespace kelvado

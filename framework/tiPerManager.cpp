#include "framework/tiPerManager.h"

#include <atomic>

#include "framework/tiClassToDBMap_BOM.h"
#include "framework/tiClassToDBMap_Srv.h"
#include "framework/tiExcept.h"
#include "framework/tiLog.h"
#include "framework/tiOID.h"
#include "framework/tiPool.h"
#include "framework/tiQuery.h"
#include "framework/tiThread.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace {

std::atomic<bool> gShuttingDown{false};
// The manager whose hooks the framework calls (the newest one); another instance going must not unhook it.
std::atomic<TtiPerManager*> gHooked{nullptr};

// Owns the manager; its destructor is the framework's shut-down at process end.
struct MgrHolder {
  std::recursive_mutex lock;  // recursive: building the manager may already ask for it
  std::unique_ptr<TtiPerManager> mgr;
  ~MgrHolder() {
    gShuttingDown.store(true);
    std::unique_ptr<TtiPerManager> m;
    {
      std::lock_guard<std::recursive_mutex> g(lock);
      m = std::move(mgr);
    }
  }
};

MgrHolder& Holder() {
  // Statics the manager uses while it is freed are made first, so that they are freed after it.
  static const bool deps = [] {
    tiOIDFactory();
    tiActiveThreadList();
    for (const TtiClass* c :
         {&TtiPerManager::StaticClass(), &TtiPersistenceLayers::StaticClass(), &TtiPersistenceLayer::StaticClass(),
          &TDBConnectionPools::StaticClass(), &TDBConnectionPool::StaticClass(), &TPooledDB::StaticClass(),
          &TtiVisitorManager::StaticClass(), &TNextOIDMgr::StaticClass(), &TtiClassDBMappingMgr::StaticClass(),
          &TtiClassMaps::StaticClass(), &TtiClassMap::StaticClass(), &TtiAttrMap::StaticClass(),
          &TtiDBMaps::StaticClass(), &TtiDBMap::StaticClass(), &TtiDBTableMap::StaticClass(),
          &TtiDBColMap::StaticClass(), &TtiAttrColMaps::StaticClass(), &TtiAttrColMap::StaticClass(),
          &TtiClassDBCollections::StaticClass(), &TtiClassDBCollection::StaticClass()})
      (void)c;
    return true;
  }();
  (void)deps;
  static MgrHolder h;
  return h;
}

}  // namespace

// ---- the singleton ----

TtiPerManager& tiPerMgr() {
  if (gShuttingDown.load()) throw Exception("Call to tiPerMgr while shutting down");
  MgrHolder& h = Holder();
  std::lock_guard<std::recursive_mutex> g(h.lock);
  if (!h.mgr) h.mgr = std::make_unique<TtiPerManager>();
  return *h.mgr;
}

bool tiPerMgrAssigned() {
  if (gShuttingDown.load()) return false;
  MgrHolder& h = Holder();
  std::lock_guard<std::recursive_mutex> g(h.lock);
  return h.mgr != nullptr;
}

void tiPerMgrShutdown() {
  MgrHolder& h = Holder();
  std::unique_ptr<TtiPerManager> m;
  {
    std::lock_guard<std::recursive_mutex> g(h.lock);
    m = std::move(h.mgr);
  }
  // Freed outside the lock: its destruction may log and stop threads.
  m.reset();
  // A restart, not the end: walks and groups work again (and the next tiPerMgr() makes a new manager).
  if (!gShuttingDown.load()) tiSetFrameworkTerminated(false);
}

void tiPerMgrFinalize() {
  gShuttingDown.store(true);
  tiPerMgrShutdown();
}

// ---- TtiPerManager ----

const TtiClass& TtiPerManager::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiPerManager, TtiObjectList>(), "TtiPerManager",
                          [](TtiPropTableBuilder<TtiPerManager>& b) {
                            b.Object("PersistenceLayers",
                                     [](const TtiPerManager& m) -> TtiVisited* { return &m.GetPersistenceLayers(); })
                                .Object("ClassDBMappingMgr",
                                        [](const TtiPerManager& m) -> TtiVisited* { return &m.GetClassDBMappingMgr(); })
                                .String("DefaultOIDClassName", &TtiPerManager::GetDefaultOIDClassName,
                                        &TtiPerManager::SetDefaultOIDClassName)
                                .String("DefaultPerLayerName", &TtiPerManager::GetDefaultPerLayerName,
                                        &TtiPerManager::SetDefaultPerLayerName)
                                .String("DefaultDBConnectionName", &TtiPerManager::GetDefaultDBConnectionName,
                                        &TtiPerManager::SetDefaultDBConnectionName);
                          });
  return c;
}

TtiPerManager::TtiPerManager()
    : layers_(std::make_unique<TtiPersistenceLayers>()),
      visMgr_(std::make_unique<TtiVisitorManager>()),
      creationTime_(tiNow()) {
  tiSetFrameworkTerminated(false);
  // Empty names of a group run take the default layer and that layer's default database: a database name
  // taken from another layer than the one named could never be found there.
  visMgr_->SetDefaultNamesResolver([this](std::string& dbName, std::string& layerName) {
    if (layerName.empty()) layerName = GetDefaultPerLayerName();
    if (dbName.empty()) {
      if (TtiPersistenceLayer* layer = layers_->FindByPerLayerName(layerName))
        dbName = layer->GetDefaultDBConnectionName();
    }
  });
  tiSetDefaultVisitorManager(visMgr_.get());
  tiSetNextOIDSource([this](TOID& oid, const std::string& dbName, const std::string& layerName) {
    TtiPersistenceLayer& layer = layers_->LayerOrDefault(layerName);
    const std::string db = dbName.empty() ? layer.GetDefaultDBConnectionName() : dbName;
    layer.GetNextOIDMgr().AssignNextOID(oid, db);
  });
  tiSetQueryFactory([this](const TtiClass& databaseClass) { return layers_->CreateTIQuery(databaseClass); });
  gHooked.store(this);
}

TtiPerManager::~TtiPerManager() {
  Terminate();
  // Nothing may reach this manager through the framework's hooks any more.
  TtiPerManager* self = this;
  if (gHooked.compare_exchange_strong(self, nullptr)) {
    tiSetQueryFactory(nullptr);
    tiSetNextOIDSource(nullptr);
    tiSetDefaultVisitorManager(nullptr);
  }
  visMgr_.reset();
  classDBMappingMgr_.reset();
  layers_.reset();
}

TOIDFactory& TtiPerManager::GetOIDFactory() const { return tiOIDFactory(); }

TtiClassDBMappingMgr& TtiPerManager::GetClassDBMappingMgr() const {
  std::lock_guard<std::mutex> g(classDBMappingMgrLock_);
  if (!classDBMappingMgr_) {
    auto mgr = std::make_unique<TtiClassDBMappingMgr>();
    tiRegisterAutoVisitors(*visMgr_);
    classDBMappingMgr_ = std::move(mgr);
  }
  return *classDBMappingMgr_;
}

std::string TtiPerManager::GetDefaultOIDClassName() const { return tiOIDFactory().GetDefaultOIDClassName(); }

void TtiPerManager::SetDefaultOIDClassName(const std::string& name) {
  tiOIDFactory().SetDefaultOIDClassName(name);
}

std::string TtiPerManager::GetDefaultPerLayerName() const {
  TtiPersistenceLayer* layer = GetDefaultPerLayer();
  return layer ? layer->GetPerLayerName() : std::string();
}

TDBConnectionPool* TtiPerManager::GetDefaultDBConnectionPool() const {
  TtiPersistenceLayer* layer = GetDefaultPerLayer();
  return layer ? layer->GetDefaultDBConnectionPool() : nullptr;
}

std::string TtiPerManager::GetDefaultDBConnectionName() const {
  TtiPersistenceLayer* layer = GetDefaultPerLayer();
  return layer ? layer->GetDefaultDBConnectionName() : std::string();
}

void TtiPerManager::SetDefaultDBConnectionName(const std::string& dbName) {
  if (TtiPersistenceLayer* layer = GetDefaultPerLayer()) layer->SetDefaultDBConnectionName(dbName);
}

// ---- standard groups ----

void TtiPerManager::RegReadVisitor(const TtiClass& visitorClass) {
  visMgr_->RegisterVisitor(cuStandardTask_Read, visitorClass);
}

void TtiPerManager::RegSaveVisitor(const TtiClass& visitorClass) {
  visMgr_->RegisterVisitor(cuStandardTask_Save, visitorClass);
}

std::string TtiPerManager::Read(TtiVisited* visited, const std::string& dbName, const std::string& layerName) {
  return visMgr_->Execute(cuStandardTask_Read, visited, dbName, layerName);
}

std::string TtiPerManager::ReadPK(TtiVisited* visited, const std::string& dbName, const std::string& layerName) {
  return visMgr_->Execute(cuStandardTask_ReadPK, visited, dbName, layerName);
}

std::string TtiPerManager::ReadThis(TtiVisited* visited, const std::string& dbName, const std::string& layerName) {
  return visMgr_->Execute(cuStandardTask_ReadThis, visited, dbName, layerName);
}

std::string TtiPerManager::Save(TtiVisited* visited, const std::string& dbName, const std::string& layerName) {
  return visMgr_->Execute(cuStandardTask_Save, visited, dbName, layerName);
}

// ---- databases ----

void TtiPerManager::ConnectDatabase(const std::string& dbName, const std::string& userName,
                                    const std::string& password, const std::string& params,
                                    const std::string& layerName) {
  TtiPersistenceLayer* layer = layers_->FindByPerLayerName(layerName);
  if (!layer) throw EtiPerInternalException("Unable to find persistence layer <%s>", {layerName});
  const bool hadDefault = !layer->GetDefaultDBConnectionName().empty();
  TDBConnectionPool* pool = layer->GetDBConnectionPools().AddConnectionPool(dbName, userName, password, params);
  if (!hadDefault) layer->SetDefaultDBConnectionPool(pool);
}

void TtiPerManager::DisconnectDatabase(const std::string& dbName, const std::string& layerName) {
  TtiPersistenceLayer* layer = layers_->FindByPerLayerName(layerName);
  if (!layer) throw EtiPerInternalException("Unable to find persistence layer <%s>", {layerName});
  if (layer->GetNextOIDMgr().FindByDatabaseName(dbName)) layer->GetNextOIDMgr().UnloadNextOIDGenerator(dbName);
  if (SameTextAscii(layer->GetDefaultDBConnectionName(), dbName)) layer->SetDefaultDBConnectionPool(nullptr);
  layer->GetDBConnectionPools().Disconnect(dbName);
}

void TtiPerManager::DisconnectDefaultLayerDatabase(const std::string& dbName) {
  TtiPersistenceLayer* layer = GetDefaultPerLayer();
  if (!layer) throw EtiPerInternalException("Unable to find default persistence layer");
  DisconnectDatabase(dbName, layer->GetPerLayerName());
}

void TtiPerManager::CreateDatabase(const std::string& dbName, const std::string& userName,
                                   const std::string& password, const std::string& layerName) {
  TtiPersistenceLayer* layer = layers_->FindByPerLayerName(layerName);
  if (!layer) throw EtiPerInternalException("Unable to find persistence layer <%s>", {layerName});
  if (!layer->GetDatabaseClass())
    throw EtiPerProgrammerException("Persistence layer <%s> has no database class", {layer->GetPerLayerName()});
  TtiDatabase::CreateDatabase(*layer->GetDatabaseClass(), dbName, userName, password);
}

template <class F>
auto TtiPerManager::WithDatabase(const std::string& dbName, const std::string& layerName, F&& op) {
  const TDBConnectionLease lease = layers_->LeaseDatabase(dbName, layerName);
  TtiDatabase& database = lease.Database();
  return op(database);
}

void TtiPerManager::ExecSQL(const std::string& sql, const std::string& dbName, const std::string& layerName) {
  WithDatabase(dbName, layerName, [&](TtiDatabase& db) { db.ExecSQL(sql, nullptr); });
}

void TtiPerManager::CreateTable(TtiDBMetaDataTable& tableMetaData, const std::string& dbName,
                                const std::string& layerName) {
  WithDatabase(dbName, layerName, [&](TtiDatabase& db) { db.CreateTable(tableMetaData); });
}

void TtiPerManager::DeleteRow(const std::string& tableName, TtiQueryParams* whereParams, const std::string& dbName,
                              const std::string& layerName) {
  WithDatabase(dbName, layerName, [&](TtiDatabase& db) { db.DeleteRow(tableName, whereParams); });
}

void TtiPerManager::InsertRow(const std::string& tableName, TtiQueryParams* params, const std::string& dbName,
                              const std::string& layerName) {
  WithDatabase(dbName, layerName, [&](TtiDatabase& db) { db.InsertRow(tableName, params); });
}

void TtiPerManager::UpdateRow(const std::string& tableName, TtiQueryParams* params, TtiQueryParams* whereParams,
                              const std::string& dbName, const std::string& layerName) {
  WithDatabase(dbName, layerName, [&](TtiDatabase& db) { db.UpdateRow(tableName, params, whereParams); });
}

bool TtiPerManager::TableExists(const std::string& tableName, const std::string& dbName,
                                const std::string& layerName) {
  return WithDatabase(dbName, layerName, [&](TtiDatabase& db) {
    TtiDBMetaData metaData;
    db.ReadMetaDataTables(metaData);
    return metaData.FindByTableName(tableName) != nullptr;
  });
}

// ---- layers and termination ----

TtiPersistenceLayer& TtiPerManager::LoadPersistenceLayer(const std::string& name) {
  {
    std::lock_guard<std::mutex> g(terminatedLock_);
    tiSetFrameworkTerminated(false);
  }
  return layers_->LoadPersistenceLayer(name);
}

void TtiPerManager::UnLoadPersistenceLayer(const std::string& name) { layers_->UnLoadPersistenceLayer(name); }

void TtiPerManager::Terminate() {
  {
    std::lock_guard<std::mutex> g(terminatedLock_);
    tiSetFrameworkTerminated(true);
  }
  tiActiveThreadList().TerminateAll();
}

bool TtiPerManager::GetTerminated() const { return tiFrameworkTerminated(); }

}  // namespace kelvado

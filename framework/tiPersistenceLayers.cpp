#include "framework/tiPersistenceLayers.h"


#include "framework/tiExcept.h"
#include "framework/tiLog.h"
#include "framework/tiOID.h"
#include "framework/tiPool.h"
#include "framework/tiQuery.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace {

// A class handed to a layer must be a concrete descendant of `base`: a layer that could not create its
// objects would only fail later, in the middle of someone's save.
void CheckLayerClass(const std::string& layerName, const TtiClass* cls, const TtiClass& base) {
  if (!cls || !cls->InheritsFrom(base) || cls->IsAbstract())
    throw EtiPerProgrammerException("Unable to register persistence layer <%s>: <%s> is not a concrete %s class",
                                    {layerName, cls ? cls->Name() : std::string("nil"), base.Name()});
}

}  // namespace

// ---- TtiPersistenceLayer ----

const TtiClass& TtiPersistenceLayer::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiPersistenceLayer, TtiObject>(), "TtiPersistenceLayer",
                          [](TtiPropTableBuilder<TtiPersistenceLayer>& b) {
                            b.String("PerLayerName", &TtiPersistenceLayer::GetPerLayerName);
                          });
  return c;
}

TtiPersistenceLayer::TtiPersistenceLayer()
    : poolDataClass_(&TtiDBConnectionPoolDataAbs::StaticClass()),
      pools_(std::make_unique<TDBConnectionPools>(this, this)),
      nextOIDMgr_(std::make_unique<TNextOIDMgr>()) {}

TtiPersistenceLayer::~TtiPersistenceLayer() {
  // The pools' connections are objects of this layer's classes: free them while the layer is whole.
  pools_.reset();
  nextOIDMgr_.reset();
}

void TtiPersistenceLayer::SetPerLayerName(const std::string& name) {
  perLayerName_ = name;
  nextOIDMgr_ = std::make_unique<TNextOIDMgr>(name);
}

TDBConnectionPool* TtiPersistenceLayer::GetDefaultDBConnectionPool() const {
  if (!defaultDBName_.empty())
    if (TDBConnectionPool* p = pools_->Find(defaultDBName_)) return p;
  return pools_->Count() > 0 ? pools_->Items(0) : nullptr;
}

void TtiPersistenceLayer::SetDefaultDBConnectionPool(TDBConnectionPool* pool) {
  defaultDBName_ = pool ? pool->DatabaseName() : std::string();
}

std::string TtiPersistenceLayer::GetDefaultDBConnectionName() const {
  TDBConnectionPool* p = GetDefaultDBConnectionPool();
  return p ? p->DatabaseName() : std::string();
}

void TtiPersistenceLayer::SetDefaultDBConnectionName(const std::string& dbName) {
  SetDefaultDBConnectionPool(pools_->Find(dbName));
}

std::unique_ptr<TtiQuery> TtiPersistenceLayer::CreateTIQuery() const {
  if (!queryClass_)
    throw EtiPerProgrammerException("Persistence layer <%s> has no query class", {perLayerName_});
  return queryClass_->CreateAs<TtiQuery>();
}

std::unique_ptr<TtiDatabase> TtiPersistenceLayer::CreateTIDatabase() const {
  if (!databaseClass_)
    throw EtiPerProgrammerException("Persistence layer <%s> has no database class", {perLayerName_});
  return TtiDatabase::CreateInstance(*databaseClass_);
}

// ---- TtiPersistenceLayers ----

const TtiClass& TtiPersistenceLayers::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiPersistenceLayers, TtiObjectList>(), "TtiPersistenceLayers");
  return c;
}

TtiPersistenceLayers::TtiPersistenceLayers() = default;

TtiPersistenceLayers::~TtiPersistenceLayers() {
  defaultPerLayer_ = nullptr;
  for (int i = Count() - 1; i >= 0; --i) {
    TtiPersistenceLayer* layer = Items(i);
    try {
      layer->GetDBConnectionPools().DisconnectAll();
    } catch (const std::exception& e) {
      LogError("Disconnecting persistence layer <" + layer->GetPerLayerName() + "> failed: " + e.what());
    }
    Log("Unloading persistence layer <" + layer->GetPerLayerName() + ">", lsDBConnection);
    Delete(i);
  }
}

TtiPersistenceLayer& TtiPersistenceLayers::RegisterPersistenceLayer(const std::string& name,
                                                                    const TtiClass* poolDataClass,
                                                                    const TtiClass& queryClass,
                                                                    const TtiClass& databaseClass) {
  if (name.empty())
    throw EtiPerProgrammerException("Unable to register a persistence layer without a name");
  for (TtiObject* o : *this) {
    auto* layer = static_cast<TtiPersistenceLayer*>(o);
    if (SameTextAscii(layer->GetPerLayerName(), name)) return *layer;
  }
  CheckLayerClass(name, &queryClass, TtiQuery::StaticClass());
  CheckLayerClass(name, &databaseClass, TtiDatabase::StaticClass());
  if (poolDataClass) CheckLayerClass(name, poolDataClass, TtiDBConnectionPoolDataAbs::StaticClass());

  auto layer = std::make_unique<TtiPersistenceLayer>();
  layer->SetPerLayerName(name);
  layer->SetQueryClass(&queryClass);
  layer->SetDatabaseClass(&databaseClass);
  if (poolDataClass) layer->SetDBConnectionPoolDataClass(poolDataClass);
  TtiPersistenceLayer& result = *layer;
  Add(std::move(layer));
  return result;
}

void TtiPersistenceLayers::UnRegisterPersistenceLayer(const std::string& name) {
  TtiPersistenceLayer* layer = FindByPerLayerName(name);
  if (!layer) return;
  if (defaultPerLayer_ == layer) defaultPerLayer_ = nullptr;
  Remove(layer);
}

TtiPersistenceLayer* TtiPersistenceLayers::FindByPerLayerName(const std::string& name) const {
  if (name.empty()) return Count() == 1 ? Items(0) : nullptr;
  for (TtiObject* o : *this) {
    auto* layer = static_cast<TtiPersistenceLayer*>(o);
    if (SameTextAscii(layer->GetPerLayerName(), name)) return layer;
  }
  return nullptr;
}

TtiPersistenceLayer* TtiPersistenceLayers::FindByTIDatabaseClass(const TtiClass& databaseClass) const {
  for (TtiObject* o : *this) {
    auto* layer = static_cast<TtiPersistenceLayer*>(o);
    if (layer->GetDatabaseClass() == &databaseClass) return layer;
  }
  return nullptr;
}

std::unique_ptr<TtiQuery> TtiPersistenceLayers::CreateTIQuery(const TtiClass& databaseClass) const {
  TtiPersistenceLayer* layer = FindByTIDatabaseClass(databaseClass);
  if (!layer) throw Exception("Unable to find persistence layer for database class <" + databaseClass.Name() + ">");
  return layer->CreateTIQuery();
}

TtiPersistenceLayer& TtiPersistenceLayers::LoadPersistenceLayer(const std::string& name) {
  if (TtiPersistenceLayer* layer = FindByPerLayerName(name)) return *layer;
  // Every layer of the program registers itself at start; there are no layer modules to load.
  throw EtiPerInternalException("Unable to find persistence layer <%s>", {name});
}

void TtiPersistenceLayers::UnLoadPersistenceLayer(const std::string& name) {
  if (name.empty() && Count() != 1)
    throw EtiPerProgrammerException("Unable to determine which persistence layer to unload.");
  TtiPersistenceLayer* layer = FindByPerLayerName(name);
  if (!layer)
    throw EtiPerProgrammerException("Attempt to unload persistence layer <%s> that's not currently loaded.", {name});
  layer->GetDBConnectionPools().DisconnectAll();
  Log("Unloading persistence layer <" + layer->GetPerLayerName() + ">", lsDBConnection);
  Remove(layer);
  defaultPerLayer_ = nullptr;  // the first remaining layer, or none
}

TtiPersistenceLayer* TtiPersistenceLayers::GetDefaultPerLayer() const {
  if (defaultPerLayer_ && IndexOf(defaultPerLayer_) >= 0) return defaultPerLayer_;
  return Count() > 0 ? Items(0) : nullptr;
}

void TtiPersistenceLayers::SetDefaultPerLayer(TtiPersistenceLayer* layer) { defaultPerLayer_ = layer; }

void TtiPersistenceLayers::SetDefaultPerLayerName(const std::string& name) {
  defaultPerLayer_ = FindByPerLayerName(name);
}

TtiPersistenceLayer& TtiPersistenceLayers::LayerOrDefault(const std::string& layerName) const {
  if (layerName.empty()) {
    TtiPersistenceLayer* layer = GetDefaultPerLayer();
    if (!layer) throw EtiPerInternalException("Unable to find default persistence layer");
    return *layer;
  }
  TtiPersistenceLayer* layer = FindByPerLayerName(layerName);
  if (!layer) throw EtiPerInternalException("Unable to find persistence layer <%s>", {layerName});
  return *layer;
}

TtiDatabase& TtiPersistenceLayers::LockDatabase(const std::string& dbName, const std::string& layerName) {
  TDBConnectionLease lease = LeaseDatabase(dbName, layerName);
  TtiDatabase& database = lease.Database();
  // The layer's pools hold the lease until UnLockDatabase gives the database back.
  lease.Pool()->Pools()->Hold(std::move(lease));
  return database;
}

TDBConnectionLease TtiPersistenceLayers::LeaseDatabase(const std::string& dbName, const std::string& layerName) {
  TtiPersistenceLayer& layer = LayerOrDefault(layerName);
  const std::string db = dbName.empty() ? layer.GetDefaultDBConnectionName() : dbName;
  TDBConnectionLease lease = layer.GetDBConnectionPools().Lease(db);
  if (!lease.Item()->Database())
    throw EtiPerInternalException("Unable to lock a connection to database <%s> of persistence layer <%s>",
                                  {db, layer.GetPerLayerName()});
  return lease;
}

void TtiPersistenceLayers::UnLockDatabase(TtiDatabase& database, const std::string& dbName,
                                          const std::string& layerName) {
  TtiPersistenceLayer& layer = LayerOrDefault(layerName);
  const std::string db = dbName.empty() ? layer.GetDefaultDBConnectionName() : dbName;
  layer.GetDBConnectionPools().UnLockByData(db, &database);
}

}  // namespace kelvado

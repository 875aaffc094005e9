#pragma once
// Persistence layers: a layer is a named way of storing objects ("IBX", "XML", "XMLLight", "CB"). It names the
// database and query classes of its store, owns the connection pools of its databases and a next-OID manager.
// Layers register themselves at start in the registry that the persistence manager owns.
#include <memory>
#include <string>

#include "framework/tiObject.h"
#include "framework/tiPool.h"

namespace kelvado {

class TtiDatabase;
class TtiQuery;
class TtiDBMetaDataTable;
class TtiQueryParams;
class TNextOIDMgr;

class TtiPersistenceLayer : public TtiObject, public ItiDBConnectionPoolLayer {
public:
  TI_CLASS(TtiPersistenceLayer)
  TtiPersistenceLayer();
  ~TtiPersistenceLayer() override;

  // Classes (descendants of TtiQuery, TtiDatabase and TtiDBConnectionPoolDataAbs) the layer creates.
  const TtiClass* GetQueryClass() const { return queryClass_; }
  void SetQueryClass(const TtiClass* c) { queryClass_ = c; }
  const TtiClass* GetDatabaseClass() const { return databaseClass_; }
  void SetDatabaseClass(const TtiClass* c) { databaseClass_ = c; }
  const TtiClass* GetDBConnectionPoolDataClass() const { return poolDataClass_; }
  void SetDBConnectionPoolDataClass(const TtiClass* c) { poolDataClass_ = c; }

  const std::string& GetPerLayerName() const { return perLayerName_; }
  // Also gives the layer a fresh next-OID manager under that name.
  void SetPerLayerName(const std::string& name);
  std::string GetCaption() const override { return perLayerName_; }

  // Layers of this system are all part of the program: never loaded from a module.
  bool GetDynamicallyLoaded() const { return false; }

  TDBConnectionPools& GetDBConnectionPools() const { return *pools_; }
  // The chosen default pool; when none is chosen (or it has gone) the layer's first pool; null without pools.
  TDBConnectionPool* GetDefaultDBConnectionPool() const;
  // null clears the choice.
  void SetDefaultDBConnectionPool(TDBConnectionPool* pool);
  // Database name of the default pool; empty when there is none.
  std::string GetDefaultDBConnectionName() const;
  // The pool of that database becomes the default (an unknown name clears the choice).
  void SetDefaultDBConnectionName(const std::string& dbName);

  TNextOIDMgr& GetNextOIDMgr() const { return *nextOIDMgr_; }

  // What the connection pools ask of their layer.
  const TtiClass* PoolDatabaseClass() const override { return databaseClass_; }
  const TtiClass* PoolDataClass() const override { return poolDataClass_; }
  std::string PoolLayerName() const override { return perLayerName_; }

  // New objects of the layer's classes. A layer registered without the class raises
  // EtiPerProgrammerException naming the layer.
  std::unique_ptr<TtiQuery> CreateTIQuery() const;
  std::unique_ptr<TtiDatabase> CreateTIDatabase() const;

private:
  const TtiClass* queryClass_ = nullptr;
  const TtiClass* databaseClass_ = nullptr;
  const TtiClass* poolDataClass_ = nullptr;
  std::string perLayerName_;
  std::unique_ptr<TDBConnectionPools> pools_;
  // The default pool is remembered by its database name, so that a pool freed behind the layer's back
  // can never leave a dangling default.
  std::string defaultDBName_;
  std::unique_ptr<TNextOIDMgr> nextOIDMgr_;
};

// The registry of layers (items are TtiPersistenceLayer).
class TtiPersistenceLayers : public TtiObjectList {
public:
  TI_CLASS(TtiPersistenceLayers)
  TtiPersistenceLayers();
  // Unloads every layer, from the last to the first.
  ~TtiPersistenceLayers() override;

  TtiPersistenceLayer* Items(int index) const { return static_cast<TtiPersistenceLayer*>(GetItems(index)); }

  // A layer of that name (ignoring case) is returned unchanged; otherwise a new one with these classes is
  // added. queryClass and databaseClass must descend from TtiQuery and TtiDatabase, poolDataClass (null:
  // TtiDBConnectionPoolDataAbs) from TtiDBConnectionPoolDataAbs (EtiPerProgrammerException otherwise).
  TtiPersistenceLayer& RegisterPersistenceLayer(const std::string& name, const TtiClass* poolDataClass,
                                                const TtiClass& queryClass, const TtiClass& databaseClass);
  // Removes and frees the layer (clearing the default when it is this one); nothing when not registered.
  void UnRegisterPersistenceLayer(const std::string& name);

  // Ignoring case; an empty name with exactly one registered layer gives that layer; null when none.
  TtiPersistenceLayer* FindByPerLayerName(const std::string& name) const;
  bool IsLoaded(const std::string& name) const { return FindByPerLayerName(name) != nullptr; }
  // The layer whose DatabaseClass is exactly `databaseClass`; null when none.
  TtiPersistenceLayer* FindByTIDatabaseClass(const TtiClass& databaseClass) const;
  // A new query of the layer of that database class; none raises Exception
  // "Unable to find persistence layer for database class <...>".
  std::unique_ptr<TtiQuery> CreateTIQuery(const TtiClass& databaseClass) const;

  // Layers are part of the program: a registered layer is returned; any other name is an error.
  TtiPersistenceLayer& LoadPersistenceLayer(const std::string& name);
  // Disconnects the layer's pools, removes and frees it; the default becomes the first remaining layer.
  void UnLoadPersistenceLayer(const std::string& name);

  // The chosen default, else the first layer; null for an empty registry.
  TtiPersistenceLayer* GetDefaultPerLayer() const;
  void SetDefaultPerLayer(TtiPersistenceLayer* layer);
  // The found layer, or no choice when none has that name.
  void SetDefaultPerLayerName(const std::string& name);

  // A database locked from the pool of dbName of the layer (empty names: the default layer, the layer's
  // default database). An unknown layer raises EtiPerInternalException "Unable to find persistence layer <%s>".
  TtiDatabase& LockDatabase(const std::string& dbName = {}, const std::string& layerName = {});
  // The same as a lease that gives the database back when it ends (what code that holds one should use).
  TDBConnectionLease LeaseDatabase(const std::string& dbName = {}, const std::string& layerName = {});
  void UnLockDatabase(TtiDatabase& database, const std::string& dbName = {}, const std::string& layerName = {});

  // The layer of that name (empty: the default layer); none raises EtiPerInternalException
  // "Unable to find persistence layer <%s>".
  TtiPersistenceLayer& LayerOrDefault(const std::string& layerName) const;

private:
  TtiPersistenceLayer* defaultPerLayer_ = nullptr;
};

}  // namespace kelvado

#pragma once
// The persistence manager: the one global object of the framework. It owns the layer registry and the visitor
// manager, publishes the OID factory and the default OID class name, knows the default layer and database,
// runs the standard visitor groups and offers database operations on a locked pooled connection.
#include <memory>
#include <mutex>
#include <string>

#include "framework/tiObject.h"
#include "framework/tiPersistenceLayers.h"
#include "framework/tiUtils.h"
#include "framework/tiVisitor.h"

namespace kelvado {

class TOIDFactory;
class TtiClassDBMappingMgr;
class TtiQueryParams;
class TtiDBMetaDataTable;

class TtiPerManager : public TtiObjectList {
public:
  TI_CLASS(TtiPerManager)
  TtiPerManager();
  // Terminates first, then frees the visitor manager, the class-to-database maps and the layers.
  ~TtiPerManager() override;

  TtiPersistenceLayers& GetPersistenceLayers() const { return *layers_; }
  TtiVisitorManager& GetVisMgr() const { return *visMgr_; }
  TtiVisitorManager& GetVisitorManager() const { return *visMgr_; }
  // The process-wide OID factory (framework/tiOID.h) and its default class name.
  TOIDFactory& GetOIDFactory() const;
  std::string GetDefaultOIDClassName() const;
  void SetDefaultOIDClassName(const std::string& name);
  TDateTime GetCreationTime() const { return creationTime_; }
  // The class-to-database maps (framework/tiClassToDBMap_BOM.h), made on the first call, which also registers
  // the automatic visitors in the standard groups (framework/tiClassToDBMap_Srv.h). Until then neither exists.
  TtiClassDBMappingMgr& GetClassDBMappingMgr() const;

  // Default layer and database.
  TtiPersistenceLayer* GetDefaultPerLayer() const { return layers_->GetDefaultPerLayer(); }
  void SetDefaultPerLayer(TtiPersistenceLayer* layer) { layers_->SetDefaultPerLayer(layer); }
  std::string GetDefaultPerLayerName() const;
  void SetDefaultPerLayerName(const std::string& name) { layers_->SetDefaultPerLayerName(name); }
  TDBConnectionPool* GetDefaultDBConnectionPool() const;
  // Empty when there is no default layer.
  std::string GetDefaultDBConnectionName() const;
  void SetDefaultDBConnectionName(const std::string& dbName);

  // Visitors of the standard groups "StandardTask_Read" and "StandardTask_Save".
  void RegReadVisitor(const TtiClass& visitorClass);
  void RegSaveVisitor(const TtiClass& visitorClass);
  // Run the standard groups over `visited`; empty names take the defaults. Each returns the visitor
  // manager's result text.
  std::string Read(TtiVisited* visited, const std::string& dbName = {}, const std::string& layerName = {});
  std::string ReadPK(TtiVisited* visited, const std::string& dbName = {}, const std::string& layerName = {});
  std::string ReadThis(TtiVisited* visited, const std::string& dbName = {}, const std::string& layerName = {});
  std::string Save(TtiVisited* visited, const std::string& dbName = {}, const std::string& layerName = {});

  // Connects dbName on the layer's pools (a pool per database); the first database connected on a layer
  // becomes its default. A missing layer raises EtiPerInternalException "Unable to find persistence layer <%s>".
  void ConnectDatabase(const std::string& dbName, const std::string& userName, const std::string& password,
                       const std::string& params = {}, const std::string& layerName = {});
  // Drops the database's OID generator, clears the layer's default when it is this database, then
  // disconnects and frees the pool.
  void DisconnectDatabase(const std::string& dbName, const std::string& layerName = {});
  // On the default layer; none raises EtiPerInternalException "Unable to find default persistence layer".
  void DisconnectDefaultLayerDatabase(const std::string& dbName);
  void CreateDatabase(const std::string& dbName, const std::string& userName, const std::string& password,
                      const std::string& layerName = {});

  // Database operations on a database locked for the call and given back also when the operation fails.
  void ExecSQL(const std::string& sql, const std::string& dbName = {}, const std::string& layerName = {});
  void CreateTable(TtiDBMetaDataTable& tableMetaData, const std::string& dbName = {},
                   const std::string& layerName = {});
  void DeleteRow(const std::string& tableName, TtiQueryParams* whereParams, const std::string& dbName = {},
                 const std::string& layerName = {});
  void InsertRow(const std::string& tableName, TtiQueryParams* params, const std::string& dbName = {},
                 const std::string& layerName = {});
  void UpdateRow(const std::string& tableName, TtiQueryParams* params, TtiQueryParams* whereParams,
                 const std::string& dbName = {}, const std::string& layerName = {});
  bool TableExists(const std::string& tableName, const std::string& dbName = {}, const std::string& layerName = {});

  // Clears Terminated, then the registry's LoadPersistenceLayer.
  TtiPersistenceLayer& LoadPersistenceLayer(const std::string& name);
  void UnLoadPersistenceLayer(const std::string& name);

  // From now on walks and visitor groups do nothing; every active framework thread is told to end.
  void Terminate();
  bool GetTerminated() const;

private:
  // Runs `op` on a database leased as LeaseDatabase does; the lease gives it back in every case.
  template <class F>
  auto WithDatabase(const std::string& dbName, const std::string& layerName, F&& op);

  std::unique_ptr<TtiPersistenceLayers> layers_;
  std::unique_ptr<TtiVisitorManager> visMgr_;
  mutable std::mutex classDBMappingMgrLock_;
  mutable std::unique_ptr<TtiClassDBMappingMgr> classDBMappingMgr_;
  mutable std::mutex terminatedLock_;
  TDateTime creationTime_;
};

// The manager, created on the first call. Once the framework shuts down (process exit, or tiPerMgrFinalize)
// it raises Exception "Call to tiPerMgr while shutting down".
TtiPerManager& tiPerMgr();
// Frees the manager (layers, pools, registered visitors) so that the next tiPerMgr() starts clean; walks and
// groups work again at once (tests, and a program that starts its persistence anew).
void tiPerMgrShutdown();
// Whether the manager exists now (does not create it).
bool tiPerMgrAssigned();
// Marks the framework as shutting down and frees the manager; what the process does at exit.
void tiPerMgrFinalize();

}  // namespace kelvado

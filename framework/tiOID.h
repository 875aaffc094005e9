#pragma once
// Object identifiers. TOID is the abstract identifier every persistent object carries; generators hand out new
// values per database; the factory maps an OID class name ("OIDClassNameGUID") to an identifier class and its
// generator class. The factory and the default OID class name are process-wide (tiOIDFactory()); the
// persistence manager publishes them as its OIDFactory and DefaultOIDClassName.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/tiBaseObject.h"

namespace kelvado {

class TtiQuery;
class TtiQueryParams;

class TOID : public TtiBaseObject {
public:
  TI_CLASS(TOID)
  TOID() = default;

  virtual std::string GetAsString() const = 0;
  virtual void SetAsString(const std::string& text) = 0;
  virtual Value GetAsVariant() const = 0;
  virtual void SetAsVariant(const Value& v) = 0;
  virtual bool IsNull() const = 0;
  // Moving values in and out of the stores (queries of the persistence layers).
  virtual void AssignToTIQueryParam(const std::string& paramName, TtiQueryParams& params) const = 0;
  virtual void AssignToTIQuery(const std::string& paramName, TtiQuery& query) const = 0;
  virtual void AssignFromTIQuery(const std::string& fieldName, TtiQuery& query) = 0;
  virtual bool EqualsQueryField(const std::string& fieldName, TtiQuery& query) const = 0;
  // Copies the value.
  virtual void Assign(const TOID& source) = 0;
  // -1, 0 or 1.
  virtual int Compare(const TOID& other) const = 0;
  virtual void SetToNull() = 0;
  virtual std::string NullOIDAsString() const = 0;
  // The next value for the database of the layer (empty names: the defaults). The base asks the layer's
  // next-OID manager through the source installed with tiSetNextOIDSource.
  virtual void GetNextValue(const std::string& dbName = {}, const std::string& layerName = {});

  bool Equals(const TOID& other) const { return Compare(other) == 0; }
  // A new OID of the same class with the same value.
  std::unique_ptr<TOID> Clone() const;
};

// Installed by the persistence manager: assigns the next value to `oid` for a database of a layer (the
// layer's TNextOIDMgr). Without it TOID::GetNextValue raises EtiPerInternalException.
void tiSetNextOIDSource(std::function<void(TOID& oid, const std::string& dbName, const std::string& layerName)> f);

class TNextOIDGenerator : public TtiBaseObject {
public:
  TI_CLASS(TNextOIDGenerator)
  TNextOIDGenerator() = default;
  const std::string& GetDatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name) { databaseName_ = name; }
  virtual void AssignNextOID(TOID& oid, const std::string& dbName, const std::string& layerName) = 0;

private:
  std::string databaseName_;
};

// One generator per database name, for one persistence layer.
class TNextOIDMgr : public TtiBaseObject {
public:
  TI_CLASS(TNextOIDMgr)
  TNextOIDMgr() = default;
  explicit TNextOIDMgr(std::string perLayerName) : perLayerName_(std::move(perLayerName)) {}
  // Ignoring case; null when none.
  TNextOIDGenerator* FindByDatabaseName(const std::string& name) const;
  // The found generator, else a new one of the default OID class's generator class for that database.
  TNextOIDGenerator& FindCreateByDatabaseName(const std::string& name);
  virtual void AssignNextOID(TOID& oid, const std::string& dbName);
  void UnloadNextOIDGenerator(const std::string& dbName);
  size_t Count() const { return generators_.size(); }

private:
  std::string perLayerName_;
  std::vector<std::unique_ptr<TNextOIDGenerator>> generators_;
};

class TOIDClassMapping : public TtiBaseObject {
public:
  TI_CLASS(TOIDClassMapping)
  TOIDClassMapping() = default;
  TOIDClassMapping(std::string name, const TtiClass* oidClass, const TtiClass* generatorClass)
      : OIDClassName(std::move(name)), OIDClass(oidClass), NextOIDGeneratorClass(generatorClass) {}
  std::string OIDClassName;
  const TtiClass* OIDClass = nullptr;
  const TtiClass* NextOIDGeneratorClass = nullptr;
};

class TOIDFactory : public TtiBaseObject {
public:
  TI_CLASS(TOIDFactory)
  TOIDFactory() = default;
  // A name already registered (ignoring case) raises Exception "Attempt to register duplicated OID type: ...".
  // The classes must be concrete descendants of TOID and TNextOIDGenerator (EtiPerProgrammerException).
  void RegisterMapping(const std::string& name, const TtiClass& oidClass, const TtiClass& nextOIDGeneratorClass);
  // Ignoring case; null when none.
  const TOIDClassMapping* FindByOIDClassName(const std::string& name) const;
  // Empty name: the default OID class name. A name without mapping raises EtiPerProgrammerException.
  std::unique_ptr<TOID> CreateOID(const std::string& name = {}) const;
  std::unique_ptr<TNextOIDGenerator> CreateNextOIDGenerator(const std::string& name = {}) const;

  const std::string& GetDefaultOIDClassName() const { return defaultOIDClassName_; }
  void SetDefaultOIDClassName(const std::string& name) { defaultOIDClassName_ = name; }

private:
  std::vector<std::unique_ptr<TOIDClassMapping>> mappings_;
  std::string defaultOIDClassName_;
};

// The process-wide factory, created on first use with the GUID identifier registered as
// "OIDClassNameGUID" and made the default. Not thread-safe to change; read freely.
TOIDFactory& tiOIDFactory();

}  // namespace kelvado

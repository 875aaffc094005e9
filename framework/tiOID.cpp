#include "framework/tiOID.h"

#include <mutex>

#include "framework/tiOIDGUID.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace {

std::mutex gNextOIDSourceLock;
std::function<void(TOID&, const std::string&, const std::string&)>& NextOIDSource() {
  static std::function<void(TOID&, const std::string&, const std::string&)> f;
  return f;
}

}  // namespace

// ---- TOID ----

const TtiClass& TOID::StaticClass() {
  static const TtiClass c(TtiClass::Of<TOID, TtiBaseObject>(), "TOID");
  return c;
}

void tiSetNextOIDSource(std::function<void(TOID&, const std::string&, const std::string&)> f) {
  std::lock_guard<std::mutex> lock(gNextOIDSourceLock);
  NextOIDSource() = std::move(f);
}

void TOID::GetNextValue(const std::string& dbName, const std::string& layerName) {
  std::function<void(TOID&, const std::string&, const std::string&)> f;
  {
    std::lock_guard<std::mutex> lock(gNextOIDSourceLock);
    f = NextOIDSource();
  }
  if (!f)
    throw EtiPerInternalException("Unable to draw the next %s: no persistence layer hands out identifiers",
                                  {ClassName()});
  f(*this, dbName, layerName);
}

std::unique_ptr<TOID> TOID::Clone() const {
  auto c = Class().CreateAs<TOID>();
  c->Assign(*this);
  return c;
}

// ---- generators ----

const TtiClass& TNextOIDGenerator::StaticClass() {
  static const TtiClass c(TtiClass::Of<TNextOIDGenerator, TtiBaseObject>(), "TNextOIDGenerator");
  return c;
}

const TtiClass& TNextOIDMgr::StaticClass() {
  static const TtiClass c(TtiClass::Of<TNextOIDMgr, TtiBaseObject>(), "TNextOIDMgr");
  return c;
}

TNextOIDGenerator* TNextOIDMgr::FindByDatabaseName(const std::string& name) const {
  for (auto& g : generators_)
    if (SameTextAscii(g->GetDatabaseName(), name)) return g.get();
  return nullptr;
}

TNextOIDGenerator& TNextOIDMgr::FindCreateByDatabaseName(const std::string& name) {
  if (TNextOIDGenerator* g = FindByDatabaseName(name)) return *g;
  auto g = tiOIDFactory().CreateNextOIDGenerator(tiOIDFactory().GetDefaultOIDClassName());
  g->SetDatabaseName(name);
  generators_.push_back(std::move(g));
  return *generators_.back();
}

void TNextOIDMgr::AssignNextOID(TOID& oid, const std::string& dbName) {
  FindCreateByDatabaseName(dbName).AssignNextOID(oid, dbName, perLayerName_);
}

void TNextOIDMgr::UnloadNextOIDGenerator(const std::string& dbName) {
  std::erase_if(generators_, [&](const auto& g) { return SameTextAscii(g->GetDatabaseName(), dbName); });
}

// ---- factory ----

const TtiClass& TOIDClassMapping::StaticClass() {
  static const TtiClass c(TtiClass::Of<TOIDClassMapping, TtiBaseObject>(), "TOIDClassMapping");
  return c;
}

const TtiClass& TOIDFactory::StaticClass() {
  static const TtiClass c(TtiClass::Of<TOIDFactory, TtiBaseObject>(), "TOIDFactory");
  return c;
}

void TOIDFactory::RegisterMapping(const std::string& name, const TtiClass& oidClass,
                                  const TtiClass& nextOIDGeneratorClass) {
  if (FindByOIDClassName(name))
    throw Exception("Attempt to register duplicated OID type: " + name +
                    "\r\rOnly one OID implementation unit may be part of the program.");
  if (!oidClass.InheritsFrom(TOID::StaticClass()) || oidClass.IsAbstract())
    throw EtiPerProgrammerException("OID class <%s> is not a concrete TOID", {oidClass.Name()});
  if (!nextOIDGeneratorClass.InheritsFrom(TNextOIDGenerator::StaticClass()) || nextOIDGeneratorClass.IsAbstract())
    throw EtiPerProgrammerException("Generator class <%s> is not a concrete TNextOIDGenerator",
                                    {nextOIDGeneratorClass.Name()});
  mappings_.push_back(std::make_unique<TOIDClassMapping>(name, &oidClass, &nextOIDGeneratorClass));
}

const TOIDClassMapping* TOIDFactory::FindByOIDClassName(const std::string& name) const {
  for (auto& m : mappings_)
    if (SameTextAscii(m->OIDClassName, name)) return m.get();
  return nullptr;
}

namespace {

const TOIDClassMapping& MappingOrFail(const TOIDFactory& f, const std::string& name) {
  const std::string& n = name.empty() ? f.GetDefaultOIDClassName() : name;
  const TOIDClassMapping* m = f.FindByOIDClassName(n);
  if (!m) throw EtiPerProgrammerException("No OID class registered under the name <%s>", {n});
  return *m;
}

}  // namespace

std::unique_ptr<TOID> TOIDFactory::CreateOID(const std::string& name) const {
  return MappingOrFail(*this, name).OIDClass->CreateAs<TOID>();
}

std::unique_ptr<TNextOIDGenerator> TOIDFactory::CreateNextOIDGenerator(const std::string& name) const {
  return MappingOrFail(*this, name).NextOIDGeneratorClass->CreateAs<TNextOIDGenerator>();
}

TOIDFactory& tiOIDFactory() {
  static TOIDFactory* factory = [] {
    static TOIDFactory f;
    tiRegisterOIDGUID(f);
    return &f;
  }();
  return *factory;
}

}  // namespace kelvado

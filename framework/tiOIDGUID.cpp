#include "framework/tiOIDGUID.h"

#include <algorithm>
#include <cstring>

#include "framework/tiUtils.h"
#include "framework/tiQuery.h"

namespace kelvado {

const TtiClass& TOIDGUID::StaticClass() {
  static const TtiClass c(TtiClass::Of<TOIDGUID, TOID>(), "TOIDGUID");
  return c;
}

const TtiClass& TNextOIDGeneratorGUID::StaticClass() {
  static const TtiClass c(TtiClass::Of<TNextOIDGeneratorGUID, TNextOIDGenerator>(), "TNextOIDGeneratorGUID");
  return c;
}

int TOIDGUID::Compare(const TOID& other) const {
  // Texts of at most 255 characters, byte by byte.
  const std::string o = other.GetAsString();
  const size_t la = std::min<size_t>(text_.size(), 255), lb = std::min<size_t>(o.size(), 255);
  const int c = std::memcmp(text_.data(), o.data(), std::min(la, lb));
  if (c != 0) return c < 0 ? -1 : 1;
  return la == lb ? 0 : (la < lb ? -1 : 1);
}

void TOIDGUID::GetNextValue(const std::string& dbName, const std::string& layerName) {
  TNextOIDGeneratorGUID g;
  g.AssignNextOID(*this, dbName, layerName);
}

void TNextOIDGeneratorGUID::AssignNextOID(TOID& oid, const std::string&, const std::string&) {
  oid.SetAsString(tiCreateGUIDText());
}

void TOIDGUID::AssignToTIQueryParam(const std::string& paramName, TtiQueryParams& params) const {
  params.SetValueAsString(paramName, text_);
}
void TOIDGUID::AssignToTIQuery(const std::string& paramName, TtiQuery& query) const {
  query.SetParamAsString(paramName, text_);
}
void TOIDGUID::AssignFromTIQuery(const std::string& fieldName, TtiQuery& query) {
  text_ = query.FieldAsString(fieldName);
}
bool TOIDGUID::EqualsQueryField(const std::string& fieldName, TtiQuery& query) const {
  return text_ == query.FieldAsString(fieldName);
}

void tiRegisterOIDGUID(TOIDFactory& factory) {
  if (!factory.FindByOIDClassName(cOIDClassNameGUID))
    factory.RegisterMapping(cOIDClassNameGUID, TOIDGUID::StaticClass(), TNextOIDGeneratorGUID::StaticClass());
  if (factory.GetDefaultOIDClassName().empty()) factory.SetDefaultOIDClassName(cOIDClassNameGUID);
}

}  // namespace kelvado

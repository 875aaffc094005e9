#pragma once
// The system's only identifier kind: a GUID held as 36-character text (8-4-4-4-12 upper-case hexadecimal
// digits), registered as "OIDClassNameGUID". A new TOIDGUID is null (empty text).
#include <string>

#include "framework/tiOID.h"

namespace kelvado {

inline constexpr const char* cOIDClassNameGUID = "OIDClassNameGUID";

class TOIDGUID : public TOID {
public:
  TI_CLASS(TOIDGUID)
  TOIDGUID() = default;

  std::string GetAsString() const override { return text_; }
  void SetAsString(const std::string& text) override { text_ = text; }
  Value GetAsVariant() const override { return Value(text_); }
  void SetAsVariant(const Value& v) override { text_ = v.AsString(); }
  bool IsNull() const override { return text_.empty(); }
  void AssignToTIQueryParam(const std::string& paramName, TtiQueryParams& params) const override;
  void AssignToTIQuery(const std::string& paramName, TtiQuery& query) const override;
  void AssignFromTIQuery(const std::string& fieldName, TtiQuery& query) override;
  bool EqualsQueryField(const std::string& fieldName, TtiQuery& query) const override;
  void Assign(const TOID& source) override { text_ = source.GetAsString(); }
  // Byte-wise on the texts (case-sensitive); a prefix is lower.
  int Compare(const TOID& other) const override;
  void SetToNull() override { text_.clear(); }
  std::string NullOIDAsString() const override { return {}; }
  // A fresh GUID; no next-OID manager involved.
  void GetNextValue(const std::string& dbName = {}, const std::string& layerName = {}) override;

private:
  std::string text_;
};

class TNextOIDGeneratorGUID : public TNextOIDGenerator {
public:
  TI_CLASS(TNextOIDGeneratorGUID)
  TNextOIDGeneratorGUID() = default;
  void AssignNextOID(TOID& oid, const std::string& dbName, const std::string& layerName) override;
};

// Registers the GUID mapping with the factory (once; tiOIDFactory() calls it when it creates the factory).
void tiRegisterOIDGUID(TOIDFactory& factory);

}  // namespace kelvado

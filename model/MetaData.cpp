#include "model/MetaData.h"

#include "framework/tiUtils.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsTexts.h"

namespace kelvado {

// ---- TMetaData ----

const TtiClass& TMetaData::StaticClass() {
  static const TtiClass c(TtiClass::Of<TMetaData, TtiObject>(), "TMetaData", [](TtiPropTableBuilder<TMetaData>& b) {
    b.Boolean("IsProtected", &TMetaData::GetIsProtected, &TMetaData::SetIsProtected)
        .DateTime("DateTime", &TMetaData::GetDateTime, &TMetaData::SetDateTime)
        .String("Info", &TMetaData::GetInfo, &TMetaData::SetInfo)
        .String("Name", &TMetaData::GetName, &TMetaData::SetName)
        .String("Owner", &TMetaData::GetOwnerName, &TMetaData::SetOwnerName)
        .Enumeration("NormVersion", &TMetaData::GetNormVersion, &TMetaData::SetNormVersion,
                     EnumInfo<TNormVersion>::Names)
        .String("NormVersionString", &TMetaData::GetNormVersionString, &TMetaData::SetNormVersionString)
        .Enumeration("KVDVersion", &TMetaData::GetKVDVersion, &TMetaData::SetKVDVersion,
                     EnumInfo<TKelvadoVersion>::Names)
        .String("KVDVersionOriginalString", &TMetaData::GetKVDVersionOriginalString,
                &TMetaData::SetKVDVersionOriginalString)
        .String("KelvadoVersionString", &TMetaData::GetKelvadoVersionString, &TMetaData::SetKelvadoVersionString);
  });
  return c;
}

TMetaData::TMetaData() { SetDefaults(); }

void TMetaData::SetDefaults() {
  isProtected_ = false;
  dateTime_ = DateTime{tiNow()};
  info_.clear();
  name_.clear();
  ownerName_ = GetWindowsUserName();
  normVersion_ = CurrentNormVersion;
  kvdVersion_ = CurrentKVDVersion;
}

std::string TMetaData::GetNormVersionString() const { return NormVersionText(normVersion_); }

void TMetaData::SetNormVersionString(const std::string& v) { normVersion_ = TextToNormVersion(v); }

std::string TMetaData::GetKelvadoVersionString() const { return VersionText(kvdVersion_); }

void TMetaData::SetKelvadoVersionString(const std::string& v) { kvdVersion_ = TextToVersion(v); }

void TMetaData::Assign(const TtiObject& source) {
  const auto* s = dynamic_cast<const TMetaData*>(&source);
  if (!s) throw EtiPerProgrammerException("Cannot assign a %s to a %s", {source.ClassName(), ClassName()});
  if (s == this) return;
  isProtected_ = s->isProtected_;
  dateTime_ = s->dateTime_;
  info_ = s->info_;
  name_ = s->name_;
  ownerName_ = s->ownerName_;
  normVersion_ = s->normVersion_;
  kvdVersion_ = s->kvdVersion_;
  kvdVersionOriginalString_ = s->kvdVersionOriginalString_;
}

std::unique_ptr<TtiObject> TMetaData::Clone() const {
  std::unique_ptr<TtiObject> c = TtiObject::Clone();
  c->SetObjectState(posCreate);
  c->GetOID().GetNextValue(GetDatabaseDatabaseNameLib(), GetDatabasePersistenceLayerName());
  return c;
}

// ---- TMetaDataList ----

const TtiClass& TMetaDataList::StaticClass() {
  static const TtiClass c(TtiClass::Of<TMetaDataList, TtiObjectList>(), "TMetaDataList");
  return c;
}

TMetaData* TMetaDataList::Items(int index) const {
  TtiObject* o = GetItems(index);
  auto* m = dynamic_cast<TMetaData*>(o);
  if (!m) throw EtiPerProgrammerException("%s holds a %s where a TMetaData is expected", {ClassName(), o->ClassName()});
  return m;
}

}  // namespace kelvado

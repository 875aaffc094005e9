#pragma once
// The header record of a library file (table "LibMetaData"): who made the library and when, a description,
// whether its items are write-protected, and the edition of the standard and program release it was written
// with. Project files carry the table empty. TMetaDataList is the owning list the stores deliver it in.
#include <memory>
#include <string>

#include "framework/tiObject.h"
#include "framework/tiValue.h"
#include "model/Enums.h"

namespace kelvado {

class TMetaData : public TtiObject {
public:
  TI_CLASS(TMetaData)
  // With the defaults of SetDefaults.
  TMetaData();

  // Not protected today; the running program's edition and release; now; empty texts; the logged-on user.
  void SetDefaults();

  bool GetIsProtected() const { return isProtected_; }
  void SetIsProtected(bool v) { isProtected_ = v; }
  DateTime GetDateTime() const { return dateTime_; }
  void SetDateTime(DateTime v) { dateTime_ = v; }
  const std::string& GetInfo() const { return info_; }
  void SetInfo(const std::string& v) { info_ = v; }
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { name_ = v; }
  // Published as "Owner" (the author). C++ cannot reuse GetOwner: that is the object-ownership link of
  // TtiObject, which the record keeps as well.
  const std::string& GetOwnerName() const { return ownerName_; }
  void SetOwnerName(const std::string& v) { ownerName_ = v; }
  TNormVersion GetNormVersion() const { return normVersion_; }
  void SetNormVersion(TNormVersion v) { normVersion_ = v; }
  // The edition text of NormVersion; writing a text that names no edition gives ver13849Unknown.
  std::string GetNormVersionString() const;
  void SetNormVersionString(const std::string& v);
  TKelvadoVersion GetKVDVersion() const { return kvdVersion_; }
  void SetKVDVersion(TKelvadoVersion v) { kvdVersion_ = v; }
  // A release text as the stores hand it over, kept as it is.
  const std::string& GetKVDVersionOriginalString() const { return kvdVersionOriginalString_; }
  void SetKVDVersionOriginalString(const std::string& v) { kvdVersionOriginalString_ = v; }
  // The release text of KVDVersion; writing a text that names no release gives verKVDUnknown.
  std::string GetKelvadoVersionString() const;
  void SetKelvadoVersionString(const std::string& v);

  // IsProtected, DateTime, Info, Name, Owner, the two stamps and the release text as handed over; no event.
  void Assign(const TtiObject& source) override;
  // The framework's copy, in state posCreate, with a new identifier for the library database.
  std::unique_ptr<TtiObject> Clone() const override;

private:
  bool isProtected_ = false;
  DateTime dateTime_{};
  std::string info_;
  std::string name_;
  std::string ownerName_;
  TNormVersion normVersion_ = CurrentNormVersion;
  TKelvadoVersion kvdVersion_ = CurrentKVDVersion;
  std::string kvdVersionOriginalString_;
};

class TMetaDataList : public TtiObjectList {
public:
  TI_CLASS(TMetaDataList)
  TMetaDataList() = default;
  TMetaData* Items(int index) const;
};

}  // namespace kelvado

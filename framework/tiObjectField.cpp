// TtiFieldAbs: a typed field held in an Object property of its owner.
#include "framework/tiExcept.h"
#include "framework/tiFormat.h"
#include "framework/tiObject.h"

namespace kelvado {

const TtiClass& TtiFieldAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiFieldAbs, TtiVisited>(), "TtiFieldAbs");
  return c;
}

const std::string& TtiFieldAbs::FieldName() const {
  if (!fieldName_.empty()) return fieldName_;
  if (owner_)
    for (const TtiPropInfo* row : owner_->Class().Props().ObjectRows())
      if (row->Kind() == TtiPropKind::Object && row->RawObject(*owner_) == this) return fieldName_ = row->Name();
  throw Exception(tiFormat("Unable to determine field name on <%s>", {owner_ ? owner_->ClassName() : "nil"}));
}

bool TtiFieldAbs::IsValid(TPerObjErrors* errors) const {
  if (!nullIsInvalid_ || !isNull_) return true;
  if (errors) {
    const std::string name = FieldName();
    const std::string oid = owner_ && owner_->HasOID() ? owner_->GetOID().GetAsString() : std::string();
    errors->AddError((owner_ ? owner_->ClassName() : std::string("nil")) + "." + name,
                     tiFormat("Field <%s> is null. OID=%s", {name, oid}));
  }
  return false;
}

}  // namespace kelvado

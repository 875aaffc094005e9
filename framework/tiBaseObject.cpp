#include "framework/tiBaseObject.h"

namespace kelvado {

namespace {

bool SameTextNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

const char* PropKindName(TtiPropKind k) {
  switch (k) {
    case TtiPropKind::Integer: return "Integer";
    case TtiPropKind::Float: return "Float";
    case TtiPropKind::String: return "String";
    case TtiPropKind::Boolean: return "Boolean";
    case TtiPropKind::Enumeration: return "Enumeration";
    case TtiPropKind::DateTime: return "DateTime";
    case TtiPropKind::Object: return "Object";
    case TtiPropKind::List: return "List";
  }
  return "Unknown";
}

int tiEnumOrdinal(TtiEnumNames names, std::string_view text) {
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == text) return static_cast<int>(i);
  for (size_t i = 0; i < names.size(); ++i)
    if (SameTextNoCase(names[i], text)) return static_cast<int>(i);
  return -1;
}

std::string_view tiEnumName(TtiEnumNames names, int64_t ordinal) {
  if (ordinal < 0 || ordinal >= static_cast<int64_t>(names.size()))
    throw EConvertError("Enumeration ordinal %d out of range 0..%d", {ordinal, static_cast<int64_t>(names.size()) - 1});
  return names[static_cast<size_t>(ordinal)];
}

// ---- TtiPropInfo ----

void TtiPropInfo::CheckObject(const TtiBaseObject& obj) const {
  if (!obj.InheritsFrom(*declaring_))
    throw EtiPerProgrammerException("Property %s.%s read on an object of class %s",
                                    {declaring_->Name(), name_, obj.ClassName()});
}

void TtiPropInfo::SetError(const TtiBaseObject& obj, const std::string& why) const {
  throw EtiPerProgrammerException("Error setting property %s.%s Message %s", {obj.ClassName(), name_, why});
}

Value TtiPropInfo::Get(const TtiBaseObject& obj) const {
  CheckObject(obj);
  if (!IsSimple())
    throw EtiPerProgrammerException("Error getting property %s.%s Message %s",
                                    {obj.ClassName(), name_, "Not a simple property"});
  Value v = get_(obj);
  if (kind_ == TtiPropKind::Enumeration) {
    int64_t ord = v.AsInteger();
    if (ord < 0 || ord >= static_cast<int64_t>(enumNames_.size()))
      throw EtiPerProgrammerException("Error getting property %s.%s Message %s",
                                      {obj.ClassName(), name_, "Ordinal out of range: " + std::to_string(ord)});
    return Value(enumNames_[static_cast<size_t>(ord)]);
  }
  return v;
}

void TtiPropInfo::Set(TtiBaseObject& obj, const Value& v) const {
  CheckObject(obj);
  if (!IsSimple()) SetError(obj, "Not a simple property");
  if (!set_) SetError(obj, "Property is read-only");
  Value stored = v;
  try {
    switch (kind_) {
      case TtiPropKind::Enumeration: {
        int64_t ord;
        if (v.IsString()) {
          ord = tiEnumOrdinal(enumNames_, v.AsString());
          if (ord < 0) SetError(obj, "Unknown identifier <" + v.AsString() + ">");
        } else if (v.IsInteger()) {
          ord = v.AsInteger();
        } else {
          SetError(obj, std::string("Invalid value kind ") + Value::KindName(v.GetKind()));
        }
        if (ord < 0 || ord >= static_cast<int64_t>(enumNames_.size()))
          SetError(obj, "Ordinal out of range: " + std::to_string(ord));
        stored = Value(ord);
        break;
      }
      case TtiPropKind::Integer: (void)v.AsInteger(); break;
      case TtiPropKind::Float: (void)v.AsFloat(); break;
      case TtiPropKind::Boolean: (void)v.AsBoolean(); break;
      case TtiPropKind::DateTime: (void)v.AsDateTime(); break;
      default: break;
    }
  } catch (const EConvertError& e) {
    SetError(obj, e.Message());
  }
  try {
    set_(obj, stored);
  } catch (const EConvertError& e) {  // integer range of the setter
    SetError(obj, e.Message());
  }
}

TtiVisited* TtiPropInfo::GetObject(const TtiBaseObject& obj) const {
  CheckObject(obj);
  if (kind_ != TtiPropKind::Object)
    throw EtiPerProgrammerException("Property %s.%s is not an object property", {obj.ClassName(), name_});
  return getObj_(obj);
}

TtiObjectList* TtiPropInfo::GetList(const TtiBaseObject& obj) const {
  CheckObject(obj);
  if (kind_ != TtiPropKind::List)
    throw EtiPerProgrammerException("Property %s.%s is not a list property", {obj.ClassName(), name_});
  return getList_(obj);
}

// ---- TtiPropTable ----

const TtiPropInfo* TtiPropTable::Find(std::string_view name) const {
  for (const TtiPropInfo& r : rows_)
    if (SameTextNoCase(r.Name(), name)) return &r;
  return nullptr;
}

void TtiPropTable::Add(TtiPropInfo row) {
  for (TtiPropInfo& r : rows_)
    if (SameTextNoCase(r.Name(), row.Name())) {
      r = std::move(row);  // a redeclared property keeps its ancestor's place
      return;
    }
  rows_.push_back(std::move(row));
}

void TtiPropTable::Index() {
  objectRows_.clear();
  simpleRows_.clear();
  for (const TtiPropInfo& r : rows_) (r.IsSimple() ? simpleRows_ : objectRows_).push_back(&r);
}

// ---- TtiClass ----

TtiClass::TtiClass(std::string_view name, const TtiClass* parent, Factory f, std::type_index type)
    : name_(name), parent_(parent), factory_(f), type_(type) {
  if (parent_) props_.rows_ = parent_->props_.rows_;
}

bool TtiClass::InheritsFrom(const TtiClass& other) const {
  for (const TtiClass* c = this; c; c = c->parent_)
    if (c == &other) return true;
  return false;
}

std::unique_ptr<TtiBaseObject> TtiClass::CreateInstance() const {
  if (!factory_) throw EtiPerProgrammerException("Cannot create an instance of abstract class %s", {name_});
  return factory_();
}

void TtiClass::ThrowNotA(const TtiClass& wanted) const {
  throw EtiPerProgrammerException("Class %s is not a %s", {name_, wanted.Name()});
}

void TtiClass::ThrowParentUndeclared() const {
  throw EtiPerProgrammerException("The parent class of %s does not declare its class (TI_CLASS)", {name_});
}

// ---- TtiBaseObject ----

const TtiClass& TtiBaseObject::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiBaseObject, void>(), "TtiBaseObject");
  return c;
}

bool TtiBaseObject::TestValid(const TtiBaseObject* obj, const TtiClass* cls, bool allowNil) {
  if (!obj) return allowNil;
  if (!cls) return true;
  return obj->InheritsFrom(*cls);
}

}  // namespace kelvado

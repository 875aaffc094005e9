#pragma once
// Root of the framework's objects, their class descriptors and the per-class property table.
// The design is explained at the top of framework/tiObject.h.
#include <concepts>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <utility>
#include <vector>

#include "framework/tiExcept.h"
#include "framework/tiValue.h"

namespace kelvado {

class TtiBaseObject;
class TtiVisited;
class TtiObjectList;
class TtiClass;

// Declares a class's descriptor inside the class body: `TI_CLASS(TElement)`. Define StaticClass() in the
// .cpp (see TtiClass).
#define TI_CLASS(T)                            \
  static const ::kelvado::TtiClass& StaticClass(); \
  const ::kelvado::TtiClass& Class() const override { return T::StaticClass(); }

// Kind of a published property.
enum class TtiPropKind : uint8_t { Integer, Float, String, Boolean, Enumeration, DateTime, Object, List };
const char* PropKindName(TtiPropKind k);

// Identifier texts of an enumeration, indexed by ordinal ("catB", "cat1", ...). Must have static storage.
using TtiEnumNames = std::span<const std::string_view>;
// Ordinal of an identifier text (exact match first, then ignoring case); -1 when none.
int tiEnumOrdinal(TtiEnumNames names, std::string_view text);
// Identifier text of an ordinal; an ordinal outside the names raises EConvertError naming it.
std::string_view tiEnumName(TtiEnumNames names, int64_t ordinal);

// One row of a property table.
class TtiPropInfo {
public:
  const std::string& Name() const { return name_; }
  TtiPropKind Kind() const { return kind_; }
  // Simple kinds are everything but Object and List.
  bool IsSimple() const { return kind_ != TtiPropKind::Object && kind_ != TtiPropKind::List; }
  bool CanWrite() const { return static_cast<bool>(set_); }
  bool IsReadWrite() const { return IsSimple() && CanWrite(); }
  TtiEnumNames EnumNames() const { return enumNames_; }
  const TtiClass& DeclaringClass() const { return *declaring_; }

  // Simple kinds. Enumerations read as their identifier text and accept the text (any case) or the ordinal;
  // booleans read as Boolean; date-times as DateTime. The object must be of the declaring class or below
  // (EtiPerProgrammerException otherwise). Set on a read-only row raises EtiPerProgrammerException; a value
  // that does not convert raises EtiPerProgrammerException "Error setting property %s.%s Message %s".
  // Exceptions of the setter itself (a refused value) pass unchanged.
  Value Get(const TtiBaseObject& obj) const;
  void Set(TtiBaseObject& obj, const Value& v) const;
  // Object rows: the object held (may be null). List rows: the list whose items a walk visits (may be null).
  TtiVisited* GetObject(const TtiBaseObject& obj) const;
  TtiObjectList* GetList(const TtiBaseObject& obj) const;

  // Unchecked access for the framework's own loops, which take rows from the object's own table. Enumerations
  // travel as their ordinal (Integer) here.
  Value RawGet(const TtiBaseObject& obj) const { return get_(obj); }
  void RawSet(TtiBaseObject& obj, const Value& v) const { set_(obj, v); }
  TtiVisited* RawObject(const TtiBaseObject& obj) const { return getObj_(obj); }
  TtiObjectList* RawList(const TtiBaseObject& obj) const { return getList_(obj); }

private:
  template <class C>
  friend class TtiPropTableBuilder;
  void CheckObject(const TtiBaseObject& obj) const;
  [[noreturn]] void SetError(const TtiBaseObject& obj, const std::string& why) const;

  std::string name_;
  TtiPropKind kind_ = TtiPropKind::Integer;
  const TtiClass* declaring_ = nullptr;
  TtiEnumNames enumNames_;
  std::function<Value(const TtiBaseObject&)> get_;
  std::function<void(TtiBaseObject&, const Value&)> set_;
  std::function<TtiVisited*(const TtiBaseObject&)> getObj_;
  std::function<TtiObjectList*(const TtiBaseObject&)> getList_;
};

// A class's published properties: its ancestors' rows first, then its own, each group in declaration order.
// A row that repeats an ancestor's name (ignoring case) replaces that row in place.
class TtiPropTable {
public:
  using const_iterator = std::vector<TtiPropInfo>::const_iterator;
  const_iterator begin() const { return rows_.begin(); }
  const_iterator end() const { return rows_.end(); }
  size_t size() const { return rows_.size(); }
  const TtiPropInfo& operator[](size_t i) const { return rows_.at(i); }
  // Row by name ignoring case; null when the class publishes no such property.
  const TtiPropInfo* Find(std::string_view name) const;
  // Object and List rows in table order (what a visitor walk expands).
  const std::vector<const TtiPropInfo*>& ObjectRows() const { return objectRows_; }
  // Simple rows in table order.
  const std::vector<const TtiPropInfo*>& SimpleRows() const { return simpleRows_; }

  TtiPropTable(const TtiPropTable&) = delete;  // the row indexes point into rows_
  TtiPropTable& operator=(const TtiPropTable&) = delete;

private:
  friend class TtiClass;
  template <class C>
  friend class TtiPropTableBuilder;
  TtiPropTable() = default;
  void Add(TtiPropInfo row);
  void Index();
  std::vector<TtiPropInfo> rows_;
  std::vector<const TtiPropInfo*> objectRows_;
  std::vector<const TtiPropInfo*> simpleRows_;
};

// Fills the rows of class C. Getters are anything std::invoke can call on `const C&` (a const member function,
// a data member pointer or a lambda); setters anything callable with (C&, value), usually a member function.
// Omit the setter (or pass nullptr) for a read-only property.
template <class C>
class TtiPropTableBuilder {
public:
  template <class G, class S = std::nullptr_t>
  TtiPropTableBuilder& Integer(std::string_view name, G get, S set = nullptr) {
    TtiPropInfo& r = Row(name, TtiPropKind::Integer);
    r.get_ = [get](const TtiBaseObject& o) { return Value(static_cast<int64_t>(std::invoke(get, Self(o)))); };
    if constexpr (!std::is_null_pointer_v<S>) {
      r.set_ = [set](TtiBaseObject& o, const Value& v) {
        using A = std::remove_cvref_t<std::invoke_result_t<G, const C&>>;
        const int64_t x = v.AsInteger();
        if (!std::in_range<A>(x)) throw EConvertError("Value out of range: " + v.AsString());
        std::invoke(set, Self(o), static_cast<A>(x));
      };
    }
    return *this;
  }
  template <class G, class S = std::nullptr_t>
  TtiPropTableBuilder& Float(std::string_view name, G get, S set = nullptr) {
    return Simple<double>(name, TtiPropKind::Float, get, set);
  }
  template <class G, class S = std::nullptr_t>
  TtiPropTableBuilder& String(std::string_view name, G get, S set = nullptr) {
    return Simple<std::string>(name, TtiPropKind::String, get, set);
  }
  template <class G, class S = std::nullptr_t>
  TtiPropTableBuilder& Boolean(std::string_view name, G get, S set = nullptr) {
    return Simple<bool>(name, TtiPropKind::Boolean, get, set);
  }
  template <class G, class S = std::nullptr_t>
  TtiPropTableBuilder& DateTime(std::string_view name, G get, S set = nullptr) {
    return Simple<::kelvado::DateTime>(name, TtiPropKind::DateTime, get, set);
  }
  // The getter returns an enum (or integer) whose ordinals index `names`.
  template <class G, class S>
  TtiPropTableBuilder& Enumeration(std::string_view name, G get, S set, TtiEnumNames names) {
    TtiPropInfo& r = Row(name, TtiPropKind::Enumeration);
    r.enumNames_ = names;
    r.get_ = [get](const TtiBaseObject& o) { return Value(static_cast<int64_t>(std::invoke(get, Self(o)))); };
    if constexpr (!std::is_null_pointer_v<S>) {
      r.set_ = [set](TtiBaseObject& o, const Value& v) {
        using E = std::remove_cvref_t<std::invoke_result_t<G, const C&>>;
        std::invoke(set, Self(o), static_cast<E>(v.AsInteger()));  // ordinal checked by TtiPropInfo::Set
      };
    }
    return *this;
  }
  // Read-only enumeration.
  template <class G>
  TtiPropTableBuilder& Enumeration(std::string_view name, G get, TtiEnumNames names) {
    return Enumeration(name, get, nullptr, names);
  }
  // An object held by the property (the getter gives a pointer, a unique_ptr or a reference); a walk visits it
  // and its graph.
  template <class G>
  TtiPropTableBuilder& Object(std::string_view name, G get) {
    TtiPropInfo& r = Row(name, TtiPropKind::Object);
    r.getObj_ = [get](const TtiBaseObject& o) -> TtiVisited* { return RawPtr(std::invoke(get, Self(o))); };
    return *this;
  }
  // A list whose items a walk visits (the list object itself is not visited through this row). The getter
  // gives a pointer, a unique_ptr or a reference to a TtiObjectList.
  template <class G>
  TtiPropTableBuilder& List(std::string_view name, G get) {
    TtiPropInfo& r = Row(name, TtiPropKind::List);
    r.getList_ = [get](const TtiBaseObject& o) -> TtiObjectList* { return RawPtr(std::invoke(get, Self(o))); };
    return *this;
  }

private:
  friend class TtiClass;
  TtiPropTableBuilder(TtiPropTable& table, const TtiClass& cls) : table_(table), cls_(cls) {}

  static const C& Self(const TtiBaseObject& o) { return static_cast<const C&>(o); }
  static C& Self(TtiBaseObject& o) { return static_cast<C&>(o); }
  template <class T>
  static T* RawPtr(T* p) { return p; }
  template <class T, class D>
  static T* RawPtr(const std::unique_ptr<T, D>& p) { return p.get(); }
  template <class T>
    requires std::is_base_of_v<TtiBaseObject, T>
  static T* RawPtr(T& r) { return &r; }

  template <class T, class G, class S>
  TtiPropTableBuilder& Simple(std::string_view name, TtiPropKind kind, G get, S set) {
    TtiPropInfo& r = Row(name, kind);
    r.get_ = [get](const TtiBaseObject& o) { return Value(T(std::invoke(get, Self(o)))); };
    if constexpr (!std::is_null_pointer_v<S>) {
      r.set_ = [set](TtiBaseObject& o, const Value& v) {
        if constexpr (std::is_same_v<T, double>) std::invoke(set, Self(o), v.AsFloat());
        else if constexpr (std::is_same_v<T, std::string>) std::invoke(set, Self(o), v.AsString());
        else if constexpr (std::is_same_v<T, bool>) std::invoke(set, Self(o), v.AsBoolean());
        else std::invoke(set, Self(o), v.AsDateTime());
      };
    }
    return *this;
  }
  TtiPropInfo& Row(std::string_view name, TtiPropKind kind);

  TtiPropTable& table_;
  const TtiClass& cls_;
};

// Class descriptor: the class's name, its parent, a factory for a new instance and its property table, so that
// code holding only an object can create another of its class and walk its published properties. One per class,
// built on first use in the class's StaticClass() (a function-local static), never copied.
class TtiClass {
public:
  using Factory = std::unique_ptr<TtiBaseObject> (*)();
  template <class C, class P>
  struct Tag {};
  // Tag naming class C and its parent P (void for the root).
  template <class C, class P>
  static constexpr Tag<C, P> Of() { return {}; }

  // Descriptor of C (built in place: rows point back at it). `build` adds C's own published rows, after the
  // parent's. C gets a factory when it is concrete and default-constructible. Typical use, in the .cpp:
  //   const TtiClass& TFoo::StaticClass() {
  //     static const TtiClass c(TtiClass::Of<TFoo, TBar>(), "TFoo", [](TtiPropTableBuilder<TFoo>& b) {
  //       b.String("Name", &TFoo::GetName, &TFoo::SetName).Float("Weight", &TFoo::GetWeight);
  //     });
  //     return c;
  //   }
  template <class C, class P>
  TtiClass(Tag<C, P>, std::string_view name, std::type_identity_t<void (*)(TtiPropTableBuilder<C>&)> build = nullptr)
      : TtiClass(name, ParentOf<P>(), FactoryOf<C>(), typeid(C)) {
    static_assert(std::is_void_v<P> || std::is_base_of_v<P, C>, "P must be the parent of C");
    // A parent without TI_CLASS would hand over its own parent's descriptor and lose its rows.
    if (parent_ && parent_->Type() != std::type_index(typeid(P))) ThrowParentUndeclared();
    if (build) {
      TtiPropTableBuilder<C> b(props_, *this);
      build(b);
    }
    props_.Index();
  }

  TtiClass(const TtiClass&) = delete;
  TtiClass& operator=(const TtiClass&) = delete;

  const std::string& Name() const { return name_; }
  const TtiClass* Parent() const { return parent_; }
  // True for this class and its descendants.
  bool InheritsFrom(const TtiClass& other) const;
  bool IsAbstract() const { return factory_ == nullptr; }
  const std::type_index& Type() const { return type_; }
  const TtiPropTable& Props() const { return props_; }

  // A new default-constructed instance (the virtual constructor). Abstract classes raise
  // EtiPerProgrammerException. CreateAs also checks the result is a T.
  std::unique_ptr<TtiBaseObject> CreateInstance() const;
  template <class T>
  std::unique_ptr<T> CreateAs() const {
    std::unique_ptr<TtiBaseObject> o = CreateInstance();
    T* t = dynamic_cast<T*>(o.get());
    if (!t) ThrowNotA(T::StaticClass());
    o.release();
    return std::unique_ptr<T>(t);
  }

private:
  TtiClass(std::string_view name, const TtiClass* parent, Factory f, std::type_index type);
  template <class P>
  static const TtiClass* ParentOf() {
    if constexpr (std::is_void_v<P>) return nullptr;
    else return &P::StaticClass();
  }
  template <class C>
  static Factory FactoryOf() {
    if constexpr (!std::is_abstract_v<C> && std::is_default_constructible_v<C>)
      return []() -> std::unique_ptr<TtiBaseObject> { return std::make_unique<C>(); };
    else return nullptr;
  }
  [[noreturn]] void ThrowNotA(const TtiClass& wanted) const;
  [[noreturn]] void ThrowParentUndeclared() const;

  std::string name_;
  const TtiClass* parent_;
  Factory factory_;
  std::type_index type_;
  TtiPropTable props_;
};

// Root of all framework objects. Not copyable: objects have identity; use Assign/Clone where offered.
class TtiBaseObject {
public:
  TtiBaseObject() = default;
  TtiBaseObject(const TtiBaseObject&) = delete;
  TtiBaseObject& operator=(const TtiBaseObject&) = delete;
  virtual ~TtiBaseObject() = default;

  static const TtiClass& StaticClass();
  virtual const TtiClass& Class() const { return StaticClass(); }
  const std::string& ClassName() const { return Class().Name(); }
  bool InheritsFrom(const TtiClass& cls) const { return Class().InheritsFrom(cls); }
  template <class T>
  bool Is() const { return Class().InheritsFrom(T::StaticClass()); }

  // A null object yields allowNil; a null class yields true; otherwise the object must be of the class.
  static bool TestValid(const TtiBaseObject* obj, const TtiClass* cls, bool allowNil = false);
  // True when the object's dynamic type declares its own descriptor (TI_CLASS); a class that forgot it would
  // pass for its parent (and Clone refuses it).
  bool DeclaresOwnClass() const { return std::type_index(typeid(*this)) == Class().Type(); }
};

template <class C>
TtiPropInfo& TtiPropTableBuilder<C>::Row(std::string_view name, TtiPropKind kind) {
  TtiPropInfo r;
  r.name_ = std::string(name);
  r.kind_ = kind;
  r.declaring_ = &cls_;
  table_.Add(std::move(r));
  return *const_cast<TtiPropInfo*>(table_.Find(name));
}

}  // namespace kelvado

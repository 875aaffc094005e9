#pragma once
// Persistent objects and owning lists.
//
// Design
// - Every framework class carries a class descriptor (TtiClass, framework/tiBaseObject.h): its name as users
//   and stores see it ("TElement"), its parent, a factory (the virtual constructor used by Clone and by the
//   stores) and its property table. A class declares it with TI_CLASS(T) in its body and defines
//   T::StaticClass() in its .cpp, building the descriptor once in a function-local static:
//
//     const TtiClass& TElement::StaticClass() {
//       static const TtiClass c(TtiClass::Of<TElement, TPerObjAbsEx>(), "TElement",
//                               [](TtiPropTableBuilder<TElement>& b) {
//         b.Float("B10d", &TElement::GetB10d, &TElement::SetB10d)
//          .Enumeration("DCDet", &TElement::GetDCDet, &TElement::SetDCDet, DeterminationNames)
//          .Object("DCMeasureOp", &TElement::GetDCMeasureOp)
//          .String("Name", &TElement::GetName, &TElement::SetName);
//       });
//       return c;
//     }
//
// - The property table lists a class's published properties. Rows come in declaration order, the ancestors' rows
//   first (a row that repeats an ancestor's name replaces it in place). Kinds: Integer, Float, String, Boolean,
//   Enumeration (with the model's identifier texts, e.g. {"catB", "cat1", ...}), DateTime, Object (an object
//   held by the property) and List (a list whose items belong to the object's graph). A row without setter is
//   read-only. This one table drives Assign, Clone, Equals and the debug text, GetPropValue/SetPropValue,
//   the visitors' walks and the automatic class-to-database maps; the library and project stores keep their
//   own column lists.
// - Values travel as Value (framework/tiValue.h): one variant type with every conversion in one place.
// - Ownership: a TtiObjectList that owns its items holds them as unique pointers (Add takes a unique_ptr,
//   Extract/Empty hand it back); a list that merely references items (SetOwnsObjects(false), AddReference)
//   never frees them and never changes their Owner. Owner is a plain pointer that never owns. Classes hold
//   their owned objects in unique_ptr members and publish them as Object/List rows.
// - Walks (TtiVisited::Iterate) are pre-order, in table order, ancestors' rows first; they never loop: an
//   object already on the path from the root is not entered again.
// - The owned graph of an object (what SetDeleted marks) is what a walk reaches through owners: the object,
//   objects whose Owner is the object that holds them, and items of owning lists that belong to the holder.
//   Referenced objects, their graphs and items of referencing lists are never marked.
// - Index errors raise EtiPerProgrammerException "List index out of bounds (%d)".
// - The debug text is deterministic (fixed property order, "." decimal separator, CR LF line ends): the
//   project checksum is computed from it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "framework/tiBaseObject.h"
#include "framework/tiOID.h"
#include "framework/tiVisitor.h"

namespace kelvado {

class TtiObject;
class TtiObjectList;
class TPerObjErrors;

enum TPerObjectState : uint8_t { posEmpty, posPK, posCreate, posUpdate, posDelete, posDeleted, posClean };
// "posEmpty" ... "posClean"; "Unknown" for a value outside the enumeration.
const char* ObjectStateToStr(TPerObjectState s);
extern const std::string_view cObjectStateNames[7];

enum TtiPerObjListSortType : uint8_t { stNone = 0, stOID = 1 };

// Kind of a simple published property as the stores see it.
enum TtiTypeKind : uint8_t { skInteger, skFloat, skString, skDateTime, skBoolean, skBinary };
// Integer and Enumeration: skInteger; Float: skFloat; String: skString; DateTime, Boolean as named. An unknown
// name or an Object/List property raises Exception.
TtiTypeKind tiGetSimplePropType(const TtiBaseObject& obj, std::string_view propName);

// Find callback: set `found` when the candidate matches.
using TtiFindMethod = std::function<void(TtiObject& candidate, bool& found)>;

class TtiObject : public TtiVisited {
public:
  TI_CLASS(TtiObject)
  TtiObject() = default;
  ~TtiObject() override;

  // A new object that is new in the store: state posCreate and a freshly drawn OID (CreateNew), and an Owner
  // (CreateNewOwned, when owner is not null).
  template <class T = TtiObject>
  static std::unique_ptr<T> CreateNew(const std::string& dbName = {}, const std::string& layerName = {}) {
    auto o = std::make_unique<T>();
    o->InitNew(nullptr, dbName, layerName);
    return o;
  }
  template <class T = TtiObject>
  static std::unique_ptr<T> CreateNewOwned(TtiObject* owner, const std::string& dbName = {},
                                           const std::string& layerName = {}) {
    auto o = std::make_unique<T>();
    o->InitNew(owner, dbName, layerName);
    return o;
  }
  // What CreateNew does, on an existing object.
  void InitNew(TtiObject* owner, const std::string& dbName = {}, const std::string& layerName = {});

  // State.
  TPerObjectState GetObjectState() const { return objectState_; }
  virtual void SetObjectState(TPerObjectState s) { objectState_ = s; }
  const char* GetObjectStateAsString() const { return ObjectStateToStr(objectState_); }
  // posDelete or posDeleted.
  virtual bool GetDeleted() const;
  // true: marks this object and every object it owns (its owned graph) posDelete; objects merely referenced,
  // items of lists that do not own them and objects already posDeleted stay as they are.
  virtual void SetDeleted(bool value);
  // Some object of the owned graph is posCreate, posUpdate or posDelete.
  virtual bool GetDirty() const;
  // false: posClean. true: posEmpty -> posCreate (OID created when missing), posPK/posClean -> posUpdate.
  virtual void SetDirty(bool value);

  // Identity. The OID is created on first read, of the default OID class.
  virtual TOID& GetOID();
  const TOID& GetOID() const;
  bool HasOID() const { return static_cast<bool>(oid_); }
  virtual void SetOID(std::unique_ptr<TOID> oid);

  TtiObject* GetOwner() const { return owner_; }
  virtual void SetOwner(TtiObject* owner) { owner_ = owner; }
  // Position in the owning list; -1 when the Owner is not a list holding this object.
  int IndexInOwner() const;
  // Follows Owner to the object without one (this object when it has none).
  TtiObject* TopOfHierarchy();

  // Copying by the property table.
  // OID value and state from the source; the source's Owner when that is a list.
  virtual void AssignPublicProps(const TtiObject& source);
  // Class-specific part (lists copy their items here). Empty in the base.
  virtual void AssignClassProps(const TtiObject& source);
  // AssignPublicProps, then every read-write simple property that the source also publishes, then
  // AssignClassProps.
  virtual void Assign(const TtiObject& source);
  // A new object of the same class, assigned from this one. The caller owns it.
  virtual std::unique_ptr<TtiObject> Clone() const;
  template <class T>
  std::unique_ptr<T> CloneAs() const {
    std::unique_ptr<TtiObject> c = Clone();
    T* t = dynamic_cast<T*>(c.get());
    if (!t) throw EtiPerProgrammerException("Clone of %s is not a %s", {ClassName(), T::StaticClass().Name()});
    c.release();
    return std::unique_ptr<T>(t);
  }
  // The compact debug texts (without deleted objects) of both graphs are equal. A graph that a walk would
  // follow deeper than TtiObjectList::kMaxCopyNesting levels (lists nested in lists ...) is refused with
  // EtiPerDataException, as a copy of it is: each level of a walk takes stack.
  virtual bool Equals(const TtiObject& other) const;

  // Properties by name (ignoring case). "OID" (any case) is the OID's value. Enumerations read as their
  // identifier text. Unknown names raise EtiPerProgrammerException.
  virtual Value GetPropValue(std::string_view name) const;
  // See the rules in tiObject.cpp; unknown names raise EtiPerProgrammerException
  // "Attempt to set non-published property %s.%s to %s".
  virtual void SetPropValue(std::string_view name, const Value& value);
  // "OID" or a simple published property with getter and setter.
  virtual bool IsReadWriteProp(std::string_view name) const;
  const TtiPropTable& Props() const { return Class().Props(); }

  // Searching the owned graph.
  virtual TtiObject* FindByOIDAsString(const std::string& text);
  // First object of the graph (this one included) with an equal OID; null when none.
  virtual TtiObject* FindByOID(const TOID& oid);
  // No other non-deleted object of this object's graph has obj's OID.
  virtual bool IsUnique(const TtiObject& obj);
  // IsUnique's find callback.
  virtual void MatchSameOID(TtiObject& candidate, bool& found, const TtiObject& compared) const;
  // Every object of the graph the method accepts (clears the list first); returns their number. Without a list
  // the walk stops at the first match (returns 1). An empty method raises EtiPerProgrammerException
  // "No find method assigned".
  int FindAll(const TtiFindMethod& method, std::vector<TtiObject*>* list);
  TtiObject* Find(const TtiFindMethod& method);

  // Sets the state on every object of the owned graph that is posUpdate or posClean.
  virtual void SetAllObjectStates(TPerObjectState state);
  // Clears errors and returns true; descendants add their errors and return false.
  virtual bool IsValid(TPerObjErrors& errors) const;

  // Run the standard groups of the persistence manager with this object as root; return its result text.
  std::string Read(const std::string& dbName = {}, const std::string& layerName = {});
  std::string ReadPK(const std::string& dbName = {}, const std::string& layerName = {});
  std::string ReadThis(const std::string& dbName = {}, const std::string& layerName = {});
  std::string Save(const std::string& dbName = {}, const std::string& layerName = {});

  // Debug text of the owned graph, one object per line followed by its simple properties (see
  // TVisTIObjectAsDebugString). AsDebugString: detailed, deleted objects included. With `raiseOnError` a
  // value that cannot be read raises instead of showing as an error text.
  std::string AsDebugString() const;
  std::string DebugText(bool compact, bool includeDeleted, bool raiseOnError = false) const;

  // Observers (not owned). Update is called by NotifyObservers in attach order.
  void AttachObserver(TtiObject* observer);
  void DetachObserver(TtiObject* observer);
  virtual void Update(TtiObject& subject) { (void)subject; }
  void NotifyObservers();
  size_t ObserverCount() const { return observers_ ? observers_->size() : 0; }

private:
  TPerObjectState objectState_ = posEmpty;
  TtiObject* owner_ = nullptr;
  mutable std::unique_ptr<TOID> oid_;
  std::unique_ptr<std::vector<TtiObject*>> observers_;
};

// Owning list of TtiObject, published as "List".
class TtiObjectList : public TtiObject {
  struct ItemDeleter {
    bool Owns = true;
    void operator()(TtiObject* p) const noexcept;
  };
  using ItemPtr = std::unique_ptr<TtiObject, ItemDeleter>;

public:
  TI_CLASS(TtiObjectList)
  TtiObjectList();
  ~TtiObjectList() override;

  int GetCount() const { return static_cast<int>(items_.size()); }
  int Count() const { return GetCount(); }
  int CountNotDeleted() const;
  // Index checked: EtiPerProgrammerException "List index out of bounds (%d)". Inline: every walk of a tree
  // asks it for every item.
  TtiObject* GetItems(int index) const {
    if (index < 0 || index >= GetCount()) IndexError(index);
    return items_[static_cast<size_t>(index)].get();
  }
  TtiObject* operator[](int index) const { return GetItems(index); }
  // Replaces the item at index (the old one is freed when the list owns it); Owner as in Add.
  virtual void SetItems(int index, std::unique_ptr<TtiObject> item);

  bool OwnsObjects() const { return ownsObjects_; }
  // Whether items given to the list from now on are owned (Add) or merely referenced (AddReference). Items
  // already held keep the ownership they came with, so switching never leaks nor frees twice; take owned items
  // out without freeing them with Extract or Empty.
  void SetOwnsObjects(bool v);
  TtiObject* GetItemOwner() const { return itemOwner_; }
  // Also makes it the Owner of every current item (owning lists).
  virtual void SetItemOwner(TtiObject* owner);
  bool GetAutoSetItemOwner() const { return autoSetItemOwner_; }
  void SetAutoSetItemOwner(bool v) { autoSetItemOwner_ = v; }

  // Adds an item the list takes ownership of; Owner := ItemOwner when AutoSetItemOwner. Returns the index.
  // A list that does not own its items refuses it (EtiPerProgrammerException).
  virtual int Add(std::unique_ptr<TtiObject> item);
  // Appends without touching the Owner.
  virtual int AddItem(std::unique_ptr<TtiObject> item);
  // Adds an item the list merely references (lists that do not own their items only; Owner untouched).
  int AddReference(TtiObject& item);
  // Inserts at index (0..Count); Owner := the list itself.
  virtual void Insert(int index, std::unique_ptr<TtiObject> item);
  // Before `existing` when it is in the list, else AddItem.
  void InsertBefore(const TtiObject* existing, std::unique_ptr<TtiObject> newItem);

  // Removes and frees (when owning) the item at index; Owner := null when AutoSetItemOwner.
  virtual void Delete(int index);
  // Same by item; returns its former index or -1 when absent.
  virtual int Remove(TtiObject* item);
  // Removes without freeing. Owning lists hand the item back (null when absent); lists that merely reference
  // it return null.
  virtual std::unique_ptr<TtiObject> Extract(TtiObject* item);
  // Frees the items (owning lists) and sets the list's own state to posEmpty.
  virtual void Clear();
  // Takes every item out without freeing it and leaves its Owner; owning lists hand them back.
  [[nodiscard]] virtual std::vector<std::unique_ptr<TtiObject>> Empty();

  int IndexOf(const TtiObject* item) const;
  TtiObject* First() const;
  TtiObject* Last() const;
  TtiObject* FirstExcludeDeleted() const;
  TtiObject* LastExcludeDeleted() const;

  int IndexOfOIDLinear(const TOID& oid) const;
  // Bisection; the list must be sorted by OID.
  int IndexOfOIDBinary(const TOID& oid) const;
  int IndexOfOID(const TOID& oid, TtiPerObjListSortType sortType = stNone) const;
  // Direct items only.
  TtiObject* FindByOIDAsString(const std::string& text) override;
  TtiObject* FindByOID(const TOID& oid) override;

  void ForEach(const std::function<void(TtiObject&)>& method, bool includeDeleted = false);
  virtual void MarkAllItemsDeleted();
  virtual void MarkAllItemsDirty();

  // (value text, item) per item.
  void PropToStrings(std::vector<std::pair<std::string, TtiObject*>>& strings, std::string_view propName) const;
  // First item whose named properties equal the values (same positions); null when none.
  TtiObject* FindByProps(const std::vector<std::string>& propNames, const std::vector<Value>& values,
                         bool caseSensitive = true) const;
  // Quicksort on the named properties (not stable).
  void SortByProps(const std::vector<std::string>& propNames, bool ascending = true);
  void SortByOID();

  using TtiCompareEvent = std::function<void(TtiObject* here, TtiObject* there)>;
  void CompareWithList(TtiObjectList& other, const TtiCompareEvent& onSameEqual,
                       const TtiCompareEvent& onSameDifferent, const TtiCompareEvent& onOnlyHere,
                       const TtiCompareEvent& onOnlyThere);

  // A copy takes lists nested up to kMaxCopyNesting deep (a list whose item is a list ...): each level of a copy
  // takes stack. A deeper source is refused with EtiPerDataException before anything of the target changes.
  // Freeing a list takes no stack per level, whatever its depth.
  static constexpr int kMaxCopyNesting = 1000;
  void Assign(const TtiObject& source) override;
  void AssignClassProps(const TtiObject& source) override;

  // Range over the items (TtiObject*), index order.
  class const_iterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = TtiObject*;
    using difference_type = std::ptrdiff_t;
    using pointer = TtiObject* const*;
    using reference = TtiObject*;
    const_iterator() = default;
    explicit const_iterator(std::vector<ItemPtr>::const_iterator it) : it_(it) {}
    TtiObject* operator*() const { return it_->get(); }
    const_iterator& operator++() { ++it_; return *this; }
    const_iterator operator++(int) { auto t = *this; ++it_; return t; }
    bool operator==(const const_iterator& o) const { return it_ == o.it_; }
    bool operator!=(const const_iterator& o) const { return it_ != o.it_; }
  private:
    std::vector<ItemPtr>::const_iterator it_;
  };
  const_iterator begin() const { return const_iterator(items_.begin()); }
  const_iterator end() const { return const_iterator(items_.end()); }

private:
  [[noreturn]] static void IndexError(int index);
  void CheckIndex(int index) const;
  ItemPtr Own(std::unique_ptr<TtiObject> item) const;
  std::unique_ptr<TtiObject> Release(size_t index);
  std::vector<ItemPtr> items_;
  // Where IndexOf last found an item: a walk over the list (a save asks each item for its position) then
  // finds the next one at once instead of searching from the start. Only a hint, so atomic for readers of
  // several threads.
  mutable std::atomic<size_t> indexHint_{0};
  TtiObject* itemOwner_;
  bool ownsObjects_ = true;
  bool autoSetItemOwner_ = true;
};

// One validation error. Published: ErrorMessage, ErrorProperty, ErrorCode (-1 when not given).
class TPerObjError : public TtiObject {
public:
  TI_CLASS(TPerObjError)
  TPerObjError() = default;
  const std::string& GetErrorMessage() const { return errorMessage_; }
  void SetErrorMessage(const std::string& v) { errorMessage_ = v; }
  const std::string& GetErrorProperty() const { return errorProperty_; }
  void SetErrorProperty(const std::string& v) { errorProperty_ = v; }
  int16_t GetErrorCode() const { return errorCode_; }
  void SetErrorCode(int16_t v) { errorCode_ = v; }

private:
  std::string errorMessage_;
  std::string errorProperty_;
  int16_t errorCode_ = -1;
};

// The list IsValid fills.
class TPerObjErrors : public TtiObjectList {
public:
  TI_CLASS(TPerObjErrors)
  TPerObjErrors() = default;
  TPerObjError& AddError(const std::string& propName, const std::string& message, int16_t code = -1);
  TPerObjError* Items(int index) const { return static_cast<TPerObjError*>(GetItems(index)); }
};

// ---- Visitors over object graphs ----

// Marks the owned graph posDelete (see TtiObject::SetDeleted).
class TVisPerObjDel : public TtiVisitor {
public:
  TI_CLASS(TVisPerObjDel)
  TVisPerObjDel() = default;
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;

private:
  bool Owned() const;
  std::unordered_set<const TtiVisited*> notOwned_;  // reached but owned elsewhere; their graphs are skipped
};

// Sets Dirty at the first posCreate/posUpdate/posDelete object and stops.
class TVisPerObjIsDirty : public TtiVisitor {
public:
  TI_CLASS(TVisPerObjIsDirty)
  TVisPerObjIsDirty() = default;
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;
  bool Dirty() const { return dirty_; }

private:
  bool dirty_ = false;
};

// Finds the first object with an equal OID and stops.
class TVisPerObjFindByOID : public TtiVisitor {
public:
  TI_CLASS(TVisPerObjFindByOID)
  TVisPerObjFindByOID() = default;
  explicit TVisPerObjFindByOID(const TOID* oid) : oid_(oid) {}
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;
  TtiObject* Found() const { return found_; }

private:
  const TOID* oid_ = nullptr;
  TtiObject* found_ = nullptr;
};

// Calls a find method for every TtiObject; collects matches (or stops at the first without a list).
class TVisPerObjFind : public TtiVisitor {
public:
  TI_CLASS(TVisPerObjFind)
  TVisPerObjFind() = default;
  TVisPerObjFind(TtiFindMethod method, std::vector<TtiObject*>* list) : method_(std::move(method)), list_(list) {}
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;
  TtiObject* Found() const { return found_; }

private:
  TtiFindMethod method_;
  std::vector<TtiObject*>* list_ = nullptr;
  TtiObject* found_ = nullptr;
};

class TVisSetAllObjectStates : public TtiVisitor {
public:
  TI_CLASS(TVisSetAllObjectStates)
  TVisSetAllObjectStates() = default;
  explicit TVisSetAllObjectStates(TPerObjectState s) : state_(s) {}
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;

private:
  TPerObjectState state_ = posClean;
};

// The debug text: an indented line per visited object, then a line per simple property. The project checksum
// is computed from it, so its format is fixed: the test tiObject.DebugTextIsExactAndLocaleIndependent pins it.
// A property that cannot be read shows as "Error: " and the message, or, with `raiseOnError` (the checksum's
// text), raises: a checksum must not be taken over a value that is missing.
class TVisTIObjectAsDebugString : public TVisStringStream {
public:
  TI_CLASS(TVisTIObjectAsDebugString)
  TVisTIObjectAsDebugString() = default;
  TVisTIObjectAsDebugString(bool compact, bool includeDeleted, bool raiseOnError = false)
      : compact_(compact), includeDeleted_(includeDeleted), raiseOnError_(raiseOnError) {}
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;

private:
  bool compact_ = false;
  bool includeDeleted_ = true;
  bool raiseOnError_ = false;
};

// A typed field object, held in an Object property of its owner (the property table's Object row): a value
// that may be null, read and written as text by its descendants. Walks reach it but act on it no further (it is
// no TtiObject). FindByProps compares such a property through the field's text.
class TtiFieldAbs : public TtiVisited {
public:
  TI_CLASS(TtiFieldAbs)
  // Null after construction. With `nullIsInvalid`, IsValid refuses the field while it is null.
  explicit TtiFieldAbs(TtiObject* owner, bool nullIsInvalid = false) : owner_(owner), nullIsInvalid_(nullIsInvalid) {}

  TtiObject* GetOwner() const { return owner_; }
  bool IsNull() const { return isNull_; }
  bool NullIsInvalid() const { return nullIsInvalid_; }
  // Makes the field null (descendants also clear their value).
  virtual void SetNull() { isNull_ = true; }
  virtual std::string GetAsString() const = 0;
  virtual void SetAsString(const std::string& value) = 0;
  virtual void Assign(const TtiFieldAbs& source) = 0;
  // The name of the owner's Object property that holds this field, found on first use. Without an owner, or
  // when no property of the owner holds it, Exception "Unable to determine field name on <%s>".
  const std::string& FieldName() const;
  // False when null is invalid and the field is null: then adds an error to `errors` whose property is
  // "<owner's class>.<field name>" and whose message is "Field <name> is null. OID=<the owner's OID text>".
  virtual bool IsValid(TPerObjErrors* errors = nullptr) const;

protected:
  // Descendants call it when they store a value.
  void SetNotNull() { isNull_ = false; }

private:
  TtiObject* owner_;
  bool nullIsInvalid_;
  bool isNull_ = true;
  mutable std::string fieldName_;
};

// Text of a property value as the debug text shows it (enumerations by identifier, floats in the general
// format, date-times as "yyyy-mm-dd hh:mm:ss").
std::string tiPropValueText(const TtiObject& obj, const TtiPropInfo& row);

}  // namespace kelvado

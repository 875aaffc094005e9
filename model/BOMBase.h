#pragma once
// Base of every business object of the safety model (unit BOM): TPerObjAbsEx with its write protection, stamps,
// change events and the abstract operations of a tree node; TPerObjListEx, the owning list that fires the
// change events on every structural change; the abstract node classes; the status collector; and the two
// visitors that set the object state or the protection flag over a whole graph.
//
// How change propagation works: a data object's setter fires OnChange; the node that owns it has hooked a
// handler there that resets its caches and fires the node's OnChange; a node's OnChange is its owning list's
// OnChange (set by TPerObjListEx::Add), which the parent node hooked to its own handler. So one change resets
// the caches of the node and of every owner up to the project. No event fires from a destructor.
//
// Setters follow one order: compare (equal: nothing happens), CheckWriteProtection, validate, store, notify.
// SetProp / SetFloatProp / SetEnumProp below do exactly that; descendants write their setters through them.
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "framework/tiObject.h"
#include "framework/tiVisitor.h"
#include "model/Enums.h"
#include "model/Exceptions.h"

namespace kelvado {

// ---- Classes of unit BOM (declared where they are defined; announced here for the typed lists) ----
class TPerObjAbsEx;
class TPerObjListEx;
class TStatusMessages;
class TElement;
class TElementOp;
class TBloc;
class TBlocOp;
class TChannel;
class TChannelOp;
class TTestChannel;
class TTestChannelOp;
class TComponent;
class TComponentOp;
class TSF;
class TSFOp;
class TProject;
class TProjectOp;
class TDCMeasure;
class TDCMeasureOp;
class TCCFMeasure;
class TCCFMeasureOp;
class TCatCondition;
class TCatConditionOp;
class TPLCondition;
class TPLConditionOp;
// Calculators (unit VisitorsCalc): nodes hand themselves to them.
class TCCFCalc;
class TDCCalc;
class TMTTFdCalc;
class TPLCalc;

// Single-slot event: hooking replaces the previous handler.
using TNotifyEvent = std::function<void(TtiObject* sender)>;

// ---- Process-wide state ----

// 0 (from the start): a change of a protected object raises EProtectionViolation and the library writers
// leave protected rows alone. 2: the library writers update and delete protected rows.
extern uint8_t WriteProtectionMode;

// Lifts the write protection (mode 2) for a change that is no user edit (an upgrade of a read project, the file
// name a store sets) and restores the mode it found, whatever happens.
class TWriteProtectionLifted {
public:
  TWriteProtectionLifted() : saved_(WriteProtectionMode) { WriteProtectionMode = 2; }
  ~TWriteProtectionLifted() { WriteProtectionMode = saved_; }
  TWriteProtectionLifted(const TWriteProtectionLifted&) = delete;
  TWriteProtectionLifted& operator=(const TWriteProtectionLifted&) = delete;

private:
  uint8_t saved_;
};

// Called at the start and at the end of every node's CheckStatus when set (sender = the node). Empty by default.
void SetOnBeforeCheckStatus(TNotifyEvent event);
void SetOnAfterCheckStatus(TNotifyEvent event);

// ---- Refusing values ----

// Raises EInvalidValue with message `msgNumber` (e.g. msgDCOutOfRange) formatted with `args`.
[[noreturn]] void RaiseInvalidValue(int msgNumber, FmtArgs args = {});

// Limits of a numeric property and how its refusal is reported. A value below Min (at or below Min when
// MinExclusive), above Max, or NaN is refused with EInvalidValue `Msg`, formatted with the texts named by Args
// (each number as FloatToStr text).
struct TFloatLimits {
  enum TArgs : uint8_t { None, ValueMin, ValueMax, ValueMinMax };
  double Min = -std::numeric_limits<double>::infinity();
  double Max = std::numeric_limits<double>::infinity();
  bool MinExclusive = false;
  int Msg = 0;
  TArgs Args = None;
};
// Raises as described above; does nothing for an admissible value.
void CheckFloatLimits(double value, const TFloatLimits& limits);

// ---- Status messages ----

struct TStatusMessage {
  TItemStatus Status = isGreen;
  std::string Text;             // a finished message
  TPerObjAbsEx* Item = nullptr;  // the node that reported it; not owned
};

// The (status, text) pairs a status check collects, in the order of adding, with one line per record:
// the status identifier, "=" and the text ("isRed=...").
class TStatusMessages {
public:
  TStatusMessages() = default;
  TStatusMessages(const TStatusMessages&) = delete;
  TStatusMessages& operator=(const TStatusMessages&) = delete;

  void Add(const TStatusMessage& rec);
  int Count() const { return static_cast<int>(items_.size()); }
  // Index checked (EtiPerProgrammerException "List index out of bounds (%d)").
  void GetItem(int index, TStatusMessage& rec) const;
  const TStatusMessage& Item(int index) const;
  const std::vector<std::string>& Lines() const { return lines_; }
  // The lines as one comma text (a line holding blanks, commas or quotes is quoted, quotes doubled).
  std::string GetCommaText() const;

private:
  std::vector<TStatusMessage> items_;
  std::vector<std::string> lines_;
};

// ---- TPerObjAbsEx ----

class TPerObjAbsEx : public TtiObject {
public:
  TI_CLASS(TPerObjAbsEx)
  // IsProtected false, stamped with the running program's edition and release.
  TPerObjAbsEx();
  // Fires nothing: events never fire from destructors.
  ~TPerObjAbsEx() override;

  // Published "IsProtected". Always stored and always followed by OnChange (the stores and the protection
  // visitor set it; no protection check).
  bool GetIsProtected() const { return isProtected_; }
  void SetIsProtected(bool value);
  // Published "IsNew": kept with the object, nothing here changes it.
  bool GetIsNew() const { return isNew_; }
  void SetIsNew(bool value) { isNew_ = value; }

  // Stamps (no protection check; compare, store, OnChange).
  TNormVersion GetNormVersion() const { return normVersion_; }
  void SetNormVersion(TNormVersion value);
  TKelvadoVersion GetKVDVersion() const { return kvdVersion_; }
  void SetKVDVersion(TKelvadoVersion value);
  // The release text exactly as read from stored data.
  const std::string& GetKVDVersionOriginalString() const { return kvdVersionOriginalString_; }
  void SetKVDVersionOriginalString(const std::string& value);

  // Events. OnChange fires after every change of the object's data; OnStructureChange when the object is
  // deleted or a list changes shape. Setting them fires nothing.
  const TNotifyEvent& GetOnChange() const { return onChange_; }
  void SetOnChange(TNotifyEvent event) { onChange_ = std::move(event); }
  const TNotifyEvent& GetOnStructureChange() const { return onStructureChange_; }
  // Nodes also hand the event to their child lists, so it reaches the whole subtree.
  virtual void SetOnStructureChange(TNotifyEvent event) { onStructureChange_ = std::move(event); }
  // Fire the events when set; a null sender means this object.
  void DoOnChange(TtiObject* sender = nullptr);
  void DoOnStructureChange(TtiObject* sender = nullptr);

  // Raises EProtectionViolation (1002) when WriteProtectionMode is 0 and the object is protected.
  void CheckWriteProtection();
  // The item a value this object refuses was meant for, as the refusal names it in front of its text
  // (`Element "Switch S1"`, in the run's language); empty where the object has no name to give.
  virtual std::string NameForRefusals() const { return {}; }

  // Tree-node operations. The base raises EtiPerProgrammerException: a class that is asked for them must
  // provide them (data objects are never asked).
  // 1-based number of the node among its siblings.
  virtual int GetPosition() const;
  // Status of the node: the worst of the statuses its own rules report and, when recursive, of its relevant
  // children. Messages are added to `messages` when given.
  virtual TItemStatus CheckStatus(TStatusMessages* messages, bool recursive);
  // Turns stored document file names into absolute paths.
  virtual void ExpandDocumentPaths();
  // Fires OnChange. Nodes first reset their caches (and their child lists' caches).
  virtual void Changed();

  // SetDeleted: the inherited marking, then OnChange and OnStructureChange.
  void SetDeleted(bool value) override;
  // A new object in state posCreate (unless the source is deleted) with a new identifier for the library
  // database, never protected. The source is left as it was.
  std::unique_ptr<TtiObject> Clone() const override;

  // Text 81/82/83 (red/yellow/green) of CheckStatus.
  void StatusString(bool recursive, std::string& text);
  std::string StatusString(bool recursive);
  // The messages of CheckStatus, last added first, each followed by CR LF "[" status text "]", separated by a
  // blank line, at most 8191 characters (see the .cpp).
  void StatusMessagesString(bool recursive, std::string& text);
  std::string StatusMessagesString(bool recursive);

protected:
  // The setter pattern. Returns false (and does nothing) when the value equals the stored one.
  template <class T>
  bool SetProp(T& field, const T& value) {
    static_assert(!std::is_floating_point_v<T>, "numbers go through SetFloatProp (limits, NaN)");
    if (field == value) return false;
    if (assigning_) return field = value, true;
    CheckWriteProtection();
    field = value;
    PropertyChanged();
    return true;
  }
  // Same with a validation step that raises on refusal; it runs after the protection check.
  template <class T, class Validate>
  bool SetProp(T& field, const T& value, Validate&& validate) {
    static_assert(!std::is_floating_point_v<T>, "numbers go through SetFloatProp (limits, NaN)");
    if (field == value) return false;
    if (assigning_) return field = value, true;
    CheckWriteProtection();
    CheckNamingItem([&] { validate(value); });
    field = value;
    PropertyChanged();
    return true;
  }
  // While a descendant's Assign copies values through its setters (AssignOwnProps), they store the value as it
  // is: the source accepted it once, the target may be protected, and Assign fires its one event at the end.
  bool Assigning() const { return assigning_; }
  // Equals and Assign driven by the property table: the simple values the class `cls` itself publishes.
  bool OwnPropsEqual(const TtiObject& other, const TtiClass& cls) const;
  // Read-only rows are skipped: a value published read-only is copied by the caller.
  void AssignOwnProps(const TtiObject& source, const TtiClass& cls);
  // A double checked against limits (NaN is never equal and always refused).
  bool SetFloatProp(double& field, double value, const TFloatLimits& limits);
  // An enumeration: an ordinal beyond the type or a value `allowed` refuses raises EInvalidValue 1001 with
  // the value's identifier text.
  template <class E, class Allowed>
  bool SetEnumProp(E& field, E value, Allowed&& allowed) {
    if (field == value) return false;
    if (assigning_) return field = value, true;
    CheckWriteProtection();
    CheckNamingItem([&] {
      if (!EnumInRange<E>(static_cast<int>(value)) || !allowed(value)) RaiseEnumRefused(value);
    });
    field = value;
    PropertyChanged();
    return true;
  }
  template <class E>
  bool SetEnumProp(E& field, E value) {
    return SetEnumProp(field, value, [](E) { return true; });
  }
  // Runs a setter's check: a value it refuses (EInvalidValue) names this object's item (NameForRefusals), so
  // that the user of the interface learns what the value was meant for.
  template <class Check>
  void CheckNamingItem(Check&& check) const {
    try {
      check();
    } catch (EInvalidValue& e) {
      e.NameItem(NameForRefusals());
      throw;
    }
  }
  // `Kind "name"` (text `msgNumber` of the run's language) for NameForRefusals; empty for an empty name.
  static std::string NamedItem(int msgNumber, const std::string& name);
  // A determination: detUnknown is never stored, and the listed values are refused too.
  bool SetDetProp(TDetermination& field, TDetermination value, std::initializer_list<TDetermination> refused = {});

  // Step 5 of the setter pattern: fires OnChange (sender this). Nodes reset their own caches first.
  virtual void PropertyChanged() { DoOnChange(this); }

  // For Assign and Equals of descendants: the two stamps (directly, no event), the protection flag.
  void AssignStamps(const TPerObjAbsEx& source);
  bool StampsEqual(const TPerObjAbsEx& other) const;
  // Stores the flag without event (Assign sets it last, so that the copy's own setters are not refused).
  void StoreIsProtected(bool value) { isProtected_ = value; }
  // The end of every Assign: the stamps, the protection flag, then Changed.
  void FinishAssign(const TPerObjAbsEx& source) {
    AssignStamps(source);
    StoreIsProtected(source.GetIsProtected());
    Changed();
  }

  // For CheckStatus implementations: the hooks, and one rule that fired (adds the message when a collector is
  // given; the result becomes the worse of the two).
  void CallOnBeforeCheckStatus();
  void CallOnAfterCheckStatus();
  void ReportStatus(TStatusMessages* messages, TItemStatus& result, TItemStatus status, const std::string& text);

  // The list this object sits in: its Owner when that is a list holding it, else the Object or List property
  // `ownerListProp` of its Owner when that holds it; null otherwise.
  TtiObjectList* ContainingList(std::string_view ownerListProp) const;
  // 0-based index of this object (by identifier, deleted items counted) in that list; -1 when none.
  int IndexInContainingList(std::string_view ownerListProp) const;
  // That index as the stores' order column, -1.0 when the Owner is not of the expected kind (`ownerFits`) or
  // there is no index. Never raises: the order is only a hint for the stores, no order rather than no save.
  double OrderInContainingList(bool ownerFits, std::string_view ownerListProp) const {
    if (!ownerFits) return -1.0;
    try {
      const int i = IndexInContainingList(ownerListProp);
      return i < 0 ? -1.0 : static_cast<double>(i);
    } catch (...) {
      return -1.0;
    }
  }

private:
  template <class E>
  [[noreturn]] static void RaiseEnumRefused(E value) {
    RaiseInvalidValue(msgInvalidValue,
                      {EnumInRange<E>(static_cast<int>(value)) ? std::string(EnumName(value))
                                                               : std::to_string(static_cast<int>(value))});
  }

  // Mutable so that Clone can lift the source's protection while the copy is assigned, and restore it.
  mutable bool isProtected_ = false;
  bool assigning_ = false;
  bool isNew_ = false;
  TNormVersion normVersion_ = CurrentNormVersion;
  TKelvadoVersion kvdVersion_ = CurrentKVDVersion;
  std::string kvdVersionOriginalString_;
  TNotifyEvent onChange_;
  TNotifyEvent onStructureChange_;
};

// The project node an object belongs to: the object itself when it is one, else that of its Owner when the
// Owner is a business object (lists in between are passed); null otherwise. A template so that this header
// needs no project class; call it as FindProjectOp(obj).
template <class P = TProjectOp>
P* FindProjectOp(TtiObject* obj) {
  for (int steps = 0; obj && steps < 100000; ++steps) {
    if (P* p = dynamic_cast<P*>(obj)) return p;
    TtiObject* owner = obj->GetOwner();
    if (!owner || (!dynamic_cast<TPerObjAbsEx*>(owner) && !dynamic_cast<TtiObjectList*>(owner))) return nullptr;
    obj = owner;
  }
  return nullptr;
}

// ---- TPerObjListEx ----

class TPerObjListEx : public TtiObjectList {
public:
  TI_CLASS(TPerObjListEx)
  TPerObjListEx() = default;
  ~TPerObjListEx() override;

  // The item gets the list's OnChange and OnStructureChange; then OnChange (sender the item) and
  // OnStructureChange (sender the list) fire.
  int Add(std::unique_ptr<TtiObject> item) override;
  // As Add; the item's Owner is the list's item owner, as for Add.
  void Insert(int index, std::unique_ptr<TtiObject> item) override;
  // The inherited operation, then OnChange and OnStructureChange once each (sender the list). Items taken out
  // by Extract and Empty lose the list's events.
  void Clear() override;
  [[nodiscard]] std::vector<std::unique_ptr<TtiObject>> Empty() override;
  void Delete(int index) override;
  int Remove(TtiObject* item) override;
  std::unique_ptr<TtiObject> Extract(TtiObject* item) override;
  void MarkAllItemsDeleted() override;
  // Items copied by Assign are hooked like added ones.
  void AssignClassProps(const TtiObject& source) override;

  // Swaps two items. With skipDeleted the positions count only the items that are not deleted (position 0 is
  // the first item that is not deleted), so a deleted item is never moved. A position that names no item
  // raises EtiPerProgrammerException "List index out of bounds (%d)". Fires OnChange (order can change
  // derived values, e.g. which channels a category uses) and OnStructureChange, sender the list.
  void Exchange(int index1, int index2, bool skipDeleted);
  // Position of the first item with obj's identifier (with skipDeleted, deleted items are not counted);
  // -1 when obj is null, the list is empty or nothing matches.
  using TtiObjectList::IndexOfOID;
  virtual int IndexOfOID(const TtiObject* obj, bool skipDeleted) const;
  // Same class, same count, items Equals pairwise.
  virtual bool ListEquals(const TtiObjectList& other) const;
  // Changed on every item that is not deleted.
  virtual void Changed();
  // A list of the same class holding clones of the items that are not deleted, each posCreate with a new
  // identifier.
  std::unique_ptr<TtiObject> Clone() const override;
  // Clone of one item with its whole graph in posCreate (new identifiers) and unprotected.
  std::unique_ptr<TtiObject> CloneItem(int index) const;
  // Sets IsProtected over the list and everything below it.
  void SetProtected(bool flag);

  const TNotifyEvent& GetOnChange() const { return onChange_; }
  const TNotifyEvent& GetOnStructureChange() const { return onStructureChange_; }
  // Sets the list's OnChange and that of each item (one level); fires nothing.
  void SetOnChange(TNotifyEvent event);
  // Stores it and hands it to each item (nodes pass it on to their child lists).
  virtual void SetOnStructureChange(TNotifyEvent event);
  void DoOnChange(TtiObject* sender = nullptr);
  void DoOnStructureChange(TtiObject* sender = nullptr);

protected:
  // Gives an item the list's two events.
  void HookItem(TtiObject* item) const;
  static void UnhookItem(TtiObject* item);
  // List index of the item at `position` counting only items that are not deleted; raises when none.
  int IndexSkippingDeleted(int position) const;

private:
  TNotifyEvent onChange_;
  TNotifyEvent onStructureChange_;
};

// Typed access for the lists of one item class. Items are checked on access (a wrong class raises
// EtiPerProgrammerException); Add takes the item class or a descendant.
template <class T>
class TPerObjListOf : public TPerObjListEx {
public:
  T* Items(int index) const {
    TtiObject* o = GetItems(index);
    // An item of the list's own class needs no search of the class tree: an evaluation reads every item so,
    // several times over, and the rest stays out of line so that this part is inlined.
    if (o && typeid(*o) == typeid(T)) return static_cast<T*>(o);
    return ItemOfOtherClass(o);
  }
  using TPerObjListEx::Add;
  template <class U>
    requires std::is_base_of_v<T, U>
  int Add(std::unique_ptr<U> item) {
    return this->Add(std::unique_ptr<TtiObject>(std::move(item)));  // virtual: typed lists may add rules
  }

private:
  [[gnu::noinline]] T* ItemOfOtherClass(TtiObject* o) const {
    T* t = dynamic_cast<T*>(o);
    if (!t)
      throw EtiPerProgrammerException("%s holds a %s where a %s is expected",
                                      {ClassName(), o->ClassName(), T::StaticClass().Name()});
    return t;
  }
};

// ---- Abstract node classes ----
// The computing operations hand the node to the matching calculator operation (unit VisitorsCalc). `band`
// receives the MTTFd or DC band of the result; `det` detUnknown means the determination stored in the data
// object.

class TNodeInner : public TPerObjAbsEx {
public:
  TI_CLASS(TNodeInner)
  TNodeInner() = default;
  // The child list; published as "List" (a walk visits its items).
  virtual TPerObjListEx* GetList() const = 0;
  // Kept, and handed to the child list so that the event reaches the whole subtree.
  void SetOnStructureChange(TNotifyEvent event) override {
    if (TPerObjListEx* list = GetList()) list->SetOnStructureChange(event);
    TPerObjAbsEx::SetOnStructureChange(std::move(event));
  }
  // On every child node; nodes with documents of their own expand those first.
  void ExpandDocumentPaths() override {
    if (TPerObjListEx* list = GetList())
      for (int i = 0; i < list->GetCount(); ++i)
        if (auto* n = dynamic_cast<TPerObjAbsEx*>(list->GetItems(i))) n->ExpandDocumentPaths();
  }
};

class TNodeSFAbs : public TNodeInner {
public:
  TI_CLASS(TNodeSFAbs)
  TNodeSFAbs() = default;
  virtual TPL GetPL(TPLCalc& calc, double& pfh, TDetermination det) = 0;
};

class TNodeComponentAbs : public TNodeInner {
public:
  TI_CLASS(TNodeComponentAbs)
  TNodeComponentAbs() = default;
  virtual bool GetCCF(TCCFCalc& calc, double& score, TDetermination det) = 0;
  virtual double GetDC(TDCCalc& calc, TDCDenotation& band, TDetermination det) = 0;
  virtual double GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band, TDetermination det) = 0;
  virtual TPL GetPL(TPLCalc& calc, double& pfh, TDetermination det) = 0;
};

class TNodeChannelAbs : public TNodeInner {
public:
  TI_CLASS(TNodeChannelAbs)
  TNodeChannelAbs() = default;
  virtual double GetDC(TDCCalc& calc, TDCDenotation& band) = 0;
  virtual double GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band) = 0;

  // Pairing with the subsystem's test channel, as TChannelOpList::Add needs it: whether this node is the test
  // channel, and pairing this channel with `testChannel` (a node for which IsTestChannelNode holds; the
  // channel classes forward it to their SetTestChannelOp).
  virtual bool IsTestChannelNode() const = 0;
  virtual void PairTestChannelNode(TNodeChannelAbs* testChannel) = 0;
};

class TNodeBlocAbs : public TNodeInner {
public:
  TI_CLASS(TNodeBlocAbs)
  TNodeBlocAbs() = default;
  virtual double GetDC(TDCCalc& calc, TDCDenotation& band, TDetermination det) = 0;
  virtual double GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band, TDetermination det) = 0;
};

class TNodeElementAbs : public TPerObjAbsEx {
public:
  TI_CLASS(TNodeElementAbs)
  TNodeElementAbs() = default;
  virtual double GetDC(TDCCalc& calc, TDCDenotation& band, TDetermination det) = 0;
  virtual double GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band, TDetermination det) = 0;
};

// ---- Visitors ----

// Sets the object state of every object of the class (or below; every TtiObject when no class is given).
// Objects put into posCreate draw a new identifier.
class TVisSetObjectStateByClass : public TtiVisitor {
public:
  TI_CLASS(TVisSetObjectStateByClass)
  TVisSetObjectStateByClass() = default;
  TVisSetObjectStateByClass(const TtiClass* cls, TPerObjectState state) : cls_(cls), state_(state) {}
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;

private:
  const TtiClass* cls_ = nullptr;
  TPerObjectState state_ = posCreate;
};

// Sets IsProtected of every business object (through its setter, so OnChange fires).
class TVisSetProtected : public TtiVisitor {
public:
  TI_CLASS(TVisSetProtected)
  TVisSetProtected() = default;
  explicit TVisSetProtected(bool flag) : flag_(flag) {}
  bool AcceptVisitor() override;
  void Execute(TtiVisited* visited) override;

private:
  bool flag_ = false;
};

}  // namespace kelvado

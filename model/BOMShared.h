#pragma once
// Helpers the business-object units share inside the model library: typed Assign sources, comparing and
// cloning owned parts, taking over an owned part, wiring a node's child list, and the node caches that the
// calculators fill. Not for use outside unit BOM.
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "model/BOMBase.h"
#include "model/BOMElement.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "model/VisitorsCalc.h"

namespace kelvado::bom_detail {

// The Assign source as the target's class; any other class is a programming error.
template <class T>
const T& SourceAs(const TtiObject& target, const TtiObject& source) {
  const T* s = dynamic_cast<const T*>(&source);
  if (!s) throw EtiPerProgrammerException("Cannot assign a %s to a %s", {source.ClassName(), target.ClassName()});
  return *s;
}

// Both absent, or both present and Equals.
template <class T>
bool SameObject(const T* a, const T* b) {
  if (!a || !b) return a == b;
  return a->Equals(*b);
}

template <class T>
std::unique_ptr<T> CloneOrNull(const T* p) {
  return p ? p->template CloneAs<T>() : nullptr;
}

// Same count and the items Equals pairwise (deleted items counted).
inline bool SameItems(const TtiObjectList& a, const TtiObjectList& b) {
  if (a.GetCount() != b.GetCount()) return false;
  for (int i = 0; i < a.GetCount(); ++i)
    if (!a.GetItems(i)->Equals(*b.GetItems(i))) return false;
  return true;
}

// Empties `target` and adds clones of the items of `source` that are not deleted (through the list's Add, so
// the items are hooked and typed lists apply their rules).
inline void RefillWithLiveClones(TtiObjectList& target, const TtiObjectList& source) {
  target.Clear();
  for (int i = 0; i < source.GetCount(); ++i) {
    const TtiObject* item = source.GetItems(i);
    if (!item->GetDeleted()) target.Add(item->Clone());
  }
}

inline bool HasLiveItem(const TtiObjectList& list) {
  for (TtiObject* o : list)
    if (!o->GetDeleted()) return true;
  return false;
}

// Limits of the entered values the element and the block share (TPartValues).
inline constexpr TFloatLimits kPartDCLimits{cDCMinimum, cDCMaximum, false, msgDCOutOfRange, TFloatLimits::ValueMinMax};
inline constexpr TFloatLimits kPartMTTFdLimits{MTTFdMinYears, std::numeric_limits<double>::infinity(), false,
                                               msgMTTFdTooSmall, TFloatLimits::ValueMin};
inline constexpr TFloatLimits kPartMissionTimeLimits{-std::numeric_limits<double>::infinity(), cMissionTimeMax, false,
                                                     msgMissionTimeTooLarge, TFloatLimits::ValueMax};

// Everything at or below a blank (spaces, tabs, line breaks) is cut from the end.
inline std::string TrimRight(std::string s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.pop_back();
  return s;
}

// A node has no name when its name is empty or contains the word of its placeholder name (general text
// `placeholderText`). An empty word (no language file) is contained in nothing, so it never marks every name.
bool LacksName(const std::string& name, int placeholderText);

// Status text `index` (an sts... number of model/MsgIds.h).
inline std::string StatusText(int index, const FmtArgs& args = {}) {
  return FormatMsgString(msgBaseStatus + index, args);
}

// Status text stsDCMeasureInsufficient when the chosen DC measure of an element or block (none when deleted) does not
// suffice for the PL the safety function above `channel` requires; "" otherwise. (Defined with the block.)
std::string InsufficientDCMeasureText(const TChannelOp* channel, const TDCMeasureOp* measure);

// ---- Owned parts (a node's data object, an occurrence's measure or condition) ----
// A part setter reads:
//   if (KeepsPart(part_, m)) return;
//   CheckWriteProtection();
//   auto old = ReplacePart(part_, std::move(m), this, handler);
//   ... event ...                       (`old` is freed after it)

// True when the setter has nothing to do: the part already held is handed in again (the second ownership is
// dropped, never freed) or there is no part and none is handed in.
template <class T>
bool KeepsPart(const std::unique_ptr<T>& slot, std::unique_ptr<T>& m) {
  if (m.get() != slot.get()) return false;
  (void)m.release();
  return true;
}

// Takes over `m` as the part in `slot`: the old part loses its Owner (when it is `owner`) and its change hook;
// the new one gets `owner` and `handler`. The old part is handed back so that it is freed after the caller's
// event.
template <class T>
[[nodiscard]] std::unique_ptr<T> ReplacePart(std::unique_ptr<T>& slot, std::unique_ptr<T> m, TtiObject* owner,
                                             TNotifyEvent handler) {
  std::unique_ptr<T> old = std::move(slot);
  if (old) {
    if (old->GetOwner() == owner) old->SetOwner(nullptr);
    old->SetOnChange(nullptr);
  }
  slot = std::move(m);
  if (slot) {
    slot->SetOwner(owner);
    slot->SetOnChange(std::move(handler));
  }
  return old;
}

// ---- Child lists of the inner nodes ----

// The node owns the list and its items; the list's changes go to `onChange`.
inline void WireChildList(TPerObjListEx& list, TtiObject* node, TNotifyEvent onChange) {
  list.SetOwner(node);
  list.SetItemOwner(node);
  list.SetOnChange(std::move(onChange));
}

// For the node's destructor: nothing may call back into the node while its parts go.
inline void UnhookChildList(TPerObjListEx& list) {
  list.SetOnChange(nullptr);
  list.SetOnStructureChange(nullptr);
}

// Status of a node's children for a recursive CheckStatus: the worse of `result` and the statuses of the child
// nodes that are not deleted and that `counts` selects, their messages added in the list's order.
template <class List, class Counts>
TItemStatus WithChildStatus(TItemStatus result, const List& list, TStatusMessages* messages, Counts counts) {
  for (int i = 0; i < list.GetCount(); ++i) {
    auto* child = list.Items(i);
    if (!child->GetDeleted() && counts(*child)) result = MinItemStatus(result, child->CheckStatus(messages, true));
  }
  return result;
}

// ---- Caches of the nodes ----
// A cache is empty (nullopt) until its first read fills it from the pool's calculator; "no value" (-1) is a
// computed value like any other and stays cached. Value and band are stored only when the calculator
// succeeded, so an error leaves the cache empty and the next read asks again. The caches are not part of what a
// node shows as its state: reading fills them, hence the const_cast. Each returns the cached value.

template <class Node, class... Det>
double FillDCCache(const Node& node, std::optional<double>& cache, TDCDenotation& bandField, Det... det) {
  if (cache) return *cache;
  const TEvaluationOptionsScope options;  // one evaluation reads each option once
  TDCDenotation band = dcForward;
  const double v = const_cast<Node&>(node).GetDC(CalcPool().GetDCCalc(), band, det...);
  bandField = band;
  cache = v;
  return v;
}

// `initialBand` is the band stored when the calculator leaves it as it is.
template <class Node, class... Det>
double FillMTTFdCache(const Node& node, std::optional<double>& cache, TMTTFdDenotation& bandField,
                      TMTTFdDenotation initialBand, Det... det) {
  if (cache) return *cache;
  const TEvaluationOptionsScope options;  // one evaluation reads each option once
  TMTTFdDenotation band = initialBand;
  const double v = const_cast<Node&>(node).GetMTTFd(CalcPool().GetMTTFdCalc(), band, det...);
  bandField = band;
  cache = v;
  return v;
}

template <class Node>
TPL FillPLCache(const Node& node, std::optional<TPL>& cache, double& pfhField, TDetermination det) {
  if (cache) return *cache;
  const TEvaluationOptionsScope options;  // one evaluation reads each option once
  double pfh = -1.0;
  const TPL pl = const_cast<Node&>(node).GetPL(CalcPool().GetPLCalc(), pfh, det);
  pfhField = pfh;
  cache = pl;
  return pl;
}

}  // namespace kelvado::bom_detail

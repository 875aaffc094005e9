#pragma once
// Measures and conditions (unit BOM): the definitions the standard's catalogues offer (a DC measure with the
// DC range it achieves, a CCF measure with its score, a category condition, a PL condition) and their
// occurrences in the project tree ("Op" classes), each owning its own copy of the definition together with
// the user's answer. Subsystems hold the CCF measure and condition occurrences in the typed lists below;
// elements and blocks own one TDCMeasureOp each.
#include <memory>
#include <string>

#include "model/BOMBase.h"

namespace kelvado {

// Limits of this part.
inline constexpr double cDCMinimum = 0.0;
inline constexpr double cCCFScoreMin = 0.0;
inline constexpr double cCCFScoreMax = 100.0;

// ---- Definitions ----

class TDCMeasure : public TPerObjAbsEx {
public:
  TI_CLASS(TDCMeasure)
  TDCMeasure() = default;

  const std::string& GetHeading() const { return heading_; }
  void SetHeading(const std::string& v) { SetProp(heading_, v); }
  const std::string& GetDescription() const { return description_; }
  void SetDescription(const std::string& v) { SetProp(description_, v); }
  // Bounds of the DC the measure achieves (fractions). Neither may lie below the DC minimum (message 1003) nor
  // above 1.0 (1004, as an element's DC); moving one bound past the other moves that one along, so
  // 0 <= DCmin <= DCmax <= 1 always holds.
  double GetDCmax() const { return dcMax_; }
  void SetDCmax(double v);
  double GetDCmin() const { return dcMin_; }
  void SetDCmin(double v);
  const std::string& GetDependency() const { return dependency_; }
  void SetDependency(const std::string& v) { SetProp(dependency_, v); }
  const std::string& GetDocumentation() const { return documentation_; }
  void SetDocumentation(const std::string& v) { SetProp(documentation_, v); }
  const std::string& GetDocument() const { return document_; }
  void SetDocument(const std::string& v) { SetProp(document_, v); }
  // The PLs for which the measure does not suffice (published as "Insufficient", the bit set as integer).
  TPLSet GetInsufficient() const { return insufficient_; }
  void SetInsufficient(TPLSet v) { SetProp(insufficient_, v); }

  // Same class (or below), every data field and the stamps equal.
  bool Equals(const TtiObject& other) const override;
  // Every data field, the stamps and the protection flag; then Changed.
  void Assign(const TtiObject& source) override;

private:
  std::string heading_;
  std::string description_;
  double dcMax_ = 0.99;
  double dcMin_ = 0.0;
  std::string dependency_;
  std::string documentation_;
  std::string document_;
  TPLSet insufficient_;
};

class TCCFMeasure : public TPerObjAbsEx {
public:
  TI_CLASS(TCCFMeasure)
  TCCFMeasure() = default;

  const std::string& GetHeading() const { return heading_; }
  void SetHeading(const std::string& v) { SetProp(heading_, v); }
  const std::string& GetNumber() const { return number_; }
  void SetNumber(const std::string& v) { SetProp(number_, v); }
  const std::string& GetDescription() const { return description_; }
  void SetDescription(const std::string& v) { SetProp(description_, v); }
  const std::string& GetDocumentation() const { return documentation_; }
  void SetDocumentation(const std::string& v) { SetProp(documentation_, v); }
  const std::string& GetDocument() const { return document_; }
  void SetDocument(const std::string& v) { SetProp(document_, v); }
  // Points, 0 to 100 (message 1005).
  double GetScore() const { return score_; }
  void SetScore(double v);

  bool Equals(const TtiObject& other) const override;
  void Assign(const TtiObject& source) override;

private:
  std::string heading_;
  std::string number_;
  std::string description_;
  std::string documentation_;
  std::string document_;
  double score_ = 0.0;
};

// A requirement condition of a category. CCID (a GUID text, made at creation) identifies it in the standard's
// tables; the stores overwrite it. It has the 36 characters of the stores' identifier columns: a library keeps
// no more, so a condition made in the program with the braced form could never be saved there. Neither CCID nor Text fires events or checks protection.
class TCatCondition : public TPerObjAbsEx {
public:
  TI_CLASS(TCatCondition)
  TCatCondition();

  const std::string& GetCCID() const { return ccid_; }
  void SetCCID(const std::string& v) { ccid_ = v; }
  const std::string& GetText() const { return text_; }
  void SetText(const std::string& v) { text_ = v; }

  bool Equals(const TtiObject& other) const override;
  // CCID, Text, stamps and protection flag: a copy is the same condition of the standard's tables.
  void Assign(const TtiObject& source) override;

private:
  std::string ccid_;
  std::string text_;
};

// A requirement condition of a PL; as TCatCondition with PLCID.
class TPLCondition : public TPerObjAbsEx {
public:
  TI_CLASS(TPLCondition)
  TPLCondition();

  const std::string& GetPLCID() const { return plcid_; }
  void SetPLCID(const std::string& v) { plcid_ = v; }
  const std::string& GetText() const { return text_; }
  void SetText(const std::string& v) { text_ = v; }

  bool Equals(const TtiObject& other) const override;
  void Assign(const TtiObject& source) override;

private:
  std::string plcid_;
  std::string text_;
};

// ---- Occurrences ----

// The DC measure chosen for an element or a block, and the DC taken from its range.
class TDCMeasureOp : public TPerObjAbsEx {
public:
  TI_CLASS(TDCMeasureOp)
  TDCMeasureOp() = default;
  ~TDCMeasureOp() override;

  // Fraction. With a measure it must lie in [DCmin, DCmax]; without one in [0, 1] (1004).
  double GetDC() const { return dc_; }
  void SetDC(double v);
  // The owned measure. Choosing one whose range does not hold DC sets DC to its DCmin; a change of the
  // measure's bounds afterwards clamps DC to the nearer bound. The measure replaced is freed.
  TDCMeasure* GetDCMeasure() const { return dcMeasure_.get(); }
  void SetDCMeasure(std::unique_ptr<TDCMeasure> m);
  bool GetIsSatisfied() const { return isSatisfied_; }
  void SetIsSatisfied(bool v) { SetProp(isSatisfied_, v); }

  // Percent views. Writing divides by 100 and goes through the setters above, so above 100 % is refused
  // (1004). Without a measure the bounds read 0 and 100; writing them is a programming error
  // (EtiPerProgrammerException), as is writing Description.
  double GetDCPC() const { return dc_ * 100.0; }
  void SetDCPC(double v);
  double GetDCminPC() const;
  void SetDCminPC(double v);
  double GetDCmaxPC() const;
  void SetDCmaxPC(double v);
  // The DC band of DC as text.
  std::string GetDCLevelString() const;
  // The measure's description, or the DC-measure placeholder when it is empty or there is no measure.
  // Writing sets the measure's description.
  std::string GetDescription() const;
  void SetDescription(const std::string& v);

  // Description, heading, range and insufficient PLs of the measure as the report shows them.
  void GetReportDescription(std::string& text) const;
  std::string GetReportDescription() const;

  std::string GetCaption() const override;  // text 8
  bool Equals(const TtiObject& other) const override;
  // DC, IsSatisfied, stamps, protection flag and a clone of the source's measure (through the setter, so a
  // protected copy refuses it before anything changes); then Changed.
  void Assign(const TtiObject& source) override;

private:
  void MeasureChanged();

  double dc_ = 0.0;
  std::unique_ptr<TDCMeasure> dcMeasure_;
  bool isSatisfied_ = true;
};

// A CCF measure applied to a subsystem.
class TCCFMeasureOp : public TPerObjAbsEx {
public:
  TI_CLASS(TCCFMeasureOp)
  TCCFMeasureOp() = default;
  ~TCCFMeasureOp() override;

  TCCFMeasure* GetCCFMeasure() const { return ccfMeasure_.get(); }
  void SetCCFMeasure(std::unique_ptr<TCCFMeasure> m);
  bool GetIsSatisfied() const { return isSatisfied_; }
  void SetIsSatisfied(bool v) { SetProp(isSatisfied_, v); }

  // Views of the measure (empty texts without one); Description falls back to the CCF placeholder.
  std::string GetDescription() const;
  std::string GetHeading() const;
  std::string GetNumber() const;
  std::string GetScoreString() const;

  // The subsystem holding the occurrence (its Owner, passing the list); a template so that this header needs
  // no subsystem class.
  template <class C = TComponent>
  C* GetComponent() const {
    TtiObject* o = GetOwner();
    if (o && dynamic_cast<TtiObjectList*>(o) && o->GetOwner()) o = o->GetOwner();
    return dynamic_cast<C*>(o);
  }
  // 1 + the 0-based position in the subsystem's CCFMeasureOps (deleted items counted); 0 when not in one.
  int GetPosition() const override;
  // The 0-based position as the stores write it (column CCFMOrder); -1.0 without an owner or a list.
  double GetCCFMOrder() const;

  std::string GetCaption() const override;  // text 9
  bool Equals(const TtiObject& other) const override;
  void Assign(const TtiObject& source) override;

private:
  std::unique_ptr<TCCFMeasure> ccfMeasure_;
  bool isSatisfied_ = true;
};

// Whether the subsystem satisfies a category condition.
class TCatConditionOp : public TPerObjAbsEx {
public:
  TI_CLASS(TCatConditionOp)
  TCatConditionOp() = default;
  ~TCatConditionOp() override;

  bool GetIsSatisfied() const { return isSatisfied_; }
  void SetIsSatisfied(bool v) { SetProp(isSatisfied_, v); }
  TCatCondition* GetCatCondition() const { return condition_.get(); }
  void SetCatCondition(std::unique_ptr<TCatCondition> c);

  template <class C = TComponent>
  C* GetComponent() const {
    TtiObject* o = GetOwner();
    if (o && dynamic_cast<TtiObjectList*>(o) && o->GetOwner()) o = o->GetOwner();
    return dynamic_cast<C*>(o);
  }

  std::string GetCaption() const override;  // text 10
  bool Equals(const TtiObject& other) const override;
  void Assign(const TtiObject& source) override;

private:
  bool isSatisfied_ = true;
  std::unique_ptr<TCatCondition> condition_;
};

// Whether the subsystem satisfies a PL condition.
class TPLConditionOp : public TPerObjAbsEx {
public:
  TI_CLASS(TPLConditionOp)
  TPLConditionOp() = default;
  ~TPLConditionOp() override;

  bool GetIsSatisfied() const { return isSatisfied_; }
  void SetIsSatisfied(bool v) { SetProp(isSatisfied_, v); }
  TPLCondition* GetPLCondition() const { return condition_.get(); }
  void SetPLCondition(std::unique_ptr<TPLCondition> c);

  template <class C = TComponent>
  C* GetComponent() const {
    TtiObject* o = GetOwner();
    if (o && dynamic_cast<TtiObjectList*>(o) && o->GetOwner()) o = o->GetOwner();
    return dynamic_cast<C*>(o);
  }

  std::string GetCaption() const override;  // text 11
  bool Equals(const TtiObject& other) const override;
  void Assign(const TtiObject& source) override;

private:
  bool isSatisfied_ = true;
  std::unique_ptr<TPLCondition> condition_;
};

// ---- Lists ----

class TDCMeasureOpList : public TPerObjListOf<TDCMeasureOp> {
public:
  TI_CLASS(TDCMeasureOpList)
  TDCMeasureOpList() = default;
  std::string GetCaption() const override;  // text 28
};

class TCCFMeasureOpList : public TPerObjListOf<TCCFMeasureOp> {
public:
  TI_CLASS(TCCFMeasureOpList)
  TCCFMeasureOpList() = default;
  std::string GetCaption() const override;  // text 29
  // First item that is not deleted whose measure has the same Heading, Description and Score; -1 when none.
  int IndexOfMeasure(const TCCFMeasure* measure) const;
};

class TCatConditionOpList : public TPerObjListOf<TCatConditionOp> {
public:
  TI_CLASS(TCatConditionOpList)
  TCatConditionOpList() = default;
  std::string GetCaption() const override;  // text 30
  // First item (deleted ones only with includeDeleted) whose condition has condition's Text or, when
  // condition has a CCID, its CCID; -1 when none.
  int IndexOfCondition(const TCatCondition* condition, bool includeDeleted) const;
  // The subsystem meets `condition`: the entry IndexOfCondition finds (deleted ones not counted) is ticked. An
  // entry held but not ticked meets nothing.
  bool IsConditionSatisfied(const TCatCondition* condition) const;
};

class TPLConditionOpList : public TPerObjListOf<TPLConditionOp> {
public:
  TI_CLASS(TPLConditionOpList)
  TPLConditionOpList() = default;
  std::string GetCaption() const override;  // text 12
  int IndexOfCondition(const TPLCondition* condition, bool includeDeleted) const;
  bool IsConditionSatisfied(const TPLCondition* condition) const;  // as for the category's conditions
};

// Plain owning lists of condition definitions (the standard's requirements); adding fires no events.
class TCatConditionList : public TtiObjectList {
public:
  TI_CLASS(TCatConditionList)
  TCatConditionList() = default;
  TCatCondition* Items(int index) const;
  using TtiObjectList::Add;
  int Add(std::unique_ptr<TCatCondition> item) { return TtiObjectList::Add(std::move(item)); }
};

class TPLConditionList : public TtiObjectList {
public:
  TI_CLASS(TPLConditionList)
  TPLConditionList() = default;
  TPLCondition* Items(int index) const;
  using TtiObjectList::Add;
  int Add(std::unique_ptr<TPLCondition> item) { return TtiObjectList::Add(std::move(item)); }
};

}  // namespace kelvado

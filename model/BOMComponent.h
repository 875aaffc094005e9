#pragma once
// The subsystem (in the model's own words a "component"): TComponent holds what the user enters, TComponentOp
// is its node under a safety-function node. The node owns the channel nodes, caches every derived value,
// evaluates the category requirements, decides which values are relevant, offers the display texts and checks
// the subsystem's traffic-light status.
//
// Caches are filled by the pool's calculators (model/VisitorsCalc.h) on first read and emptied by every change
// below or in the data object, so a change costs nothing until a value is read again.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/BOMBase.h"
#include "model/BOMLists.h"
#include "model/BOMMeasures.h"

namespace kelvado {

// Default values of a new subsystem and the limits of its setters.
inline constexpr double cComponentDefaultMTTFd = 10.0;
inline constexpr double cComponentDefaultPFH = 3.8e-05;
inline constexpr double cMissionTimeRef = 20.0;   // the mission time the standard assumes (years)
inline constexpr double cDCavgTolerance = 0.05;   // five percentage points below the lowest allowed band

// A cached yes/no answer that may not have been computed yet.
enum class TTriState : uint8_t { NotEvaluated, Yes, No };

class TComponent : public TPerObjAbsEx {
public:
  TI_CLASS(TComponent)
  TComponent();
  ~TComponent() override;

  TCat GetCat() const { return cat_; }
  void SetCat(TCat v) { SetEnumProp(cat_, v); }
  TCatConditionOpList* GetCatConditionOps() const { return catConditionOps_.get(); }
  TPLConditionOpList* GetPLConditionOps() const { return plConditionOps_.get(); }
  TCCFMeasureOpList* GetCCFMeasureOps() const { return ccfMeasureOps_.get(); }
  bool GetCatConditionsRelevant() const { return catConditionsRelevant_; }
  void SetCatConditionsRelevant(bool v) { SetProp(catConditionsRelevant_, v); }
  const std::string& GetCatDocumentation() const { return catDocumentation_; }
  void SetCatDocumentation(const std::string& v) { SetProp(catDocumentation_, v); }
  const std::string& GetCatStandard() const { return catStandard_; }
  void SetCatStandard(const std::string& v) { SetProp(catStandard_, v); }
  const std::string& GetCatStandardFile() const { return catStandardFile_; }
  void SetCatStandardFile(const std::string& v) { SetProp(catStandardFile_, v); }
  // Points, 0..100 (1005).
  double GetCCFScore() const { return ccfScore_; }
  void SetCCFScore(double v);
  // detDirect or detMeasures (1001).
  TDetermination GetCCFScoreDet() const { return ccfScoreDet_; }
  void SetCCFScoreDet(TDetermination v);
  const std::string& GetDescription() const { return description_; }
  void SetDescription(const std::string& v) { SetProp(description_, v); }
  // Fraction, 0..+inf (1004).
  double GetDCavg() const { return dcavg_; }
  void SetDCavg(double v);
  // detDirect or detSubItems (1001).
  TDetermination GetDCavgDet() const { return dcavgDet_; }
  void SetDCavgDet(TDetermination v);
  const std::string& GetDCavgDocumentation() const { return dcavgDocumentation_; }
  void SetDCavgDocumentation(const std::string& v) { SetProp(dcavgDocumentation_, v); }
  const std::string& GetDocument() const { return document_; }
  void SetDocument(const std::string& v) { SetProp(document_, v); }
  const std::string& GetDocumentation() const { return documentation_; }
  void SetDocumentation(const std::string& v) { SetProp(documentation_, v); }
  const std::string& GetManufacturer() const { return manufacturer_; }
  void SetManufacturer(const std::string& v) { SetProp(manufacturer_, v); }
  // Years, 0..+inf (1040).
  double GetMissionTime() const { return missionTime_; }
  void SetMissionTime(double v);
  // The MTTFd exactly as entered (years). It is never cut: the cap of the category applies when reading
  // GetMTTFd and when computing, with the options in force at that moment.
  double GetMTTFdOrgValue() const { return mttfdOrgValue_; }
  // The entered MTTFd limited to the category's upper limit (+infinity stays). Writing stores the entered
  // value; below 3 years is refused (1007).
  double GetMTTFd() const;
  void SetMTTFd(double v);
  // detDirect or detSubItems (1001).
  TDetermination GetMTTFdDet() const { return mttfdDet_; }
  void SetMTTFdDet(TDetermination v);
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { SetProp(name_, v); }
  std::string NameForRefusals() const override { return NamedItem(msgSubsystemNamed, name_); }
  const std::string& GetPartNo() const { return partNo_; }
  void SetPartNo(const std::string& v) { SetProp(partNo_, v); }
  // The entered PL when it does not follow the entered PFH (no write-protection check).
  TPL GetPLDirectNoBind() const { return plDirectNoBind_; }
  void SetPLDirectNoBind(TPL v);
  // The entered PL follows the entered PFH (no write-protection check).
  bool GetIsPLPFHBind() const { return isPLPFHBind_; }
  void SetIsPLPFHBind(bool v);
  // Per hour, >= 0 (1017); +infinity allowed.
  double GetPFH() const { return pfh_; }
  void SetPFH(double v);
  // detDirect or detSubItems (1001).
  TDetermination GetPLDet() const { return plDet_; }
  void SetPLDet(TDetermination v);
  const std::string& GetPLDocumentation() const { return plDocumentation_; }
  void SetPLDocumentation(const std::string& v) { SetProp(plDocumentation_, v); }
  bool GetUseWorstCaseMTTFd() const { return useWorstCaseMTTFd_; }
  void SetUseWorstCaseMTTFd(bool v) { SetProp(useWorstCaseMTTFd_, v); }

  // Number of channels the standard gives for the category (-1 when the table cannot be read).
  int GetChannelCount() const;
  // True when the category conditions are not relevant, or every condition the standard requires for the
  // category is ticked (not deleted) and satisfied. False when the required conditions cannot be read.
  bool AreCatConditionsSatisfied() const;
  // The ticked PL conditions are listed in texts but do not enter the status.
  bool ArePLConditionsSatisfied() const { return true; }

  // The node that holds this subsystem (its Owner), or null.
  TComponentOp* GetComponentOp() const;

  bool Equals(const TtiObject& other) const override;
  // Both by the property table: every value the class publishes copied as stored (no checks, no events; the
  // entered MTTFd as entered); the three lists refilled with clones of the source's entries that are not
  // deleted; stamps and protection flag; then the change event.
  void Assign(const TtiObject& source) override;

private:
  void HookList(TPerObjListEx& list);

  TCat cat_ = cat4;
  std::unique_ptr<TCatConditionOpList> catConditionOps_;
  std::unique_ptr<TPLConditionOpList> plConditionOps_;
  bool catConditionsRelevant_ = true;
  std::string catDocumentation_;
  std::string catStandard_;
  std::string catStandardFile_;
  std::unique_ptr<TCCFMeasureOpList> ccfMeasureOps_;
  double ccfScore_ = 0.0;
  TDetermination ccfScoreDet_ = detMeasures;
  std::string description_;
  double dcavg_ = 0.0;
  TDetermination dcavgDet_ = detSubItems;
  std::string dcavgDocumentation_;
  std::string document_;
  std::string documentation_;
  std::string manufacturer_;
  double missionTime_ = cMissionTimeRef;
  double mttfdOrgValue_ = cComponentDefaultMTTFd;
  TDetermination mttfdDet_ = detSubItems;
  std::string name_;
  std::string partNo_;
  TPL plDirectNoBind_ = plA;
  bool isPLPFHBind_ = true;
  double pfh_ = cComponentDefaultPFH;
  TDetermination plDet_ = detSubItems;
  std::string plDocumentation_;
  bool useWorstCaseMTTFd_ = false;
};

class TComponentOp : public TNodeComponentAbs {
public:
  TI_CLASS(TComponentOp)
  TComponentOp();
  ~TComponentOp() override;

  // The data object, owned; this node is its Owner.
  TComponent* GetComponent() const { return component_.get(); }
  void SetComponent(std::unique_ptr<TComponent> component);
  // The channel nodes (channels and the test channel), owned.
  TChannelOpList* GetChannelOpList() const { return list_.get(); }
  TChannelOpList* GetList() const override { return list_.get(); }

  std::string GetCaption() const override;
  std::string NameForRefusals() const override {
    return component_ ? component_->NameForRefusals() : std::string();
  }
  bool Equals(const TtiObject& other) const override;
  // Clones of the source's channel nodes that are not deleted (paired as the list pairs them), a clone of its
  // subsystem, stamps and protection flag, then Changed.
  void Assign(const TtiObject& source) override;
  // 1-based position among the subsystems of the owning safety function; 0 without one.
  int GetPosition() const override;
  TItemStatus CheckStatus(TStatusMessages* messages, bool recursive) override;
  // The channel list's Changed, the caches emptied, then OnChange.
  void Changed() override;
  void ExpandDocumentPaths() override;

  // The node operations: each hands the node to the calculator.
  bool GetCCF(TCCFCalc& calc, double& score, TDetermination det) override;
  double GetDC(TDCCalc& calc, TDCDenotation& band, TDetermination det) override;
  double GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band, TDetermination det) override;
  TPL GetPL(TPLCalc& calc, double& pfh, TDetermination det) override;

  // 0-based position for the library store's order column; -1.0 without an owner.
  double GetCompOrder() const;

  // ---- Cached values (filled from the pool's calculators; calculator errors pass through) ----
  double GetDCavgLazy() const;
  TDCDenotation GetDCavgDenotationLazy() const;
  double GetDCavgSubItemsLazy() const;
  TDCDenotation GetDCavgSubItemsDenotationLazy() const;
  double GetDCavgPCLazy() const { return GetDCavgLazy() * 100.0; }
  double GetDCavgPCSubItemsLazy() const { return GetDCavgSubItemsLazy() * 100.0; }
  double GetMTTFdLazy() const;
  TMTTFdDenotation GetMTTFdDenotationLazy() const;
  double GetMTTFdSubItemsLazy() const;
  TMTTFdDenotation GetMTTFdSubItemsDenotationLazy() const;
  TPL GetPLLazy() const;
  double GetPFHLazy() const;
  TPL GetPLSubItemsLazy() const;
  double GetPFHSubItemsLazy() const;
  // CCF with the stored determination / from the measures, and the score reached.
  bool IsCCFSatisfiedLazy() const;
  double GetCCFScoreLazy() const;
  bool IsCCFMeasuresSatisfiedLazy() const;
  double GetCCFScoreMeasuresLazy() const;

  // ---- Category requirements ----
  // True when the requirements of the category are met (or the category conditions are not relevant).
  bool IsCatRequirementsSatisfied() const;
  TTriState GetCatRequirementsStatus() const;
  bool IsMTTFdSatisfied() const;
  bool IsDCavgSatisfied() const;
  bool IsDCavgSatisfiedWithTolerance() const;
  bool IsCCFSatisfied() const;

  // ---- Relevance ----
  bool IsSubsystemRelevant() const { return true; }
  bool IsCatRelevant() const { return true; }
  bool IsMTTFdRelevant() const;
  bool IsDCavgRelevant() const;
  bool IsCCFRelevant() const;
  // The owning safety function's relevance; true without one.
  bool IsRelevant() const;

  // The owning safety-function node, or null.
  TSFOp* GetSFOp() const;
  // The first `count` channel nodes that are not deleted and are not the test channel. Fewer than `count`
  // raises EIndexOutOfBounds (1011) with the count.
  std::vector<TChannelOp*> FirstChannels(int count) const;
  // The channel nodes the subsystem's category uses (as FirstChannels, but never raising: at most that many).
  std::vector<TChannelOp*> UsedChannels() const;

  // ---- Display texts ----
  std::string GetCatString() const;
  std::string GetCatRequirementsSatisfiedString() const;
  std::string GetCCFDirectString() const;
  std::string GetCCFMeasuresString() const;
  std::string GetCCFScoreMeasuresString() const;
  std::string GetCCFString() const;
  std::string GetComponentName() const;
  std::string GetDCavgPCString() const;
  std::string GetDCavgPCSubItemsString() const;
  std::string GetDCavgDirectDenotationString() const;
  std::string GetDCavgSubItemsDenotationString() const;
  double GetMinMissionTime() const;
  std::string GetMTTFdDenotationDirectString() const;
  std::string GetMTTFdDenotationSubItemsString() const;
  std::string GetMTTFdString() const;
  std::string GetMTTFdSubItemsString() const;
  std::string GetPFHString() const;
  std::string GetPFHSubItemsString() const;
  std::string GetPLString() const;
  std::string GetPLSubItemsString() const;
  // Read-write texts and values of the directly entered data.
  std::string GetCCFScoreDirectString() const;
  void SetCCFScoreDirectString(const std::string& text);
  double GetDCavgPCDirect() const;
  void SetDCavgPCDirect(double percent);
  std::string GetDCavgPCDirectString() const;
  void SetDCavgPCDirectString(const std::string& text);
  double GetMTTFdDirect() const;
  void SetMTTFdDirect(double years);
  std::string GetMTTFdDirectString() const;
  void SetMTTFdDirectString(const std::string& text);
  std::string GetPFHDirectString() const;
  void SetPFHDirectString(const std::string& text);
  std::string GetPLDirectString() const;
  void SetPLDirectString(const std::string& text);
  // Report texts: what the category requires with a verdict per part; the PL conditions with theirs.
  std::string GetCatRequirementsText() const;
  std::string GetPLConditionsText() const;

  // Empties every cache (what the change handlers do).
  void ResetCaches() const;

private:
  struct CatReq {
    TTriState status = TTriState::NotEvaluated;
    bool mttfdMet = false;
    bool dcavgMet = false;
    bool dcavgMetTolerance = false;
    bool ccfMet = false;
  };
  void EvaluateCatRequirements() const;
  void DataChanged(TtiObject* sender);
  void ChannelsChanged(TtiObject* sender);
  TComponent& Comp() const;  // raises when the node has no subsystem
  // The value of a cached getter. When `used` (the evaluation of a subsystem that is not deleted needs it) a
  // failure passes on; otherwise one that cannot be computed is -1.0 ("no value").
  double UsedValue(double (TComponentOp::*getter)() const, bool used) const;
  // The cached MTTFd is +infinity (false when it cannot be computed).
  bool MTTFdIsInfinite() const;
  // True when a value that is not relevant is to be shown as general text 391.
  static bool Hidden(bool relevant);

  std::unique_ptr<TComponent> component_;
  std::unique_ptr<TChannelOpList> list_;

  mutable CatReq catReq_;
  mutable TTriState ccf_ = TTriState::NotEvaluated;
  mutable double ccfScore_ = 0.0;
  mutable TTriState ccfMeasures_ = TTriState::NotEvaluated;
  mutable double ccfScoreMeasures_ = 0.0;
  mutable std::optional<double> dcavg_;
  mutable TDCDenotation dcavgBand_ = dcForward;
  mutable std::optional<double> dcavgSub_;
  mutable TDCDenotation dcavgSubBand_ = dcForward;
  mutable std::optional<double> mttfd_;
  mutable TMTTFdDenotation mttfdBand_ = mttfLow;
  mutable std::optional<double> mttfdSub_;
  mutable TMTTFdDenotation mttfdSubBand_ = mttfLow;
  mutable std::optional<TPL> pl_;
  mutable double pfh_ = -1.0;
  mutable std::optional<TPL> plSub_;
  mutable double pfhSub_ = -1.0;
};

}  // namespace kelvado

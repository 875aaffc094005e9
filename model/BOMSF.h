#pragma once
// The safety function: TSF holds what the user enters (name, type, trigger, reaction, safe state, and the
// required performance level PLr, entered directly or taken from the risk graph); TSFOp is its node under the
// project node. The node owns the subsystem nodes, caches the PL and PFH reached and the PLr, and checks the
// safety function's status.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "model/BOMBase.h"
#include "model/BOMLists.h"

namespace kelvado {

// The largest admissible PFH of a safety function (per hour): at or above it no PL applies.
inline constexpr double cPFHMax = 1e-4;

class TSF : public TPerObjAbsEx {
public:
  TI_CLASS(TSF)
  TSF();
  ~TSF() override;

  const std::string& GetDocument() const { return document_; }
  void SetDocument(const std::string& v) { SetProp(document_, v); }
  const std::string& GetDocumentation() const { return documentation_; }
  void SetDocumentation(const std::string& v) { SetProp(documentation_, v); }
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { SetProp(name_, v); }
  std::string NameForRefusals() const override { return NamedItem(msgSFNamed, name_); }
  // PLrDirect (detDirect), PLrMeasures (detMeasures), plForward for any other determination.
  TPL GetPLr() const;
  TPL GetPLrDirect() const { return plrDirect_; }
  void SetPLrDirect(TPL v) { SetEnumProp(plrDirect_, v); }
  // The PL of the risk graph for S, F and P.
  TPL GetPLrMeasures() const;
  TDetermination GetPLrDet() const { return plrDet_; }
  void SetPLrDet(TDetermination v);
  const std::string& GetPLrDocumentation() const { return plrDocumentation_; }
  void SetPLrDocumentation(const std::string& v) { SetProp(plrDocumentation_, v); }
  const std::string& GetPLrStandard() const { return plrStandard_; }
  void SetPLrStandard(const std::string& v) { SetProp(plrStandard_, v); }
  const std::string& GetPLrStandardFile() const { return plrStandardFile_; }
  void SetPLrStandardFile(const std::string& v) { SetProp(plrStandardFile_, v); }
  const std::string& GetReaction() const { return reaction_; }
  void SetReaction(const std::string& v) { SetProp(reaction_, v); }
  // Risk-graph parameters as ordinals: 0 = S1/F1/P1, 1 = S2/F2/P2.
  uint8_t GetRiskParamF() const { return riskParamF_; }
  void SetRiskParamF(uint8_t v) { SetProp(riskParamF_, v); }
  uint8_t GetRiskParamP() const { return riskParamP_; }
  void SetRiskParamP(uint8_t v) { SetProp(riskParamP_, v); }
  uint8_t GetRiskParamS() const { return riskParamS_; }
  void SetRiskParamS(uint8_t v) { SetProp(riskParamS_, v); }
  const std::string& GetSafeState() const { return safeState_; }
  void SetSafeState(const std::string& v) { SetProp(safeState_, v); }
  const std::string& GetSFType() const { return sfType_; }
  void SetSFType(const std::string& v) { SetProp(sfType_, v); }
  const std::string& GetTriggerEvent() const { return triggerEvent_; }
  void SetTriggerEvent(const std::string& v) { SetProp(triggerEvent_, v); }

  bool Equals(const TtiObject& other) const override;
  void Assign(const TtiObject& source) override;

private:
  std::string document_;
  std::string documentation_;
  std::string name_;
  TPL plrDirect_ = plE;
  TDetermination plrDet_ = detMeasures;
  std::string plrDocumentation_;
  std::string plrStandard_;
  std::string plrStandardFile_;
  std::string reaction_;
  uint8_t riskParamF_ = 0;
  uint8_t riskParamP_ = 0;
  uint8_t riskParamS_ = 0;
  std::string safeState_;
  std::string sfType_;
  std::string triggerEvent_;
};

class TSFOp : public TNodeSFAbs {
public:
  TI_CLASS(TSFOp)
  TSFOp();
  ~TSFOp() override;

  // The data object, owned; this node is its Owner.
  TSF* GetSF() const { return sf_.get(); }
  void SetSF(std::unique_ptr<TSF> sf);
  // The subsystem nodes, owned.
  TComponentOpList* GetComponentOpList() const { return list_.get(); }
  TComponentOpList* GetList() const override { return list_.get(); }

  std::string GetCaption() const override;
  std::string NameForRefusals() const override { return sf_ ? sf_->NameForRefusals() : std::string(); }
  bool Equals(const TtiObject& other) const override;
  void Assign(const TtiObject& source) override;
  int GetPosition() const override;
  TItemStatus CheckStatus(TStatusMessages* messages, bool recursive) override;
  void Changed() override;

  TPL GetPL(TPLCalc& calc, double& pfh, TDetermination det) override;

  // Cached: the PL reached (the lower of the weakest unbound subsystem's PL and the PL of the summed PFH) with
  // the summed PFH, and the PLr. Calculator errors pass through and leave the cache empty.
  TPL GetPLLazy() const;
  double GetPFHLazy() const;
  TPL GetPLrLazy() const;

  // A subsystem that is not deleted and neither never fails dangerously (relevant infinite MTTFd) nor has a
  // directly entered PFH of exactly 0.
  bool HasEffectiveSubsystem() const;
  // The project node's relevance; true without one.
  bool IsRelevant() const;

  std::string GetSFName() const;
  std::string GetSFType() const;
  std::string GetCatString() const;
  std::string GetPFHString() const;
  std::string GetPLString() const;
  std::string GetPLrString() const;
  std::string GetPLrMeasuresString() const;
  std::string GetPLrDirectString() const;
  void SetPLrDirectString(const std::string& text);

  void ResetCaches() const;

private:
  void DataChanged(TtiObject* sender);
  void ComponentsChanged(TtiObject* sender);

  std::unique_ptr<TSF> sf_;
  std::unique_ptr<TComponentOpList> list_;
  mutable std::optional<TPL> pl_;
  mutable double pfh_ = -1.0;
  mutable std::optional<TPL> plr_;
};

}  // namespace kelvado

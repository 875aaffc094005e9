#pragma once
// The element: one safety-related part of a block (a switch, a valve, a relay ...). TElement holds what the
// user enters: the reliability as MTTFd or as B10d, the mission time, the DC (entered or from a chosen DC
// measure), the technology and the documentation. TElementOp is its node, the leaf of the tree under a block
// node: it holds the number of operations per year (Nop), caches the element's MTTFd and DC as the
// calculators give them, says whether they count for the block, offers the display texts and checks the
// element's status.
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "model/BOMBase.h"
#include "model/BOMMeasures.h"

namespace kelvado {

// Limits and defaults shared by the element and the block.
inline constexpr double cB10dMin = 0.0;
inline constexpr double cMissionTimeMax = std::numeric_limits<double>::infinity();
// A diagnostic coverage is a fraction of the dangerous failures: above 1 (100 %) it has no meaning, and
// averaged with other values it could lift a DCavg into a better band.
inline constexpr double cDCMaximum = 1.0;
// The mission time the standard assumes (years); also the default mission time.
inline constexpr double cMissionTimeReference = 20.0;
inline constexpr double cElementDefaultMTTFd = 10.0;

// The platform's absolute form of a file name ("" stays ""), as the document paths are expanded.
std::string ExpandFileName(const std::string& fileName);

namespace bom_detail {
// The entered values the element and the block have in common (compared and copied as one by Equals and
// Assign). The owned DC measure is kept apart: it is compared by Equals and copied by cloning.
struct TPartValues {
  explicit TPartValues(TDetermination defaultDCDet = detDirect) : dcDet(defaultDCDet) {}

  double dc = 0.0;
  TDetermination dcDet;
  std::string dcDocumentation;
  std::string description;
  std::string document;
  std::string documentation;
  std::string manufacturer;
  double missionTime = cMissionTimeReference;
  double mttfd = cElementDefaultMTTFd;
  std::string name;
  std::string partNo;
  bool operator==(const TPartValues&) const = default;
};
}  // namespace bom_detail

class TElement : public TPerObjAbsEx {
public:
  TI_CLASS(TElement)
  TElement() = default;
  ~TElement() override;

  // Cycles until 10 % of the parts failed dangerously; below 0 is refused (1006).
  double GetB10d() const { return b10d_; }
  void SetB10d(double v);
  // Entered DC (fraction); below 0 is refused (1004).
  double GetDC() const { return v_.dc; }
  void SetDC(double v);
  const std::string& GetDCDocumentation() const { return v_.dcDocumentation; }
  void SetDCDocumentation(const std::string& v) { SetProp(v_.dcDocumentation, v); }
  // Where the DC comes from: detDirect (DC) or detMeasures (the chosen measure). Other values are stored
  // (the calculator refuses them), except detUnknown, which is never stored (1001).
  TDetermination GetDCDet() const { return v_.dcDet; }
  void SetDCDet(TDetermination v) { SetDetProp(v_.dcDet, v); }
  // The chosen DC measure, owned. Replacing it frees the old one; its changes fire this element's OnChange.
  TDCMeasureOp* GetDCMeasureOp() const { return dcMeasureOp_.get(); }
  void SetDCMeasureOp(std::unique_ptr<TDCMeasureOp> m);
  const std::string& GetDescription() const { return v_.description; }
  void SetDescription(const std::string& v) { SetProp(v_.description, v); }
  // File name of a document.
  const std::string& GetDocument() const { return v_.document; }
  void SetDocument(const std::string& v) { SetProp(v_.document, v); }
  const std::string& GetDocumentation() const { return v_.documentation; }
  void SetDocumentation(const std::string& v) { SetProp(v_.documentation, v); }
  const std::string& GetManufacturer() const { return v_.manufacturer; }
  void SetManufacturer(const std::string& v) { SetProp(v_.manufacturer, v); }
  // Years; any number but NaN (1040).
  double GetMissionTime() const { return v_.missionTime; }
  void SetMissionTime(double v);
  // Entered MTTFd (years); below 3 years is refused (1007), +infinity is legal.
  double GetMTTFd() const { return v_.mttfd; }
  void SetMTTFd(double v);
  const std::string& GetName() const { return v_.name; }
  void SetName(const std::string& v) { SetProp(v_.name, v); }
  std::string NameForRefusals() const override { return NamedItem(msgElementNamed, v_.name); }
  const std::string& GetPartNo() const { return v_.partNo; }
  void SetPartNo(const std::string& v) { SetProp(v_.partNo, v); }
  TTechnology GetTechnology() const { return technology_; }
  void SetTechnology(TTechnology v) { SetEnumProp(technology_, v); }
  // The MTTFd is computed from B10d and the node's Nop instead of taken from MTTFd.
  bool GetUseB10d() const { return useB10d_; }
  void SetUseB10d(bool v) { SetProp(useB10d_, v); }

  // Same class, every value equal, the measures both absent or Equals, stamps equal.
  bool Equals(const TtiObject& other) const override;
  // Every value, a clone of the source's measure (through the setter), stamps and protection flag; Changed.
  void Assign(const TtiObject& source) override;

private:
  bom_detail::TPartValues v_;
  double b10d_ = 0.0;
  std::unique_ptr<TDCMeasureOp> dcMeasureOp_;
  TTechnology technology_ = tecOther;
  bool useB10d_ = false;
};

class TElementOp : public TNodeElementAbs {
public:
  TI_CLASS(TElementOp)
  TElementOp() = default;
  ~TElementOp() override;

  // The data object, owned; this node is its Owner. Replacing it frees the old one and empties the caches.
  TElement* GetElement() const { return element_.get(); }
  void SetElement(std::unique_ptr<TElement> element);
  // Operations per year; +infinity means not entered. 0 and below are refused (1008).
  double GetNop() const { return nop_; }
  void SetNop(double v);

  // The node operations: each hands the node to the calculator. For the MTTFd, `det` detSubItems (or any
  // value but detDirect) selects the B10d formula.
  double GetDC(TDCCalc& calc, TDCDenotation& band, TDetermination det) final;
  double GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band, TDetermination det) final;

  // Cached values, computed by the pool's calculators on first read after a change. Calculator errors pass
  // through and leave the cache empty.
  double GetDCLazy() const { return dc_ ? *dc_ : FillDCLazy(); }  // with the element's own DCDet
  TDCDenotation GetDCBandLazy() const;
  double GetDCMeasuresLazy() const;     // with detMeasures
  TDCDenotation GetDCMeasuresBandLazy() const;
  // Direct or from B10d, as UseB10d says.
  double GetMTTFdLazy() const { return mttfd_ ? *mttfd_ : FillMTTFdLazy(); }
  TMTTFdDenotation GetMTTFdBandLazy() const;

  // Nop := days per year x hours per day x 3600 / cycle time in seconds (through the Nop setter).
  void CalcNop(double dOp, double hOp, double tCycle);
  // 0 <= days <= 365, 0 <= hours <= 24, cycle time >= 0.
  static bool CheckNopParams(double dOp, double hOp, double tCycle);
  // B10d / Nop (years).
  double GetT10d() const;

  // Whether the element's values count for its block.
  bool IsMTTFdRelevant() const;
  bool IsDCRelevant() const;
  bool IsMTTFdOrDCRelevant() const { return IsMTTFdRelevant() || IsDCRelevant(); }
  bool IsRelevant() const { return IsMTTFdOrDCRelevant(); }

  // 0-based position in the block's element list (or the element list holding it) for the stores' order
  // column; -1.0 without one.
  double GetElmOrder() const;
  void GetDCMeasureReportDescription(std::string& text) const;

  // The block node above, or null.
  TBlocOp* GetBlocOp() const;

  // ---- Display texts (published) ----
  std::string GetB10dString() const;
  void SetB10dString(const std::string& text);
  std::string GetT10dString() const;
  std::string GetDCDirectString() const;
  void SetDCDirectString(const std::string& text);
  std::string GetDCDenotationDirectString() const;
  std::string GetDCMeasuresString() const;
  std::string GetDCDenotationMeasuresString() const;
  std::string GetDCString() const;
  std::string GetElementName() const;
  void SetElementName(const std::string& name);
  std::string GetElementTechnologyString() const;
  void SetElementTechnologyString(const std::string& text);
  std::string GetFITDirectString() const;
  void SetFITDirectString(const std::string& text);
  std::string GetMTTFdDirectString() const;
  void SetMTTFdDirectString(const std::string& text);
  std::string GetMTTFdDenotationDirectString() const;
  std::string GetMTTFdB10dString() const;
  std::string GetMTTFdDenotationB10dString() const;
  std::string GetMTTFdString() const;
  std::string GetNopString() const;
  void SetNopString(const std::string& text);

  std::string GetCaption() const override { return GetElementName(); }
  std::string NameForRefusals() const override { return element_ ? element_->NameForRefusals() : std::string(); }
  // Same class, elements both absent or Equals, equal Nop and stamps.
  bool Equals(const TtiObject& other) const override;
  // A clone of the source's element, Nop, stamps and protection flag; Changed.
  void Assign(const TtiObject& source) override;
  // 1 + the position in the block's element list (deleted items counted); 0 without one.
  int GetPosition() const override;
  TItemStatus CheckStatus(TStatusMessages* messages, bool recursive) override;
  // Empties the caches, then OnChange.
  void Changed() override;
  void ExpandDocumentPaths() override;

  // Empties the three caches.
  void ResetCaches();

private:
  // What the lazy getters do when their cache is empty; a block reads its elements' caches several times.
  double FillDCLazy() const;
  double FillMTTFdLazy() const;
  TElement& Data() const;  // raises when the node has no element
  void ElementChanged(TtiObject* sender);

  std::unique_ptr<TElement> element_;
  double nop_ = std::numeric_limits<double>::infinity();
  mutable TDCDenotation dcBand_ = dcForward;
  mutable TDCDenotation dcMeasuresBand_ = dcForward;
  mutable std::optional<double> dc_;
  mutable std::optional<double> dcMeasures_;
  mutable TMTTFdDenotation mttfdBand_ = mttfLow;
  mutable std::optional<double> mttfd_;
};

}  // namespace kelvado

#pragma once
// The block: a functional unit of a channel (input, logic, output ...), made of elements. Its MTTFd and DC
// are each entered or computed from its elements; its DC can also come from a chosen DC measure. TBloc holds
// what the user enters; TBlocOp is its node under a channel node: it owns the element nodes, caches the
// block's MTTFd and DC as the calculators give them, decides whether they count for the subsystem, offers the
// display texts and checks the block's status, recursively over its elements.
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "model/BOMBase.h"
#include "model/BOMElement.h"
#include "model/BOMLists.h"
#include "model/BOMMeasures.h"

namespace kelvado {

class TBloc : public TPerObjAbsEx {
public:
  TI_CLASS(TBloc)
  TBloc() = default;
  ~TBloc() override;

  // Entered DC (fraction); below 0 is refused (1004).
  double GetDC() const { return v_.dc; }
  void SetDC(double v);
  // detDirect, detSubItems (from the elements) or detMeasures (the chosen measure); detUnknown is refused.
  TDetermination GetDCDet() const { return v_.dcDet; }
  void SetDCDet(TDetermination v) { SetDetProp(v_.dcDet, v); }
  const std::string& GetDCDocumentation() const { return v_.dcDocumentation; }
  void SetDCDocumentation(const std::string& v) { SetProp(v_.dcDocumentation, v); }
  // The chosen DC measure, owned (see TElement::SetDCMeasureOp).
  TDCMeasureOp* GetDCMeasureOp() const { return dcMeasureOp_.get(); }
  void SetDCMeasureOp(std::unique_ptr<TDCMeasureOp> m);
  const std::string& GetDescription() const { return v_.description; }
  void SetDescription(const std::string& v) { SetProp(v_.description, v); }
  const std::string& GetDocument() const { return v_.document; }
  void SetDocument(const std::string& v) { SetProp(v_.document, v); }
  const std::string& GetDocumentation() const { return v_.documentation; }
  void SetDocumentation(const std::string& v) { SetProp(v_.documentation, v); }
  const std::string& GetManufacturer() const { return v_.manufacturer; }
  void SetManufacturer(const std::string& v) { SetProp(v_.manufacturer, v); }
  // Years; any number but NaN (1040).
  double GetMissionTime() const { return v_.missionTime; }
  void SetMissionTime(double v);
  // Entered MTTFd (years); below 3 years is refused (1007).
  double GetMTTFd() const { return v_.mttfd; }
  void SetMTTFd(double v);
  // detDirect or detSubItems; detMeasures and detUnknown are refused (1001).
  TDetermination GetMTTFdDet() const { return mttfdDet_; }
  void SetMTTFdDet(TDetermination v) { SetDetProp(mttfdDet_, v, {detMeasures}); }
  const std::string& GetName() const { return v_.name; }
  void SetName(const std::string& v) { SetProp(v_.name, v); }
  std::string NameForRefusals() const override { return NamedItem(msgBlocNamed, v_.name); }
  const std::string& GetPartNo() const { return v_.partNo; }
  void SetPartNo(const std::string& v) { SetProp(v_.partNo, v); }

  bool Equals(const TtiObject& other) const override;
  void Assign(const TtiObject& source) override;

private:
  bom_detail::TPartValues v_{detSubItems};
  std::unique_ptr<TDCMeasureOp> dcMeasureOp_;
  TDetermination mttfdDet_ = detSubItems;
};

class TBlocOp : public TNodeBlocAbs {
public:
  TI_CLASS(TBlocOp)
  TBlocOp();
  ~TBlocOp() override;

  // The data object, owned; this node is its Owner.
  TBloc* GetBloc() const { return bloc_.get(); }
  void SetBloc(std::unique_ptr<TBloc> bloc);
  // The element nodes, owned (published as "List").
  TElementOpList* GetElementOpList() const { return list_.get(); }
  TElementOpList* GetList() const override { return list_.get(); }

  double GetDC(TDCCalc& calc, TDCDenotation& band, TDetermination det) final;
  double GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band, TDetermination det) final;

  // Cached values (pool calculators; errors pass through and leave the cache empty).
  double GetDCLazy() const { return dc_ ? *dc_ : FillDCLazy(); }  // with the block's own DCDet
  TDCDenotation GetDCBandLazy() const;
  double GetDCMeasuresLazy() const;
  TDCDenotation GetDCMeasuresBandLazy() const;
  double GetDCSubItemsLazy() const;
  TDCDenotation GetDCSubItemsBandLazy() const;
  double GetMTTFdLazy() const { return mttfd_ ? *mttfd_ : FillMTTFdLazy(); }  // with the block's own MTTFdDet
  TMTTFdDenotation GetMTTFdBandLazy() const;
  double GetMTTFdSubItemsLazy() const;
  TMTTFdDenotation GetMTTFdSubItemsBandLazy() const;

  // Whether the block's values count for the subsystem.
  bool IsRelevant() const;
  bool IsMTTFdRelevant() const;
  bool IsDCRelevant() const;
  bool IsMTTFdOrDCRelevant() const { return IsDCRelevant() || IsMTTFdRelevant(); }

  // 0-based position in the channel's block list (or the block list holding it); -1.0 without one.
  double GetBlocOrder() const;
  // The channel node above (a channel or the test channel), or null.
  TChannelOp* GetChannelOp() const;
  // The smallest of the block's mission time and those of its relevant elements that are not deleted.
  double GetMinMissionTime() const;

  // ---- Display texts (published) ----
  std::string GetBlocName() const;
  std::string GetDCDirectString() const;
  void SetDCDirectString(const std::string& text);
  std::string GetDCDenotationDirectString() const;
  std::string GetDCMeasuresString() const;
  std::string GetDCDenotationMeasuresString() const;
  std::string GetDCSubItemsString() const;
  std::string GetDCDenotationSubItemsString() const;
  std::string GetDCString() const;
  std::string GetFITDirectString() const;
  void SetFITDirectString(const std::string& text);
  std::string GetMTTFdDirectString() const;
  void SetMTTFdDirectString(const std::string& text);
  std::string GetMTTFdDenotationDirectString() const;
  std::string GetMTTFdSubItemsString() const;
  std::string GetMTTFdDenotationSubItemsString() const;
  std::string GetMTTFdString() const;

  std::string GetCaption() const override { return GetBlocName(); }
  std::string NameForRefusals() const override { return bloc_ ? bloc_->NameForRefusals() : std::string(); }
  bool Equals(const TtiObject& other) const override;
  // A clone of the source's block, clones of its element nodes that are not deleted, stamps and protection
  // flag; Changed.
  void Assign(const TtiObject& source) override;
  // 1 + the position in the channel's block list; 0 without one.
  int GetPosition() const override;
  TItemStatus CheckStatus(TStatusMessages* messages, bool recursive) override;
  // The element nodes' Changed, the caches emptied, then OnChange.
  void Changed() override;
  void ExpandDocumentPaths() override;

  // Empties the caches that depend on the block's own data (not on the elements).
  void ResetOwnDataCaches();
  // Empties the five caches.
  void ResetCaches();

private:
  // What the lazy getters do when their cache is empty; a channel reads its blocks' caches several times.
  double FillDCLazy() const;
  double FillMTTFdLazy() const;
  TBloc& Data() const;  // raises when the node has no block
  void BlocChanged(TtiObject* sender);
  void ElementsChanged(TtiObject* sender);

  std::unique_ptr<TBloc> bloc_;
  std::unique_ptr<TElementOpList> list_;
  mutable TDCDenotation dcBand_ = dcForward;
  mutable TDCDenotation dcMeasuresBand_ = dcForward;
  mutable TDCDenotation dcSubItemsBand_ = dcForward;
  mutable std::optional<double> dc_;
  mutable std::optional<double> dcMeasures_;
  mutable std::optional<double> dcSubItems_;
  mutable TMTTFdDenotation mttfdBand_ = mttfLow;
  mutable TMTTFdDenotation mttfdSubItemsBand_ = mttfLow;
  mutable std::optional<double> mttfd_;
  mutable std::optional<double> mttfdSubItems_;
};

}  // namespace kelvado

#pragma once
// Unit VisitorsCalc: the arithmetic of EN ISO 13849-1. How the MTTFd, the DC and DCavg, the CCF score, the
// PFH and the PL of every level of the project tree follow from what the user entered lives here and never
// in the tree nodes. A node asks for a derived value by handing a calculator to one of its own operations
// (GetDC, GetMTTFd, GetCCF, GetPL), which calls back the calculator's operation for the node's level with the
// node itself. The nodes cache the results; the calculators keep none.
//
// One pool (CalcPool) holds one calculator of each kind. Table look-ups of the standard go through the
// standard lookups (model/GlobalsLookups.h).
//
// Determinations: an operation that takes one first replaces detUnknown by the determination stored in the
// node's data object, then branches on it; one it does not handle raises EInvalidDet (1010) naming the
// stored determination.
#include <atomic>
#include <memory>

#include "model/BOMBase.h"
#include "model/Enums.h"

namespace kelvado {

// The DCavg formula of the standard: each DC weighted with 1/MTTFd. Children are added in list order; a
// child with an infinite MTTFd counts for nothing; a child whose MTTFd is 0 or below, or whose DC is negative,
// makes the result undeterminable (-1.0): Add then returns false and the caller asks no further children.
class TWeightedDC {
public:
  bool Add(double mttfd, double dc);
  // -1.0 after a refused child; +infinity when no child counted; else sum(DC/MTTFd) / sum(1/MTTFd).
  double Result() const;

private:
  double s1_ = 0.0;
  double s2_ = 0.0;
  bool failed_ = false;
};

// ---- Abstract calculators ----

class TCCFCalc {
public:
  TCCFCalc() = default;
  TCCFCalc(const TCCFCalc&) = delete;
  TCCFCalc& operator=(const TCCFCalc&) = delete;
  virtual ~TCCFCalc() = default;
  // The CCF score reached (into `score`); true when it meets the required score.
  virtual bool CalcComponentCCF(TComponentOp& node, double& score, TDetermination det) = 0;
};

class TDCCalc {
public:
  TDCCalc() = default;
  TDCCalc(const TDCCalc&) = delete;
  TDCCalc& operator=(const TDCCalc&) = delete;
  virtual ~TDCCalc() = default;
  // Each returns the DC (fraction; -1.0 when it cannot be determined) and writes its band.
  virtual double CalcComponentDC(TComponentOp& node, TDCDenotation& band, TDetermination det) = 0;
  virtual double CalcChannelDC(TChannelOp& node, TDCDenotation& band) = 0;
  virtual double CalcBlocDC(TBlocOp& node, TDCDenotation& band, TDetermination det) = 0;
  virtual double CalcElementDC(TElementOp& node, TDCDenotation& band, TDetermination det) = 0;
};

class TMTTFdCalc {
public:
  TMTTFdCalc() = default;
  TMTTFdCalc(const TMTTFdCalc&) = delete;
  TMTTFdCalc& operator=(const TMTTFdCalc&) = delete;
  virtual ~TMTTFdCalc() = default;
  // Each returns the MTTFd (years; +infinity: never fails dangerously) and writes its band.
  virtual double CalcComponentMTTFd(TComponentOp& node, TMTTFdDenotation& band, TDetermination det) = 0;
  virtual double CalcChannelMTTFd(TChannelOp& node, TMTTFdDenotation& band) = 0;
  virtual double CalcBlocMTTFd(TBlocOp& node, TMTTFdDenotation& band, TDetermination det) = 0;
  virtual double CalcElementMTTFd(TElementOp& node, TMTTFdDenotation& band, TDetermination det) = 0;
};

class TPLCalc {
public:
  TPLCalc() = default;
  TPLCalc(const TPLCalc&) = delete;
  TPLCalc& operator=(const TPLCalc&) = delete;
  virtual ~TPLCalc() = default;
  // Each returns the PL reached and writes the PFH (per hour) it rests on.
  virtual TPL CalcSFPL(TSFOp& node, double& pfh) = 0;
  virtual TPL CalcComponentPL(TComponentOp& node, double& pfh, TDetermination det) = 0;
};

// ---- The calculators of EN ISO 13849-1 ----
// The element, block and channel operations are in VisitorsCalc.cpp; the subsystem and safety-function
// operations in VisitorsCalcComponent.cpp.

class TCCFCalc13849 : public TCCFCalc {
public:
  bool CalcComponentCCF(TComponentOp& node, double& score, TDetermination det) override;
};

class TMTTFdCalc13849 : public TMTTFdCalc {
public:
  double CalcComponentMTTFd(TComponentOp& node, TMTTFdDenotation& band, TDetermination det) override;
  double CalcChannelMTTFd(TChannelOp& node, TMTTFdDenotation& band) override;
  double CalcBlocMTTFd(TBlocOp& node, TMTTFdDenotation& band, TDetermination det) override;
  double CalcElementMTTFd(TElementOp& node, TMTTFdDenotation& band, TDetermination det) override;
};

class TDCCalc13849 : public TDCCalc {
public:
  double CalcComponentDC(TComponentOp& node, TDCDenotation& band, TDetermination det) override;
  double CalcChannelDC(TChannelOp& node, TDCDenotation& band) override;
  double CalcBlocDC(TBlocOp& node, TDCDenotation& band, TDetermination det) override;
  double CalcElementDC(TElementOp& node, TDCDenotation& band, TDetermination det) override;

protected:
  // The pool's MTTFd calculator. Asked of the pool on every use rather than kept: a calculator replaced in
  // the pool is freed, and a kept reference would then point at freed memory.
  static TMTTFdCalc& MTTFdCalc();
};

class TPLCalc13849 : public TPLCalc {
public:
  TPL CalcSFPL(TSFOp& node, double& pfh) override;
  TPL CalcComponentPL(TComponentOp& node, double& pfh, TDetermination det) override;

protected:
  // The pool's DC and MTTFd calculators (asked of the pool on every use, see TDCCalc13849).
  static TDCCalc& DCCalc();
  static TMTTFdCalc& MTTFdCalc();
};

// ---- The calculator pool ----

// The classes the pool creates ("class references"): each makes a new calculator of its kind. Their initial
// values make the 13849 calculators; nothing else assigns them.
using TCCFCalcClass = std::unique_ptr<TCCFCalc> (*)();
using TDCCalcClass = std::unique_ptr<TDCCalc> (*)();
using TMTTFdCalcClass = std::unique_ptr<TMTTFdCalc> (*)();
using TPLCalcClass = std::unique_ptr<TPLCalc> (*)();
extern TCCFCalcClass CCFCalcClass;
extern TDCCalcClass DCCalcClass;
extern TMTTFdCalcClass MTTFdCalcClass;
extern TPLCalcClass PLCalcClass;

// Factories of the 13849 calculators (the initial values above).
std::unique_ptr<TCCFCalc> NewCCFCalc13849();
std::unique_ptr<TDCCalc> NewDCCalc13849();
std::unique_ptr<TMTTFdCalc> NewMTTFdCalc13849();
std::unique_ptr<TPLCalc> NewPLCalc13849();

// Raises EInvalidDet (1010) naming the determination a calculator cannot work with.
[[noreturn]] void RefuseDet(TDetermination stored);

// Owns one calculator of each kind.
class TVisCalcPool {
public:
  // Creates the four calculators from the class variables, in the order CCF, DC, MTTFd, PL.
  TVisCalcPool();
  TVisCalcPool(const TVisCalcPool&) = delete;
  TVisCalcPool& operator=(const TVisCalcPool&) = delete;
  ~TVisCalcPool();

  TCCFCalc& GetCCFCalc() const { return *ccfCalc_; }
  TDCCalc& GetDCCalc() const { return *dcCalc_; }
  TMTTFdCalc& GetMTTFdCalc() const { return *mttfdCalc_; }
  TPLCalc& GetPLCalc() const { return *plCalc_; }

  // Each frees the calculator held and stores a new one made by `cls`.
  void SetCCFCalc(TCCFCalcClass cls);
  void SetDCCalc(TDCCalcClass cls);
  void SetMTTFdCalc(TMTTFdCalcClass cls);
  void SetPLCalc(TPLCalcClass cls);

private:
  std::unique_ptr<TCCFCalc> ccfCalc_;
  std::unique_ptr<TDCCalc> dcCalc_;
  std::unique_ptr<TMTTFdCalc> mttfdCalc_;
  std::unique_ptr<TPLCalc> plCalc_;
};

namespace calc_detail {
// The pool once created: every node computation asks for it, so the accessor is a load, not a call.
extern std::atomic<TVisCalcPool*> gPool;
TVisCalcPool& CreatePool();
}  // namespace calc_detail

// The one pool, created on the first call.
inline TVisCalcPool& CalcPool() {
  if (TVisCalcPool* p = calc_detail::gPool.load(std::memory_order_acquire)) return *p;
  return calc_detail::CreatePool();
}
// Frees the pool; the next CalcPool() creates a new one (shutdown, tests).
void CalcPoolShutdown();

}  // namespace kelvado

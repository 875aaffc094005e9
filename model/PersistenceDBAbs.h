#pragma once
// The general database as the model sees it: the questions the calculators, status checks and editors ask
// about the standard's tables, and the accessor PersistenceDB() through which they reach the one object that
// answers them. The real object (on the general database file) lives in storage/db and registers a factory
// here; tests of the model may install a small in-memory double instead.
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "framework/tiBaseObject.h"
#include "model/Enums.h"

namespace kelvado {

class TCatConditionList;
class TPLConditionList;

// Set of values of a small enumeration (at most 8 values), one bit per ordinal.
template <typename E>
class TEnumSet {
public:
  constexpr TEnumSet() = default;
  constexpr TEnumSet(std::initializer_list<E> values) {
    for (E v : values) Include(v);
  }
  constexpr void Include(E v) { bits_ = static_cast<uint8_t>(bits_ | Bit(v)); }
  constexpr void Exclude(E v) { bits_ = static_cast<uint8_t>(bits_ & ~Bit(v)); }
  constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint8_t Bits() const { return bits_; }
  friend constexpr bool operator==(TEnumSet a, TEnumSet b) { return a.bits_ == b.bits_; }

private:
  static constexpr uint8_t Bit(E v) {
    return EnumInRange<E>(static_cast<int>(v)) ? static_cast<uint8_t>(1u << static_cast<int>(v)) : 0;
  }
  uint8_t bits_ = 0;
};
using TMTTFdDenotationSet = TEnumSet<TMTTFdDenotation>;
using TDCDenotationSet = TEnumSet<TDCDenotation>;

// The answer of GetMTTFdDenotation for an MTTFd that lies in no band (below the lowest band of 3 years, a
// negative "no value" or NaN). It is beyond mttfHigh, so MTTFdDenotationToStr shows it as "-"; it is no
// value of the enumeration and must never be taken for a band that meets a requirement.
inline constexpr TMTTFdDenotation mttfNoBand = static_cast<TMTTFdDenotation>(3);

// Answers about the standard's tables for the edition in force. Every answer is cached by the implementation;
// a look-up that fails in the database returns its default and caches nothing.
class TPersistenceDB : public TtiBaseObject {
public:
  TI_CLASS(TPersistenceDB)
  TPersistenceDB() = default;
  ~TPersistenceDB() override = default;

  virtual bool IsConnected() const = 0;
  // Deletes every item row (measures, conditions, elements, blocks, channels, subsystems) of the connected
  // database. Errors propagate.
  virtual void EmptyLibraryTables() = 0;
  virtual void Connect() = 0;
  // Creates a new, empty library file with the full schema. Raises an error naming the file when that fails;
  // nothing half-made is left behind.
  virtual void CreateNewDatabase(const std::string& FileName) = 0;
  virtual void Disconnect() = 0;

  // Conditions the standard requires for a category / a PL. The list belongs to this object, stays alive as
  // long as it and is the same object on every call (callers never free it). An empty list: the standard
  // requires none. Null: the table could not be read (a failure, reported once), which callers must never
  // take for "none required".
  virtual TCatConditionList* GetCatConditions(TCat Cat) = 0;
  virtual TPLConditionList* GetPLConditions(TPL PL) = 0;
  // The MTTFd bands of a channel and the DCavg bands the category allows, and whether CCF counts for it.
  virtual void GetCatRequirements(TCat Cat, TMTTFdDenotationSet& MTTFd, TDCDenotationSet& DCavg,
                                  bool& CCFRelevant) = 0;
  // Number of channels of the category; -1 when it could not be read.
  virtual int32_t GetChannelCount(TCat Cat) = 0;
  // Band of a DC (fraction); dcForward when no band holds it.
  virtual TDCDenotation GetDCDenotation(double DC) = 0;
  // Minimum service life (years); -1.0 when it could not be read.
  virtual double GetMinServiceLife() = 0;
  // Band of an MTTFd (years): above the highest band counts as mttfHigh, below the lowest is mttfNoBand.
  virtual TMTTFdDenotation GetMTTFdDenotation(double MTTFd) = 0;
  // PFH (per hour) from the table by DC band, category and MTTFd; -1.0 when none.
  virtual double GetPFH(TDCDenotation DC, TCat Cat, double MTTFd) = 0;
  // PFH (per hour) interpolated in the grid; 0.0 for an infinite MTTFd, -1.0 when no value exists.
  virtual double GetPFHInterpolated(TCat Cat, double MTTFd, double DCavg) = 0;
  // Representative PFH of a PL (the geometric mean of its band); 0.0 when none.
  virtual double GetPLMeanPFH(TPL PL) = 0;
  // The PL whose PFH band holds the value; plN when none.
  virtual TPL GetPLFromPFH(double PFH) = 0;
  // Required PL of the risk graph; the parameters are ordinals (0 = S1/F1/P1, 1 = S2/F2/P2).
  virtual TPL GetPLrFromRiskParams(uint8_t S, uint8_t F, uint8_t P) = 0;
  // Required CCF score (points); -1.0 when it could not be read.
  virtual double GetReqCCFScore() = 0;
  // Names of the safety-function types; the list belongs to this object.
  virtual const std::vector<std::string>& GetSFTypes() = 0;
  // File name of the library open in the library mapper; empty when none.
  virtual std::string GetOpenLibFileName() = 0;
};

// Makes the object that PersistenceDB() creates on its first call (storage/db registers the real one).
using TPersistenceDBFactory = std::function<std::unique_ptr<TPersistenceDB>()>;
void RegisterPersistenceDBFactory(TPersistenceDBFactory factory);

namespace persistence_detail {
// The current object once there is one: every table look-up of an evaluation goes through the accessor.
extern std::atomic<TPersistenceDB*> gCurrent;
TPersistenceDB& CreateCurrent();
}  // namespace persistence_detail

// The general-database object, created by the registered factory on the first call. Raises EKelvado when no
// factory is registered.
inline TPersistenceDB& PersistenceDB() {
  if (TPersistenceDB* db = persistence_detail::gCurrent.load(std::memory_order_acquire)) return *db;
  return persistence_detail::CreateCurrent();
}
bool PersistenceDBAssigned();
// Puts `db` in place of the current object (which is freed); for tests and the program start.
void SetPersistenceDB(std::unique_ptr<TPersistenceDB> db);
// Frees the object; the next PersistenceDB() creates a new one.
void PersistenceDBShutdown();

}  // namespace kelvado

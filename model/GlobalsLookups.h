#pragma once
// Unit Globals: the standard's tables as the model asks them. Each routine forwards to the general-database
// object (PersistenceDB(), model/PersistenceDBAbs.h) for the edition in force; results and failures are those
// of that object. An MTTFd or DC handed to a look-up is rounded with RoundForBounds first; the values the nodes
// compute and cache stay as computed.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "model/Enums.h"
#include "model/PersistenceDBAbs.h"

namespace kelvado {

// A computed MTTFd (years) or DC (fraction) as it is compared with the standard's tables (bands, PFH grid,
// category requirements, the 3-year floor): rounded to 9 decimal places, so that arithmetic noise (7 blocks of
// 210 years giving 29.999999999999993) never moves a value across a bound. +infinity, -infinity, NaN and values
// too large to carry a fraction stay as they are. The one place this rule lives; inline, as every look-up of an
// evaluation runs it.
inline double RoundForBounds(double value) {
  if (!std::isfinite(value)) return value;
  const double scaled = value * 1e9;
  // Beyond 2^53 a double has no fraction left to round.
  if (std::fabs(scaled) >= 9007199254740992.0) return value;
  return std::nearbyint(scaled) / 1e9;
}

TCatConditionList* GetCatConditions(TCat Cat);
TPLConditionList* GetPLConditions(TPL PL);
void GetCatRequirements(TCat Cat, TMTTFdDenotationSet& MTTFd, TDCDenotationSet& DCavg, bool& CCFRelevant);
int32_t GetChannelCount(TCat Cat);
// Inline: an evaluation asks a band of every value it computes.
inline TDCDenotation GetDCDenotation(double DC) { return PersistenceDB().GetDCDenotation(RoundForBounds(DC)); }
inline TMTTFdDenotation GetMTTFdDenotation(double MTTFd) {
  return PersistenceDB().GetMTTFdDenotation(RoundForBounds(MTTFd));
}
double GetPFHInterpolated(TCat Cat, double MTTFd, double DCavg);
double GetPLMeanPFH(TPL PL);
TPL GetPLrFromRiskParams(uint8_t S, uint8_t F, uint8_t P);
double GetReqCCFScore();
const std::vector<std::string>& GetSFTypes();
void GetOpenLibFileName(std::string& FileName);

// The PL of a PFH: the PL whose band holds it; a PFH from 0 up to the mean PFH of plE, which no band holds
// below plE's lower bound, still reaches plE. Anything else without a band (negative, 1e-4 and above, NaN)
// gives plN.
TPL PFHToPL(double PFH);
// PLToStr(PFHToPL(PFH)): "-" when no PL applies.
void PFHToPLStr(std::string& S, double PFH);

}  // namespace kelvado

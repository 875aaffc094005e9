#include "model/GlobalsLookups.h"

#include "model/GlobalsTexts.h"

namespace kelvado {

TCatConditionList* GetCatConditions(TCat Cat) { return PersistenceDB().GetCatConditions(Cat); }
TPLConditionList* GetPLConditions(TPL PL) { return PersistenceDB().GetPLConditions(PL); }

void GetCatRequirements(TCat Cat, TMTTFdDenotationSet& MTTFd, TDCDenotationSet& DCavg, bool& CCFRelevant) {
  PersistenceDB().GetCatRequirements(Cat, MTTFd, DCavg, CCFRelevant);
}

int32_t GetChannelCount(TCat Cat) { return PersistenceDB().GetChannelCount(Cat); }

double GetPFHInterpolated(TCat Cat, double MTTFd, double DCavg) {
  return PersistenceDB().GetPFHInterpolated(Cat, RoundForBounds(MTTFd), RoundForBounds(DCavg));
}

double GetPLMeanPFH(TPL PL) { return PersistenceDB().GetPLMeanPFH(PL); }
TPL GetPLrFromRiskParams(uint8_t S, uint8_t F, uint8_t P) { return PersistenceDB().GetPLrFromRiskParams(S, F, P); }
double GetReqCCFScore() { return PersistenceDB().GetReqCCFScore(); }
const std::vector<std::string>& GetSFTypes() { return PersistenceDB().GetSFTypes(); }
void GetOpenLibFileName(std::string& FileName) { FileName = PersistenceDB().GetOpenLibFileName(); }

TPL PFHToPL(double PFH) {
  TPersistenceDB& db = PersistenceDB();
  const TPL pl = db.GetPLFromPFH(PFH);
  if (pl <= plE) return pl;
  // Below the lowest band a PFH is better than plE asks for; the comparison is false for NaN.
  if (PFH >= 0.0 && PFH < db.GetPLMeanPFH(plE)) return plE;
  return pl;
}

void PFHToPLStr(std::string& S, double PFH) { S = PLToStr(PFHToPL(PFH)); }

}  // namespace kelvado

#pragma once
// Unit Globals: the standard's tables as the model asks them. Each routine forwards to the general-database
// object (PersistenceDB(), model/PersistenceDBAbs.h) for the edition in force; results and failures are those
// of that object.
#include <cstdint>
#include <string>
#include <vector>

#include "model/Enums.h"
#include "model/PersistenceDBAbs.h"

namespace kelvado {

TCatConditionList* GetCatConditions(TCat Cat);
TPLConditionList* GetPLConditions(TPL PL);
void GetCatRequirements(TCat Cat, TMTTFdDenotationSet& MTTFd, TDCDenotationSet& DCavg, bool& CCFRelevant);
int32_t GetChannelCount(TCat Cat);
TDCDenotation GetDCDenotation(double DC);
TMTTFdDenotation GetMTTFdDenotation(double MTTFd);
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

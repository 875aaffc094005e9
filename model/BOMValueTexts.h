#pragma once
// Small helpers shared by the element, block and channel nodes for their display texts and text setters.
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "platform/TextCase.h"

namespace kelvado::bom_detail {

// A value rounded as a rounding key says (RoundToDigits), as the general number text.
inline std::string RoundedText(int digits, double value) { return FloatToStr(RoundToDigits(digits, value)); }

// The same with "INF" shown as the infinity text.
inline std::string RoundedTextInf(int digits, double value) { return ReplaceInfinity(RoundedText(digits, value)); }

// "inf" in any letter case is +infinity; any other text must be a number (EConvertError otherwise).
inline double TextToFloatInf(std::string_view text) {
  if (SameTextAscii(TrimAny(text, " "), "inf")) return std::numeric_limits<double>::infinity();
  return StrToFloat(text);
}

inline constexpr double kHoursPerYear = 24.0 * 365.0;

// FIT (failures per 10^9 hours) of an MTTFd, cut (not rounded) to the precision key `truncDigits` (-2 keeps
// two decimals). An infinite MTTFd gives 0. Noise below the 9th decimal of the scaled value is removed first
// (RoundForBounds), so that a FIT entered as 0.29 reads back as 0.29, not 0.28.
inline double FITOfMTTFd(double mttfd, int truncDigits) {
  if (std::isinf(mttfd)) return 0.0;
  const double fit = 1e9 / (mttfd * kHoursPerYear);
  const double scale = std::pow(10.0, -truncDigits);
  return std::trunc(RoundForBounds(fit * scale)) / scale;
}

// MTTFd (years) of a FIT value; a FIT of 0 means the part never fails dangerously (+infinity).
inline double MTTFdOfFIT(double fit) {
  if (fit == 0.0) return std::numeric_limits<double>::infinity();
  return 1e9 / (fit * kHoursPerYear);
}

// The DC text of an element or block node: "percent (band)", "- (-)" without a value, or the text for a value
// that does not count when such values are hidden (then nothing is computed).
template <class Node>
std::string NodeDCText(const Node& node) {
  if (!node.IsDCRelevant() && GetOptHideNonRelevant()) return GetMsgString(txtNotRelevant, msgBaseGeneral);
  const double dc = node.GetDCLazy();
  if (dc < 0.0 || std::isinf(dc)) return "- (-)";
  return RoundedText(GetOptRoundDC(), dc * 100.0) + " (" + DCDenotationToStr(node.GetDCBandLazy()) + ")";
}

// The same for the MTTFd: "years (band)" with "INF" as the infinity text.
template <class Node>
std::string NodeMTTFdText(const Node& node) {
  if (!node.IsMTTFdRelevant() && GetOptHideNonRelevant()) return GetMsgString(txtNotRelevant, msgBaseGeneral);
  const double m = node.GetMTTFdLazy();
  return ReplaceInfinity(RoundedText(GetOptRoundMTTFd(), m) + " (" + MTTFdDenotationToStr(node.GetMTTFdBandLazy()) +
                         ")");
}

}  // namespace kelvado::bom_detail

#pragma once
// Value texts and limits of unit Globals: the display texts of the enumerations, the edition and release
// stamps written into every stored object, fixed placeholders, rounding, and the exact number texts used by
// display texts and stores (the general number format below, "." as separator whatever the process locale).
#include <string>
#include <string_view>

#include "model/Enums.h"

namespace kelvado {

// ---- Limits ----
// 2500 years for cat4 when the option cutmttfdraise (checked against usedcinterlevels) is on, else 100 years.
double MTTFdCap(TCat Cat);
inline constexpr double MTTFdMinYears = 3.0;
double MTTFdMin();
bool IsCat2(TCat Cat);

// ---- Enumeration texts ----
std::string PLToStr(TPL PL);  // "a".."e"; "-" for plN, plForward and anything else
TPL StrToPL(std::string_view S);  // exact; "e+" gives plE; else EInvalidValue 1001
std::string CatToStr(TCat Cat);  // "B", "1".."4"; "-" otherwise
std::string DCDenotationToStr(TDCDenotation Value);
std::string MTTFdDenotationToStr(TMTTFdDenotation Value);
std::string TechnologyText(TTechnology Tech);  // texts 421..426
TTechnology TextToTechnology(std::string_view S);  // no match gives tecOther

// Edition and release stamps. Their texts are built in (not taken from the language file) so that what is
// written into every stored row never depends on the installed language.
std::string NormVersionText(TNormVersion Ver);  // EInvalidValue 1001 for an out-of-range value
TNormVersion TextToNormVersion(std::string_view S);  // no match gives ver13849Unknown
std::string VersionText(TKelvadoVersion Ver);  // EInvalidValue 1001 for an out-of-range value
TKelvadoVersion TextToVersion(std::string_view S);  // exact, case-sensitive; no match gives verKVDUnknown
// Both texts have a second "." and agree up to and including it ("1.1.2" and "1.1.0b2").
bool SameMainVersion(std::string_view A, std::string_view B);

// ---- Fixed texts and placeholders ----
std::string YesText();      // text 101
std::string NoText();       // text 102
std::string UnknownText();  // text 103
std::string PlaceholderProjectName();    // "<" + text 111 + ">"
std::string PlaceholderSFName();         // 112
std::string PlaceholderComponentName();  // 113
std::string PlaceholderBlocName();       // 114
std::string PlaceholderElementName();    // 115
std::string PlaceholderCCFMeasureText(); // 116
std::string PlaceholderDCMeasureText();  // 117
// Stands for an infinite value in display texts: "INF" in a number text is replaced by it.
const std::string& InfinityText();
// `text` with every "INF" replaced by InfinityText().
std::string ReplaceInfinity(std::string text);
inline constexpr std::string_view LockedText = "[locked]";
std::string ExpectedReadMeHash();  // text 5001
std::string GetWindowsUserName();  // the logged-on user's name; "Unknown" when it cannot be had

// ---- Numbers ----
// +infinity and NaN give +infinity; otherwise the multiple of 10^Digits nearest to Value, ties to even
// (Digits -2 gives hundredths).
double RoundToDigits(int Digits, double Value);

// General number format: the value rounded to `Precision` significant digits (1..18): fixed notation when the decimal
// exponent lies in -5 < e < Precision, else "1.5E-7"/"1E20" (no "+", no leading zeros in the exponent);
// trailing zeros removed; "INF", "-INF", "NAN" for the special values; "." always.
std::string FloatToStrF(double Value, int Precision);
// The general format with 15 significant digits ("0.3" for 0.1 + 0.2, "1E-7", "INF").
std::string FloatToStr(double Value);
// Strict text to number: optional blanks around, optional sign, digits with an optional "." fraction, an
// optional exponent ("E"/"e", optional sign, digits). Anything else (",", "INF", hex, empty) fails.
bool TryStrToFloat(std::string_view S, double& Value);
// As TryStrToFloat; raises EConvertError naming the text when it is not a number.
double StrToFloat(std::string_view S);

}  // namespace kelvado

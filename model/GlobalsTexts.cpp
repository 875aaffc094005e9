#include "model/GlobalsTexts.h"

#include <charconv>
#include <cmath>
#include <system_error>
#include <vector>

#include "model/Exceptions.h"
#include "model/GlobalsConfig.h"
#include "model/MsgStrings.h"
#include "platform/User.h"


namespace kelvado {

namespace {

// The cap of category 4 is raised only when the option is on and checked against usedcinterlevels.
bool CutMTTFdRaise() { return GetOptCutMTTFdRaise(true); }
bool BandTextsFromLanguage() { return GetOptUseDCMTTFdFieldsFromLngFile(); }

// A band's short name, or its status text `index` when the option asks for the language file's (and it
// has one).
std::string BandText(std::string_view name, int index) {
  if (BandTextsFromLanguage()) {
    std::string t = GetMsgString(index, msgBaseStatus);
    if (!t.empty()) return t;
  }
  return std::string(name);
}

// Built-in stamp texts (general texts 501-505 and 520). They are written into every stored row and read back
// from it, so they must not change with the installed language.
constexpr std::string_view kNormVersionTexts[] = {
    "unknown",                             // 501 ver13849Unknown
    "prEN ISO 13849-1:2005",               // 502 ver2005pr
    "prEN ISO 13849-1:2006",               // 503 ver2006pr
    "ISO 13849-1:2006",                    // 504 ver2006
    "ISO 13849-1:2006, ISO 13849-2:2003",  // 505 ver20062003
};
constexpr std::string_view kUnknownVersionText = "unknown";  // 520

// Release texts of verKVDUnknown + 1 .. ver1_1_2: the value name without "ver", "_" turned into ".".
constexpr std::string_view kVersionTexts[] = {
    "0.1a",  "0.1.1a", "0.2a",   "0.2.1a", "0.3a",   "0.3.1a",  "0.3.2b", "0.3.3b", "0.3.4b", "0.4b",
    "0.4.1b", "0.4.2b", "1.0rc1", "1.0",    "1.0.1",  "1.0.2",   "1.0.3",  "1.0.4",  "1.0.5a", "1.0.5",
    "1.0.6",  "1.1.0a", "1.1.0b", "1.1.0b2", "1.1.0", "1.1.1",   "1.1.2a", "1.1.2b", "1.1.2"};
static_assert(std::size(kVersionTexts) + 1 == static_cast<size_t>(EnumCount<TKelvadoVersion>()));
static_assert(std::size(kNormVersionTexts) == static_cast<size_t>(EnumCount<TNormVersion>()));

template <typename E>
[[noreturn]] void RaiseInvalidOrdinal(E value) {
  const std::string_view name = EnumName(value);
  // An ordinal beyond the last value has no name: show the number instead of an empty place.
  throw EInvalidValue(msgInvalidValue, {name.empty() ? std::to_string(static_cast<int>(value)) : std::string(name)});
}

std::string Placeholder(int index) { return "<" + GetMsgString(index, msgBaseGeneral) + ">"; }

}  // namespace

// ---- Limits ----

double MTTFdCap(TCat Cat) {
  // The option is read on every call, whatever the category.
  const bool raise = CutMTTFdRaise();
  return (raise && Cat == cat4) ? 2500.0 : 100.0;
}

double MTTFdMin() { return MTTFdMinYears; }

bool IsCat2(TCat Cat) { return Cat == cat2; }

// ---- Enumeration texts ----

std::string PLToStr(TPL PL) {
  if (PL <= plE) return std::string(1, static_cast<char>('a' + PL));
  return "-";
}

TPL StrToPL(std::string_view S) {
  for (int i = 0; i < EnumCount<TPL>(); ++i) {
    if (PLToStr(static_cast<TPL>(i)) == S) return static_cast<TPL>(i);
  }
  if (S == "e+") return plE;
  throw EInvalidValue(msgInvalidValue, {std::string(S)});
}

std::string CatToStr(TCat Cat) {
  if (Cat <= cat4) return std::string(EnumName(Cat).substr(3));
  return "-";
}

std::string DCDenotationToStr(TDCDenotation Value) {
  if (Value >= dcForward) return "-";
  return BandText(EnumName(Value).substr(2), stsFirstDCBand + Value);
}

std::string MTTFdDenotationToStr(TMTTFdDenotation Value) {
  if (Value > mttfHigh) return "-";
  return BandText(EnumName(Value).substr(4), stsFirstMTTFdBand + Value);
}

std::string TechnologyText(TTechnology Tech) {
  const int index = txtFirstTechnology + (Tech <= tecOther ? Tech : tecOther);
  return GetMsgString(index, msgBaseGeneral);
}

TTechnology TextToTechnology(std::string_view S) {
  for (int i = tecElectromechanic; i <= tecOther; ++i) {
    if (TechnologyText(static_cast<TTechnology>(i)) == S) return static_cast<TTechnology>(i);
  }
  return tecOther;
}

std::string NormVersionText(TNormVersion Ver) {
  if (!EnumInRange<TNormVersion>(Ver)) RaiseInvalidOrdinal(Ver);
  return std::string(kNormVersionTexts[Ver]);
}

TNormVersion TextToNormVersion(std::string_view S) {
  for (int i = ver2005pr; i <= ver20062003; ++i) {
    if (kNormVersionTexts[i] == S) return static_cast<TNormVersion>(i);
  }
  return ver13849Unknown;
}

std::string VersionText(TKelvadoVersion Ver) {
  if (Ver == verKVDUnknown) return std::string(kUnknownVersionText);
  if (!EnumInRange<TKelvadoVersion>(Ver)) RaiseInvalidOrdinal(Ver);
  return std::string(kVersionTexts[Ver - 1]);
}

TKelvadoVersion TextToVersion(std::string_view S) {
  for (size_t i = 0; i < std::size(kVersionTexts); ++i) {
    if (kVersionTexts[i] == S) return static_cast<TKelvadoVersion>(i + 1);
  }
  return verKVDUnknown;
}

bool SameMainVersion(std::string_view A, std::string_view B) {
  auto mainPart = [](std::string_view s) -> std::string_view {
    const size_t first = s.find('.');
    if (first == std::string_view::npos) return {};
    const size_t second = s.find('.', first + 1);
    if (second == std::string_view::npos) return {};
    return s.substr(0, second + 1);
  };
  const std::string_view a = mainPart(A);
  return !a.empty() && a == mainPart(B);
}

// ---- Fixed texts and placeholders ----

std::string YesText() { return GetMsgString(txtYes, msgBaseGeneral); }
std::string NoText() { return GetMsgString(txtNo, msgBaseGeneral); }
std::string UnknownText() { return GetMsgString(txtUnknown, msgBaseGeneral); }
std::string PlaceholderProjectName() { return Placeholder(txtPlaceholderProject); }
std::string PlaceholderSFName() { return Placeholder(txtPlaceholderSF); }
std::string PlaceholderComponentName() { return Placeholder(txtPlaceholderSubsystem); }
std::string PlaceholderBlocName() { return Placeholder(txtPlaceholderBloc); }
std::string PlaceholderElementName() { return Placeholder(txtPlaceholderElement); }
std::string PlaceholderCCFMeasureText() { return Placeholder(txtPlaceholderCCFMeasure); }
std::string PlaceholderDCMeasureText() { return Placeholder(txtPlaceholderDCMeasure); }

const std::string& InfinityText() {
  static const std::string text = "FE";
  return text;
}

std::string ReplaceInfinity(std::string text) {
  const std::string& inf = InfinityText();
  for (size_t pos = text.find("INF"); pos != std::string::npos; pos = text.find("INF", pos + inf.size())) {
    text.replace(pos, 3, inf);
  }
  return text;
}

std::string ExpectedReadMeHash() { return GetMsgString(shlReadMeHash, msgBaseShell); }

std::string GetWindowsUserName() {
  std::string name;
  if (!GetLogonUserName(name) || name.empty()) return "Unknown";
  // The name is read into a buffer of 255 characters including its terminating NUL.
  if (name.size() > 254) name.resize(254);
  return name;
}

// ---- Numbers ----

double RoundToDigits(int Digits, double Value) {
  if (std::isnan(Value) || Value == HUGE_VAL) return HUGE_VAL;
  if (std::isinf(Value) || Value == 0.0) return Value;
  // Round on the exact decimal expansion of the double, so a tie is a tie only when the value really lies
  // half-way, and the result is the double nearest to the decimal multiple.
  constexpr int kExactFractionDigits = 1100;  // more than the 1074 fraction digits a double can have
  static thread_local std::vector<char> buf(kExactFractionDigits + 400);
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), std::fabs(Value), std::chars_format::fixed,
                           kExactFractionDigits);
  if (res.ec != std::errc()) return Value;
  const std::string_view text(buf.data(), static_cast<size_t>(res.ptr - buf.data()));
  const size_t point = text.find('.');
  std::string digits(text.substr(0, point));
  const long long intDigits = static_cast<long long>(digits.size());
  digits += text.substr(point + 1);

  // Keep the digits down to the place 10^Digits.
  const long long keep = intDigits - Digits;
  std::string kept;
  bool up = false;
  if (keep >= 0 && keep <= static_cast<long long>(digits.size())) {
    kept = digits.substr(0, static_cast<size_t>(keep));
    const std::string_view rest = std::string_view(digits).substr(static_cast<size_t>(keep));
    if (!rest.empty()) {
      if (rest[0] > '5') {
        up = true;
      } else if (rest[0] == '5') {
        const bool beyondHalf = rest.find_first_not_of('0', 1) != std::string_view::npos;
        const bool lastOdd = !kept.empty() && ((kept.back() - '0') % 2 == 1);
        up = beyondHalf || lastOdd;
      }
    }
  } else if (keep > static_cast<long long>(digits.size())) {
    return Value;  // finer than the double itself: nothing to round
  }
  // keep < 0: the value is below a tenth of the rounding unit, so it rounds to 0.
  if (kept.empty()) kept = "0";
  if (up) {
    int i = static_cast<int>(kept.size()) - 1;
    while (i >= 0 && kept[static_cast<size_t>(i)] == '9') kept[static_cast<size_t>(i--)] = '0';
    if (i < 0) kept.insert(kept.begin(), '1');
    else ++kept[static_cast<size_t>(i)];
  }
  const std::string decimal = kept + "e" + std::to_string(Digits);
  double result = 0.0;
  const auto parsed = std::from_chars(decimal.data(), decimal.data() + decimal.size(), result);
  if (parsed.ec == std::errc::result_out_of_range) result = Digits > 0 ? HUGE_VAL : 0.0;
  return std::signbit(Value) ? -result : result;
}

std::string FloatToStrF(double Value, int Precision) {
  if (std::isnan(Value)) return "NAN";
  if (std::isinf(Value)) return Value > 0 ? "INF" : "-INF";
  if (Value == 0.0) return "0";
  if (Precision < 1) Precision = 1;
  if (Precision > 18) Precision = 18;

  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof(buf), std::fabs(Value), std::chars_format::scientific,
                                 Precision - 1);
  const std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  const size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits += c;
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+' ? 1 : 0), sci.data() + sci.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out = Value < 0 ? "-" : "";
  if (exponent >= Precision || exponent < -4) {
    out += digits[0];
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += "E";
    if (exponent < 0) out += "-";
    out += std::to_string(std::abs(exponent));
  } else if (exponent >= 0) {
    const size_t intLen = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= intLen) {
      out += digits + std::string(intLen - digits.size(), '0');
    } else {
      out += digits.substr(0, intLen) + "." + digits.substr(intLen);
    }
  } else {
    out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  }
  return out;
}

std::string FloatToStr(double Value) { return FloatToStrF(Value, 15); }

bool TryStrToFloat(std::string_view S, double& Value) {
  size_t b = 0, e = S.size();
  while (b < e && S[b] == ' ') ++b;
  while (e > b && S[e - 1] == ' ') --e;
  const std::string_view t = S.substr(b, e - b);

  // Check the shape first: from_chars alone would accept "inf", "nan" and stop early on trailing rubbish.
  // Meanwhile note the power of ten of the leading non-zero digit, to tell overflow from underflow.
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  size_t mantDigits = 0;
  long long intDigits = 0;      // digits before the point
  long long firstNonZero = -1;  // index of the leading non-zero digit among all mantissa digits
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
    if (firstNonZero < 0 && t[i] != '0') firstNonZero = static_cast<long long>(mantDigits);
    ++i, ++mantDigits, ++intDigits;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
      if (firstNonZero < 0 && t[i] != '0') firstNonZero = static_cast<long long>(mantDigits);
      ++i, ++mantDigits;
    }
  }
  if (mantDigits == 0) return false;
  long long exponent = 0;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    size_t expDigits = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
      if (exponent < 100000) exponent = exponent * 10 + (t[i] - '0');  // saturates far beyond any double
      ++i, ++expDigits;
    }
    if (expDigits == 0) return false;
    if (negative) exponent = -exponent;
  }
  if (i != t.size()) return false;

  // from_chars takes no leading "+".
  const size_t start = (t[0] == '+') ? 1 : 0;
  double v = 0.0;
  const auto res = std::from_chars(t.data() + start, t.data() + t.size(), v, std::chars_format::general);
  if (res.ptr != t.data() + t.size()) return false;
  if (res.ec == std::errc::result_out_of_range) {
    // Below the smallest double the number is zero; above the largest it is no number at all.
    const long long leadingPower = intDigits - firstNonZero - 1 + exponent;
    if (firstNonZero < 0 || leadingPower > 0) return false;
    v = t[0] == '-' ? -0.0 : 0.0;
  } else if (res.ec != std::errc()) {
    return false;
  }
  if (std::isinf(v)) return false;
  Value = v;
  return true;
}

double StrToFloat(std::string_view S) {
  double v = 0.0;
  if (!TryStrToFloat(S, v)) throw EConvertError("'" + std::string(S) + "' is not a valid floating point value");
  return v;
}

}  // namespace kelvado

#include "model/GlobalsTexts.h"

#include <clocale>
#include <cstdlib>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "model/Exceptions.h"
#include "platform/LanguageLibrary.h"
#include "tests/model/TextsTestEnv.h"
#include "tests/support/SkipOutsideCI.h"

namespace kelvado {
namespace {

using GlobalsTexts = testing::TextsTest;
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST_F(GlobalsTexts, PLTexts) {
  EXPECT_EQ(PLToStr(plA), "a");
  EXPECT_EQ(PLToStr(plE), "e");
  EXPECT_EQ(PLToStr(plN), "-");
  EXPECT_EQ(PLToStr(plForward), "-");
  EXPECT_EQ(PLToStr(static_cast<TPL>(42)), "-");
  for (TPL p : {plA, plB, plC, plD, plE}) EXPECT_EQ(StrToPL(PLToStr(p)), p);
  EXPECT_EQ(StrToPL("e+"), plE);
  EXPECT_EQ(StrToPL("-"), plN);

  WriteLang("1001=Ungültiger Wert: \"%s\".\n");
  for (const char* bad : {"E", "", " d", "f", "plD"}) {
    try {
      StrToPL(bad);
      ADD_FAILURE() << "accepted \"" << bad << '"';
    } catch (const EInvalidValue& e) {
      EXPECT_EQ(e.MsgNumber(), 1001);
      ASSERT_EQ(e.MsgArgs().size(), 1u);
      EXPECT_EQ(e.MsgArgs()[0].AsString(), bad);
      EXPECT_EQ(e.Message(), std::string("Ungültiger Wert: \"") + bad + "\".");
    }
  }
}

TEST_F(GlobalsTexts, CategoryAndBandTexts) {
  EXPECT_EQ(CatToStr(catB), "B");
  EXPECT_EQ(CatToStr(cat1), "1");
  EXPECT_EQ(CatToStr(cat4), "4");
  EXPECT_EQ(CatToStr(static_cast<TCat>(5)), "-");
  EXPECT_TRUE(IsCat2(cat2));
  EXPECT_FALSE(IsCat2(cat3));

  WriteLang("3700=niedrig\n3701=\n3702=hoch\n3705=kein\n3707=mittel\n");
  // Option off (its default): the names without their prefix.
  EXPECT_EQ(DCDenotationToStr(dcNone), "None");
  EXPECT_EQ(DCDenotationToStr(dcMedium), "Medium");
  EXPECT_EQ(DCDenotationToStr(dcForward), "-");
  EXPECT_EQ(DCDenotationToStr(static_cast<TDCDenotation>(9)), "-");
  EXPECT_EQ(MTTFdDenotationToStr(mttfLow), "Low");
  EXPECT_EQ(MTTFdDenotationToStr(mttfHigh), "High");
  EXPECT_EQ(MTTFdDenotationToStr(static_cast<TMTTFdDenotation>(3)), "-");
  // Option on: language texts where they are not empty.
  RegWriteBool("opt", "usedcmttfdfieldsfromlngfile", true);
  EXPECT_EQ(DCDenotationToStr(dcNone), "kein");
  EXPECT_EQ(DCDenotationToStr(dcLow), "Low");
  EXPECT_EQ(DCDenotationToStr(dcMedium), "mittel");
  EXPECT_EQ(DCDenotationToStr(dcForward), "-");
  EXPECT_EQ(MTTFdDenotationToStr(mttfLow), "niedrig");
  EXPECT_EQ(MTTFdDenotationToStr(mttfMedium), "Medium");
  EXPECT_EQ(MTTFdDenotationToStr(mttfHigh), "hoch");
}

TEST_F(GlobalsTexts, TechnologyTextsAndPlaceholders) {
  WriteLang("421=Elektromechanik\n424=Mechanik\n425=Pneumatik\n426=Sonstige\n111=Projektname\n");
  EXPECT_EQ(TechnologyText(static_cast<TTechnology>(17)), "Sonstige");
  EXPECT_EQ(TextToTechnology("Pneumatik"), tecPneumatic);
  EXPECT_EQ(TextToTechnology("pneumatik"), tecOther);
  EXPECT_EQ(PlaceholderProjectName(), "<Projektname>");
  EXPECT_EQ(PlaceholderSFName(), "<>");
  EXPECT_EQ(ReplaceInfinity("-INF/INF (High)"), "-FE/FE (High)");
  EXPECT_FALSE(GetWindowsUserName().empty());
}

TEST_F(GlobalsTexts, ReleaseTexts) {
  EXPECT_EQ(VersionText(ver1_1_2), "1.1.2");
  // Every release text is the value name without "ver", "_" as ".", and reads back as its value.
  for (int i = 1; i < EnumCount<TKelvadoVersion>(); ++i) {
    const auto v = static_cast<TKelvadoVersion>(i);
    std::string expected(EnumName(v).substr(3));
    for (char& c : expected)
      if (c == '_') c = '.';
    EXPECT_EQ(VersionText(v), expected);
    EXPECT_EQ(TextToVersion(expected), v);
  }
  EXPECT_EQ(TextToVersion("1.1.2 "), verKVDUnknown);
  EXPECT_EQ(TextToVersion("1.0RC1"), verKVDUnknown);
  try {
    VersionText(static_cast<TKelvadoVersion>(30));
    ADD_FAILURE() << "out-of-range release accepted";
  } catch (const EInvalidValue& e) {
    EXPECT_EQ(e.MsgNumber(), 1001);
    EXPECT_EQ(e.MsgArgs()[0].AsString(), "30");
  }

  EXPECT_TRUE(SameMainVersion("1.1.2", "1.1.0b2"));
  EXPECT_TRUE(SameMainVersion("1.1.2", "1.1.3"));
  EXPECT_FALSE(SameMainVersion("1.0", "1.0"));
  EXPECT_FALSE(SameMainVersion("1.1.2", "1.10.2"));
  EXPECT_FALSE(SameMainVersion("", ""));
}

TEST_F(GlobalsTexts, EditionStampsAreBuiltInAndIgnoreTheLanguageFile) {
  WriteLang("501=kaputt\n502=kaputt\n503=kaputt\n504=kaputt\n505=kaputt\n520=kaputt\n");
  EXPECT_EQ(NormVersionText(ver20062003), "ISO 13849-1:2006, ISO 13849-2:2003");
  EXPECT_EQ(VersionText(verKVDUnknown), "unknown");
  for (int i = 0; i < EnumCount<TNormVersion>(); ++i) {
    const auto v = static_cast<TNormVersion>(i);
    EXPECT_EQ(TextToNormVersion(NormVersionText(v)), v);
  }
  EXPECT_EQ(TextToNormVersion("kaputt"), ver13849Unknown);
  EXPECT_EQ(TextToNormVersion(""), ver13849Unknown);
  EXPECT_EQ(TextToNormVersion("ISO 13849-1:2006 "), ver13849Unknown);
  EXPECT_THROW(NormVersionText(static_cast<TNormVersion>(5)), EInvalidValue);
}

TEST_F(GlobalsTexts, MTTFdCapFollowsTheOptionCheckedAgainstInterLevels) {
  EXPECT_EQ(MTTFdMin(), 3.0);
  // Default: cutmttfdraise off.
  EXPECT_EQ(MTTFdCap(cat4), 100.0);
  RegWriteBool("opt", "cutmttfdraise", true);
  RegWriteBool("opt", "usedcinterlevels", false);
  EXPECT_EQ(MTTFdCap(cat4), 100.0);
  RegWriteBool("opt", "usedcinterlevels", true);
  EXPECT_EQ(MTTFdCap(cat4), 2500.0);
  EXPECT_EQ(MTTFdCap(cat3), 100.0);
}

TEST(RoundToDigits, NearestMultipleWithTiesToEven) {
  EXPECT_EQ(RoundToDigits(-2, 12.3456), 12.35);
  EXPECT_EQ(RoundToDigits(-2, kInf), kInf);
  EXPECT_EQ(RoundToDigits(-2, std::nan("")), kInf);
  EXPECT_EQ(RoundToDigits(-2, -kInf), -kInf);
  // Exact ties go to the even multiple; 1.005 lies below its tie as a double.
  EXPECT_EQ(RoundToDigits(-2, 0.125), 0.12);
  EXPECT_EQ(RoundToDigits(-2, 0.375), 0.38);
  EXPECT_EQ(RoundToDigits(0, 2.5), 2.0);
  EXPECT_EQ(RoundToDigits(0, -2.5), -2.0);
  EXPECT_EQ(RoundToDigits(-2, 1.005), 1.0);
  EXPECT_EQ(RoundToDigits(-2, -12.345), -12.35);  // -12.3450000000000006... as a double
  EXPECT_EQ(RoundToDigits(-2, 2.675), 2.67);      // 2.67499999999999982... as a double
  // Positive digits round to tens, hundreds ...
  EXPECT_EQ(RoundToDigits(1, 25.0), 20.0);
  EXPECT_EQ(RoundToDigits(1, 25.000001), 30.0);
  EXPECT_EQ(RoundToDigits(2, 49.9), 0.0);
  EXPECT_EQ(RoundToDigits(2, 951.0), 1000.0);
  // Arithmetic noise disappears.
  EXPECT_EQ(RoundToDigits(-2, 29.999999999999993), 30.0);
  EXPECT_EQ(RoundToDigits(-15, 0.1 + 0.2), 0.3);
  EXPECT_EQ(RoundToDigits(-9, 0.98999999999999999), 0.99);
  EXPECT_EQ(RoundToDigits(-2, 0.004), 0.0);
  EXPECT_EQ(RoundToDigits(-2, 99.995), 100.0);  // 99.9950000000000045... as a double
  EXPECT_EQ(RoundToDigits(-2, 99.9949), 99.99);
  EXPECT_EQ(RoundToDigits(-2, 1e20), 1e20);
  EXPECT_EQ(RoundToDigits(-2, 1.7976931348623157e308), 1.7976931348623157e308);
  EXPECT_EQ(RoundToDigits(-2, 5e-324), 0.0);
}

TEST(NumberTexts, GeneralFormatWith15Digits) {
  EXPECT_EQ(FloatToStr(-0.0), "0");
  EXPECT_EQ(FloatToStr(-2.0), "-2");
  EXPECT_EQ(FloatToStr(100.0), "100");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.3");
  EXPECT_EQ(FloatToStr(29.999999999999993), "30");
  EXPECT_EQ(FloatToStr(0.98999999999999999), "0.99");
  EXPECT_EQ(FloatToStr(1e-7), "1E-7");
  EXPECT_EQ(FloatToStr(1.01e-7), "1.01E-7");
  EXPECT_EQ(FloatToStr(-2.5e-6), "-2.5E-6");
  EXPECT_EQ(FloatToStr(0.00012), "0.00012");
  EXPECT_EQ(FloatToStr(0.00001), "1E-5");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(1e15), "1E15");
  EXPECT_EQ(FloatToStr(1234567890123456.0), "1.23456789012346E15");
  EXPECT_EQ(FloatToStr(999999999999999.9), "1E15");
  EXPECT_EQ(FloatToStr(1e20), "1E20");
  EXPECT_EQ(FloatToStr(5e-324), "4.94065645841247E-324");
  EXPECT_EQ(FloatToStr(kInf), "INF");
  EXPECT_EQ(FloatToStr(-kInf), "-INF");
  EXPECT_EQ(FloatToStr(std::nan("")), "NAN");
  EXPECT_EQ(FloatToStrF(1.23456e-7, 3), "1.23E-7");
  EXPECT_EQ(FloatToStrF(1234.0, 3), "1.23E3");
  EXPECT_EQ(FloatToStrF(123.0, 3), "123");
}

TEST(NumberTexts, NeverFollowTheProcessLocale) {
  const char* old = std::setlocale(LC_ALL, nullptr);
  const std::string saved = old ? old : "C";
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "de_DE")) {
    SKIP_OUTSIDE_CI("no German locale de_DE.UTF-8 (scripts/deps.sh generates it)");
  }
  EXPECT_EQ(FloatToStr(1.5), "1.5");
  EXPECT_EQ(StrToFloat("1.5"), 1.5);
  EXPECT_FALSE(TryStrToFloat("1,5", *std::make_unique<double>()));
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(NumberTexts, StrictParsing) {
  EXPECT_EQ(StrToFloat(" 12.35 "), 12.35);
  EXPECT_EQ(StrToFloat("+3"), 3.0);
  EXPECT_EQ(StrToFloat("1.01e-07"), 1.01e-7);
  EXPECT_EQ(StrToFloat("2.5E+3"), 2500.0);
  EXPECT_EQ(StrToFloat(".5"), 0.5);
  EXPECT_EQ(StrToFloat("1e-400"), 0.0);
  EXPECT_EQ(StrToFloat("0.000e999999999"), 0.0);
  // Every text FloatToStr writes reads back as the same double (15 digits may round: compare the texts).
  for (double d : {0.3, 1e-7, 123456789012345.0, 1e20, 2.5e-6, 29.99})
    EXPECT_EQ(FloatToStr(StrToFloat(FloatToStr(d))), FloatToStr(d));

  double v = 7.0;
  for (const char* bad : {"", " ", "1,5", "INF", "inf", "NAN", "0x10", "1.5x", "1e", "1e+", ".", "-", "+-1",
                          "1 5", "1e400", "--1", "1.2.3", "\t1"}) {
    EXPECT_FALSE(TryStrToFloat(bad, v)) << '"' << bad << '"';
    EXPECT_EQ(v, 7.0);
  }
  try {
    StrToFloat("12,5");
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'12,5' is not a valid floating point value");
  }
}

// The shipped German texts: every number the model and the stores use is there, with as many placeholders as
// the callers pass, and the stamp lines agree with the built-in stamps.
TEST(ShippedLanguageTexts, CoverEveryUsedNumberWithMatchingPlaceholders) {
  LanguageLibrary lib;
  ASSERT_TRUE(lib.Load(testing::BinFolder() + "Language/Lang_DE.txt"));
  const std::map<int, int> placeholders = {
      {1001, 1}, {1002, 0}, {1003, 0}, {1004, 3}, {1005, 3}, {1006, 2}, {1007, 2}, {1008, 2}, {1010, 1},
      {1011, 1}, {1012, 0}, {1013, 0}, {1014, 1}, {1015, 1}, {1016, 1}, {1017, 2}, {1018, 0}, {1023, 1},
      {1026, 1}, {1031, 4}, {1040, 2}, {1180, 4}, {1181, 3}, {1182, 5}, {1183, 3}, {1185, 4},
      {1186, 3}, {1187, 4}, {1188, 5}, {1100, 1}, {3185, 0}, {3256, 0}, {3257, 0}, {3258, 2}, {3259, 2},
      {3261, 0}, {3262, 0}, {3263, 0}, {3265, 2}, {3266, 0}, {3267, 0}, {3268, 0}, {3269, 3}, {3270, 3},
      {3271, 0}, {3272, 0}, {3273, 0}, {3274, 0}, {3276, 0}, {3277, 1}, {3278, 0}, {3279, 1}, {3280, 3},
      {3281, 0}, {3282, 2}, {3283, 2}, {3285, 0}, {3286, 1}, {3288, 2}, {3291, 1}, {3293, 1}, {3294, 0},
      {3295, 0}, {3296, 0}, {3297, 0}, {3298, 0}, {3299, 0}, {3330, 1}, {3331, 1}, {3332, 0}, {3333, 0},
      {3363, 1}, {3364, 0}, {3371, 1}, {3372, 2}, {3374, 0}, {3376, 0}, {3377, 0}, {3378, 0}, {3379, 0},
      {3380, 3}, {3381, 1}, {3382, 2}, {405, 1}};
  for (const auto& [number, count] : placeholders) {
    ASSERT_TRUE(lib.Has(number)) << number;
    const std::string t = lib.Text(number);
    int found = 0;
    for (size_t i = 0; i + 1 < t.size(); ++i) {
      if (t[i] != '%') continue;
      if (t[i + 1] == '%') {
        ++i;
        continue;
      }
      ++found;
    }
    EXPECT_EQ(found, count) << number << ": " << t;
  }
  for (int n : {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 21, 22, 23, 25, 26, 27, 28, 29, 30, 81, 82, 83, 101, 102, 103,
                111, 112, 113, 114, 115, 116, 117, 324, 349, 354, 384, 391, 401, 402, 403, 404, 408, 421, 422,
                423, 424, 425, 426, 611, 612, 3700, 3701, 3702, 3705, 3706, 3707, 3708}) {
    EXPECT_FALSE(lib.Text(n).empty()) << n;
  }
  for (int n = 4000; n <= 4101; ++n) {
    if (n == 4022) continue;
    EXPECT_FALSE(lib.Text(n).empty()) << n;
  }
  EXPECT_FALSE(lib.Text(4110).empty());
  for (int i = 0; i < EnumCount<TNormVersion>(); ++i)
    EXPECT_EQ(lib.Text(501 + i), NormVersionText(static_cast<TNormVersion>(i)));
  EXPECT_EQ(lib.Text(520), VersionText(verKVDUnknown));
}

// The placeholders of a text in order ("%s", "%d", ...), "%%" left out.
std::vector<std::string> Placeholders(const std::string& t) {
  std::vector<std::string> found;
  for (size_t i = 0; i + 1 < t.size(); ++i) {
    if (t[i] != '%') continue;
    if (t[i + 1] != '%') found.push_back(t.substr(i, 2));
    ++i;
  }
  return found;
}

// The English texts answer every number the German ones do (and no other), with the same placeholders in the
// same order, so that no text of a run is missing or shows its arguments in the wrong places whichever
// language the run has; the stamp texts are the same in both.
TEST(ShippedLanguageTexts, EnglishHasEveryGermanNumberWithTheSamePlaceholders) {
  LanguageLibrary de, en;
  ASSERT_TRUE(de.Load(testing::BinFolder() + "Language/Lang_DE.txt"));
  ASSERT_TRUE(en.Load(testing::BinFolder() + "Language/Lang_EN.txt"));
  for (const auto& p : en.Problems()) ADD_FAILURE() << p;
  EXPECT_EQ(en.Count(), de.Count());
  for (int n = 0; n < 10000; ++n) {
    ASSERT_EQ(en.Has(n), de.Has(n)) << n;
    if (!de.Has(n)) continue;
    EXPECT_EQ(Placeholders(en.Text(n)), Placeholders(de.Text(n))) << n << ": " << en.Text(n);
    EXPECT_EQ(en.Text(n).empty(), de.Text(n).empty()) << n;
  }
  for (int n : {501, 502, 503, 504, 505, 520}) EXPECT_EQ(en.Text(n), de.Text(n)) << n;
  EXPECT_EQ(en.Text(txtChannel), "Channel");
}

}  // namespace
}  // namespace kelvado

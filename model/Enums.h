#pragma once
// Enumerated types of the safety model. Their identifier texts ("plA", "catB", "detDirect" ...) are part of the
// stored formats (library and project files) and of the property table, so they are spelled exactly here and
// nowhere else. Display texts of the values live in GlobalsTexts.
#include <initializer_list>
#include <iterator>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvado {

// Performance level a..e in increasing order; plN and plForward lie beyond plE and are never a "better" PL.
enum TPL : uint8_t { plA, plB, plC, plD, plE, plN, plForward };
enum TCat : uint8_t { catB, cat1, cat2, cat3, cat4 };
enum TTechnology : uint8_t { tecElectromechanic, tecElectronic, tecHydraulic, tecMechanic, tecPneumatic, tecOther };
enum TMTTFdDenotation : uint8_t { mttfLow, mttfMedium, mttfHigh };
enum TDCDenotation : uint8_t { dcNone, dcLow, dcMedium, dcHigh, dcForward };
// detUnknown is never stored in an object; as an argument it means "use the object's own determination".
enum TDetermination : uint8_t { detDirect, detSubItems, detMeasures, detUnknown };
// Ordered worst to best: combining statuses takes the minimum.
enum TItemStatus : uint8_t { isRed, isYellow, isGreen };
enum TNormVersion : uint8_t { ver13849Unknown, ver2005pr, ver2006pr, ver2006, ver20062003 };
enum TKelvadoVersion : uint8_t {
  verKVDUnknown, ver0_1a, ver0_1_1a, ver0_2a, ver0_2_1a, ver0_3a, ver0_3_1a, ver0_3_2b, ver0_3_3b, ver0_3_4b,
  ver0_4b, ver0_4_1b, ver0_4_2b, ver1_0rc1, ver1_0, ver1_0_1, ver1_0_2, ver1_0_3, ver1_0_4, ver1_0_5a, ver1_0_5,
  ver1_0_6, ver1_1_0a, ver1_1_0b, ver1_1_0b2, ver1_1_0, ver1_1_1, ver1_1_2a, ver1_1_2b, ver1_1_2
};

// The edition of the standard and the release of this program, stamped into every business object.
inline constexpr TNormVersion CurrentNormVersion = ver20062003;
inline constexpr TKelvadoVersion CurrentKVDVersion = ver1_1_2;

// The worse of two statuses (isRed before isYellow before isGreen).
constexpr TItemStatus MinItemStatus(TItemStatus a, TItemStatus b) { return a < b ? a : b; }

// Set of performance levels (TDCMeasure.Insufficient): one bit per TPL ordinal.
class TPLSet {
public:
  constexpr TPLSet() = default;
  constexpr TPLSet(std::initializer_list<TPL> pls) {
    for (TPL p : pls) Include(p);
  }
  constexpr void Include(TPL p) { bits_ = static_cast<uint8_t>(bits_ | Bit(p)); }
  constexpr void Exclude(TPL p) { bits_ = static_cast<uint8_t>(bits_ & ~Bit(p)); }
  constexpr bool Contains(TPL p) const { return (bits_ & Bit(p)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint8_t Bits() const { return bits_; }
  static constexpr TPLSet FromBits(uint8_t bits) {
    TPLSet s;
    s.bits_ = static_cast<uint8_t>(bits & 0x7F);
    return s;
  }
  friend constexpr bool operator==(TPLSet a, TPLSet b) { return a.bits_ == b.bits_; }

private:
  static constexpr uint8_t Bit(TPL p) { return p <= plForward ? static_cast<uint8_t>(1u << p) : 0; }
  uint8_t bits_ = 0;
};

// Type information per enumeration: its type name and the identifier texts in ordinal order.
template <typename E>
struct EnumInfo;  // specialised below for every enumeration of the model

#define KELVADO_ENUM_INFO(Type, ...)                        \
  template <>                                               \
  struct EnumInfo<Type> {                                   \
    static constexpr std::string_view TypeName = #Type;     \
    static constexpr std::string_view Names[] = {__VA_ARGS__}; \
  }

KELVADO_ENUM_INFO(TPL, "plA", "plB", "plC", "plD", "plE", "plN", "plForward");
KELVADO_ENUM_INFO(TCat, "catB", "cat1", "cat2", "cat3", "cat4");
KELVADO_ENUM_INFO(TTechnology, "tecElectromechanic", "tecElectronic", "tecHydraulic", "tecMechanic",
                  "tecPneumatic", "tecOther");
KELVADO_ENUM_INFO(TMTTFdDenotation, "mttfLow", "mttfMedium", "mttfHigh");
KELVADO_ENUM_INFO(TDCDenotation, "dcNone", "dcLow", "dcMedium", "dcHigh", "dcForward");
KELVADO_ENUM_INFO(TDetermination, "detDirect", "detSubItems", "detMeasures", "detUnknown");
KELVADO_ENUM_INFO(TItemStatus, "isRed", "isYellow", "isGreen");
KELVADO_ENUM_INFO(TNormVersion, "ver13849Unknown", "ver2005pr", "ver2006pr", "ver2006", "ver20062003");
KELVADO_ENUM_INFO(TKelvadoVersion, "verKVDUnknown", "ver0_1a", "ver0_1_1a", "ver0_2a", "ver0_2_1a", "ver0_3a",
                  "ver0_3_1a", "ver0_3_2b", "ver0_3_3b", "ver0_3_4b", "ver0_4b", "ver0_4_1b", "ver0_4_2b",
                  "ver1_0rc1", "ver1_0", "ver1_0_1", "ver1_0_2", "ver1_0_3", "ver1_0_4", "ver1_0_5a", "ver1_0_5",
                  "ver1_0_6", "ver1_1_0a", "ver1_1_0b", "ver1_1_0b2", "ver1_1_0", "ver1_1_1", "ver1_1_2a",
                  "ver1_1_2b", "ver1_1_2");
#undef KELVADO_ENUM_INFO

// Number of values of an enumeration.
template <typename E>
constexpr int EnumCount() {
  return static_cast<int>(std::size(EnumInfo<E>::Names));
}

// True when the ordinal names a value of E (a value read from outside may lie beyond the last one).
template <typename E>
constexpr bool EnumInRange(int ordinal) {
  return ordinal >= 0 && ordinal < EnumCount<E>();
}

// Identifier text of a value; empty for an ordinal that names no value.
template <typename E>
constexpr std::string_view EnumName(E value) {
  const int ord = static_cast<int>(value);
  return EnumInRange<E>(ord) ? EnumInfo<E>::Names[static_cast<size_t>(ord)] : std::string_view();
}

// Identifier text of an ordinal; empty when it names no value.
template <typename E>
constexpr std::string_view EnumNameOf(int ordinal) {
  return EnumInRange<E>(ordinal) ? EnumInfo<E>::Names[static_cast<size_t>(ordinal)] : std::string_view();
}

// The value whose identifier text equals `text` exactly (case-sensitive, no blanks). Returns false and leaves
// `value` alone when the text names no value, so a reader can refuse it with its own error.
template <typename E>
constexpr bool EnumFromName(std::string_view text, E& value) {
  for (size_t i = 0; i < std::size(EnumInfo<E>::Names); ++i) {
    if (EnumInfo<E>::Names[i] == text) {
      value = static_cast<E>(i);
      return true;
    }
  }
  return false;
}

// Ordinal of the value named `text`, or -1 when the text names no value.
template <typename E>
constexpr int EnumOrdinalFromName(std::string_view text) {
  E v{};
  return EnumFromName(text, v) ? static_cast<int>(v) : -1;
}

}  // namespace kelvado

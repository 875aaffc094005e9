#pragma once
// Value: the one dynamically typed value of the framework (what published properties, query parameters and
// stores exchange). Every conversion between kinds lives in tiValue.cpp and nowhere else, so that texts and
// numbers look the same whoever converts them: floats in the general format with 15 significant digits, "."
// as decimal separator whatever the process locale, "INF"/"-INF" for infinities, booleans as "True"/"False".
// Parsing is strict: a text that is not wholly a number raises EConvertError naming the text.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace kelvado {

// A point in time as the stores keep it: days since 1899-12-30 00:00, the fraction being the time of day.
// A struct (not a bare double) so a Value can tell a date-time from a number.
struct DateTime {
  double Days = 0.0;
  friend bool operator==(DateTime a, DateTime b) { return a.Days == b.Days; }
};

class Value {
public:
  enum class Kind : uint8_t { Null, Integer, Float, String, Boolean, DateTime };

  Value() = default;  // Null
  Value(int v) : v_(static_cast<int64_t>(v)) {}
  Value(long v) : v_(static_cast<int64_t>(v)) {}
  Value(long long v) : v_(static_cast<int64_t>(v)) {}
  Value(unsigned v) : v_(static_cast<int64_t>(v)) {}
  Value(unsigned long v) : v_(static_cast<int64_t>(v)) {}
  Value(unsigned long long v) : v_(static_cast<int64_t>(v)) {}
  Value(double v) : v_(v) {}
  Value(bool v) : v_(v) {}
  Value(const char* v) : v_(std::string(v ? v : "")) {}
  Value(std::string v) : v_(std::move(v)) {}
  Value(std::string_view v) : v_(std::string(v)) {}
  Value(DateTime v) : v_(v) {}

  Kind GetKind() const { return static_cast<Kind>(v_.index()); }
  bool IsNull() const { return v_.index() == 0; }
  bool IsInteger() const { return GetKind() == Kind::Integer; }
  bool IsFloat() const { return GetKind() == Kind::Float; }
  bool IsString() const { return GetKind() == Kind::String; }
  bool IsBoolean() const { return GetKind() == Kind::Boolean; }
  bool IsDateTime() const { return GetKind() == Kind::DateTime; }

  // Conversions. Null gives 0, 0.0, "", false and the zero date. Failures raise EConvertError with the text.
  // Float to integer rounds to nearest (ties to even); a float outside the 64-bit range is refused.
  int64_t AsInteger() const;
  double AsFloat() const;
  std::string AsString() const;
  // Integer and float: not zero. Text: "true" or "t" in any case or "1" (anything else is false).
  bool AsBoolean() const;
  DateTime AsDateTime() const;

  // Same kind and same content (no conversion); a float NaN is never equal.
  friend bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

  // Float to text and back, the rules described at the top. TextToFloat accepts an optional sign, digits with
  // an optional "." part, an optional exponent ("E-7", "e+3"), and "INF" in any case; surrounding blanks are
  // ignored; nothing else.
  static std::string FloatToText(double v);
  static double TextToFloat(std::string_view text);
  // Decimal integer text, optional sign, surrounding blanks ignored; out of range or anything else refused.
  static int64_t TextToInteger(std::string_view text);
  // Date-time text "yyyy-mm-dd hh:mm:ss" (the zero date shows as "0000-00-00"); the inverse accepts that
  // layout and a date alone.
  static std::string DateTimeToText(DateTime v);
  static DateTime TextToDateTime(std::string_view text);

  // Kind name for messages: "Null", "Integer", "Float", "String", "Boolean", "DateTime".
  static const char* KindName(Kind k);

private:
  std::variant<std::monostate, int64_t, double, std::string, bool, DateTime> v_;
};

}  // namespace kelvado

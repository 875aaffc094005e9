#include "framework/tiValue.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "framework/tiExcept.h"
#include "framework/tiUtils.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace {

// A value's text may carry spaces and tabs around it; any other control character makes it no value.
std::string_view Trim(std::string_view s) { return TrimAny(s, " \t"); }

[[noreturn]] void NotA(std::string_view text, const char* what) {
  throw EConvertError("'%s' is not a valid %s", {std::string(text), what});
}

}  // namespace

const char* Value::KindName(Kind k) {
  switch (k) {
    case Kind::Null: return "Null";
    case Kind::Integer: return "Integer";
    case Kind::Float: return "Float";
    case Kind::String: return "String";
    case Kind::Boolean: return "Boolean";
    case Kind::DateTime: return "DateTime";
  }
  return "Unknown";
}

std::string Value::FloatToText(double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  if (v == 0.0) return "0";
  // 15 significant digits, correctly rounded, independent of the locale.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 14);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));  // [-]d.ddddddddddddddde[+-]xx
  std::string out;
  if (sci.front() == '-') {
    out = "-";
    sci.remove_prefix(1);
  }
  size_t epos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, epos))
    if (c != '.') digits += c;
  int exp10 = std::stoi(std::string(sci.substr(epos + 1)));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  // Fixed notation while the integer part has at most 15 digits and the value is at least 0.0001.
  if (exp10 + 1 > 15 || exp10 + 1 < -3) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1, std::string::npos);
    }
    out += 'E';
    if (exp10 < 0) out += '-';
    out += std::to_string(exp10 < 0 ? -exp10 : exp10);
    return out;
  }
  if (exp10 >= 0) {
    size_t intLen = static_cast<size_t>(exp10) + 1;
    if (digits.size() <= intLen) {
      out += digits;
      out.append(intLen - digits.size(), '0');
    } else {
      out.append(digits, 0, intLen);
      out += '.';
      out.append(digits, intLen, std::string::npos);
    }
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exp10 - 1), '0');
    out += digits;
  }
  return out;
}

double Value::TextToFloat(std::string_view text) {
  std::string_view s = Trim(text);
  bool neg = false;
  std::string_view body = s;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    neg = body.front() == '-';
    body.remove_prefix(1);
  }
  if (SameTextAscii(body, "INF"))
    return neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  // Digits or a "." must start the number; from_chars would also take "nan", "inf" and hexadecimal forms.
  if (body.empty() || !((body.front() >= '0' && body.front() <= '9') || body.front() == '.')) NotA(text, "floating point value");
  for (char c : body)
    if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) NotA(text, "floating point value");
  double v = 0;
  auto res = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow gives infinity, underflow zero, as the reader of any text would expect.
    bool expNeg = body.find("e-") != std::string_view::npos || body.find("E-") != std::string_view::npos;
    v = expNeg ? 0.0 : std::numeric_limits<double>::infinity();
  } else if (res.ec != std::errc() || res.ptr != body.data() + body.size()) {
    NotA(text, "floating point value");
  }
  return neg ? -v : v;
}

int64_t Value::TextToInteger(std::string_view text) {
  std::string_view s = Trim(text);
  std::string_view body = s;
  if (!body.empty() && body.front() == '+') body.remove_prefix(1);
  int64_t v = 0;
  auto res = std::from_chars(body.data(), body.data() + body.size(), v);
  if (body.empty() || res.ec != std::errc() || res.ptr != body.data() + body.size()) NotA(text, "integer value");
  return v;
}

std::string Value::DateTimeToText(DateTime dt) { return tiDateTimeToStr(dt.Days); }

DateTime Value::TextToDateTime(std::string_view text) {
  std::string_view s = Trim(text);
  auto num = [&](size_t pos, size_t len) -> int {
    int v = 0;
    for (size_t i = pos; i < pos + len; ++i) {
      if (s[i] < '0' || s[i] > '9') NotA(text, "date-time value");
      v = v * 10 + (s[i] - '0');
    }
    return v;
  };
  if (s.size() != 10 && s.size() != 19) NotA(text, "date-time value");
  if (s[4] != '-' || s[7] != '-') NotA(text, "date-time value");
  if (s.size() == 19 && (s[10] != ' ' || s[13] != ':' || s[16] != ':')) NotA(text, "date-time value");
  int y = num(0, 4), mo = num(5, 2), d = num(8, 2);
  int hh = s.size() == 19 ? num(11, 2) : 0, mi = s.size() == 19 ? num(14, 2) : 0,
      ss = s.size() == 19 ? num(17, 2) : 0;
  try {
    if (y == 0 && mo == 0 && d == 0) return DateTime{EncodeTime(hh, mi, ss, 0)};  // the zero date
    return DateTime{EncodeDateTime(y, mo, d, hh, mi, ss, 0)};
  } catch (const EConvertError&) {
    NotA(text, "date-time value");
  }
}

int64_t Value::AsInteger() const {
  switch (GetKind()) {
    case Kind::Null: return 0;
    case Kind::Integer: return std::get<int64_t>(v_);
    case Kind::Float:
    case Kind::DateTime: {
      double d = IsFloat() ? std::get<double>(v_) : std::get<DateTime>(v_).Days;
      double r = std::nearbyint(d);
      if (!std::isfinite(r) || r < -9.2e18 || r > 9.2e18) NotA(FloatToText(d), "integer value");
      return static_cast<int64_t>(r);
    }
    case Kind::String: return TextToInteger(std::get<std::string>(v_));
    case Kind::Boolean: return std::get<bool>(v_) ? 1 : 0;
  }
  return 0;
}

double Value::AsFloat() const {
  switch (GetKind()) {
    case Kind::Null: return 0.0;
    case Kind::Integer: return static_cast<double>(std::get<int64_t>(v_));
    case Kind::Float: return std::get<double>(v_);
    case Kind::DateTime: return std::get<DateTime>(v_).Days;
    case Kind::String: return TextToFloat(std::get<std::string>(v_));
    case Kind::Boolean: return std::get<bool>(v_) ? 1.0 : 0.0;
  }
  return 0.0;
}

std::string Value::AsString() const {
  switch (GetKind()) {
    case Kind::Null: return {};
    case Kind::Integer: return std::to_string(std::get<int64_t>(v_));
    case Kind::Float: return FloatToText(std::get<double>(v_));
    case Kind::DateTime: return DateTimeToText(std::get<DateTime>(v_));
    case Kind::String: return std::get<std::string>(v_);
    case Kind::Boolean: return std::get<bool>(v_) ? "True" : "False";
  }
  return {};
}

bool Value::AsBoolean() const {
  switch (GetKind()) {
    case Kind::Null: return false;
    case Kind::Integer: return std::get<int64_t>(v_) != 0;
    case Kind::Float: return std::get<double>(v_) != 0.0;
    case Kind::DateTime: return std::get<DateTime>(v_).Days != 0.0;
    case Kind::String: {
      std::string_view s = std::get<std::string>(v_);
      return SameTextAscii(s, "true") || SameTextAscii(s, "t") || s == "1";
    }
    case Kind::Boolean: return std::get<bool>(v_);
  }
  return false;
}

DateTime Value::AsDateTime() const {
  switch (GetKind()) {
    case Kind::Null: return DateTime{};
    case Kind::Integer: return DateTime{static_cast<double>(std::get<int64_t>(v_))};
    case Kind::Float: return DateTime{std::get<double>(v_)};
    case Kind::DateTime: return std::get<DateTime>(v_);
    case Kind::String: return TextToDateTime(std::get<std::string>(v_));
    case Kind::Boolean: NotA(AsString(), "date-time value");
  }
  return DateTime{};
}

}  // namespace kelvado

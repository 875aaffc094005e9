#include "framework/tiFormat.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kelvado {

int64_t FmtArg::AsInt() const {
  if (auto p = std::get_if<int64_t>(&v_)) return *p;
  if (auto p = std::get_if<double>(&v_)) {
    if (!std::isfinite(*p)) return 0;
    return static_cast<int64_t>(std::llround(*p));
  }
  const auto& s = std::get<std::string>(v_);
  char* end = nullptr;
  long long r = std::strtoll(s.c_str(), &end, 10);
  return (end && *end == '\0' && !s.empty()) ? r : 0;
}

double FmtArg::AsFloat() const {
  if (auto p = std::get_if<double>(&v_)) return *p;
  if (auto p = std::get_if<int64_t>(&v_)) return static_cast<double>(*p);
  const auto& s = std::get<std::string>(v_);
  char* end = nullptr;
  double r = std::strtod(s.c_str(), &end);
  return (end && *end == '\0' && !s.empty()) ? r : 0.0;
}

namespace {
// Field widths and precisions above this are cut to it: a language text with "%1000000000s" must not build a
// gigabyte string. A double's exact decimal expansion needs fewer digits than this.
constexpr size_t kMaxFieldDigits = 1100;

// The decimal digits of fmt from j on, as a number no larger than kMaxFieldDigits; j ends after the digits.
std::string FieldNumber(const std::string& fmt, size_t& j) {
  size_t value = 0;
  bool any = false;
  while (j < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[j]))) {
    value = std::min(value * 10 + static_cast<size_t>(fmt[j] - '0'), kMaxFieldDigits);
    any = true;
    ++j;
  }
  return any ? std::to_string(value) : std::string();
}

// snprintf on the "C" conversions only: the program never calls setlocale, so the separator is ".".
std::string CFormat(const std::string& directive, auto value) {
  char buf[512];
  int n = std::snprintf(buf, sizeof buf, directive.c_str(), value);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), directive.c_str(), value);
  out.resize(static_cast<size_t>(n));
  return out;
}
}  // namespace

std::string FmtArg::AsString() const {
  if (auto p = std::get_if<std::string>(&v_)) return *p;
  if (auto p = std::get_if<int64_t>(&v_)) return std::to_string(*p);
  return CFormat("%g", std::get<double>(v_));
}

std::string tiFormat(const std::string& fmt, const FmtArgs& args) {
  std::string out;
  out.reserve(fmt.size() + 16);
  size_t next = 0;
  for (size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c != '%') {
      out += c;
      continue;
    }
    size_t j = i + 1;
    if (j < fmt.size() && fmt[j] == '%') {
      out += '%';
      i = j;
      continue;
    }
    std::string flags;
    while (j < fmt.size() && std::string_view("-0+ #").find(fmt[j]) != std::string_view::npos) flags += fmt[j++];
    const std::string width = FieldNumber(fmt, j);
    std::string prec;
    if (j < fmt.size() && fmt[j] == '.') {
      ++j;
      prec = "." + FieldNumber(fmt, j);
    }
    // Length modifiers carry no meaning here: every argument knows its own size.
    while (j < fmt.size() && std::string_view("hlLqjzt").find(fmt[j]) != std::string_view::npos) ++j;
    if (j >= fmt.size()) {  // a lone "%" at the end stays as it is
      out.append(fmt, i, std::string::npos);
      break;
    }
    char conv = fmt[j];
    std::string directive = "%" + flags + width + prec;
    const FmtArg* arg = next < args.size() ? &args[next] : nullptr;
    switch (conv) {
      case 's':
        if (arg) out += CFormat(directive + "s", arg->AsString().c_str());
        else out += CFormat(directive + "s", "");
        ++next;
        break;
      case 'd': case 'i': case 'u':
        if (arg) out += CFormat(directive + "lld", static_cast<long long>(arg->AsInt()));
        ++next;
        break;
      case 'x': case 'X':
        if (arg) out += CFormat(directive + "ll" + conv, static_cast<unsigned long long>(arg->AsInt()));
        ++next;
        break;
      case 'e': case 'E': case 'f': case 'g': case 'G':
        if (arg) out += CFormat(directive + conv, arg->AsFloat());
        ++next;
        break;
      default:  // unknown conversion: keep the text as written
        out.append(fmt, i, j - i + 1);
        break;
    }
    i = j;
  }
  return out;
}

}  // namespace kelvado

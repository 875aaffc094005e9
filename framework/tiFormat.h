#pragma once
// printf-style formatting for message texts. Unlike printf it is type-safe: every argument carries its own
// kind, a missing argument leaves its place empty and a mismatched one is converted, so formatting a message
// never throws and never reads garbage.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <variant>
#include <vector>

namespace kelvado {

class FmtArg {
public:
  FmtArg(int v) : v_(static_cast<int64_t>(v)) {}
  FmtArg(long v) : v_(static_cast<int64_t>(v)) {}
  FmtArg(long long v) : v_(static_cast<int64_t>(v)) {}
  FmtArg(unsigned v) : v_(static_cast<int64_t>(v)) {}
  FmtArg(unsigned long v) : v_(static_cast<int64_t>(v)) {}
  FmtArg(unsigned long long v) : v_(static_cast<int64_t>(v)) {}
  FmtArg(double v) : v_(v) {}
  FmtArg(const char* v) : v_(std::string(v ? v : "")) {}
  FmtArg(std::string v) : v_(std::move(v)) {}
  FmtArg(std::string_view v) : v_(std::string(v)) {}
  FmtArg(bool v) : v_(static_cast<int64_t>(v)) {}

  bool IsInt() const { return std::holds_alternative<int64_t>(v_); }
  bool IsFloat() const { return std::holds_alternative<double>(v_); }
  bool IsString() const { return std::holds_alternative<std::string>(v_); }
  int64_t AsInt() const;
  double AsFloat() const;
  std::string AsString() const;  // integers in decimal, floats in %g style with "." as separator

private:
  std::variant<int64_t, double, std::string> v_;
};

using FmtArgs = std::vector<FmtArg>;

// Supports %s %d %i %u %x %X %e %E %f %g %G %%, with flags "-0+ ", width and precision. Width and precision
// are cut to 1100, so that a damaged or hostile language text cannot make a huge string.
// Numbers always use "." as decimal separator whatever the process locale.
std::string tiFormat(const std::string& fmt, const FmtArgs& args);

}  // namespace kelvado

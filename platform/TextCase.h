#pragma once
// Name comparison without regard to ASCII letter case, as settings keys, layer, pool and generator names
// compare, and the small text helpers that go with it (letter case, trimming). Other bytes stay as they are,
// whatever the locale.
#include <string>
#include <string_view>

namespace kelvado {

inline bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// `s` with the ASCII small letters made capitals (SQL words, parameter and column names, switches).
inline std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

// `s` without the bytes of `blanks` at its end. What counts as blank is the caller's rule: a number's text
// may carry spaces and tabs but no line break, a message loses its trailing line breaks.
constexpr std::string_view TrimRightAny(std::string_view s, std::string_view blanks) {
  const size_t last = s.find_last_not_of(blanks);
  return last == std::string_view::npos ? std::string_view() : s.substr(0, last + 1);
}

// `s` without the bytes of `blanks` at both ends.
constexpr std::string_view TrimAny(std::string_view s, std::string_view blanks) {
  const size_t first = s.find_first_not_of(blanks);
  return first == std::string_view::npos ? std::string_view() : TrimRightAny(s.substr(first), blanks);
}

// `s` without the blanks and control characters (every byte up to ' ') at both ends.
inline std::string TrimBlanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

// `s` with the ASCII capitals made small, the form in which case-blind names are kept as keys.
inline std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

}  // namespace kelvado

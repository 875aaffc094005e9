#include "platform/Url.h"

namespace kelvado {

namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Every byte of the address must be visible: no blank, no control character (bytes of UTF-8 text pass).
bool AllVisible(const std::string& s) {
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

// Characters of a host name or of user and password: unreserved, sub-delimiters and %HH escapes.
bool ValidComponent(const std::string& s, bool allowColon) {
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (IsAlpha(c) || IsDigit(c)) continue;
    if (c == '%') {
      if (i + 2 >= s.size() || !IsHex(s[i + 1]) || !IsHex(s[i + 2])) return false;
      i += 2;
      continue;
    }
    if (std::string("-._~!$&'()*+,;=").find(c) != std::string::npos) continue;
    if (allowColon && c == ':') continue;
    if (static_cast<unsigned char>(c) >= 0x80) continue;  // international names
    return false;
  }
  return true;
}

bool ValidHost(const std::string& host) {
  if (host.empty()) return true;  // the caller decides whether a host is required
  if (host.front() == '[') {
    if (host.size() < 4 || host.back() != ']') return false;
    for (size_t i = 1; i + 1 < host.size(); ++i) {
      char c = host[i];
      if (!IsHex(c) && c != ':' && c != '.') return false;
    }
    return true;
  }
  return ValidComponent(host, false);
}

}  // namespace

bool ParseUrl(const std::string& url, UrlParts& parts) {
  parts = UrlParts();
  if (url.empty() || !AllVisible(url)) return false;

  size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0 || !IsAlpha(url[0])) return false;
  for (size_t i = 1; i < colon; ++i) {
    char c = url[i];
    if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  parts.scheme = url.substr(0, colon);
  std::string rest = url.substr(colon + 1);

  size_t extraAt = rest.find_first_of("?#");
  if (extraAt != std::string::npos) {
    parts.extra = rest.substr(extraAt);
    rest.resize(extraAt);
  }

  if (rest.compare(0, 2, "//") != 0) {
    parts.path = rest;  // mailto:, news: and the like
    return true;
  }
  parts.hasAuthority = true;
  rest.erase(0, 2);
  size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  if (slash != std::string::npos) parts.path = rest.substr(slash);

  size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string userInfo = authority.substr(0, at);
    authority.erase(0, at + 1);
    size_t c = userInfo.find(':');
    parts.user = userInfo.substr(0, c);
    if (c != std::string::npos) parts.password = userInfo.substr(c + 1);
    if (!ValidComponent(parts.user, false) || !ValidComponent(parts.password, true)) return false;
  }

  // A port follows the last ":" that is not inside an IPv6 address.
  size_t portColon = authority.rfind(':');
  if (portColon != std::string::npos && authority.find(']', portColon) == std::string::npos) {
    std::string port = authority.substr(portColon + 1);
    authority.resize(portColon);
    if (!port.empty()) {
      if (port.size() > 5) return false;
      int value = 0;
      for (char c : port) {
        if (!IsDigit(c)) return false;
        value = value * 10 + (c - '0');
      }
      if (value < 1 || value > 65535) return false;
      parts.port = value;
    }
  }
  if (!ValidHost(authority)) return false;
  parts.host = authority;
  return true;
}

}  // namespace kelvado

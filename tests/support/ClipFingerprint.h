#pragma once
// What two processes compare of an item they exchanged: a digest (FNV-1a, 64 bits, hex) of its compact debug
// text, the text Equals compares (deleted parts and identifiers left out).
#include <cstdint>
#include <cstdio>
#include <string>

#include "framework/tiObject.h"

namespace kelvado::testing {

inline std::string ClipFingerprint(const TtiObject& item) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : item.DebugText(true, false)) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

}  // namespace kelvado::testing

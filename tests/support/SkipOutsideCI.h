#pragma once
// For a test whose set-up this machine cannot give (root, a German locale, a small file system to mount, an
// immutable folder, a Firebird server): on a developer's machine it skips and says why; under CI (CI=true),
// which is set up for all of them, a test that silently skipped would hide the very fault it is there for, so
// there it fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace kelvado::testing {

inline bool UnderCI() {
  const char* ci = std::getenv("CI");
  if (!ci) return false;
  const std::string_view v(ci);
  return !v.empty() && v != "0" && v != "false";
}

}  // namespace kelvado::testing

// Leaves the current test (or its SetUp): failed under CI, skipped elsewhere; `why` is streamed into the message.
#define SKIP_OUTSIDE_CI(why)                                                                   \
  do {                                                                                         \
    if (::kelvado::testing::UnderCI()) FAIL() << "cannot be set up here, but CI must: " << why; \
    GTEST_SKIP() << why;                                                                       \
  } while (0)

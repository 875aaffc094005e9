#pragma once
// The message of the exception a call raises ("" when it raises none), for tests that check what went wrong.
#include <exception>
#include <functional>
#include <string>

namespace kelvado::testing {

inline std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

}  // namespace kelvado::testing

#pragma once
// The whole content of a file as the test finds it on disk (empty when it cannot be read).
#include <fstream>
#include <iterator>
#include <string>

namespace kelvado::testing {

inline std::string Bytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace kelvado::testing

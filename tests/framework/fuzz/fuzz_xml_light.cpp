// libFuzzer target: the XML-light reader (see XMLLightFuzz.h).
#include <cstddef>
#include <cstdint>

#include "tests/framework/fuzz/XMLLightFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return kelvado::fuzz::FuzzXMLLightOneInput(data, size);
}

// libFuzzer target: the XML store's reader (see XMLStoreFuzz.h).
#include <cstddef>
#include <cstdint>

#include "tests/framework/fuzz/XMLStoreFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return kelvado::fuzz::FuzzXMLStoreOneInput(data, size);
}

// Replays the seed corpus of the XML store's fuzz target (and every crash it found, which is kept there)
// through the same entry function, in every build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/framework/fuzz/XMLStoreFuzz.h"

TEST(XMLStoreFuzzCorpus, EveryFileRunsThroughTheReader) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KELVADO_XML_FUZZ_CORPUS)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_EQ(kelvado::fuzz::FuzzXMLStoreOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size()), 0);
    ++files;
  }
  EXPECT_GE(files, 10);
}

// Replays the seed corpora of the fuzz targets of the XML store and the XML-light reader (and every crash they
// found, which is kept there) through the same entry functions, in every build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "tests/framework/fuzz/XMLLightFuzz.h"
#include "tests/framework/fuzz/XMLStoreFuzz.h"

namespace {

// Runs every file of the folder through the entry; returns how many there were.
int Replay(const char* folder, const std::function<int(const uint8_t*, size_t)>& entry) {
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(e.path().filename().string());
    EXPECT_EQ(entry(reinterpret_cast<const uint8_t*>(data.data()), data.size()), 0);
    ++files;
  }
  return files;
}

}  // namespace

TEST(XMLStoreFuzzCorpus, EveryFileRunsThroughTheReader) {
  EXPECT_GE(Replay(KELVADO_XML_FUZZ_CORPUS, kelvado::fuzz::FuzzXMLStoreOneInput), 10);
}

TEST(XMLLightFuzzCorpus, EveryFileRunsThroughTheReader) {
  EXPECT_GE(Replay(KELVADO_XML_LIGHT_FUZZ_CORPUS, kelvado::fuzz::FuzzXMLLightOneInput), 10);
}

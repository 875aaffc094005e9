#include "framework/tiCompress.h"
#include "framework/tiUtils.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "tests/framework/TempDirTest.h"
#include "tests/framework/XMLTestFiles.h"

namespace kelvado::test {

namespace {

std::string RandomBytes(size_t n) {
  std::mt19937 gen(7);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string Compressed(const std::string& text) {
  std::string out;
  TtiCompressZLib().CompressString(text, out);
  return out;
}

}  // namespace

TEST(Compression, FactoryFindsCompressorsByNameInAnyCase) {
  TtiCompressFactory& f = tiCompressFactory();
  EXPECT_EQ(f.DefaultName(), "ZLIB COMPRESSION");
  auto zlib = f.CreateInstance("zlib COMPRESSION");
  ASSERT_NE(zlib, nullptr);
  EXPECT_EQ(zlib->ClassName(), "TtiCompressZLib");
  EXPECT_EQ(f.CreateInstance("LZMA compression"), nullptr);
  EXPECT_EQ(f.CreateInstance(cgsCompressNone), nullptr);
  EXPECT_EQ(&tiDefaultCompressClass(), &TtiCompressZLib::StaticClass());
  EXPECT_THROW(f.RegisterClass("Not a compressor", TtiCompressFactory::StaticClass()), EtiPerProgrammerException);

  // By name: no compression leaves the text alone; an unknown name is an error, never "no compression".
  EXPECT_EQ(tiCompressString("abc", cgsCompressNone), "abc");
  EXPECT_EQ(tiDecompressString(tiCompressString("abc", "ZLib compression"), "zlib compression"), "abc");
  EXPECT_EQ(Raised([] { tiCompressString("abc", "LZMA compression"); }),
            "Exception: Unknown compression <LZMA compression>");
}

TEST(Compression, EveryRatioRoundTrips) {
  TtiCompressZLib z;
  // From incompressible bytes to text that shrinks a thousandfold: the output of a decompression grows as far
  // as the data needs, not just to twice the input.
  for (const std::string& text : {std::string("Schütz K1 <&> \r\n"), RandomBytes(100000), std::string(1, '\0'),
                                  std::string(8 << 20, 'a'), tiReplicate("<row oid=\"x\" name=\"Ventil\"/>", 200000)}) {
    SCOPED_TRACE(text.size());
    std::string packed, back;
    const double ratio = z.CompressBuffer(text, packed);
    EXPECT_NEAR(ratio, 100.0 * static_cast<double>(packed.size()) / static_cast<double>(text.size()), 1e-9);
    z.DecompressBuffer(packed, back);
    EXPECT_EQ(back, text);
  }
  std::string out = "old";
  EXPECT_EQ(z.CompressBuffer("", out), 0.0);
  z.CompressString("", out);
  EXPECT_EQ(out, "");
  z.DecompressString("", out);
  EXPECT_EQ(out, "");

  // Streams: an empty source empties the target; otherwise both end at position 0.
  std::stringstream src("Projekt Ä"), packed("old content"), back;
  z.CompressStream(src, packed);
  z.DecompressStream(packed, back);
  EXPECT_EQ(back.str(), "Projekt Ä");
  EXPECT_EQ(src.tellg(), 0);
  EXPECT_EQ(back.tellg(), 0);
  std::stringstream empty, target("old");
  z.CompressStream(empty, target);
  EXPECT_EQ(target.str(), "");
}

TEST(Compression, RefusesDamagedCutAndOversizedData) {
  TtiCompressZLib z;
  const std::string text = tiReplicate("Element ", 10000);
  const std::string packed = Compressed(text);
  std::string out;
  EXPECT_NE(Raised([&] { z.DecompressBuffer(packed.substr(0, packed.size() / 2), out); })
                .find("ends before the compressed stream does"),
            std::string::npos);
  std::string damaged = packed;
  damaged[damaged.size() / 2] ^= 0x55;
  EXPECT_NE(Raised([&] { z.DecompressBuffer(damaged, out); }).find("Can not decompress"), std::string::npos);
  EXPECT_NE(Raised([&] { z.DecompressBuffer("no zlib", out); }).find("the data is damaged"), std::string::npos);

  // A small input that would expand beyond the limit (a "zip bomb") is refused once the limit is reached.
  EXPECT_EQ(z.GetDecompressLimit(), tiDecompressMaxSize);
  z.SetDecompressLimit(1 << 20);
  const std::string bomb = Compressed(std::string(4 << 20, '\0'));
  EXPECT_LT(bomb.size(), 8000u);
  EXPECT_EQ(Raised([&] { z.DecompressBuffer(bomb, out); }),
            "Exception: Can not decompress: the data would take more than 1048576 bytes");
  z.DecompressBuffer(Compressed(std::string(1 << 20, '\0')), out);
  EXPECT_EQ(out.size(), size_t(1) << 20);
}

class CompressionFiles : public kelvado::testing::TempDirTest {
protected:
  CompressionFiles() : TempDirTest("kelvado-compress", "text.txt") {}
};

TEST_F(CompressionFiles, FilesRoundTripAndAFailureLeavesTheTargetAsItWas) {
  const std::string text = tiReplicate("Sicherheitsfunktion\r\n", 5000);
  WriteWholeFile(file_, text);
  TtiCompressZLib z;
  z.CompressFile(file_, dir_ + "/packed.z");
  EXPECT_EQ(ReadWholeFile(dir_ + "/packed.z"), Compressed(text));
  z.DecompressFile(dir_ + "/packed.z", dir_ + "/back.txt");
  EXPECT_EQ(ReadWholeFile(dir_ + "/back.txt"), text);

  WriteWholeFile(dir_ + "/damaged.z", "not compressed");
  EXPECT_NE(Raised([&] { z.DecompressFile(dir_ + "/damaged.z", dir_ + "/back.txt"); }), "");
  EXPECT_EQ(ReadWholeFile(dir_ + "/back.txt"), text);
  EXPECT_EQ(Raised([&] { z.CompressFile(dir_ + "/missing.txt", dir_ + "/x.z"); }),
            "Exception: Can not read the file <" + dir_ + "/missing.txt>: No such file or directory");
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/x.z"));
}

}  // namespace kelvado::test

#include "framework/tiXMLLight.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "framework/tiCompress.h"
#include "framework/tiUtils.h"
#include "tests/framework/TempDirTest.h"
#include "tests/framework/XMLTestFiles.h"
#include "tests/support/MemoryBound.h"

namespace kelvado::test {

namespace {

struct TCol {
  const char* Name;
  TtiQueryFieldKind Kind;
  int Width;
};

TtiDataBuffer& AddTable(TtiDataBuffers& buffers, const std::string& name, std::initializer_list<TCol> cols) {
  TtiDataBuffer& b = buffers.AddInstance(name);
  for (const TCol& c : cols) b.Fields().AddField(c.Name, c.Kind, c.Width);
  return b;
}

void AddRow(TtiDataBuffer& b, std::initializer_list<std::string> values) {
  TtiDataBufferRow& r = b.AddInstance();
  int i = 0;
  for (const std::string& v : values) r.Items(i++).SetValueAsString(v);
}

// The small table of most tests: OID, Name, Amount.
TtiDataBuffer& Items(TtiDataBuffers& buffers) {
  return AddTable(buffers, "Items", {{"OID", qfkString, 36}, {"Name", qfkString, 100}, {"Amount", qfkInteger, 0}});
}

std::string Write(TtiDataBuffers& buffers, TtiXMLFieldNameStyle style = xfnsString,
                  const std::string& compress = cgsCompressNone) {
  TtiXMLToDataSetReadWriter rw;
  rw.SetDataSets(&buffers);
  rw.SetXMLFieldNameStyle(style);
  rw.SetCompressName(compress);
  return rw.GetAsString();
}

void Read(TtiDataBuffers& buffers, const std::string& text, TtiXMLFieldNameStyle style = xfnsString,
          const std::string& compress = cgsCompressNone) {
  TtiXMLToDataSetReadWriter rw;
  rw.SetDataSets(&buffers);
  rw.SetXMLFieldNameStyle(style);
  rw.SetCompressName(compress);
  rw.SetAsString(text);
}

// The message reading the text raises ("" when none).
std::string ReadError(const std::string& text, TtiXMLFieldNameStyle style = xfnsString) {
  TtiDataBuffers b;
  try {
    Read(b, text, style);
  } catch (const Exception& e) {
    return e.Message();
  }
  return {};
}

const std::string kStart = "<?xml version=\"1.0\"?><xmldocdata><tiper version=\"2.0\"/><tables>";
const std::string kEnd = "</tables></xmldocdata>";
const std::string kItemsHead =
    "<table table_name=\"items\"><fields><field field_name=\"OID\" field_kind=\"string\" field_Size=\"36\"/>"
    "<field field_name=\"Name\" field_kind=\"string\" field_Size=\"100\"/>"
    "<field field_name=\"Amount\" field_kind=\"integer\" field_Size=\"0\"/></fields>";

}  // namespace

TEST(XMLLightDocument, WriterEmitsTheFixedLayout) {
  TtiDataBuffers buffers;
  EXPECT_EQ(Write(buffers), kStart + kEnd);

  TtiDataBuffer& items = Items(buffers);
  EXPECT_EQ(Write(buffers), kStart + kItemsHead + "<rows></rows></table>" + kEnd);
  AddRow(items, {"1", "Schütz <K1>", "5"});
  AddRow(items, {"2", "", ""});
  EXPECT_EQ(Write(buffers), kStart + kItemsHead +
                                "<rows><row oid=\"1\" name=\"Schütz &lt;K1&gt;\" amount=\"5\"/>"
                                "<row oid=\"2\" name=\"\" amount=\"\"/></rows></table>" +
                                kEnd);
  EXPECT_NE(Write(buffers, xfnsInteger).find("<row A=\"1\" B=\"Schütz &lt;K1&gt;\" C=\"5\"/>"), std::string::npos);

  TtiDataBufferToXMLWriter shortTags;
  shortTags.SetOptXMLDBSize(optDBSizeOn);
  shortTags.AddDataBuffers(buffers);
  EXPECT_EQ(shortTags.AsString().substr(0, 95),
            "<?xml version=\"1.0\"?><a><tiper version=\"2.0\"/><b><c d=\"items\"><e><f g=\"OID\" h=\"string\" i=\"36\"/>");

  // Both styles and both tag sizes read back what they wrote.
  for (TtiXMLFieldNameStyle style : {xfnsString, xfnsInteger}) {
    TtiDataBuffers back;
    Read(back, Write(buffers, style), style);
    ASSERT_EQ(back.Count(), 1);
    EXPECT_EQ(back.Items(0).GetName(), "items");
    EXPECT_EQ(back.Items(0).Fields().Items(1)->GetName(), "Name");
    EXPECT_EQ(back.Items(0).Fields().Items(0)->GetWidth(), 36);
    EXPECT_EQ(back.Items(0).Fields().Items(2)->GetKind(), qfkInteger);
    ASSERT_EQ(back.Items(0).Count(), 2);
    EXPECT_EQ(back.Items(0).Items(0).Items(1).GetValueAsString(), "Schütz <K1>");
    EXPECT_EQ(Write(back, style), Write(buffers, style));
  }
  TXMLToDataSetReader reader;
  reader.SetOptXMLDBSize(optDBSizeOn);
  TtiDataBuffers back;
  reader.SetDataSets(&back);
  reader.Execute(shortTags.AsString());
  EXPECT_EQ(back.Items(0).Items(0).Items(2).GetValueAsString(), "5");
}

TEST(XMLLightDocument, ValuesKeepTheirMeaning) {
  TtiDataBuffers buffers;
  TtiDataBuffer& t = AddTable(buffers, "Values", {{"S", qfkString, 10},
                                                  {"L", qfkLongString, 0},
                                                  {"F", qfkFloat, 0},
                                                  {"I", qfkInteger, 0},
                                                  {"D", qfkDateTime, 0},
                                                  {"B", qfkLogical, 0},
                                                  {"X", qfkBinary, 0}});
  const std::string markup = "a < b & \"c\" 'd' >\r\nZeile 2\ttab";
  AddRow(t, {markup, markup + markup, "INF", " 42", "2024-03-01 10:20:30", "yes", MimeEncodeString("\x01\x02")});
  AddRow(t, {"", "", "1,5", "-7", "01/03/2024 10:20:30:400", "F", ""});
  AddRow(t, {"", "", "", "", "", "", ""});
  // Not a value of its kind (a hand-edited file): kept as it is rather than made up.
  AddRow(t, {"", "", "n/a", "viele", "gestern", "vielleicht", ""});
  const std::string doc = Write(buffers);
  EXPECT_NE(doc.find("f=\"INF\" i=\"42\" d=\"01/03/2024 10:20:30:000\" b=\"T\""), std::string::npos) << doc;
  EXPECT_NE(doc.find("f=\"1.5\" i=\"-7\" d=\"01/03/2024 10:20:30:400\" b=\"F\""), std::string::npos) << doc;
  EXPECT_NE(doc.find("<row s=\"\" l=\"\" f=\"\" i=\"\" d=\"\" b=\"\" x=\"\"/>"), std::string::npos) << doc;
  EXPECT_NE(doc.find("f=\"n/a\" i=\"viele\" d=\"gestern\" b=\"vielleicht\""), std::string::npos) << doc;

  TtiDataBuffers back;
  Read(back, doc);
  const TtiDataBuffer& b = back.Items(0);
  EXPECT_EQ(b.Items(0).Items(0).GetValueAsString(), markup);
  EXPECT_EQ(b.Items(0).Items(1).GetValueAsString(), markup + markup);
  // An infinite value stays infinite (an infinite mission time must never come back as 0).
  EXPECT_EQ(b.Items(0).Items(2).ValueAsFloat(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(b.Items(1).Items(2).ValueAsFloat(), 1.5);
  EXPECT_EQ(b.Items(0).Items(3).ValueAsInteger(), 42);
  EXPECT_EQ(b.Items(0).Items(5).ValueAsBoolean(), true);
  std::stringstream bytes;
  b.Items(0).Items(6).ValueAsStream(bytes);
  EXPECT_EQ(bytes.str(), "\x01\x02");
  EXPECT_EQ(b.Items(2).Items(3).GetValueAsString(), "");
  EXPECT_EQ(Write(back), doc);

  // What could not be read back is refused before anything is written, naming table and column.
  TtiDataBuffers bad;
  AddRow(Items(bad), {"1", "x", "4\"2"});
  EXPECT_EQ(Raised([&] { Write(bad); }),
            "EtiPerDataException: Can not write column <Amount> of table <Items>: <4\"2> is no Integer value");
  TtiDataBuffers control;
  AddRow(Items(control), {"1", "Ventil \x01", ""});
  EXPECT_NE(Raised([&] { Write(control); }).find("Can not write column <Name> of table <Items>"), std::string::npos);
  TtiDataBuffers names;
  AddTable(names, "Items", {{"Name", qfkString, 1}, {"NAME", qfkString, 1}});
  EXPECT_EQ(Raised([&] { Write(names); }),
            "EtiPerDataException: Can not write column <NAME> of table <Items>: two columns of that name");
  TtiDataBuffers table;
  AddTable(table, "my items", {});
  EXPECT_EQ(Raised([&] { Write(table); }), "EtiPerDataException: Can not write table <my items>: its name is no XML name");
  TtiDataBuffers macro;
  AddRow(AddTable(macro, "M", {{"M", qfkMacro, 0}}), {"x"});
  EXPECT_EQ(Raised([&] { Write(macro); }), "EtiPerProgrammerException: Invalid TtiQueryFieldKind");
}

TEST(XMLLightDocument, ReaderRefusesWhatIsNotItsLayout) {
  TtiDataBuffers buffers;
  AddRow(Items(buffers), {"1", "Schütz", "5"});
  AddRow(AddTable(buffers, "Other", {{"OID", qfkString, 36}}), {"2"});
  const std::string doc = Write(buffers);

  // Every scan stops at the text's end: any text cut before the end of its tables is refused.
  const size_t tablesEnd = doc.find("</tables>");
  for (size_t n = 0; n < tablesEnd + 8; ++n) {
    const std::string e = ReadError(doc.substr(0, n));
    ASSERT_EQ(e.rfind("Error parsing XML at position ", 0), 0u) << n << ": " << e;
  }
  EXPECT_EQ(ReadError(doc.substr(0, tablesEnd)), "Error parsing XML at position " + std::to_string(tablesEnd + 1));
  EXPECT_EQ(ReadError(doc), "");
  // Bytes after the end of the tables are no part of the document.
  EXPECT_EQ(ReadError(doc + std::string(4, '\0') + "<table"), "");

  const auto with = [&](const std::string& what, const std::string& by) {
    return tiStrTran(doc, what, by);
  };
  struct TCase {
    std::string Text;
    std::string Error;  // after "Error parsing XML at position <n>: "
    TtiXMLFieldNameStyle Style = xfnsString;
  };
  const std::vector<TCase> cases{
      {with("<row oid=\"1\"", "<row oid=\"1\" colour=\"red\""), "table <items>: the row attribute <colour> names no column"},
      {with("amount=\"5\"", "amount=\"5\" oid=\"7\""), "table <items>: a row gives the attribute <oid> twice"},
      {tiStrTran(Write(buffers, xfnsInteger), "C=\"5\"", "C=\"5\" D=\"x\""),
       "table <items>: the row attribute <D> stands for column 4, past the last (3)", xfnsInteger},
      {tiStrTran(Write(buffers, xfnsInteger), "C=\"5\"", "c1=\"5\""),
       "table <items>, row attribute <c1>: tiDecodeNum: <c1> does not represent a number in base 26.", xfnsInteger},
      {with("table_name=\"other\"", "table_name=\"ITEMS\""), "table <ITEMS> is given twice"},
      {with("field_name=\"Name\"", "field_name=\"oid\""), "table <items>, column <oid>: the column is given twice"},
      {with("field_kind=\"integer\"", "field_kind=\"colour\""),
       "table <items>, column <Amount>: Invalid TtiQueryFieldKind <colour>"},
      {with("field_Size=\"100\"", "field_Size=\"1e9\""), "table <items>, column <Name>: '1e9' is not a valid integer value"},
      {with("field_Size=\"100\"", "field_Size=\"-1\""), "table <items>, column <Name>: the width <-1> is out of range"},
      {with(" field_kind=\"integer\"", ""), "table <items>: a field element without attribute <field_kind>"},
      {with("name=\"Schütz\"", "name=Schütz"), "table <items>: the value of attribute <name> does not start with a double quote"},
      {with("name=\"Schütz\"", "name"), "table <items>: attribute <name> has no value"},
      {with("<table table_name=\"other\">", "<table table_name=\"other\"/>"), "table <other> has no columns"},
      {with("</fields><rows><row oid=\"2\"/>", "<table table_name=\"x\">"), "table <other>: its columns are not closed"},
      {with("</rows></table></tables>", "</tables>"), "table <other>: its rows are not closed"},
      {with("Schütz", "Sch\xfctz"), "the bytes from 0xFC on are no text a document can carry"},
      {with("Schütz", "Sch\x7f\x01"), "the control character 0x01 can not stand in a document"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Error);
    const std::string e = ReadError(c.Text, c.Style);
    const size_t colon = e.find(": ");
    EXPECT_EQ(e.rfind("Error parsing XML at position ", 0), 0u) << e;
    EXPECT_EQ(colon == std::string::npos ? e : e.substr(colon + 2), c.Error);
  }

  // What was read before a refusal stays in the buffers (the stores read into fresh ones).
  TtiDataBuffers partial;
  EXPECT_THROW(Read(partial, with("table_name=\"other\"", "table_name=\"items\"")), EtiPerDataException);
  EXPECT_EQ(partial.Count(), 1);

  // A few bytes of rows times many columns would make more values than a document could hold.
  std::string bomb = kStart + "<table table_name=\"x\"><fields>";
  for (int i = 0; i < 2000; ++i)
    bomb += "<field field_name=\"c" + std::to_string(i) + "\" field_kind=\"string\" field_Size=\"1\"/>";
  bomb += "</fields><rows>" + tiReplicate("<row />", 2000) + "</rows></table>" + kEnd;
  EXPECT_NE(ReadError(bomb).find("more values than its size can describe"), std::string::npos);
}

TEST(XMLLightDocument, ReaderPassesOverWhatLiesBetweenThePieces) {
  const std::string text = "<?XML version=\"1.0\"?>\n<xmldocdata>\n  <tiper version=\"2.0\"/>\n  <tables>\n"
                           "    <table   table_name = \"items\" >\n      <fields>\n"
                           "        <field field_Size=\"36\" field_kind=\"string\" field_name=\"OID\"/>\n"
                           "      </fields>\n      <rows>\n        <row\n oid=\"a\" />\n"
                           "        <row oid=\"b\"></row>\n      </rows>\n    </table>\n  </tables>\n</xmldocdata>\n";
  TtiDataBuffers b;
  Read(b, text);
  ASSERT_EQ(b.Items(0).Count(), 2);
  EXPECT_EQ(b.Items(0).Items(1).Items(0).GetValueAsString(), "b");

  size_t length = 0;
  const TtiXMLTags& tags = tiXMLTags();
  const std::string doc = kStart + kEnd;
  EXPECT_TRUE(tiIsXMLLightDocument(doc + "\0\0 trailing", tags, &length));
  EXPECT_EQ(length, doc.size());
  EXPECT_TRUE(tiIsXMLLightDocument("<?XML VERSION=\"1.0\"?><XMLDOCDATA><TIPER VERSION=\"2.0\"/><TABLES></Tables></XMLDocData>",
                                   tags));
  EXPECT_FALSE(tiIsXMLLightDocument(kStart, tags));
  EXPECT_FALSE(tiIsXMLLightDocument(" " + doc, tags));
  EXPECT_FALSE(tiIsXMLLightDocument("", tags));
}

TEST(XMLLightDocument, CompressedDocumentsRoundTrip) {
  TtiDataBuffers buffers;
  TtiDataBuffer& items = Items(buffers);
  for (int i = 0; i < 500; ++i) AddRow(items, {std::to_string(i), "Ventil Y" + std::to_string(i), "1"});
  const std::string plain = Write(buffers);
  const std::string packed = Write(buffers, xfnsString, "ZLib compression");
  EXPECT_NE(packed.substr(0, 5), "<?xml");
  EXPECT_LT(packed.size() * 5, plain.size());
  TtiDataBuffers back;
  Read(back, packed, xfnsString, "zlib compression");
  EXPECT_EQ(Write(back), plain);
  // A plain document reads also where a compressor is named (a store made empty); compressed data is no plain
  // document, and damaged data is refused.
  Read(back, plain, xfnsString, "ZLib compression");
  EXPECT_EQ(Write(back), plain);
  EXPECT_NE(Raised([&] { Read(back, packed); }).find("Error parsing XML at position"), std::string::npos);
  EXPECT_NE(Raised([&] { Read(back, packed.substr(0, packed.size() - 9), xfnsString, "ZLib compression"); })
                .find("Can not decompress"),
            std::string::npos);
  EXPECT_EQ(Raised([&] { Write(buffers, xfnsString, "LZMA"); }), "Exception: Unknown compression <LZMA>");
}

// A compressed document of empty values, well under the size limit once expanded, would build tables of
// gigabytes: reading bounds what it builds and refuses the document in a process that may not take more.
TEST(XMLLightDocument, ACompressedDocumentOfEmptyValuesIsRefusedBeforeItTakesTheMemory) {
  if (!kelvado::testing::AddressSpaceLimitsWork()) GTEST_SKIP() << "address-space limits do not work under a sanitizer";
  std::string packed;
  size_t plainSize = 0;
  {
    std::string doc = kStart + "<table table_name=\"x\"><fields>";
    for (const char* c : {"a", "b", "c", "d", "e", "f", "g", "h"})
      doc += std::string("<field field_name=\"") + c + "\" field_kind=\"string\" field_Size=\"1\"/>";
    doc += "</fields><rows>";
    const std::string row = "<row a=\"\" b=\"\" c=\"\" d=\"\" e=\"\" f=\"\" g=\"\" h=\"\"/>";
    doc.reserve(doc.size() + row.size() * 4'000'000 + 64);
    for (int i = 0; i < 4'000'000; ++i) doc += row;  // 188 MB, 36 million values: some 3 GB of tables
    doc += "</rows></table>" + kEnd;
    plainSize = doc.size();
    packed = tiCompressString(doc, cgsCompressZLib);
  }
  ASSERT_LT(plainSize, static_cast<size_t>(tiXMLLightMaxDocumentSize));
  ASSERT_LT(packed.size(), size_t(1) << 20);
  // The text, a gigabyte for the tables and room for the rest; far less than the tables would take.
  const size_t allowed = plainSize + (size_t(1) << 30) + (size_t(384) << 20);
  const std::string answer = kelvado::testing::RunWithinMemory(allowed, [&] {
    TtiDataBuffers b;
    try {
      Read(b, packed, xfnsString, cgsCompressZLib);
    } catch (const Exception& e) {
      return e.Message();
    }
    return std::string("read in full");
  });
  // The refusal names the limit that bound it.
  EXPECT_NE(answer.find("MiB of memory that the address-space limit of this process leaves"), std::string::npos)
      << answer;
}

class XMLLightFile : public kelvado::testing::TempDirTest {
protected:
  XMLLightFile() : TempDirTest("kelvado-xmllight", "store.xml") {}
};

TEST_F(XMLLightFile, SavedAtomicallyAndLoadedWithoutWriting) {
  TtiDataBuffers buffers;
  AddRow(Items(buffers), {"1", "alt", "1"});
  TtiXMLToDataSetReadWriter rw;
  rw.SetDataSets(&buffers);
  rw.SaveToFile(file_);
  const std::string saved = ReadWholeFile(file_);
  EXPECT_EQ(saved, Write(buffers));

  // A value that cannot be written stops the save before the file is touched.
  AddRow(buffers.Items(0), {"2", "neu", "x\"y"});
  EXPECT_THROW(rw.SaveToFile(file_), EtiPerDataException);
  EXPECT_EQ(ReadWholeFile(file_), saved);
  EXPECT_EQ(FolderEntries(dir_), std::vector<std::string>{"store.xml"});

  AgeFile(file_);
  const struct timespec before = ModificationTime(file_);
  TtiDataBuffers back;
  rw.SetDataSets(&back);
  rw.LoadFromFile(file_, false);
  EXPECT_EQ(back.Items(0).Items(0).Items(1).GetValueAsString(), "alt");
  EXPECT_TRUE(SameTime(ModificationTime(file_), before));
  EXPECT_EQ(Raised([&] { rw.LoadFromFile(dir_ + "/missing.xml", true); }),
            "Exception: Can not read the file <" + dir_ + "/missing.xml>: No such file or directory");

  // A save into a folder where no file can be made fails and leaves the file as it was.
  buffers.Items(0).Remove(&buffers.Items(0).Items(1));
  AddRow(buffers.Items(0), {"3", "neu", "3"});
  rw.SetDataSets(&buffers);
  TImmutableFolder frozen(dir_);
  if (!frozen.Supported()) SKIP_OUTSIDE_CI(frozen.Why());
  EXPECT_NE(Raised([&] { rw.SaveToFile(file_); }).find("Can not write the file <" + file_ + ">"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(file_), saved);
}

}  // namespace kelvado::test

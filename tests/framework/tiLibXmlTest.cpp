#include "framework/tiLibXml.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "framework/tiExcept.h"
#include "tests/framework/TempDirTest.h"
#include "tests/framework/XMLTestFiles.h"

namespace kelvado::test {

namespace {

class LibXml : public testing::TempDirTest {
protected:
  LibXml() : TempDirTest("kelvado-libxml", "doc.xml") {}
};

std::string Deep(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "<a>";
  for (int i = 0; i < depth; ++i) s += "</a>";
  return s;
}

}  // namespace

TEST_F(LibXml, ADoctypeIsRefusedBeforeAnyEntityIsDeclaredOrLoaded) {
  WriteWholeFile(dir_ + "/secret.txt", "TOP SECRET");
  const std::string texts[] = {
      // Exponential expansion.
      "<?xml version=\"1.0\"?>\n<!DOCTYPE r [\n <!ENTITY a \"aaaaaaaaaa\">\n <!ENTITY b \"&a;&a;&a;&a;&a;&a;\">\n"
      " <!ENTITY c \"&b;&b;&b;&b;&b;&b;\">\n]>\n<r>&c;&c;&c;</r>",
      // A local file and a network resource.
      "<!DOCTYPE r [<!ENTITY s SYSTEM \"file://" + dir_ + "/secret.txt\">]><r>&s;</r>",
      "<!DOCTYPE r SYSTEM \"http://127.0.0.1:9/r.dtd\"><r/>",
  };
  const int lines[] = {2, 1, 1};
  for (size_t i = 0; i < std::size(texts); ++i) {
    TtiXMLParseResult r = tiXMLParseMemory(texts[i]);
    EXPECT_EQ(r.Doc, nullptr);
    EXPECT_EQ(r.Error.Reason, "a DOCTYPE declaration is not allowed");
    EXPECT_EQ(r.Error.Line, lines[i]);
    EXPECT_GT(r.Error.Column, 0);
    EXPECT_EQ(r.Error.Context.find("TOP SECRET"), std::string::npos);
  }
}

TEST_F(LibXml, DeepHugeAndBrokenInputFailsCleanlyWithItsPlace) {
  TtiXMLParseResult r = tiXMLParseMemory(Deep(100000));
  EXPECT_EQ(r.Doc, nullptr);
  EXPECT_NE(r.Error.Reason.find("depth"), std::string::npos) << r.Error.Reason;
  EXPECT_TRUE(tiXMLParseMemory(Deep(200)).Doc);  // ordinary nesting is fine

  // An attribute value beyond libxml2's limit for a single text (10 MB without XML_PARSE_HUGE).
  r = tiXMLParseMemory("<r a=\"" + std::string(11 * 1000 * 1000, 'x') + "\"/>");
  EXPECT_EQ(r.Doc, nullptr);
  EXPECT_FALSE(r.Error.Reason.empty());

  r = tiXMLParseMemory("<r>\n  <b>\x01\t</b>\n</r>");
  EXPECT_EQ(r.Doc, nullptr);
  EXPECT_EQ(r.Error.Line, 2);
  EXPECT_EQ(r.Error.Column, 6);
  EXPECT_EQ(r.Error.Context, "  <b>? </b>");  // the control character is not passed on, a TAB as a blank

  r = tiXMLParseMemory("");
  EXPECT_EQ(r.Doc, nullptr);
  EXPECT_FALSE(r.Error.Reason.empty());

  r = tiXMLParseFile(dir_);
  EXPECT_EQ(r.Error.Reason, "not a regular file");
  // A file beyond the size limit is refused before it is read (a sparse file takes no room on disk).
  WriteWholeFile(file_, "");
  ASSERT_EQ(::truncate(file_.c_str(), tiXMLMaxFileSize + 1), 0);
  EXPECT_EQ(tiXMLParseFile(file_).Error.Reason,
            "the file is too large to be read: " + std::to_string(tiXMLMaxFileSize + 1) + " bytes, at most " +
                std::to_string(tiXMLMaxFileSize));
  ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(tiXMLParseFile(dir_ + "/fifo").Error.Reason, "not a regular file");  // without waiting for a writer
}

TEST_F(LibXml, AnElementWithTooManyAttributesIsRefusedBeforeLibxml2SpendsMinutesOnIt) {
  auto element = [](int attributes, const std::string& value) {
    std::string s = "<e";
    for (int i = 0; i < attributes; ++i) s += " a" + std::to_string(i) + "=\"" + value + "\"";
    return s + "/>";
  };
  // Equal signs and ">" inside values, comments, CDATA and processing instructions are no attributes.
  const std::string fine = "<r>\n<!-- <x a=1 b=2> -->" + element(tiXMLMaxAttributes, "x=y>z") +
                           "<![CDATA[<c " + std::string(1000, '=') + ">]]><?pi a=\"1\" b=2?></r>";
  EXPECT_TRUE(tiXMLParseMemory(fine).Doc);

  TtiXMLParseResult r = tiXMLParseMemory("<r>\n  " + element(tiXMLMaxAttributes + 1, "") + "</r>");
  EXPECT_EQ(r.Doc, nullptr);
  EXPECT_EQ(r.Error.Reason, "an element has more than 256 attributes");
  EXPECT_EQ(r.Error.Line, 2);
  EXPECT_EQ(r.Error.Column, 3);

  // 50,000 attributes: libxml2 alone would take about 20 s.
  WriteWholeFile(file_, element(50000, ""));
  EXPECT_EQ(tiXMLParseFile(file_).Error.Reason, "an element has more than 256 attributes");
  // The same as UTF-16 (little endian, with its byte order mark).
  std::string utf16 = "\xff\xfe";
  for (char c : "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + element(300, "\u00e4"))
    if (c) utf16 += std::string{c, '\0'};
  EXPECT_EQ(tiXMLParseMemory(utf16).Error.Reason, "an element has more than 256 attributes");
}

TEST_F(LibXml, TheRootsStartTagIsPlaced) {
  TtiXMLParseResult r = tiXMLParseMemory("<?xml version=\"1.0\"?>\n<!-- x -->\n\n   <root\n  a=\"1\"\n  b=\"2\">x</root>");
  ASSERT_TRUE(r.Doc);
  EXPECT_EQ(r.RootLine, 4);
  EXPECT_EQ(r.RootColumn, 4);
  r = tiXMLParseMemory("<r/>");
  EXPECT_EQ(r.RootLine, 1);
  EXPECT_EQ(r.RootColumn, 1);
}

TEST_F(LibXml, WritingGivesUTF8AfterThePlainDeclarationAndReadsBack) {
  TtiXMLParseResult r = tiXMLParseMemory(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r a=\"M\xfc" "ller &amp; &#10;\">\r\n <b/></r>");
  ASSERT_TRUE(r.Doc) << r.Error.Reason;
  const std::string text = tiXMLDocToString(r.Doc.get());
  EXPECT_EQ(text, "<?xml version=\"1.0\"?>\n<r a=\"M\u00fcller &amp; &#10;\">\n <b/></r>\n");
  EXPECT_TRUE(tiXMLParseMemory(text).Doc);

  tiXMLSaveFile(r.Doc.get(), file_);
  EXPECT_EQ(ReadWholeFile(file_), text);
  TtiXMLParseResult back = tiXMLParseFile(file_);
  ASSERT_TRUE(back.Doc);
  EXPECT_EQ(tiXMLAttrText(xmlDocGetRootElement(back.Doc.get())->properties), "M\u00fcller & \n");
  EXPECT_EQ(tiXMLNodeToString(xmlDocGetRootElement(back.Doc.get())->children->next), "<b/>");
}

TEST_F(LibXml, AWriteThatFailsHalfWayLeavesTheOldFileAndNoTemporaryFile) {
  WriteWholeFile(file_, "old");
  TtiXMLParseResult r = tiXMLParseMemory("<r>" + std::string(100000, 'x') + "</r>");
  ASSERT_TRUE(r.Doc);
  size_t written = 0;
  try {
    tiWriteFileAtomically(file_, [&](const TtiByteSink& sink) {
      tiXMLWriteDoc(r.Doc.get(), [&](const char* data, size_t size) {
        sink(data, size);
        written += size;
        if (written > 50000) throw Exception("disk full");
      });
    });
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "disk full");
  }
  EXPECT_EQ(ReadWholeFile(file_), "old");
  EXPECT_EQ(FolderEntries(dir_), std::vector<std::string>{"doc.xml"});
}

TEST_F(LibXml, ADocumentThatWouldNotReadBackIsNotWritten) {
  // libxml2 writes a namespace name as it is: "&lt;" read in would go out as a raw "<".
  TtiXMLParseResult r = tiXMLParseMemory("<r xmlns:p=\"urn:a&lt;b\">\n<s xmlns=\"urn:&amp;\"/></r>");
  ASSERT_TRUE(r.Doc);
  WriteWholeFile(file_, "old");
  try {
    tiXMLSaveFile(r.Doc.get(), file_);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(),
              "The XML document can not be written: its namespace name <urn:a<b> (line 1) would make the file "
              "unreadable");
  }
  EXPECT_EQ(ReadWholeFile(file_), "old");
  EXPECT_EQ(FolderEntries(dir_), std::vector<std::string>{"doc.xml"});
  xmlNode* root = xmlDocGetRootElement(r.Doc.get());
  xmlFreeNs(root->nsDef);
  root->nsDef = nullptr;
  EXPECT_NE(std::string(tiXMLNodeToString(root)).find("urn:&"), std::string::npos);  // the inner one is still there
  EXPECT_THROW(tiXMLDocToString(r.Doc.get()), Exception);
}

TEST(LibXmlTexts, WhatADocumentCanCarry) {
  EXPECT_EQ(tiXMLInvalidCharPos("plain\ttext\r\n \u00e4\u20ac\U0001F600 \u007f"), std::string_view::npos);
  EXPECT_EQ(tiXMLInvalidCharPos(std::string("a\0b", 3)), 1u);
  EXPECT_EQ(tiXMLInvalidCharPos("ab\x1b"), 2u);
  EXPECT_EQ(tiXMLInvalidCharPos("\xc3"), 0u);                  // cut short
  EXPECT_EQ(tiXMLInvalidCharPos("x\xc0\x80"), 1u);             // overlong
  EXPECT_EQ(tiXMLInvalidCharPos("\xed\xa0\x80"), 0u);          // surrogate
  EXPECT_EQ(tiXMLInvalidCharPos("\xef\xbf\xbe"), 0u);          // U+FFFE
  EXPECT_EQ(tiXMLInvalidCharPos("\xf4\x90\x80\x80"), 0u);      // beyond U+10FFFF
  EXPECT_EQ(tiXMLDescribeCharAt("ab\x1b", 2), "U+001B at position 3");
  EXPECT_EQ(tiXMLDescribeCharAt("\xff", 0), "byte 0xFF at position 1");

  EXPECT_TRUE(tiXMLIsValidName("field_Size"));
  EXPECT_TRUE(tiXMLIsValidName("\u00e4nderung"));
  EXPECT_FALSE(tiXMLIsValidName("two words"));
  EXPECT_FALSE(tiXMLIsValidName("1st"));
  EXPECT_FALSE(tiXMLIsValidName("a:b"));
  EXPECT_FALSE(tiXMLIsValidName("xmlns"));
  EXPECT_FALSE(tiXMLIsValidName(""));
}

// A schema read once checks files as they stream past, building a document only of a file that passes: the first problem is named with libxml2's reason,
// number and the place of the element it concerns, also far into a long line and in a tag spread over lines.
TEST_F(LibXml, FilesAreCheckedAgainstASchemaAndViolationsPlacedAtTheirTag) {
  const std::string xsd = dir_ + "/s.xsd";
  WriteWholeFile(xsd,
                 "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" blockDefault=\"#all\">"
                 "<xs:element name=\"r\"><xs:complexType><xs:sequence>"
                 "<xs:element name=\"i\" minOccurs=\"0\" maxOccurs=\"unbounded\"><xs:complexType>"
                 "<xs:attribute name=\"a\" type=\"xs:string\"/><xs:attribute name=\"n\" type=\"xs:int\"/>"
                 "</xs:complexType></xs:element></xs:sequence></xs:complexType></xs:element></xs:schema>");
  const TtiXMLSchema schema(xsd);
  const auto check = [&](const std::string& text) {
    WriteWholeFile(file_, text);
    return schema.ValidateFile(file_);
  };
  TtiXMLParseResult r = check("<?xml version=\"1.0\"?>\n<r><i a=\"ä\" n=\"1\"/><i/></r>");
  EXPECT_EQ(r.Error.Reason, "");
  EXPECT_NE(r.Doc, nullptr);  // for a caller that goes on with it
  EXPECT_EQ(r.File.Size, static_cast<int64_t>(ReadWholeFile(file_).size()));

  // Far into a long line: the column of the tag, in characters.
  const std::string before = "<r>" + std::string(5000, ' ') + "<i a=\"äöü\"/>";
  r = check("<?xml version=\"1.0\"?>\n" + before + "<i a=\"x\" b=\"y\"/></r>");
  EXPECT_NE(r.Error.Reason.find("'b'"), std::string::npos) << r.Error.Reason;
  EXPECT_EQ(r.Error.Line, 2);
  EXPECT_EQ(r.Error.Column, 3 + 5000 + 12 + 1);
  EXPECT_NE(r.Error.Code, 0);
  EXPECT_EQ(r.Doc, nullptr);  // nothing is built of a file the schema refuses
  // The excerpt starts 40 characters before the tag (three of them two bytes long).
  EXPECT_EQ(r.Error.Context.find("<i a=\"x\" b=\"y\"/>"), 43u) << r.Error.Context;

  // A tag over several lines (CR LF too) is placed at its "<"; a value of the wrong type; an unknown element.
  r = check("<r>\r\n  <i\r\n   n=\"eins\"/></r>");
  EXPECT_EQ(r.Error.Line, 2);
  EXPECT_EQ(r.Error.Column, 3);
  EXPECT_NE(r.Error.Reason.find("eins"), std::string::npos) << r.Error.Reason;
  r = check("<r><x/></r>");
  EXPECT_EQ(r.Error.Column, 4);

  // What the parser refuses is refused as before, with the parser's place; nothing is loaded for a DOCTYPE.
  r = check("<!DOCTYPE r SYSTEM \"http://127.0.0.1:9/r.dtd\"><r/>");
  EXPECT_EQ(r.Error.Reason, "a DOCTYPE declaration is not allowed");
  r = check("<r>\n<i a=\"1\"></r>");
  EXPECT_EQ(r.Error.Line, 2);
  EXPECT_FALSE(r.Error.Reason.empty());
  EXPECT_EQ(r.Doc, nullptr);
  EXPECT_EQ(schema.ValidateFile(dir_ + "/none.xml").Error.Reason.rfind("can not open the file", 0), 0u);

  // A schema that is not one is refused naming the file.
  WriteWholeFile(dir_ + "/bad.xsd", "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"><xs:element/></xs:schema>");
  try {
    TtiXMLSchema bad(dir_ + "/bad.xsd");
    ADD_FAILURE() << "compiled";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("bad.xsd"), std::string::npos) << e.what();
  }
}

}  // namespace kelvado::test

#include "framework/tiXML.h"

#include <gtest/gtest.h>

#include <cmath>

#include "framework/tiExcept.h"
#include "tests/framework/XMLTestFiles.h"

namespace kelvado::test {

TEST(tiXMLTags, FullAndShortNamesAndTheFragmentsBuiltFromThem) {
  TtiXMLTags tags;
  EXPECT_EQ(tags.GetOptXMLDBSizeAsString(), "optDBSizeOff");
  EXPECT_EQ(tags.FieldSize(), "field_Size");
  EXPECT_EQ(tags.QueryTableName(), "table_name");
  EXPECT_EQ(tags.ResultSet(), "result_set");
  EXPECT_EQ(tags.DocumentStart(), "<?xml version=\"1.0\"?><xmldocdata><tiper version=\"2.0\"/><tables>");
  EXPECT_EQ(tags.DocumentEnd(), "</tables></xmldocdata>");
  EXPECT_EQ(tags.StartRow(), "<row ");
  EXPECT_EQ(tags.EmptyRows(), "<rows/>");
  EXPECT_EQ(tags.ProxyTestPassed(),
            "<?xml version=\"1.0\"?><xmldocdata><proxytestalive status=\"passed\"/><tiper version=\"2.0\"/>"
            "</xmldocdata>");
  EXPECT_EQ(tags.ProxyTestFailed(),
            "<?xml version=\"1.0\"?><xmldocdata><proxytestalive status=\"failed\"/></xmldocdata>");

  tags.SetOptXMLDBSizeAsString("OPTDBSIZEON");
  EXPECT_EQ(tags.GetOptXMLDBSize(), optDBSizeOn);
  EXPECT_EQ(tags.DocumentStart(), "<?xml version=\"1.0\"?><a><tiper version=\"2.0\"/><b>");
  EXPECT_EQ(tags.DocumentEnd(), "</b></a>");
  EXPECT_EQ(tags.TableName(), "d");
  EXPECT_EQ(tags.QueryTableName(), "t");
  EXPECT_EQ(tags.ResultSet(), "af");
  EXPECT_EQ(tags.StartField(), "<f ");

  EXPECT_EQ(Raised([&] { tags.SetOptXMLDBSizeAsString("small"); }), "Exception: Invalid OptXMLDBSize value <small>");
  EXPECT_EQ(Raised([&] { tags.SetOptXMLDBSize(static_cast<TtiOptXMLDBSize>(2)); }),
            "Exception: Invalid OptXMLDBSize value");
  EXPECT_EQ(tags.GetOptXMLDBSize(), optDBSizeOn);
  EXPECT_EQ(tiXMLTags().DocData(), "xmldocdata");  // the shared object keeps the full names
}

TEST(tiXMLReservedChars, EveryKindRoundTripsEveryCharacterKind) {
  const TtiXMLReservedCharsTranslator t;
  // Every byte value once, with the reserved characters of every kind among them.
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  all += "\u00e4\u20ac\U0001F600";
  for (TtiXMLCharKind kind : {xckMarkup, xckLineBreaks, xckLineBreaksAndComma, xckLineBreaksAndTab}) {
    const std::string escaped = t.InsertReservedChars(kind, all);
    EXPECT_EQ(escaped.find('\n'), std::string::npos) << kind;
    EXPECT_EQ(escaped.find('\r'), std::string::npos) << kind;
    EXPECT_EQ(t.RemoveReservedChars(kind, escaped), all) << kind;
    EXPECT_EQ(t.InsertReservedChars(kind, ""), "");
  }
  EXPECT_EQ(t.InsertReservedChars(xckMarkup, "a&b<c\r\n'\">"), "a&amp;b&lt;c&cr;&lf;&apos;&quot;&gt;");
  EXPECT_EQ(t.InsertReservedChars(xckLineBreaks, "a&b<\r\n"), "a&b<&cr;&lf;");
  EXPECT_EQ(t.InsertReservedChars(xckLineBreaksAndComma, "1,5\n"), "1&com;5&lf;");
  EXPECT_EQ(t.InsertReservedChars(xckLineBreaksAndTab, "a\tb"), "a&tab;b");
  EXPECT_EQ(t.RemoveReservedChars(xckMarkup, "&amp;lt;"), "&lt;");  // "&amp;" is restored last
  EXPECT_EQ(t.RemoveReservedChars(xckLineBreaksAndTab, "&tab;&com;"), "\t&com;");
  EXPECT_EQ(Raised([&] { t.InsertReservedChars(static_cast<TtiXMLCharKind>(5), "x"); }),
            "Exception: Invalid ACharKind");
  EXPECT_EQ(Raised([&] { t.RemoveReservedChars(static_cast<TtiXMLCharKind>(0), "x"); }),
            "Exception: Invalid ACharKind");
}

TEST(tiXMLValueTexts, FloatsWithPointOrCommaAndCellDates) {
  EXPECT_EQ(tiXMLStrToFloat("12.5"), 12.5);
  EXPECT_EQ(tiXMLStrToFloat("12,5"), 12.5);
  EXPECT_EQ(tiXMLStrToFloat("-1,5E-7"), -1.5e-7);
  EXPECT_TRUE(std::isinf(tiXMLStrToFloat("INF")));
  for (const char* bad : {"1,2,3", "1.2,5", "1 000,5", ",", "abc", ""})
    EXPECT_NE(Raised([&] { tiXMLStrToFloat(bad); }), "") << bad;

  EXPECT_EQ(tiXMLCellTextToDateTime(""), 0);
  EXPECT_EQ(tiXMLCellTextToDateTime("31/12/2023 10:20:30:400"), EncodeDateTime(2023, 12, 31, 10, 20, 30, 400));
  EXPECT_EQ(tiXMLCellTextToDateTime("2023-12-31 10:20:30:400"), EncodeDateTime(2023, 12, 31, 10, 20, 30, 400));
  EXPECT_EQ(tiXMLCellTextToDateTime("2023-12-31 10:xx"), EncodeDateTime(2023, 12, 31, 10, 0, 0, 0));
  for (const char* bad : {"2023-12-31", "31/13/2023 10:00", "abc"})
    EXPECT_EQ(Raised([&] { tiXMLCellTextToDateTime(bad); }),
              std::string("Exception: Data conversion error. Can not convert <") + bad + "> to a TDateTime");
}

TEST(tiDataBuffers, TablesOfRowsAndCellsThatFollowTheirColumns) {
  TtiDataBuffers buffers;
  TtiDataBuffer& items = buffers.AddInstance("Items");
  items.Fields().AddField("OID", qfkString, 36);
  items.Fields().AddField("Amount", qfkInteger);
  items.Fields().AddField("When", qfkDateTime);
  EXPECT_EQ(buffers.FindByName("ITEMS"), &items);
  EXPECT_EQ(buffers.FindByName("other"), nullptr);

  TtiDataBufferRow& row = items.AddInstance();
  ASSERT_EQ(row.Count(), 3);
  EXPECT_EQ(Raised([&] { row.AddInstance(); }), "EtiPerProgrammerException: Mismatch between data and metadata");
  row.FindByFieldName("amount")->SetValueAsString("42");
  row.Items(2).SetValueAsString("01/02/2024 03:04:05:006");
  EXPECT_EQ(row.FindByFieldName("missing"), nullptr);
  EXPECT_EQ(row.Items(1).ValueAsInteger(), 42);
  EXPECT_EQ(row.Items(1).FieldMetaData().GetName(), "Amount");
  EXPECT_EQ(row.Items(2).ValueAsDateTime(), EncodeDateTime(2024, 2, 1, 3, 4, 5, 6));
  EXPECT_EQ(row.Items(2).Index(), 2);

  TtiDataBufferCell& cell = row.Items(0);
  cell.SetValueAsString("not a number");
  EXPECT_EQ(cell.ValueAsInteger(), 0);
  EXPECT_EQ(cell.ValueAsFloat(), 0.0);
  cell.SetValueAsString("y");
  EXPECT_TRUE(cell.ValueAsBoolean());
  cell.SetValueAsString(MimeEncodeString(std::string("\x00\xff", 2)));
  std::stringstream s;
  cell.ValueAsStream(s);
  EXPECT_EQ(s.str(), std::string("\x00\xff", 2));

  TtiDataBufferRow& second = items.AddInstance();
  EXPECT_EQ(second.Index(), 1);
  items.Fields().AddField("Late", qfkString);  // the rows no longer match their columns
  EXPECT_EQ(Raised([&] { second.Items(0).FieldMetaData(); }),
            "Exception: tiPer Internal Error: tiDataSet metadata and data are out of sync");
  items.Remove(&row);
  EXPECT_EQ(items.Count(), 1);
  EXPECT_EQ(items.IndexOf(&second), 0);
  EXPECT_EQ(Raised([&] { items.Items(1); }), "EtiPerProgrammerException: List index out of bounds (1)");
  buffers.Remove(&items);
  EXPECT_EQ(buffers.Count(), 0);
}

}  // namespace kelvado::test

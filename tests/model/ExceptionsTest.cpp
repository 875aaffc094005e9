#include "model/Exceptions.h"

#include <filesystem>

#include "tests/model/TextsTestEnv.h"

namespace kelvado {
namespace {

using Exceptions = testing::TextsTest;

TEST_F(Exceptions, CarryNumberArgumentsAndTheFormattedText) {
  WriteLang("1004=Der DC %s liegt nicht zwischen %s und %s.\n1011=Kanäle: %s\n1010=Art %s\n1012=Nein\n"
            "1023=Bibliothek %s\n1018=Testkanal\n");
  try {
    throw EInvalidValue(1004, {0.95, 0.6, 0.9});
  } catch (const EKelvado& e) {
    EXPECT_STREQ(e.ClassName(), "EInvalidValue");
    EXPECT_EQ(e.MsgNumber(), 1004);
    ASSERT_EQ(e.MsgArgs().size(), 3u);
    EXPECT_DOUBLE_EQ(e.MsgArgs()[0].AsFloat(), 0.95);
    EXPECT_EQ(e.Message(), "Der DC 0.95 liegt nicht zwischen 0.6 und 0.9.");
    EXPECT_STREQ(e.what(), "Der DC 0.95 liegt nicht zwischen 0.6 und 0.9.");
  }
  EXPECT_STREQ(EIndexOutOfBounds(1011, {"3"}).ClassName(), "EIndexOutOfBounds");
  EXPECT_EQ(EIndexOutOfBounds(1011, {"3"}).Message(), "Kanäle: 3");
  EXPECT_STREQ(EInvalidDet(1010, {"detMeasures"}).ClassName(), "EInvalidDet");
  EXPECT_STREQ(ENotImplemented(1012).ClassName(), "ENotImplemented");
  EXPECT_STREQ(EIOError(1023, {"a.klb"}).ClassName(), "EIOError");
  EXPECT_STREQ(EKelvado(1018).ClassName(), "EKelvado");
  EXPECT_EQ(EKelvado(1018).Message(), "Testkanal");

  // A ready text carries no number; the family is catchable as the framework's root exception.
  const EKelvado plain("fertiger Text");
  EXPECT_EQ(plain.MsgNumber(), 0);
  EXPECT_TRUE(plain.MsgArgs().empty());
  EXPECT_THROW(throw EIOError(1023, {"x"}), Exception);
}

TEST_F(Exceptions, WithoutLanguageTextTheMessageStillNamesNumberAndArguments) {
  std::filesystem::remove(langPath_);
  const EInvalidValue e(1004, {0.95, 0.6, 0.9});
  EXPECT_EQ(e.Message(), "[1004] 0.95, 0.6, 0.9");
  EXPECT_EQ(EKelvado(1018).Message(), "[1018]");
}

TEST_F(Exceptions, InvalidXMLCarriesItsDetailsAndFormatsText1031) {
  WriteLang("1031=Datei %s: %s (Zeile %d, Position %d)\n");
  const EInvalidXML e("p.kvd", "unerwartetes Ende", -1072896680, 12, 7, "<Project>");
  EXPECT_STREQ(e.ClassName(), "EInvalidXML");
  EXPECT_EQ(e.MsgNumber(), 1031);
  EXPECT_EQ(e.FileName(), "p.kvd");
  EXPECT_EQ(e.Reason(), "unerwartetes Ende");
  EXPECT_EQ(e.ErrorCode(), -1072896680);
  EXPECT_EQ(e.Line(), 12);
  EXPECT_EQ(e.LinePos(), 7);
  EXPECT_EQ(e.SrcText(), "<Project>");
  EXPECT_EQ(e.Message(), "Datei p.kvd: unerwartetes Ende (Zeile 12, Position 7)");
  EXPECT_EQ(e.MessageText(), e.Message());
  EXPECT_EQ(e.MsgArgs().size(), 4u);
}

TEST_F(Exceptions, ProtectionViolationKeepsTheRefusedObject) {
  WriteLang("1002=Schreibgeschützt\n");
  auto* obj = reinterpret_cast<TtiObject*>(0x1000);
  const EProtectionViolation e(obj);
  EXPECT_EQ(e.Obj(), obj);
  EXPECT_EQ(e.MsgNumber(), 1002);
  EXPECT_EQ(e.Message(), "Schreibgeschützt");
  const EProtectionViolation f("eigener Text", nullptr);
  EXPECT_EQ(f.Message(), "eigener Text");
  EXPECT_EQ(f.MsgNumber(), 1002);
  EXPECT_STREQ(f.ClassName(), "EProtectionViolation");
}

}  // namespace
}  // namespace kelvado

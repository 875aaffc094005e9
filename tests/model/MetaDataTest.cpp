// The header record of library files.
#include "model/MetaData.h"

#include <cmath>

#include "framework/tiUtils.h"
#include "model/GlobalsTexts.h"
#include "tests/model/ModelTestEnv.h"

namespace kelvado::testing {
namespace {

class MetaDataTest : public SettingsTest {
protected:
  MetaDataTest() : SettingsTest("kv_meta_") {}
};

TEST_F(MetaDataTest, FreshRecordIsStampedNowByTheUser) {
  TMetaData m;
  EXPECT_FALSE(m.GetIsProtected());
  EXPECT_LT(std::fabs(m.GetDateTime().Days - tiNow()), 1.0 / 24 / 60);  // within a minute
  EXPECT_EQ(m.GetOwnerName(), GetWindowsUserName());
  EXPECT_EQ(m.GetPropValue("Owner").AsString(), GetWindowsUserName());
  EXPECT_EQ(m.GetNormVersion(), CurrentNormVersion);
  EXPECT_EQ(m.GetKVDVersion(), CurrentKVDVersion);
  EXPECT_TRUE(m.GetInfo().empty());
  EXPECT_TRUE(m.GetName().empty());
}

TEST_F(MetaDataTest, VersionTextsMapToTheirValues) {
  TMetaData m;
  m.SetKelvadoVersionString("1.0");
  EXPECT_EQ(m.GetKVDVersion(), ver1_0);
  m.SetKelvadoVersionString("2.0");
  EXPECT_EQ(m.GetKVDVersion(), verKVDUnknown);
  EXPECT_EQ(m.GetKelvadoVersionString(), VersionText(verKVDUnknown));
  m.SetNormVersionString(NormVersionText(ver2006));
  EXPECT_EQ(m.GetNormVersion(), ver2006);
  m.SetNormVersionString("EN 954-1");
  EXPECT_EQ(m.GetNormVersion(), ver13849Unknown);
  // Handed over as it is, no conversion.
  m.SetKVDVersionOriginalString("1.1.3");
  EXPECT_EQ(m.GetKVDVersionOriginalString(), "1.1.3");
}

TEST_F(MetaDataTest, CloneIsANewRecordWithTheSameContent) {
  TMetaData m;
  m.GetOID().SetAsString("meta-1");
  m.SetObjectState(posClean);
  m.SetIsProtected(true);
  m.SetDateTime(DateTime{40000.5});
  m.SetInfo("Bibliothek für Pressen");
  m.SetName("Pressen");
  m.SetOwnerName("Jörg");
  m.SetNormVersion(ver2006);
  m.SetKVDVersion(ver1_0_6);
  m.SetKVDVersionOriginalString("1.0.6");

  auto c = m.CloneAs<TMetaData>();
  EXPECT_EQ(c->GetObjectState(), posCreate);
  EXPECT_FALSE(c->GetOID().IsNull());
  EXPECT_NE(c->GetOID().GetAsString(), "meta-1");
  EXPECT_TRUE(c->GetIsProtected());
  EXPECT_EQ(c->GetDateTime().Days, 40000.5);
  EXPECT_EQ(c->GetInfo(), "Bibliothek für Pressen");
  EXPECT_EQ(c->GetName(), "Pressen");
  EXPECT_EQ(c->GetOwnerName(), "Jörg");
  EXPECT_EQ(c->GetNormVersion(), ver2006);
  EXPECT_EQ(c->GetKVDVersion(), ver1_0_6);
  EXPECT_EQ(c->GetKVDVersionOriginalString(), "1.0.6");
  // The source is left as it was.
  EXPECT_EQ(m.GetOID().GetAsString(), "meta-1");
  EXPECT_EQ(m.GetObjectState(), posClean);
}

}  // namespace
}  // namespace kelvado::testing

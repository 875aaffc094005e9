#include "framework/tiOID.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

#include "framework/tiOIDGUID.h"
#include "tests/framework/tiTestModel.h"

using namespace kelvado;

namespace {

bool IsGuidText(const std::string& s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (s[i] != '-') return false;
    } else if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'A' && s[i] <= 'F'))) {
      return false;
    }
  }
  return true;
}

}  // namespace

TEST(tiOIDGUID, NewIsNullNextValueIsAGuidText) {
  TOIDGUID o;
  EXPECT_TRUE(o.IsNull());
  EXPECT_EQ(o.GetAsString(), "");
  o.GetNextValue();
  EXPECT_FALSE(o.IsNull());
  EXPECT_TRUE(IsGuidText(o.GetAsString())) << o.GetAsString();
  TOIDGUID p;
  p.GetNextValue("some.klb", "IBX");
  EXPECT_NE(o.GetAsString(), p.GetAsString());
  o.SetToNull();
  EXPECT_TRUE(o.IsNull());
}

TEST(tiOIDGUID, ComparisonIsByteWiseAndCaseSensitive) {
  TOIDGUID a, b;
  a.SetAsString("ABC");
  b.SetAsString("ABC");
  EXPECT_EQ(a.Compare(b), 0);
  EXPECT_TRUE(a.Equals(b));
  b.SetAsString("abc");
  EXPECT_FALSE(a.Equals(b));
  EXPECT_EQ(a.Compare(b), -1);
  EXPECT_EQ(b.Compare(a), 1);
  b.SetAsString("AB");  // a prefix is lower
  EXPECT_EQ(b.Compare(a), -1);
  EXPECT_EQ(a.Compare(b), 1);
  // Only the first 255 characters count.
  a.SetAsString(std::string(255, 'X') + "1");
  b.SetAsString(std::string(255, 'X') + "2");
  EXPECT_EQ(a.Compare(b), 0);

  // Text round trips, as variant too, and Assign / Clone keep the value.
  TOIDGUID g;
  g.GetNextValue();
  TOIDGUID h;
  h.SetAsVariant(g.GetAsVariant());
  EXPECT_TRUE(h.Equals(g));
  h.SetAsString(g.GetAsString());
  EXPECT_TRUE(h.Equals(g));
  std::unique_ptr<TOID> c = g.Clone();
  EXPECT_EQ(c->ClassName(), "TOIDGUID");
  EXPECT_TRUE(c->Equals(g));
  TOIDGUID i;
  i.Assign(g);
  EXPECT_TRUE(i.Equals(g));
}

TEST(tiOIDFactory, GuidIsRegisteredAsDefaultAndOnlyOnce) {
  TOIDFactory& f = tiOIDFactory();
  EXPECT_EQ(f.GetDefaultOIDClassName(), "OIDClassNameGUID");
  ASSERT_NE(f.FindByOIDClassName("oidclassnameguid"), nullptr);
  EXPECT_EQ(f.CreateOID()->ClassName(), "TOIDGUID");
  EXPECT_EQ(f.CreateNextOIDGenerator("OIDClassNameGUID")->ClassName(), "TNextOIDGeneratorGUID");
  try {
    f.RegisterMapping("OIDClassNameGUID", TOIDGUID::StaticClass(), TNextOIDGeneratorGUID::StaticClass());
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("Attempt to register duplicated OID type: OIDClassNameGUID\r\r", 0), 0u);
  }
  EXPECT_THROW(f.CreateOID("NoSuchOID"), EtiPerProgrammerException);
  EXPECT_THROW(f.CreateNextOIDGenerator("NoSuchOID"), EtiPerProgrammerException);
  TOIDFactory own;
  EXPECT_THROW(own.RegisterMapping("X", TOID::StaticClass(), TNextOIDGeneratorGUID::StaticClass()),
               EtiPerProgrammerException);  // abstract
  EXPECT_THROW(own.CreateOID(), EtiPerProgrammerException);  // no default yet
}

TEST(tiNextOIDMgr, OneGeneratorPerDatabaseIgnoringCase) {
  TNextOIDMgr m("XML");
  TOIDGUID o;
  m.AssignNextOID(o, "a.kvd");
  EXPECT_TRUE(IsGuidText(o.GetAsString()));
  TNextOIDGenerator& g = m.FindCreateByDatabaseName("A.KVD");
  EXPECT_EQ(m.Count(), 1u);
  EXPECT_EQ(m.FindByDatabaseName("a.KVD"), &g);
  m.FindCreateByDatabaseName("b.kvd");
  EXPECT_EQ(m.Count(), 2u);
  m.UnloadNextOIDGenerator("A.kvd");
  EXPECT_EQ(m.FindByDatabaseName("a.kvd"), nullptr);
  EXPECT_EQ(m.Count(), 1u);
}

TEST(tiOID, NewObjectsDrawDistinctOIDsAcrossThreads) {
  constexpr int kThreads = 8, kPerThread = 5000;
  std::vector<std::vector<std::string>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        auto o = TtiObject::CreateNew<testmodel::TItem>();
        drawn[t].push_back(o->GetOID().GetAsString());
      }
    });
  for (auto& th : threads) th.join();
  std::set<std::string> all;
  for (auto& v : drawn)
    for (auto& s : v) {
      EXPECT_TRUE(IsGuidText(s));
      all.insert(s);
    }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));

  testmodel::TNode owner;
  auto owned = TtiObject::CreateNewOwned<testmodel::TItem>(&owner);
  EXPECT_EQ(owned->GetOwner(), &owner);
  EXPECT_EQ(owned->GetObjectState(), posCreate);
}

TEST(tiOID, BaseGeneratorNeedsAPersistenceLayer) {
  // An identifier class that relies on the layer's next-OID manager.
  struct TOIDInt : TOIDGUID {
    void GetNextValue(const std::string& db, const std::string& layer) override { TOID::GetNextValue(db, layer); }
  };
  TOIDInt o;
  EXPECT_THROW(o.GetNextValue("db", "layer"), EtiPerInternalException);
  std::string seen;
  tiSetNextOIDSource([&](TOID& oid, const std::string& db, const std::string& layer) {
    seen = db + "/" + layer;
    oid.SetAsString("7");
  });
  o.GetNextValue("db", "layer");
  EXPECT_EQ(seen, "db/layer");
  EXPECT_EQ(o.GetAsString(), "7");
  tiSetNextOIDSource(nullptr);
}

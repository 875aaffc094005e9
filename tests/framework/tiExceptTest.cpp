#include "framework/tiExcept.h"

#include <gtest/gtest.h>

using namespace kelvado;

TEST(tiExcept, DBExceptionTextHidesPasswordAndNamesEverything) {
  EtiPerDBException e("IBX", "lib.klb", "SYSDBA", "secret", "boom");
  std::string t = e.Message();
  EXPECT_EQ(t,
            "Database name:       lib.klb\rUser name:           SYSDBA\rPassword:            XXXXXX\r"
            "Persistence layer:   IBX\r\rMessage:\rboom");
  EXPECT_EQ(t.find("secret"), std::string::npos);
  EXPECT_EQ(t.find('\n'), std::string::npos);
  // Characters, not bytes: "Schlüssel" has 9.
  EtiPerDBException u("IBX", "lib.klb", "SYSDBA", "Schl\xC3\xBCssel", "");
  EXPECT_NE(u.Message().find("Password:            XXXXXXXXX\r"), std::string::npos) << u.Message();
}

TEST(tiExcept, EmptyMessageAndPasswordEndWithLayerLine) {
  EtiPerDBException e("XML", "p.kvd", "", "", "");
  EXPECT_EQ(e.Message(),
            "Database name:       p.kvd\rUser name:           \rPassword:            \rPersistence layer:   XML");
}

TEST(tiExcept, ConnectExceptionsPrefixTheirCause) {
  EtiPerDBExceptionUserNamePassword e("IBX", "db", "u", "pw", "");
  EXPECT_EQ(e.Message().rfind("Invalid username and password combination\r\rCan not connect to database\r\r"
                              "Database name:       db\r",
                              0),
            0u);
  EtiPerDBExceptionCanNotConnect c("IBX", "db", "u", "pw", "");
  EXPECT_EQ(c.Message().rfind("Can not connect to database\r\rDatabase name:", 0), 0u);
  // Catchable through the family's root.
  try {
    throw e;
  } catch (const EtiPerDBException& ex) {
    EXPECT_STREQ(ex.ClassName(), "EtiPerDBExceptionUserNamePassword");
  }
}

TEST(tiFormat, FormatsLikePrintfButNeverFails) {
  EXPECT_EQ(tiFormat("%s/%s", {"db", "user"}), "db/user");
  EXPECT_EQ(tiFormat("%d items, %g left", {3, 0.5}), "3 items, 0.5 left");
  EXPECT_EQ(tiFormat("<%s> and <%s>", {"only"}), "<only> and <>");
  EXPECT_EQ(tiFormat("%d", {2.6}), "3");
  EXPECT_EQ(tiFormat("%5.2f|%-4d|%04d", {3.14159, 7, 42}), " 3.14|7   |0042");
  EXPECT_EQ(tiFormat("100%% %q", {}), "100% %q");
  EXPECT_EQ(tiFormat("trailing %", {}), "trailing %");
}

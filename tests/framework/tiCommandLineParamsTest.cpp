#include "framework/tiCommandLineParams.h"

#include <gtest/gtest.h>

using namespace kelvado;

using Args = std::vector<std::string>;

TEST(tiCommandLineParams, SwitchesWithAndWithoutValues) {
  TtiCommandLineParams p(Args{"-a", "1", "-B", "two"});
  EXPECT_EQ(p.AsString(), "-a 1 -B two");
  EXPECT_EQ(p.Params(), (Args{"A=1", "B=two"}));
  EXPECT_TRUE(p.IsParam("b"));
  EXPECT_TRUE(p.IsParam("A"));
  EXPECT_FALSE(p.IsParam("C"));
  EXPECT_FALSE(p.IsParam(""));

  TtiCommandLineParams v(Args{"-VerboseDBConnection"});
  EXPECT_EQ(v.Params(), (Args{"VERBOSEDBCONNECTION="}));
  EXPECT_TRUE(v.IsParam("VerboseDBConnection"));
  EXPECT_FALSE(v.IsParam("Verbose"));  // whole names only
}

TEST(tiCommandLineParams, ValuesAreTrimmedAndCutAtDashes) {
  TtiCommandLineParams p(Args{"-db", "/data/plant.kvd", "--user", "  sys  ", "-x"});
  EXPECT_EQ(p.Params(), (Args{"DB=/data/plant.kvd", "USER=sys", "X="}));
  // A value holding "-" is cut there; the rest becomes a switch of its own.
  TtiCommandLineParams cut(Args{"-db", "my-plant.kvd"});
  EXPECT_EQ(cut.Params(), (Args{"DB=my", "PLANT.KVD="}));
  // Several blanks inside a value stay.
  TtiCommandLineParams inner(Args{"-title", "a  b"});
  EXPECT_EQ(inner.Params(), (Args{"TITLE=a  b"}));
}

TEST(tiCommandLineParams, EmptyAndDashOnlyLines) {
  EXPECT_TRUE(TtiCommandLineParams(Args{}).Params().empty());
  EXPECT_TRUE(TtiCommandLineParams(Args{"---"}).Params().empty());
  EXPECT_TRUE(TtiCommandLineParams(Args{"", ""}).Params().empty());
  // A blank argument before a switch names nothing.
  EXPECT_EQ(TtiCommandLineParams(Args{"", "-a"}).Params(), (Args{"A="}));
  // Text before the first dash forms an entry of its own, as the line is split only at dashes.
  EXPECT_EQ(TtiCommandLineParams(Args{"plant.kvd", "-debug"}).Params(), (Args{"PLANT.KVD=", "DEBUG="}));
}

namespace {
// The process-wide instance as a test finds and leaves it: not yet parsed.
struct FreshCommandLine {
  FreshCommandLine() { tiResetCommandLine(); }
  ~FreshCommandLine() { tiResetCommandLine(); }
};
}  // namespace

TEST(tiCommandLineParams, ProgramArgumentsGivenOnce) {
  FreshCommandLine fresh;
  const char* argv[] = {"/usr/bin/kelvado", "-VerboseDBConnection", "-db", "x.fdb"};
  tiSetCommandLine(4, argv);
  const TtiCommandLineParams& p = gCommandLineParams();
  EXPECT_TRUE(p.IsParam("verbosedbconnection"));
  EXPECT_EQ(p.Params(), (Args{"VERBOSEDBCONNECTION=", "DB=x.fdb"}));
  // Later calls do not replace the parsed instance others may hold.
  const char* other[] = {"/usr/bin/kelvado", "-z"};
  tiSetCommandLine(2, other);
  EXPECT_EQ(&gCommandLineParams(), &p);
  EXPECT_FALSE(gCommandLineParams().IsParam("z"));
}

TEST(tiCommandLineParams, WithoutProgramArgumentsReadsTheProcessLine) {
  FreshCommandLine fresh;
  Args args = ::testing::internal::GetArgvs();
  args.erase(args.begin());
  EXPECT_EQ(gCommandLineParams().AsString(), TtiCommandLineParams(args).AsString());
  EXPECT_EQ(gCommandLineParams().Params(), TtiCommandLineParams(args).Params());
}

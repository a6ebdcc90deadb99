#include "launch/copy_revision.h"

#include <gtest/gtest.h>

#include "tests/fake_services.h"

namespace launcher {
namespace {

TEST(RevisionFromVersionText, ReadsTheFourthFieldOfFourDecimalFields) {
  const struct {
    const char* text;
    Revision expected;
  } cases[] = {
      {"1.0.0.5", 5},
      {"1.0.0.12", 12},
      {"3.4.5.6", 6},
      {"1.0.0.0", 0},
      {"1.10.0.5", 5},
      {"1.0.100.7", 7},
      {"1.0.10.25", 25},
      {"1.0.0.32767", 32767},
      {"1.0.0.40000", 40000},
      {"1.0.0.65535", 65535},
      {"65535.65535.65535.65535", 65535},
      {"1.00.0.0005", 5},
      {"", 0},
      {"1.0.0", 0},
      {"1.0.0.5.1", 0},
      {"1.0.0.65536", 0},
      {"1.0.70000.1", 0},
      {"1.0.0.", 0},
      {".1.0.5", 0},
      {"1..0.5", 0},
      {"1.0.0.-5", 0},
      {"1.0.0.+5", 0},
      {" 1.0.0.5", 0},
      {"1.0.0.5 ", 0},
      {"1.0.0.5a", 0},
      {"1,0,0,5", 0},
      {"1.0.0.0x10", 0},
      {"1.0.0.99999999999999999999", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RevisionFromVersionText(c.text), c.expected) << '"' << c.text << '"';
  }
}

TEST(ReadRevision, MissingCopyGivesZeroWithoutReadingItsVersion) {
  FakeServices services;
  HoldRetry budget = BudgetOf(services);
  EXPECT_EQ(ReadRevision(services, "C:\\nowhere\\Norvik_Studio.exe", budget), 0);
  EXPECT_TRUE(services.CallsOf("GetFileVersion").empty());
}

TEST(ReadRevision, PresentCopyGivesTheRevisionOfItsVersion) {
  FakeServices services;
  services.files["C:\\a.exe"] = {"x", "2.3.4.1234"};
  services.files["C:\\b.exe"] = {"x", ""};
  HoldRetry budget = BudgetOf(services);
  EXPECT_EQ(ReadRevision(services, "C:\\a.exe", budget), 1234);
  EXPECT_EQ(ReadRevision(services, "C:\\b.exe", budget), 0);
}

TEST(ReadRevision, FailuresOfTheServicesAreRaised) {
  for (const char* operation : {"FileExists", "GetFileVersion"}) {
    FakeServices services;
    services.files["C:\\a.exe"] = {"x", "1.0.0.1"};
    services.FailOn(operation);
    HoldRetry budget = BudgetOf(services);
    EXPECT_THROW(ReadRevision(services, "C:\\a.exe", budget), ServiceError) << operation;
  }
}

}  // namespace
}  // namespace launcher

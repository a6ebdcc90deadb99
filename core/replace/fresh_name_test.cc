#include "core/replace/fresh_name.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/replace/replace_file.h"

namespace launcher {
namespace {

TEST(CreateWithFreshNameTest, ReturnsTheFirstNameCreated) {
  std::uint64_t next = 7;
  std::vector<std::string> tried;
  const std::optional<std::string> name = CreateWithFreshName(
      "C:\\store\\app.exe", [&] { return next++; },
      [&](const std::string& candidate) {
        tried.push_back(candidate);
        return tried.size() == 3 ? CreateOutcome::kCreated : CreateOutcome::kNameTaken;
      });
  ASSERT_TRUE(name);
  EXPECT_EQ(*name, TemporaryNameFor("app.exe", 9));
  EXPECT_EQ(tried, (std::vector<std::string>{TemporaryNameFor("app.exe", 7),
                                             TemporaryNameFor("app.exe", 8), *name}));
}

TEST(CreateWithFreshNameTest, GivesUpAfterSixteenTakenNames) {
  int tries = 0;
  const std::optional<std::string> name = CreateWithFreshName(
      "/store/app.exe", [] { return std::uint64_t{1}; },
      [&](const std::string& /*candidate*/) {
        ++tries;
        return CreateOutcome::kNameTaken;
      });
  EXPECT_FALSE(name);
  EXPECT_EQ(tries, 16);
}

TEST(CreateWithFreshNameTest, StopsAtAnotherFailure) {
  int tries = 0;
  EXPECT_THROW(CreateWithFreshName(
                   "app.exe", [] { return std::uint64_t{1}; },
                   [&](const std::string& /*candidate*/) -> CreateOutcome {
                     ++tries;
                     throw std::runtime_error("denied");
                   }),
               std::runtime_error);
  EXPECT_EQ(tries, 1);
}

}  // namespace
}  // namespace launcher

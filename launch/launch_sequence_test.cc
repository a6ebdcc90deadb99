#include "launch/launch_sequence.h"

#include <gtest/gtest.h>

#include "tests/fake_services.h"

namespace launcher {
namespace {

const std::string kIcon = "C:\\Apps\\Norvik\\Ostra.ico";
const std::string kLocal = "C:\\Apps\\Norvik\\Norvik_Studio.exe";
const std::string kStore = "C:\\Brelvance\\UpdateFile\\10001000\\0005\\Norvik_Studio.exe";

FakeServices ReadyToStart() {
  FakeServices services;
  services.files[kIcon] = {"icon", ""};
  services.icons_well_formed.insert(kIcon);
  services.files[kLocal] = {"local", "1.0.0.5"};
  services.files[kStore] = {"store", "1.0.0.5"};
  return services;
}

int RunToEnd(FakeServices& services) {
  try {
    RunLaunchSequence(services, services);
  } catch (const ProcessEnded& ended) {
    return ended.status;
  }
  ADD_FAILURE() << "the run returned without ending the process";
  return -1;
}

TEST(RunLaunchSequence, SetsTheIconThenReconcilesThenStartsTheLocalCopyOnce) {
  FakeServices services = ReadyToStart();
  EXPECT_EQ(RunToEnd(services), kExitCompleted);
  EXPECT_EQ(services.started, std::vector<std::string>{kLocal});
  EXPECT_EQ(services.CallsOf("StartProgram"),
            std::vector<std::string>{"StartProgram " + kLocal + " show 1"});

  std::vector<std::string> significant;
  for (const std::string& call : services.calls) {
    if (call.rfind("ApplicationDirectory", 0) != 0) significant.push_back(call);
  }
  const std::vector<std::string> expected = {
      "LoadWindowIcon " + kIcon,
      "HoldFolder C:\\Brelvance\\UpdateFile\\10001000\\0005",
      "RemoveStaleTemporaries " + kStore,
      "RemoveStaleTemporaries " + kLocal,
      "FileExists " + kStore,
      "GetFileVersion " + kStore,
      "FileExists " + kLocal,
      "GetFileVersion " + kLocal,
      "FileExists " + kLocal,
      "StartProgram " + kLocal + " show 1",
      "EndProcess 0",
  };
  EXPECT_EQ(significant, expected);
}

TEST(RunLaunchSequence, NewerStoreCopyIsStarted) {
  FakeServices services = ReadyToStart();
  services.files[kStore] = {"new", "1.0.0.7"};
  EXPECT_EQ(RunToEnd(services), kExitCompleted);
  EXPECT_EQ(services.files[kLocal].contents, "new");
  EXPECT_EQ(services.started, std::vector<std::string>{kLocal});
}

TEST(RunLaunchSequence, WithoutAUsableIconNothingIsStarted) {
  const struct {
    const char* name;
    void (*prepare)(FakeServices&);
  } cases[] = {
      {"icon missing", [](FakeServices& s) { s.files.erase(kIcon); }},
      {"icon malformed", [](FakeServices& s) { s.icons_well_formed.clear(); }},
      {"directory unknown", [](FakeServices& s) { s.FailOn("ApplicationDirectory", 1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServices services = ReadyToStart();
    services.files[kStore] = {"new", "1.0.0.7"};
    c.prepare(services);
    EXPECT_EQ(RunToEnd(services), kExitFallback);
    EXPECT_TRUE(services.started.empty());
    EXPECT_EQ(services.temporaries_created, 0);
    EXPECT_EQ(services.files[kLocal].contents, "local");
  }
}

TEST(RunLaunchSequence, AFailureAtEachStepOfTheMainPathStartsTheLocalCopyOnceByTheFallback) {
  // Each operation's first call on the main path fails, or the copy's move; the fallback then
  // starts the local copy.
  for (const char* operation : {"GetFileVersion", "MoveOver", "StartProgram"}) {
    SCOPED_TRACE(operation);
    FakeServices services = ReadyToStart();
    services.files[kStore] = {"new", "1.0.0.7"};
    services.FailOn(operation, 1);
    services.failing_step = operation;
    EXPECT_EQ(RunToEnd(services), kExitFallback);
    EXPECT_EQ(services.started, std::vector<std::string>{kLocal});
    EXPECT_EQ(services.calls.back(), "EndProcess 1");
  }
}

TEST(RunLaunchSequence, FailingExistenceTestAtEachCallFallsBackWithoutReArming) {
  FakeServices dry = ReadyToStart();
  RunToEnd(dry);
  const int calls = static_cast<int>(dry.CallsOf("FileExists").size());
  for (int nth = 1; nth <= calls; ++nth) {
    SCOPED_TRACE("FileExists call " + std::to_string(nth));
    FakeServices services = ReadyToStart();
    services.FailOn("FileExists", nth);
    EXPECT_EQ(RunToEnd(services), kExitFallback);
    EXPECT_EQ(services.started, std::vector<std::string>{kLocal});
    EXPECT_EQ(services.CallsOf("EndProcess").size(), 1u);
  }
}

TEST(RunLaunchSequence, FallbackFindsNoLocalCopyAndStartsNothing) {
  // The store's copy would be copied beside the launcher, but the copy fails.
  FakeServices copy_fails = ReadyToStart();
  copy_fails.files.erase(kLocal);
  copy_fails.files[kStore] = {"new", "1.0.0.7"};
  copy_fails.failing_step = "CopyFrom";
  EXPECT_EQ(RunToEnd(copy_fails), kExitFallback);
  EXPECT_EQ(copy_fails.CallsOf("FileExists").back(), "FileExists " + kLocal);
  EXPECT_TRUE(copy_fails.started.empty());
  EXPECT_EQ(copy_fails.files.count(kLocal), 0u);

  FakeServices no_local = ReadyToStart();
  no_local.files.erase(kLocal);
  no_local.FailOn("GetFileVersion");
  EXPECT_EQ(RunToEnd(no_local), kExitFallback);
  EXPECT_TRUE(no_local.started.empty());
}

TEST(RunLaunchSequence, UnstartableLocalCopyIsTriedTwiceAndTheSecondFailureLeavesTheRun) {
  FakeServices services = ReadyToStart();
  services.unstartable.insert(kLocal);
  EXPECT_THROW(RunLaunchSequence(services, services), ServiceError);
  EXPECT_EQ(services.CallsOf("StartProgram").size(), 2u);
  EXPECT_TRUE(services.CallsOf("EndProcess").empty());
  EXPECT_TRUE(services.pauses.empty()) << "only a held file is worth waiting for";
}

TEST(RunLaunchSequence, AStartHeldForAMomentIsTriedAgainWithinOneBudget) {
  const struct {
    int held;      // starts that fail as held before one succeeds
    int expected;  // -1: the run leaves with the failure
    std::size_t attempts;
  } cases[] = {
      {1, kExitCompleted, 2},
      {7, kExitCompleted, 8},  // the last try the budget allows on the main path
      {8, kExitFallback, 9},   // the budget is spent: the fallback tries once more
      {1000, -1, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held);
    FakeServices services = ReadyToStart();
    services.held_calls["StartProgram"] = c.held;
    if (c.expected < 0) {
      EXPECT_THROW(RunLaunchSequence(services, services), ServiceError);
    } else {
      EXPECT_EQ(RunToEnd(services), c.expected);
      EXPECT_EQ(services.started, std::vector<std::string>{kLocal});
    }
    EXPECT_EQ(services.CallsOf("StartProgram").size(), c.attempts);
    EXPECT_LE(services.PausedMs(), kHoldWaitBudgetMs);
  }
}

TEST(RunLaunchSequence, AHeldMoveThatOutlastsTheBoundStartsTheOldCopy) {
  FakeServices services = ReadyToStart();
  services.files[kStore] = {"new", "1.0.0.7"};
  services.in_use.insert(kLocal);
  EXPECT_EQ(RunToEnd(services), kExitFallback);
  EXPECT_EQ(services.files[kLocal].contents, "local");
  EXPECT_EQ(services.started, std::vector<std::string>{kLocal});
  EXPECT_EQ(services.PausedMs(), kHoldWaitBudgetMs);
}

TEST(RunLaunchSequence, BriefHoldsOfAnyFileCostNeitherTheStartNorTheUpdate) {
  const struct {
    const char* name;
    void (*hold)(FakeServices&, int times);
  } holds[] = {
      {"icon", [](FakeServices& s, int n) { s.held_calls["LoadWindowIcon"] = n; }},
      {"version probe", [](FakeServices& s, int n) { s.held_calls["GetFileVersion"] = n; }},
      {"source opened to copy", [](FakeServices& s, int n) { s.held_steps["OpenSource"] = n; }},
  };
  for (const auto& hold : holds) {
    for (const int times : {3, 1000}) {
      SCOPED_TRACE(std::string(hold.name) + " held " + std::to_string(times) + " times");
      FakeServices services = ReadyToStart();
      services.files[kStore] = {"new", "1.0.0.7"};
      hold.hold(services, times);
      const int status = RunToEnd(services);
      EXPECT_LE(services.PausedMs(), kHoldWaitBudgetMs);
      if (times == 3) {
        EXPECT_EQ(status, kExitCompleted);
        EXPECT_EQ(services.files[kLocal].contents, "new");
        EXPECT_EQ(services.started, std::vector<std::string>{kLocal});
        EXPECT_TRUE(services.reports.empty());
      } else {
        EXPECT_EQ(status, kExitFallback);
        EXPECT_EQ(services.files[kLocal].contents, "local");
        ASSERT_EQ(services.reports.size(), 1u);
        EXPECT_NE(services.reports[0].find("The process cannot access the file"),
                  std::string::npos);
      }
    }
  }
}

TEST(RunLaunchSequence, AHeldIconLeavesTheStartItsOwnWaits) {
  // Six tries wait 1,260 ms each: more than one budget for the two together.
  FakeServices services = ReadyToStart();
  services.held_calls["LoadWindowIcon"] = 6;
  services.held_calls["StartProgram"] = 6;
  EXPECT_EQ(RunToEnd(services), kExitCompleted);
  EXPECT_EQ(services.started, std::vector<std::string>{kLocal});
}

TEST(RunLaunchSequence, EveryFallbackSaysItsCauseInOneLine) {
  const struct {
    const char* name;
    void (*prepare)(FakeServices&);
    const char* cause;
    bool starts;
  } cases[] = {
      {"icon missing", [](FakeServices& s) { s.files.erase(kIcon); },
       "launcher: LoadWindowIcon(\"C:\\Apps\\Norvik\\Ostra.ico\"): file not found", false},
      {"store copy being written under a newer local copy",
       [](FakeServices& s) {
         s.files[kLocal].version = "1.0.0.9";
         s.files[kStore] = {"first part", ""};
         s.files[kStore].whole = false;
       },
       "launcher: FileCopy(\"C:\\Brelvance\\UpdateFile\\10001000\\0005\\Norvik_Studio.exe\"): not "
       "a whole program image, which another program may still be writing",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServices services = ReadyToStart();
    c.prepare(services);
    const std::string store_before = services.files[kStore].contents;
    EXPECT_EQ(RunToEnd(services), kExitFallback);
    EXPECT_EQ(services.reports, std::vector<std::string>{c.cause});
    EXPECT_EQ(services.started.size(), c.starts ? 1u : 0u);
    EXPECT_EQ(services.files[kStore].contents, store_before);
    EXPECT_EQ(services.temporaries_created, 0);
  }
}

TEST(RunLaunchSequence, APathTooLongToStartIsRefusedBeforeAnyCopy) {
  FakeServices services = ReadyToStart();
  services.files[kStore] = {"new", "1.0.0.7"};
  services.paths_too_long.insert(kLocal);
  EXPECT_THROW(RunLaunchSequence(services, services), ServiceError);
  EXPECT_EQ(services.files[kLocal].contents, "local");
  EXPECT_EQ(services.temporaries_created, 0);
  ASSERT_EQ(services.reports.size(), 1u);
  EXPECT_NE(services.reports[0].find("too long"), std::string::npos);
}

TEST(RunLaunchSequence, FailureOfTheFallbacksExistenceTestLeavesTheRun) {
  FakeServices services = ReadyToStart();
  services.FailOn("FileExists", 0);
  EXPECT_THROW(RunLaunchSequence(services, services), ServiceError);
  EXPECT_TRUE(services.started.empty());
}

}  // namespace
}  // namespace launcher

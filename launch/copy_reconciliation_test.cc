#include "launch/copy_reconciliation.h"

#include <gtest/gtest.h>

#include "tests/fake_services.h"

namespace launcher {
namespace {

const std::string kStore = "C:\\Brelvance\\UpdateFile\\10001000\\0005\\Norvik_Studio.exe";
const std::string kStoreFolder = "C:\\Brelvance\\UpdateFile\\10001000\\0005";
const std::string kLocal = "C:\\Apps\\Norvik\\Norvik_Studio.exe";

Reconciliation Reconcile(FakeServices& services) {
  HoldRetry retry = BudgetOf(services);
  return ReconcileCopies(services, services, kStore, kLocal, retry);
}

// A version of nullptr means the copy is missing.
FakeServices WithCopies(const char* store_version, const char* local_version) {
  FakeServices services;
  if (store_version) services.files[kStore] = {"store", store_version};
  if (local_version) services.files[kLocal] = {"local", local_version};
  return services;
}

std::string ContentsOf(const FakeServices& services, const std::string& path) {
  const auto file = services.files.find(path);
  return file == services.files.end() ? "<missing>" : file->second.contents;
}

TEST(ReconcileCopies, TakesTheDirectionOfTheNewerRevision) {
  const struct {
    const char* store;
    const char* local;
    Reconciliation expected;
  } cases[] = {
      {"1.0.0.7", "1.0.0.4", Reconciliation::kStoreToLocal},
      {"1.0.0.6", "1.0.0.9", Reconciliation::kLocalToStore},
      {"1.0.0.5", "1.0.0.5", Reconciliation::kNone},
      {"1.0.0.0", "1.0.0.0", Reconciliation::kNone},
      {"1.0.0.3", nullptr, Reconciliation::kStoreToLocal},
      {nullptr, "1.0.0.2", Reconciliation::kLocalToStore},
      {nullptr, nullptr, Reconciliation::kNone},
      {"1.0.0.0", nullptr, Reconciliation::kNone},
      {"", nullptr, Reconciliation::kNone},
      {"1.10.0.5", "1.0.0.4", Reconciliation::kStoreToLocal},
      {"1.0.100.7", "1.0.0.8", Reconciliation::kLocalToStore},
      {"1.0.0.40000", "1.0.0.32767", Reconciliation::kStoreToLocal},
      {"1.0.0.65535", "1.0.0.1", Reconciliation::kStoreToLocal},
      {"garbage", "1.0.0.1", Reconciliation::kLocalToStore},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("store ") + (c.store ? c.store : "missing") + ", local " +
                 (c.local ? c.local : "missing"));
    FakeServices services = WithCopies(c.store, c.local);
    const std::string store_before = ContentsOf(services, kStore);
    const std::string local_before = ContentsOf(services, kLocal);

    EXPECT_EQ(Reconcile(services), c.expected);

    switch (c.expected) {
      case Reconciliation::kStoreToLocal:
        EXPECT_EQ(ContentsOf(services, kLocal), store_before);
        EXPECT_EQ(ContentsOf(services, kStore), store_before);
        break;
      case Reconciliation::kLocalToStore:
        EXPECT_EQ(ContentsOf(services, kStore), local_before);
        EXPECT_EQ(ContentsOf(services, kLocal), local_before);
        break;
      case Reconciliation::kNone:
        EXPECT_EQ(services.temporaries_created, 0);
        break;
    }
  }
}

TEST(ReconcileCopies, ProbesTheStoreFirstThenTheLocalCopyThenCopiesOnce) {
  FakeServices services = WithCopies("1.0.0.7", "1.0.0.4");
  Reconcile(services);
  const std::vector<std::string> expected = {
      "HoldFolder " + kStoreFolder,
      "RemoveStaleTemporaries " + kStore,
      "RemoveStaleTemporaries " + kLocal,
      "FileExists " + kStore,
      "GetFileVersion " + kStore,
      "FileExists " + kLocal,
      "GetFileVersion " + kLocal,
      "CheckStartable " + kLocal,
      "FileExists " + kStore,
  };
  EXPECT_EQ(services.calls, expected);
  EXPECT_EQ(services.temporaries_created, 1);
}

TEST(ReconcileCopies, SourceGoneSinceTheProbeTouchesNothing) {
  // The store copy disappears between its probe and the existence test made before copying.
  struct VanishingStore : FakeServices {
    bool FileExists(const std::string& path) override {
      const bool exists = FakeServices::FileExists(path);
      return CallsOf("FileExists").size() == 3 ? false : exists;
    }
  } services;
  services.files = WithCopies("1.0.0.7", "1.0.0.4").files;
  EXPECT_EQ(Reconcile(services), Reconciliation::kNone);
  EXPECT_EQ(ContentsOf(services, kLocal), "local");
  EXPECT_EQ(services.temporaries_created, 0);
}

TEST(ReconcileCopies, AFailureAtAnyCallIsRaisedAndLeavesBothCopiesWhole) {
  // Each service call in turn, then each step of the replacement, then a write cut short.
  std::vector<std::pair<std::string, int>> failures;
  for (const char* operation : {"HoldFolder", "FileExists", "GetFileVersion"}) {
    for (int nth = 1; nth <= 3; ++nth) failures.emplace_back(operation, nth);
  }
  for (const char* step : {"KindOf", "OpenSource", "CreateTemporary", "CopyFrom", "VersionOf",
                           "MoveOver", "part-way through the write"}) {
    failures.emplace_back(step, 0);
  }
  for (const auto& [failing, nth] : failures) {
    SCOPED_TRACE(failing + " call " + std::to_string(nth));
    FakeServices services = WithCopies("1.0.0.7", "1.0.0.4");
    if (nth == 0) {
      services.failing_step = failing;
      if (failing == "part-way through the write") services.write_fails_after = 2;
    } else {
      services.FailOn(failing, nth);
    }
    const auto calls_needed = [&, operation = failing] {
      FakeServices dry = WithCopies("1.0.0.7", "1.0.0.4");
      Reconcile(dry);
      return dry.CallsOf(operation).size();
    }();
    if (nth > 0 && static_cast<size_t>(nth) > calls_needed) {
      EXPECT_NO_THROW(Reconcile(services));
      continue;
    }
    EXPECT_THROW(Reconcile(services), ServiceError);
    EXPECT_EQ(ContentsOf(services, kStore), "store");
    EXPECT_EQ(ContentsOf(services, kLocal), "local");
    EXPECT_TRUE(services.Temporaries().empty());
  }
}

TEST(ReconcileCopies, ALinkOnTheStoresPathStopsTheRunBeforeTheStoreIsRead) {
  FakeServices services = WithCopies("1.0.0.7", "1.0.0.4");
  services.links.insert(kStoreFolder);
  EXPECT_THROW(Reconcile(services), ServiceError);
  EXPECT_EQ(services.calls, std::vector<std::string>{"HoldFolder " + kStoreFolder});
}

TEST(ReconcileCopies, AnotherLauncherPushingANewerCopyMeanwhileIsNotUndone) {
  // This launcher's local copy is at 8 and the store at 7; while it copies, another launcher
  // moves its 9 into the store. The store must stay at 9.
  FakeServices services = WithCopies("1.0.0.7", "1.0.0.8");
  services.while_copying = [&services] { services.files[kStore] = {"nine", "1.0.0.9"}; };
  EXPECT_EQ(Reconcile(services), Reconciliation::kNone);
  EXPECT_EQ(ContentsOf(services, kStore), "nine");
  EXPECT_TRUE(services.Temporaries().empty());
}

TEST(ReconcileCopies, APlantedUnsignedStoreCopyNeverReplacesASignedLocalCopy) {
  for (const SubjectName& planted_publisher : {SubjectName{}, FakeName("Someone Else")}) {
    SCOPED_TRACE(planted_publisher.text);
    FakeServices services = WithCopies("1.0.0.65535", "1.0.0.5");
    services.files[kStore].publisher = planted_publisher;
    services.files[kLocal].publisher = FakeName("Norvik Test Publisher A");
    EXPECT_THROW(Reconcile(services), ServiceError);
    EXPECT_EQ(ContentsOf(services, kLocal), "local");
    EXPECT_EQ(services.temporaries_created, 0);
  }
}

TEST(ReconcileCopies, StoreProbeFailureMeansTheLocalCopyIsNotProbed) {
  FakeServices services = WithCopies("1.0.0.7", "1.0.0.4");
  services.FailOn("GetFileVersion", 1);
  EXPECT_THROW(Reconcile(services), ServiceError);
  for (const char* probe : {"FileExists", "GetFileVersion"}) {
    for (const std::string& call : services.CallsOf(probe)) {
      EXPECT_EQ(call.find(kLocal), std::string::npos);
    }
  }
}

TEST(ReconcileCopies, MissingStoreFolderFailsAndKeepsTheLocalCopy) {
  FakeServices services = WithCopies(nullptr, "1.0.0.9");
  services.folders_missing.insert(kStoreFolder);
  EXPECT_THROW(Reconcile(services), ServiceError);
  EXPECT_EQ(ContentsOf(services, kLocal), "local");
  EXPECT_EQ(ContentsOf(services, kStore), "<missing>");
}

}  // namespace
}  // namespace launcher

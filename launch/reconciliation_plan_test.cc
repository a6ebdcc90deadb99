#include "launch/reconciliation_plan.h"

#include <gtest/gtest.h>

#include "launch/copy_reconciliation.h"
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
const std::string kIcon = "C:\\Apps\\Norvik\\Ostra.ico";
const std::string kPublisherA = "Norvik Test Publisher A";

struct Copy {
  const char* version;         // nullptr: missing
  std::string publisher = {};  // the signer's common name; empty: unsigned
  bool verifies = true;
  bool whole = true;
  bool readable = true;  // false: signed, with a signature that cannot be read
  bool expired = false;
};

// What a run may leave different on the disk: every file's bytes, version and read-only mark.
std::string Snapshot(const FakeServices& services) {
  std::string snapshot;
  for (const auto& [path, file] : services.files) {
    snapshot += path + "=" + file.contents + "/" + file.version + (file.read_only ? "/ro" : "") +
                (file.folder ? "/folder" : "") + "\n";
  }
  return snapshot;
}

TEST(PlanReconciliation, SaysWhatTheRunWouldDoAndWhyWritingNothing) {
  // Every copy below is whole and the icon well formed unless a case says otherwise.
  const struct {
    const char* name;
    Copy store;
    Copy local;
    PlannedAction expected;
    const char* reason;  // a part of the reason
    bool store_link = false;
    bool local_folder = false;
    std::string missing_folder = {};   // nothing can be created there
    std::string locked_folder = {};    // there, the user may not add files
    const char* icon = "well formed";  // or "malformed", or nullptr: missing
    bool too_long = false;             // the local copy's path is too long to start
  } cases[] = {
      {"same revision",
       {"1.0.0.5"},
       {"1.0.0.5"},
       PlannedAction::kNone,
       "store copy at revision 5, local copy at revision 5: neither is newer"},
      {"nothing anywhere",
       {nullptr},
       {nullptr},
       PlannedAction::kNone,
       "store copy missing, local copy missing"},
      {"no revision",
       {"garbage"},
       {nullptr},
       PlannedAction::kNone,
       "store copy without a revision"},
      {"store newer",
       {"1.0.0.7"},
       {"1.0.0.5"},
       PlannedAction::kReplaceLocal,
       "store copy at revision 7, local copy at revision 5: the store's copy is newer"},
      {"local missing", {"1.0.0.7"}, {nullptr}, PlannedAction::kReplaceLocal, "local copy missing"},
      {"local newer",
       {"1.0.0.5"},
       {"1.0.0.9"},
       PlannedAction::kReplaceStore,
       "the local copy is newer"},
      {"signed by the pinned publisher",
       {"1.0.0.7", kPublisherA},
       {"1.0.0.5", kPublisherA},
       PlannedAction::kReplaceLocal,
       "newer"},
      {"signed over unsigned",
       {"1.0.0.7", kPublisherA},
       {"1.0.0.5"},
       PlannedAction::kReplaceLocal,
       "newer"},
      {"unsigned over signed",
       {"1.0.0.7"},
       {"1.0.0.5", kPublisherA},
       PlannedAction::kRefuse,
       "but FileCopy(\"C:\\Brelvance\\UpdateFile\\10001000\\0005\\Norvik_Studio.exe\"): not "
       "signed"},
      {"unsigned local over signed store",
       {"1.0.0.5", kPublisherA},
       {"1.0.0.9"},
       PlannedAction::kRefuse,
       "not signed, and the copy it would replace is"},
      {"another publisher",
       {"1.0.0.7", "Someone Else"},
       {"1.0.0.5", kPublisherA},
       PlannedAction::kRefuse,
       "signed by \"CN=Someone Else\", not by \"CN=Norvik Test Publisher A\""},
      {"signature does not verify",
       {"1.0.0.7", kPublisherA, false},
       {"1.0.0.5", kPublisherA},
       PlannedAction::kRefuse,
       "its signature does not verify: the signer's chain for code signing: the root is not "
       "trusted"},
      {"a signed local copy whose signature cannot be read",
       {"1.0.0.7"},
       {"1.0.0.5", kPublisherA, true, true, false},
       PlannedAction::kRefuse,
       "\"C:\\Apps\\Norvik\\Norvik_Studio.exe\"): its signature cannot be read"},
      {"a self-signed store copy under a newer signed local copy",
       {"1.0.0.5", "Someone Else", false},
       {"1.0.0.9", kPublisherA},
       PlannedAction::kReplaceStore,
       "store copy at revision 5, local copy at revision 9: the local copy is newer"},
      {"a store copy whose signature cannot be read under a newer signed local copy",
       {"1.0.0.5", "Someone Else", true, true, false},
       {"1.0.0.9", kPublisherA},
       PlannedAction::kReplaceStore,
       "the local copy is newer"},
      {"an expired store copy of another publisher under a newer signed local copy",
       {"1.0.0.5", "Someone Else", true, true, true, true},
       {"1.0.0.9", kPublisherA},
       PlannedAction::kRefuse,
       "local copy at revision 9, but FileCopy(\"C:\\Apps\\Norvik\\Norvik_Studio.exe\"): signed by "
       "\"CN=Norvik Test Publisher A\", not by \"CN=Someone Else\""},
      {"cut file",
       {"1.0.0.7", "", true, false},
       {"1.0.0.5"},
       PlannedAction::kRefuse,
       "not a whole program image"},
      {"store folder is a link",
       {"1.0.0.7"},
       {"1.0.0.5"},
       PlannedAction::kRefuse,
       "HoldFolder(\"C:\\Brelvance\\UpdateFile\\10001000\\0005\"): a link",
       true},
      {"folder in the way",
       {"1.0.0.7"},
       {nullptr},
       PlannedAction::kRefuse,
       "not a regular file",
       false,
       true},
      {"store folder missing",
       {nullptr},
       {"1.0.0.9"},
       PlannedAction::kRefuse,
       "cannot find the path",
       false,
       false,
       kStoreFolder},
      {"store locked",
       {"1.0.0.5"},
       {"1.0.0.9"},
       PlannedAction::kRefuse,
       "local copy at revision 9, but FileCopy(\"C:\\Brelvance\\UpdateFile\\10001000\\0005\\"
       "Norvik_Studio.exe\"): Access is denied.",
       false,
       false,
       "",
       kStoreFolder},
      {"cut store copy under a newer local copy",
       {"", "", true, false},
       {"1.0.0.9"},
       PlannedAction::kRefuse,
       "Norvik_Studio.exe\"): not a whole program image, which another program may still be "
       "writing"},
      {"whole store copy without a version record",
       {""},
       {"1.0.0.9"},
       PlannedAction::kReplaceStore,
       "store copy without a revision"},
      {"icon missing",
       {"1.0.0.7"},
       {"1.0.0.5"},
       PlannedAction::kRefuse,
       "LoadWindowIcon(\"C:\\Apps\\Norvik\\Ostra.ico\"): file not found",
       false,
       false,
       "",
       "",
       nullptr},
      {"icon malformed",
       {"1.0.0.5"},
       {"1.0.0.5"},
       PlannedAction::kRefuse,
       "Ostra.ico\"): not an icon",
       false,
       false,
       "",
       "",
       "malformed"},
      {"path too long to start",
       {"1.0.0.7"},
       {"1.0.0.5"},
       PlannedAction::kRefuse,
       "local copy at revision 5, but StartProgram(\"C:\\Apps\\Norvik\\Norvik_Studio.exe\"): "
       "the path is too long",
       false,
       false,
       "",
       "",
       "well formed",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServices services;
    for (const auto& [path, copy] : {std::pair{kStore, c.store}, std::pair{kLocal, c.local}}) {
      if (!copy.version) continue;
      MemoryDiskFile& file = services.files[path];
      file.contents = path;
      file.version = copy.version;
      if (!copy.publisher.empty()) file.publisher = FakeName(copy.publisher);
      file.verifies = copy.verifies;
      file.whole = copy.whole;
      file.signature_readable = copy.readable;
      if (copy.expired) file.signature.chain_errors_now = chain_error::kNotTimeValid;
    }
    if (c.store_link) services.links.insert(kStoreFolder);
    if (c.local_folder) services.files[kLocal].folder = true;
    if (!c.missing_folder.empty()) services.folders_missing.insert(c.missing_folder);
    if (!c.locked_folder.empty()) services.folders_locked.insert(c.locked_folder);
    if (c.icon) services.files[kIcon] = {"icon", ""};
    if (c.icon && std::string(c.icon) == "well formed") services.icons_well_formed.insert(kIcon);
    if (c.too_long) services.paths_too_long.insert(kLocal);
    FakeServices launcher_run = services;
    const std::string before = Snapshot(services);

    const ReconciliationPlan plan = PlanReconciliation(services, services, kIcon, kStore, kLocal);

    EXPECT_STREQ(PlannedActionName(plan.action), PlannedActionName(c.expected));
    EXPECT_NE(plan.reason.find(c.reason), std::string::npos) << plan.reason;
    EXPECT_EQ(Snapshot(services), before);
    EXPECT_EQ(services.temporaries_created, 0);
    for (const char* writer : {"RemoveStaleTemporaries", "StartProgram"}) {
      EXPECT_TRUE(services.CallsOf(writer).empty()) << writer;
    }

    // The run itself does what the plan said.
    PlannedAction done = PlannedAction::kRefuse;
    try {
      launcher_run.LoadWindowIcon(kIcon);
      const Reconciliation reconciled = Reconcile(launcher_run);
      done = reconciled == Reconciliation::kStoreToLocal   ? PlannedAction::kReplaceLocal
             : reconciled == Reconciliation::kLocalToStore ? PlannedAction::kReplaceStore
                                                           : PlannedAction::kNone;
    } catch (const ServiceError& failure) {
      EXPECT_NE(plan.reason.find(failure.what()), std::string::npos) << failure.what();
    }
    EXPECT_STREQ(PlannedActionName(done), PlannedActionName(plan.action));
  }
}

}  // namespace
}  // namespace launcher

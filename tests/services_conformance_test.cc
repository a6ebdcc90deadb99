// The services' contract (launch/services.h), the same cases for every implementation: each
// instantiates ServicesConformanceTest with a drive of its own (services_test_drive.h).

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "core/hold_retry.h"
#include "core/replace/replace_file.h"
#include "launch/copy_reconciliation.h"
#include "tests/services_test_drive.h"

namespace launcher {
namespace {

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Fixture(const std::string& name) {
  const std::string bytes = ReadHostFile(std::string(FIXTURE_DIR) + "/" + name + ".exe");
  if (bytes.empty()) ADD_FAILURE() << "no fixture " << name << " in " << FIXTURE_DIR;
  return bytes;
}

bool IsTemporaryName(const std::string& name) {
  return name.size() > 5 && name[0] == '~' && name.compare(name.size() - 4, 4, ".tmp") == 0;
}

// Takes every copy, or gives the answers chosen; notes the temporaries beside the destination
// once the copy was written (-1: it never was).
class AnswersCheck : public CopyCheck {
 public:
  AnswersCheck(ServicesTestDrive& drive, std::string folder, bool chosen = true, bool older = true)
      : drive_(drive), folder_(std::move(folder)), chosen_(chosen), older_(older) {}
  bool IsChosenCopy(const std::string& /*version_text*/) const override {
    temporaries_when_written = 0;
    for (const std::string& name : drive_.Entries(folder_)) {
      temporaries_when_written += IsTemporaryName(name);
    }
    return chosen_;
  }
  bool IsOlder(const std::string& /*version_text*/) const override { return older_; }
  bool LeavesCutDestination() const override { return false; }
  bool PinsOnlyTrustedSignature() const override { return false; }

  mutable int temporaries_when_written = -1;

 private:
  ServicesTestDrive& drive_;
  std::string folder_;
  bool chosen_;
  bool older_;
};

// The system text of the ServiceError `operation` throws; "(none)" when it throws none.
template <typename Operation>
std::string FailureOf(Operation operation) {
  try {
    operation();
  } catch (const ServiceError& failure) {
    return failure.system_text();
  }
  return "(none)";
}

// The temporaries in `folder`.
std::vector<std::string> TemporariesIn(ServicesTestDrive& drive, const std::string& folder) {
  std::vector<std::string> found;
  for (const std::string& name : drive.Entries(folder)) {
    if (IsTemporaryName(name)) found.push_back(name);
  }
  return found;
}

#define REQUIRE_CAPABILITY(name, why) \
  if (!drive_->capabilities().name) GTEST_SKIP() << why

TEST_P(ServicesConformanceTest, FileExistsOnlyForRegularFiles) {
  const std::string folder = At("Program Files") + "\\Nörvik ツール";
  drive_->MakeFolder(At("Program Files"));
  drive_->MakeFolder(folder);
  drive_->Write(folder + "\\Norvik_Studio.exe", "x");
  const struct {
    std::string path;
    bool exists;
  } cases[] = {
      {folder + "\\Norvik_Studio.exe", true},     {folder, false},
      {folder + "\\missing.exe", false},          {At("no folder\\Norvik_Studio.exe"), false},
      {folder + "\\Norvik_Studio.exe\\x", false}, {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(services().FileExists(c.path), c.exists) << c.path;
}

TEST_P(ServicesConformanceTest, ApplicationDirectoryHasNoTrailingSeparator) {
  const std::string directory = services().ApplicationDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_NE(directory.back(), '\\');
  EXPECT_NE(directory.back(), '/');
}

TEST_P(ServicesConformanceTest, GetFileVersionReadsPeFilesAndFailsOnWhatCannotBeRead) {
  drive_->Write(At("Nörvik Studio.exe"), Fixture("managed_1_0_0_7"));
  drive_->Write(At("notes.txt"), "not a program");
  drive_->MakeFolder(At("folder.exe"));
  EXPECT_EQ(services().GetFileVersion(At("Nörvik Studio.exe")), "1.0.0.7");
  EXPECT_EQ(services().GetFileVersion(At("notes.txt")), "");
  EXPECT_THROW(services().GetFileVersion(At("missing.exe")), ServiceError);
  EXPECT_THROW(services().GetFileVersion(At("folder.exe")), ServiceError);
}

TEST_P(ServicesConformanceTest, WindowIconsMustBeWellFormedIconFiles) {
  drive_->Write(At("Ostra.ico"), ReadHostFile(ICON_FILE));
  drive_->Write(At("bad.ico"), "GIF89a");
  EXPECT_NO_THROW(services().CheckWindowIcon(At("Ostra.ico")));
  for (const std::string& path : {At("bad.ico"), At("missing.ico")}) {
    for (const bool load : {true, false}) {
      try {
        load ? services().LoadWindowIcon(path) : services().CheckWindowIcon(path);
        ADD_FAILURE() << path << " was taken for an icon";
      } catch (const ServiceError& failure) {
        EXPECT_EQ(failure.operation(), "LoadWindowIcon") << path;
      }
    }
  }
}

TEST_P(ServicesConformanceTest, FileCopyWritesBesideTheDestinationAndLeavesNoTemporary) {
  const std::string program = Fixture("managed_1_0_0_7");
  drive_->Write(At("program.exe"), program);
  AnswersCheck check(*drive_, root_);
  EXPECT_TRUE(Copy(At("program.exe"), At("copy.exe"), check));
  EXPECT_EQ(drive_->Read(At("copy.exe")), program);
  EXPECT_EQ(check.temporaries_when_written, 1);
  EXPECT_EQ(drive_->Entries(root_), (std::vector<std::string>{"copy.exe", "program.exe"}));
}

TEST_P(ServicesConformanceTest, FileCopyReplacesAReadOnlyDestination) {
  drive_->Write(At("program.exe"), Fixture("managed_1_0_0_7"));
  drive_->Write(At("copy.exe"), Fixture("managed_1_0_0_4"));
  drive_->SetReadOnly(At("copy.exe"));
  EXPECT_TRUE(Copy(At("program.exe"), At("copy.exe"), RevisionCheck(7)));
  EXPECT_EQ(drive_->Read(At("copy.exe")), Fixture("managed_1_0_0_7"));
  EXPECT_EQ(drive_->Entries(root_), (std::vector<std::string>{"copy.exe", "program.exe"}));
}

TEST_P(ServicesConformanceTest, FileCopyWritesTheCopyButReplacesOnlyWhatTheCheckTakes) {
  const struct {
    const char* name;
    const char* destination;
    bool chosen;  // AnswersCheck's answers, else the revision check's at `revision`
    bool older;
    Revision revision;
    bool replaced;
    bool fails;
  } cases[] = {
      {"another version than chosen", "", false, true, 0, false, true},
      {"no longer older", "", true, false, 0, false, false},
      {"older destination", "managed_1_0_0_4", true, true, 9, true, false},
      {"destination no longer older", "managed_1_0_0_9", true, true, 9, false, false},
      {"source not the chosen revision", "managed_1_0_0_4", true, true, 7, false, true},
  };
  drive_->Write(At("program.exe"), Fixture("managed_1_0_0_9"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string old_copy = *c.destination ? Fixture(c.destination) : "old";
    drive_->Write(At("kept.exe"), old_copy);
    AnswersCheck answers(*drive_, root_, c.chosen, c.older);
    const RevisionCheck revision_check(c.revision);
    const CopyCheck& check = c.revision ? static_cast<const CopyCheck&>(revision_check) : answers;
    bool replaced = false;
    const std::string failure =
        FailureOf([&] { replaced = Copy(At("program.exe"), At("kept.exe"), check); });
    EXPECT_EQ(failure == "(none)", !c.fails) << failure;
    EXPECT_EQ(replaced, c.replaced);
    if (!c.revision) {
      EXPECT_EQ(answers.temporaries_when_written, 1) << "the copy was written";
    }
    EXPECT_EQ(drive_->Read(At("kept.exe")), c.replaced ? Fixture("managed_1_0_0_9") : old_copy);
    EXPECT_EQ(drive_->Entries(root_), (std::vector<std::string>{"kept.exe", "program.exe"}));
  }
}

TEST_P(ServicesConformanceTest, FileCopyRefusesAFolderWhereTheCopyBelongs) {
  drive_->Write(At("program.exe"), Fixture("managed_1_0_0_7"));
  drive_->MakeFolder(At("Norvik_Studio.exe"));
  AnswersCheck check(*drive_, root_);
  EXPECT_EQ(FailureOf([&] { Copy(At("program.exe"), At("Norvik_Studio.exe"), check); }),
            "not a regular file");
  EXPECT_EQ(check.temporaries_when_written, -1) << "refused before any copy is written";
  EXPECT_TRUE(drive_->IsFolder(At("Norvik_Studio.exe")));
  EXPECT_EQ(TemporariesIn(*drive_, root_), std::vector<std::string>{});
}

TEST_P(ServicesConformanceTest, FileCopyNeverCreatesTheDestinationsFolder) {
  drive_->Write(At("program.exe"), Fixture("managed_1_0_0_7"));
  AnswersCheck check(*drive_, root_);
  EXPECT_THROW(Copy(At("program.exe"), At("no folder\\copy.exe"), check), ServiceError);
  EXPECT_EQ(drive_->Entries(root_), std::vector<std::string>{"program.exe"});
}

TEST_P(ServicesConformanceTest, FileCopyFromAMissingSourceLeavesTheDestination) {
  drive_->Write(At("Norvik_Studio.exe"), "old");
  EXPECT_THROW(Copy(At("gone.exe"), At("Norvik_Studio.exe"), RevisionCheck(7)), ServiceError);
  EXPECT_EQ(drive_->Read(At("Norvik_Studio.exe")), "old");
  EXPECT_EQ(drive_->Entries(root_), std::vector<std::string>{"Norvik_Studio.exe"});
}

TEST_P(ServicesConformanceTest, FileCopyRefusesASourceCutShort) {
  // Cut inside its last section, after the version record: the version still reads.
  std::string cut = Fixture("managed_1_0_0_7");
  cut.resize(cut.size() - 1);
  drive_->Write(At("cut.exe"), cut);
  drive_->Write(At("Norvik_Studio.exe"), Fixture("managed_1_0_0_4"));
  ASSERT_EQ(services().GetFileVersion(At("cut.exe")), "1.0.0.7");
  EXPECT_EQ(FailureOf([&] { Copy(At("cut.exe"), At("Norvik_Studio.exe"), RevisionCheck(7)); }),
            "not a whole program image");
  EXPECT_EQ(drive_->Read(At("Norvik_Studio.exe")), Fixture("managed_1_0_0_4"));
  EXPECT_EQ(drive_->Entries(root_), (std::vector<std::string>{"Norvik_Studio.exe", "cut.exe"}));
}

TEST_P(ServicesConformanceTest, FileCopyDoesNotStartFromASourceAnotherProgramWrites) {
  REQUIRE_CAPABILITY(sees_writers, "POSIX has no sharing modes: another writer cannot be seen");
  drive_->Write(At("program.exe"), Fixture("managed_1_0_0_7"));
  AnswersCheck check(*drive_, root_);
  {
    const auto writer = drive_->Open(At("program.exe"), ServicesTestDrive::Hold::kWriter);
    EXPECT_THROW(Copy(At("program.exe"), At("busy.exe"), check), ServiceError);
  }
  EXPECT_EQ(check.temporaries_when_written, -1);
  EXPECT_EQ(drive_->Entries(root_), std::vector<std::string>{"program.exe"});
}

TEST_P(ServicesConformanceTest, RemoveStaleTemporariesTakesItsOwnThatNoLauncherHolds) {
  REQUIRE_CAPABILITY(removes_temporaries, "the fake only records the call");
  const struct {
    const char* name;
    int seconds_from_now;
    bool removed;
  } temporaries[] = {
      {"~Norvik_Studio.exe.00000000000000aa.tmp", -2 * 60 * 60, true},
      {"~Norvik_Studio.exe.00000000000000bb.tmp", 2 * 60 * 60, true},  // the clock was set back
      {"~Norvik_Studio.exe.00000000000000cc.tmp", -60, true},
      {"~Norvik_Studio.exe.00000000000000ff.tmp", -60, true},        // read-only, below
      {"~Norvik_Studio.exe.00000000000000dd.tmp", 0, false},         // just closed by its writer
      {"~Norvik_Studio.exe.00000000000000ee.tmp", -60, false},       // held, below
      {"~Norvik_Studio.exe.not-a-number.tmp", -2 * 60 * 60, false},  // not one of ours
      {"~Other.exe.00000000000000aa.tmp", -2 * 60 * 60, false},      // another file's
  };
  drive_->MakeFolder(At("held"));
  services().HoldFolder(At("held"));
  for (const std::string& folder : {root_, At("held")}) {  // reached by path, and through a hold
    SCOPED_TRACE(folder);
    std::vector<std::string> kept = {"Norvik_Studio.exe"};
    drive_->Write(folder + "\\Norvik_Studio.exe", "x");
    for (const auto& temporary : temporaries) {
      drive_->Write(folder + "\\" + temporary.name, "x");
      drive_->SetWriteTime(folder + "\\" + temporary.name, temporary.seconds_from_now);
      if (!temporary.removed) kept.push_back(temporary.name);
    }
    if (folder == root_) kept.push_back("held");
    std::sort(kept.begin(), kept.end());
    drive_->SetReadOnly(folder + "\\~Norvik_Studio.exe.00000000000000ff.tmp");
    {
      const auto held = drive_->Open(folder + "\\~Norvik_Studio.exe.00000000000000ee.tmp",
                                     ServicesTestDrive::Hold::kCopyUnderWay);
      RemoveStale(folder + "\\Norvik_Studio.exe");
    }
    EXPECT_EQ(drive_->Entries(folder), kept);
  }
}

TEST_P(ServicesConformanceTest, FileCopyIntoAHeldFolderReplacesTheCopyThere) {
  REQUIRE_CAPABILITY(holds_folders, "the fake only records the call");
  drive_->Write(At("program.exe"), Fixture("managed_1_0_0_9"));
  drive_->MakeFolder(At("held"));
  drive_->Write(At("held\\Norvik_Studio.exe"), Fixture("managed_1_0_0_4"));
  services().HoldFolder(At("held"));
  EXPECT_EQ(services().GetFileVersion(At("held\\Norvik_Studio.exe")), "1.0.0.4");
  EXPECT_TRUE(Copy(At("program.exe"), At("held\\Norvik_Studio.exe"), RevisionCheck(9)));
  EXPECT_TRUE(services().FileExists(At("held\\Norvik_Studio.exe")));
  EXPECT_EQ(drive_->Read(At("held\\Norvik_Studio.exe")), Fixture("managed_1_0_0_9"));
  EXPECT_EQ(drive_->Entries(At("held")), std::vector<std::string>{"Norvik_Studio.exe"});
}

TEST_P(ServicesConformanceTest, AFolderHeldWhileMissingStaysMissingWhenMadeAfterwards) {
  REQUIRE_CAPABILITY(holds_folders, "the fake only records the call");
  drive_->Write(At("program.exe"), Fixture("managed_1_0_0_9"));
  const std::string later = At("later\\deeper");
  services().HoldFolder(later);
  drive_->MakeFolder(At("later"));
  drive_->MakeFolder(later);
  drive_->Write(later + "\\there.exe", Fixture("managed_1_0_0_4"));
  const std::string stale = later + "\\~there.exe.00000000000000aa.tmp";
  drive_->Write(stale, "x");
  drive_->SetWriteTime(stale, -2 * 60 * 60);

  EXPECT_FALSE(services().FileExists(later + "\\there.exe"));
  EXPECT_THROW(services().GetFileVersion(later + "\\there.exe"), ServiceError);
  AnswersCheck check(*drive_, later);
  EXPECT_EQ(FailureOf([&] { Copy(At("program.exe"), later + "\\copy.exe", check); }),
            "the folder does not exist");
  EXPECT_EQ(FailureOf([&] { Copy(At("program.exe"), later + "\\there.exe", check); }),
            "the folder does not exist");
  RemoveStale(later + "\\there.exe");
  EXPECT_EQ(check.temporaries_when_written, -1);
  EXPECT_EQ(drive_->Entries(later),
            (std::vector<std::string>{"there.exe", "~there.exe.00000000000000aa.tmp"}));
  EXPECT_EQ(drive_->Read(later + "\\there.exe"), Fixture("managed_1_0_0_4"));
}

TEST_P(ServicesConformanceTest, HoldFolderRefusesAFileOnTheWay) {
  REQUIRE_CAPABILITY(holds_folders, "the fake only records the call");
  drive_->Write(At("plain.exe"), "x");
  EXPECT_THROW(services().HoldFolder(At("plain.exe\\below")), ServiceError);
  EXPECT_THROW(services().HoldFolder(At("plain.exe")), ServiceError);
}

TEST_P(ServicesConformanceTest, HoldFolderRefusesALinkOnTheWay) {
  REQUIRE_CAPABILITY(holds_folders, "the fake only records the call");
  REQUIRE_CAPABILITY(folder_links, "the fake models no links");
  const std::optional<std::string> link = drive_->FolderLink();
  if (!link) GTEST_SKIP() << "no link could be made here";
  for (const std::string& path : {*link, *link + "\\below"}) {
    try {
      services().HoldFolder(path);
      ADD_FAILURE() << "held " << path << " through a link";
    } catch (const ServiceError& failure) {
      EXPECT_EQ(failure.operation(), "HoldFolder") << path;
    }
  }
}

TEST_P(ServicesConformanceTest, ALinkInTheHeldFolderIsNeitherReadNorWritten) {
  REQUIRE_CAPABILITY(holds_folders, "the fake only records the call");
  REQUIRE_CAPABILITY(folder_links, "the fake models no links");
  const std::optional<std::string> link = drive_->FolderLink();
  if (!link) GTEST_SKIP() << "no link could be made here";
  const std::string folder = FolderOf(*link);
  const std::string program = Fixture("managed_1_0_0_7");
  drive_->Write(At("program.exe"), program);
  services().HoldFolder(folder);
  EXPECT_THROW(services().FileExists(*link), ServiceError);
  EXPECT_THROW(services().GetFileVersion(*link), ServiceError);
  EXPECT_THROW(Copy(*link, At("program.exe"), RevisionCheck(7)), ServiceError);
  AnswersCheck check(*drive_, folder);
  EXPECT_THROW(Copy(At("program.exe"), *link, check), ServiceError);
  EXPECT_EQ(check.temporaries_when_written, -1) << "no copy is written for it";
  RemoveStale(*link);
  EXPECT_EQ(drive_->Entries(folder), std::vector<std::string>{FileNameOf(*link)});
  EXPECT_TRUE(drive_->IsFolder(*link));
  EXPECT_EQ(drive_->Read(At("program.exe")), program);
}

}  // namespace
}  // namespace launcher

#include "os/posix/posix_services.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/pe/pe_version_reader.h"
#include "core/replace/replace_file.h"
#include "launch/copy_reconciliation.h"
#include "launch/copy_revision.h"
#include "os/posix/posix_disk.h"
#include "os/posix/posix_file.h"
#include "os/posix/posix_test_drive.h"
#include "tests/counting_file.h"

namespace launcher {
namespace {

TEST(ToPosixPath, MapsSeparatorsAndDriveC) {
  const struct {
    const char* windows;
    const char* posix;
  } cases[] = {
      {"C:\\Brelvance\\UpdateFile\\a.exe", "/drive/Brelvance/UpdateFile/a.exe"},
      {"c:\\x", "/drive/x"},
      {"C:", "/drive"},
      {"/opt/app\\Ostra.ico", "/opt/app/Ostra.ico"},
      {"Cx:\\y", "Cx:/y"},
      {"C:file", "C:file"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ToPosixPath(c.windows, "/drive"), c.posix) << c.windows;
}

// The cases below are the POSIX services' own; the contract they share with every implementation
// is tested in tests/services_conformance_test.cc.

// Only here does the test know the program's file name.
TEST_F(PosixServicesTest, ApplicationDirectoryHoldsThisProgram) {
  PosixServices services = Services();
  const std::string directory = services.ApplicationDirectory();
  EXPECT_TRUE(services.FileExists(directory + "\\launcher_tests"));
}

// Windows has no permission to run a file; here the copy must keep it.
TEST_F(PosixServicesTest, ACopyKeepsTheSourcesPermissionToRun) {
  PosixSystem system(root_.string());
  const std::string new_copy = Padded("managed_1_0_0_7", 3 << 20, 13);
  MakeCopies(new_copy, Fixture("managed_1_0_0_4"));
  fs::permissions(root_ / kStoreBelowDrive / "Norvik_Studio.exe",
                  fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(root_ / "app" / "Norvik_Studio.exe", fs::perms::owner_read);

  system.services.HoldFolder(kStore);
  EXPECT_TRUE(system.Copy(kStoreCopy, kLocalCopy, RevisionCheck(7), budget_));
  EXPECT_EQ(ReadAll(root_ / "app" / "Norvik_Studio.exe"), new_copy);
  EXPECT_NE(fs::status(root_ / "app" / "Norvik_Studio.exe").permissions() & fs::perms::owner_exec,
            fs::perms::none);
}

TEST_F(PosixServicesTest, ACopyFromAnotherFileSystemIsWhole) {
  // The copy is read and written, so it crosses file systems as well.
  const fs::path other = "/dev/shm";
  if (::access(other.c_str(), W_OK) != 0) GTEST_SKIP() << "no /dev/shm to copy from";
  const fs::path source = other / ("launcher-test-" + std::to_string(::getpid()) + ".exe");
  const std::string contents = Padded("managed_1_0_0_7", 3 << 20, 13);
  WriteAll(source, contents);
  WriteAll(root_ / "Norvik_Studio.exe", Fixture("managed_1_0_0_4"));
  PosixSystem system(root_.string());
  EXPECT_TRUE(system.Copy(source, "C:\\Norvik_Studio.exe", RevisionCheck(7), budget_));
  fs::remove(source);
  EXPECT_EQ(ReadAll(root_ / "Norvik_Studio.exe"), contents);
  EXPECT_EQ(FolderEntries(root_), std::vector<std::string>{"Norvik_Studio.exe"});
}

// A link to a file: Wine does not show a Unix link to a file as a link, so the shared cases link
// folders only. Here the tree the links lead to is seen to stay as it was, too.
TEST_F(PosixServicesTest, AStoreReachedThroughALinkIsNeitherReadNorWritten) {
  const struct {
    const char* link;  // below drive C:, pointing to the same place in a tree elsewhere
    bool hold_fails;
  } cases[] = {
      {"Brelvance", true},
      {"Brelvance/UpdateFile/10001000/0005/Norvik_Studio.exe", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    fs::remove_all(root_ / "Brelvance");
    fs::remove_all(root_ / "elsewhere");
    MakeCopies(Fixture("managed_1_0_0_4"), Fixture("managed_1_0_0_7"));
    const fs::path target = root_ / "elsewhere";
    fs::create_directories(target / kStoreBelowDrive);
    WriteAll(target / kStoreBelowDrive / "Norvik_Studio.exe", Fixture("managed_1_0_0_9"));
    const fs::path stale = target / kStoreBelowDrive / TemporaryNameFor("Norvik_Studio.exe", 1);
    WriteAll(stale, "left over");
    fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(2));
    fs::remove_all(root_ / c.link);
    fs::create_symlink(target / c.link, root_ / c.link);
    const auto before = Tree(target);

    PosixSystem system(root_.string());
    PosixServices& services = system.services;
    if (c.hold_fails) {
      try {
        services.HoldFolder(kStore);
        ADD_FAILURE() << "held a folder through a link";
      } catch (const ServiceError& failure) {
        EXPECT_EQ(failure.operation(), "HoldFolder");
        EXPECT_NE(failure.system_text().find("is a symbolic link"), std::string::npos)
            << failure.what();
      }
    } else {
      services.HoldFolder(kStore);
    }
    EXPECT_THROW(services.FileExists(kStoreCopy), ServiceError);
    EXPECT_THROW(services.GetFileVersion(kStoreCopy), ServiceError);
    EXPECT_THROW(system.Copy(kStoreCopy, kLocalCopy, RevisionCheck(9), budget_), ServiceError);
    EXPECT_THROW(system.Copy(kLocalCopy, kStoreCopy, RevisionCheck(7), budget_), ServiceError);
    system.steps.RemoveStaleTemporaries(services.SystemPath(kStoreCopy));
    EXPECT_EQ(Tree(target), before);
    EXPECT_EQ(ReadAll(root_ / "app" / "Norvik_Studio.exe"), Fixture("managed_1_0_0_7"));
    EXPECT_EQ(FolderEntries(root_ / "app"), std::vector<std::string>{"Norvik_Studio.exe"});
  }
}

// Windows does not let a held folder move at all (win32_services_test.cc); here it can, and the
// services must keep to the folder they hold.
TEST_F(PosixServicesTest, AHeldStoreSwappedForALinkAfterwardsIsStillTheFolderHeld) {
  MakeCopies(Fixture("managed_1_0_0_4"), Fixture("managed_1_0_0_9"));
  fs::create_directories(root_ / "elsewhere");
  PosixSystem system(root_.string());
  system.services.HoldFolder(kStore);
  fs::rename(root_ / kStoreBelowDrive, root_ / "Brelvance" / "held");
  fs::create_directory_symlink(root_ / "elsewhere", root_ / kStoreBelowDrive);

  EXPECT_EQ(system.services.GetFileVersion(kStoreCopy), "1.0.0.4");
  EXPECT_TRUE(system.Copy(kLocalCopy, kStoreCopy, RevisionCheck(9), budget_));
  EXPECT_EQ(ReadAll(root_ / "Brelvance" / "held" / "Norvik_Studio.exe"),
            Fixture("managed_1_0_0_9"));
  EXPECT_EQ(FolderEntries(root_ / "elsewhere"), std::vector<std::string>{});
}

// A limit on the size of files a process writes is POSIX's.
TEST_F(PosixServicesTest, ACopyCutShortByAFileSizeLimitLeavesTheOldCopyWhole) {
  fs::create_directories(root_ / "app");
  const std::string old_copy = Padded("managed_1_0_0_4", 100000, 7);
  WriteAll(root_ / "app" / "Norvik_Studio.exe", old_copy);
  WriteAll(root_ / "Norvik_Studio.exe", Padded("managed_1_0_0_7", 4 << 20, 3));

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1 << 20, 1 << 20};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      PosixSystem(root_.string())
          .Copy("C:\\Norvik_Studio.exe", "C:\\app\\Norvik_Studio.exe", RevisionCheck(7), budget_);
    } catch (const ServiceError&) {
      ::_exit(0);
    }
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the copy must fail under the limit";
  EXPECT_EQ(ReadAll(root_ / "app" / "Norvik_Studio.exe"), old_copy);
  EXPECT_EQ(FolderEntries(root_ / "app"), std::vector<std::string>{"Norvik_Studio.exe"});
}

// A named pipe would block a reader that waits for a writer; Windows has none in a folder.
TEST_F(PosixServicesTest, GetFileVersionDoesNotWaitOnANamedPipe) {
  PosixServices services = Services();
  ASSERT_EQ(::mkfifo((root_ / "pipe.exe").c_str(), 0600), 0);
  EXPECT_THROW(services.GetFileVersion("C:\\pipe.exe"), ServiceError);
}

TEST_F(PosixServicesTest, ProbingAHugeCopyReadsOnlyAFewKiB) {
  fs::copy_file(std::string(FIXTURE_DIR) + "/managed_1_0_0_7.exe", root_ / "big.exe");
  fs::resize_file(root_ / "big.exe", std::uintmax_t{512} << 20);
  PosixFile big((root_ / "big.exe").string(), "GetFileVersion");
  CountingFile file(big);
  EXPECT_EQ(ReadPeFileVersion(file), "1.0.0.7");
  EXPECT_LT(file.bytes_read, 64u * 1024);
}

// There is no window here, so LoadWindowIcon only checks the file and takes a good one; the
// Win32 services without a window refuse every icon.
TEST_F(PosixServicesTest, LoadWindowIconTakesAWellFormedIconFile) {
  PosixServices services = Services();
  fs::copy_file(ICON_FILE, root_ / "Ostra.ico");
  EXPECT_NO_THROW(services.LoadWindowIcon("C:\\Ostra.ico"));
}

// Starting programs is seen end to end under Wine (wine_scenarios.sh); here a script shows it.
TEST_F(PosixServicesTest, StartProgramRunsTheFileItselfWithItsPathAsTheOnlyArgument) {
  PosixServices services = Services();
  fs::create_directories(root_ / "with blank");
  const fs::path script = root_ / "with blank" / "program";
  WriteAll(script, "#!/bin/sh\nprintf '%s|%s' \"$0\" \"$#\" > \"$0.ran\"\n");
  fs::permissions(script, fs::perms::owner_all);
  const TaskId task = services.StartProgram("C:\\with blank\\program", 1);
  int status = 0;
  ASSERT_EQ(::waitpid(static_cast<pid_t>(task), &status, 0), static_cast<pid_t>(task));
  EXPECT_EQ(ReadAll(script.string() + ".ran"), script.string() + "|0");

  EXPECT_THROW(services.StartProgram("C:\\missing", 1), ServiceError);
  fs::copy_file(std::string(FIXTURE_DIR) + "/managed_1_0_0_7.exe", root_ / "pe.exe");
  fs::permissions(root_ / "pe.exe", fs::perms::owner_all);
  EXPECT_THROW(services.StartProgram("C:\\pe.exe", 1), ServiceError)
      << "a Windows program cannot start here";
}

}  // namespace
}  // namespace launcher

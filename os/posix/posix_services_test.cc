#include "os/posix/posix_services.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
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
#include <map>

#include "core/pe/pe_version_reader.h"
#include "core/replace/replace_file.h"
#include "launch/copy_reconciliation.h"
#include "launch/copy_revision.h"
#include "os/posix/posix_file.h"
#include "os/posix/posix_replace_steps.h"
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

TEST_F(PosixServicesTest, FileExistsOnlyForFiles) {
  PosixServices services = Services();
  fs::create_directories(root_ / "Program Files" / "Nörvik ツール");
  WriteAll(root_ / "Program Files" / "Nörvik ツール" / "Norvik_Studio.exe", "x");
  EXPECT_TRUE(services.FileExists("C:\\Program Files\\Nörvik ツール\\Norvik_Studio.exe"));
  EXPECT_FALSE(services.FileExists("C:\\Program Files\\Nörvik ツール"));
  EXPECT_FALSE(services.FileExists("C:\\Program Files\\Nörvik ツール\\missing.exe"));
  EXPECT_FALSE(services.FileExists("C:\\no such folder\\Norvik_Studio.exe"));
  EXPECT_FALSE(services.FileExists("C:\\Program Files\\Nörvik ツール\\Norvik_Studio.exe\\x"));
  EXPECT_FALSE(services.FileExists(""));
}

TEST_F(PosixServicesTest, ApplicationDirectoryHoldsThisProgramWithoutTrailingSeparator) {
  PosixServices services = Services();
  const std::string directory = services.ApplicationDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_NE(directory.back(), '/');
  EXPECT_TRUE(services.FileExists(directory + "\\launcher_tests"));
}

TEST_F(PosixServicesTest, DeleteFileWithForceRemovesAReadOnlyFile) {
  PosixServices services = Services();
  WriteAll(root_ / "ro.exe", "x");
  fs::permissions(root_ / "ro.exe", fs::perms::owner_read);
  EXPECT_THROW(services.DeleteFile("C:\\ro.exe", false), ServiceError);
  EXPECT_TRUE(fs::exists(root_ / "ro.exe"));
  services.DeleteFile("C:\\ro.exe", true);
  EXPECT_FALSE(fs::exists(root_ / "ro.exe"));
  EXPECT_THROW(services.DeleteFile("C:\\ro.exe", true), ServiceError);
  fs::create_directory(root_ / "folder");
  EXPECT_THROW(services.DeleteFile("C:\\folder", true), ServiceError);
}

TEST_F(PosixServicesTest, FileCopyReplacesAReadOnlyCopyAndKeepsNoTemporary) {
  PosixServices services = Services();
  const std::string new_copy = Padded("managed_1_0_0_7", 3 << 20, 13);
  MakeCopies(new_copy, Fixture("managed_1_0_0_4"));
  fs::permissions(root_ / kStoreBelowDrive / "Norvik_Studio.exe",
                  fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(root_ / "app" / "Norvik_Studio.exe", fs::perms::owner_read);

  services.HoldFolder(kStore);
  EXPECT_TRUE(services.FileCopy(kStoreCopy, kLocalCopy, RevisionCheck(7), budget_));
  EXPECT_EQ(ReadAll(root_ / "app" / "Norvik_Studio.exe"), new_copy);
  EXPECT_EQ(FolderEntries(root_ / "app"), std::vector<std::string>{"Norvik_Studio.exe"});
  EXPECT_NE(fs::status(root_ / "app" / "Norvik_Studio.exe").permissions() & fs::perms::owner_exec,
            fs::perms::none)
      << "the copy keeps the source's permission to run";
}

TEST_F(PosixServicesTest, FileCopyIntoTheHeldStoreKeepsTheCheck) {
  const struct {
    const char* name;
    const char* store_copy;
    Revision chosen;
    bool replaced;  // else refused or left alone
    bool fails;
  } cases[] = {
      {"older store copy", "managed_1_0_0_4", 9, true, false},
      {"store copy no longer older", "managed_1_0_0_9", 9, false, false},
      {"source not the chosen copy", "managed_1_0_0_4", 7, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MakeCopies(Fixture(c.store_copy), Fixture("managed_1_0_0_9"));
    PosixServices services = Services();
    services.HoldFolder(kStore);
    bool replaced = false;
    if (c.fails) {
      EXPECT_THROW(services.FileCopy(kLocalCopy, kStoreCopy, RevisionCheck(c.chosen), budget_),
                   ServiceError);
    } else {
      replaced = services.FileCopy(kLocalCopy, kStoreCopy, RevisionCheck(c.chosen), budget_);
      EXPECT_EQ(replaced, c.replaced);
    }
    EXPECT_EQ(ReadAll(root_ / kStoreBelowDrive / "Norvik_Studio.exe"),
              Fixture(replaced ? "managed_1_0_0_9" : c.store_copy));
    EXPECT_EQ(FolderEntries(root_ / kStoreBelowDrive),
              std::vector<std::string>{"Norvik_Studio.exe"});
  }
}

TEST_F(PosixServicesTest, FileCopyFromAnotherFileSystemCopiesByReading) {
  // The kernel does not copy between file systems; the replacement then reads and writes.
  const fs::path other = "/dev/shm";
  if (::access(other.c_str(), W_OK) != 0) GTEST_SKIP() << "no /dev/shm to copy from";
  const fs::path source = other / ("launcher-test-" + std::to_string(::getpid()) + ".exe");
  const std::string contents = Padded("managed_1_0_0_7", 3 << 20, 13);
  WriteAll(source, contents);
  WriteAll(root_ / "Norvik_Studio.exe", Fixture("managed_1_0_0_4"));
  PosixServices services = Services();
  EXPECT_TRUE(services.FileCopy(source, "C:\\Norvik_Studio.exe", RevisionCheck(7), budget_));
  fs::remove(source);
  EXPECT_EQ(ReadAll(root_ / "Norvik_Studio.exe"), contents);
  EXPECT_EQ(FolderEntries(root_), std::vector<std::string>{"Norvik_Studio.exe"});
}

TEST_F(PosixServicesTest, AMissingStoreFolderHoldsNoFilesAndIsNeverCreated) {
  PosixServices services = Services();
  fs::create_directories(root_ / "Brelvance" / "UpdateFile");
  fs::create_directories(root_ / "app");
  WriteAll(root_ / "app" / "Norvik_Studio.exe", Fixture("managed_1_0_0_9"));

  services.HoldFolder(kStore);
  EXPECT_FALSE(services.FileExists(kStoreCopy));
  EXPECT_THROW(services.GetFileVersion(kStoreCopy), ServiceError);
  services.RemoveStaleTemporaries(kStoreCopy);
  try {
    services.FileCopy(kLocalCopy, kStoreCopy, RevisionCheck(9), budget_);
    ADD_FAILURE() << "copied into a missing folder";
  } catch (const ServiceError& failure) {
    EXPECT_EQ(failure.system_text(), "the folder does not exist");
  }
  EXPECT_EQ(FolderEntries(root_ / "Brelvance" / "UpdateFile"), std::vector<std::string>{});

  // Made afterwards, by whoever, it is not the folder that was held.
  fs::create_directories(root_ / kStoreBelowDrive);
  WriteAll(root_ / kStoreBelowDrive / "Norvik_Studio.exe", Fixture("managed_1_0_0_4"));
  EXPECT_FALSE(services.FileExists(kStoreCopy));
  EXPECT_THROW(services.FileCopy(kLocalCopy, kStoreCopy, RevisionCheck(9), budget_), ServiceError);
  EXPECT_EQ(ReadAll(root_ / kStoreBelowDrive / "Norvik_Studio.exe"), Fixture("managed_1_0_0_4"));
}

TEST_F(PosixServicesTest, AStoreReachedThroughALinkIsNeitherReadNorWritten) {
  const struct {
    const char* link;  // below drive C:, pointing to the same place in a tree elsewhere
    bool hold_fails;
  } cases[] = {
      {"Brelvance", true},
      {"Brelvance/UpdateFile/10001000/0005", true},
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

    PosixServices services = Services();
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
    EXPECT_THROW(services.FileCopy(kStoreCopy, kLocalCopy, RevisionCheck(9), budget_),
                 ServiceError);
    EXPECT_THROW(services.FileCopy(kLocalCopy, kStoreCopy, RevisionCheck(7), budget_),
                 ServiceError);
    EXPECT_THROW(services.DeleteFile(kStoreCopy, true), ServiceError);
    services.RemoveStaleTemporaries(kStoreCopy);
    EXPECT_EQ(Tree(target), before);
    EXPECT_EQ(ReadAll(root_ / "app" / "Norvik_Studio.exe"), Fixture("managed_1_0_0_7"));
    EXPECT_EQ(FolderEntries(root_ / "app"), std::vector<std::string>{"Norvik_Studio.exe"});
  }
}

TEST_F(PosixServicesTest, AHeldStoreSwappedForALinkAfterwardsIsStillTheFolderHeld) {
  MakeCopies(Fixture("managed_1_0_0_4"), Fixture("managed_1_0_0_9"));
  fs::create_directories(root_ / "elsewhere");
  PosixServices services = Services();
  services.HoldFolder(kStore);
  fs::rename(root_ / kStoreBelowDrive, root_ / "Brelvance" / "held");
  fs::create_directory_symlink(root_ / "elsewhere", root_ / kStoreBelowDrive);

  EXPECT_EQ(services.GetFileVersion(kStoreCopy), "1.0.0.4");
  EXPECT_TRUE(services.FileCopy(kLocalCopy, kStoreCopy, RevisionCheck(9), budget_));
  EXPECT_EQ(ReadAll(root_ / "Brelvance" / "held" / "Norvik_Studio.exe"),
            Fixture("managed_1_0_0_9"));
  EXPECT_EQ(FolderEntries(root_ / "elsewhere"), std::vector<std::string>{});
}

TEST_F(PosixServicesTest, AStoreCopyCutShortIsNotCopied) {
  // Cut inside its last section, after the version record: the version still reads.
  std::string cut = Fixture("managed_1_0_0_7");
  WriteAll(root_ / "whole.exe", cut);
  PosixFile whole((root_ / "whole.exe").string(), "test");
  const std::optional<std::uint64_t> extent = PeImageExtent(whole);
  ASSERT_TRUE(extent);
  ASSERT_LE(*extent, cut.size());
  cut.resize(*extent - 1);
  MakeCopies(cut, Fixture("managed_1_0_0_4"));

  PosixServices services = Services();
  services.HoldFolder(kStore);
  ASSERT_EQ(services.GetFileVersion(kStoreCopy), "1.0.0.7");
  try {
    services.FileCopy(kStoreCopy, kLocalCopy, RevisionCheck(7), budget_);
    ADD_FAILURE() << "copied a cut image";
  } catch (const ServiceError& failure) {
    EXPECT_EQ(failure.system_text(), "not a whole program image");
  }
  EXPECT_EQ(ReadAll(root_ / "app" / "Norvik_Studio.exe"), Fixture("managed_1_0_0_4"));
  EXPECT_EQ(FolderEntries(root_ / "app"), std::vector<std::string>{"Norvik_Studio.exe"});
}

TEST_F(PosixServicesTest, AFolderWhereTheCopyBelongsIsNotReplaced) {
  MakeCopies(Fixture("managed_1_0_0_7"), "");
  fs::remove(root_ / "app" / "Norvik_Studio.exe");
  fs::create_directory(root_ / "app" / "Norvik_Studio.exe");
  PosixServices services = Services();
  services.HoldFolder(kStore);
  try {
    services.FileCopy(kStoreCopy, kLocalCopy, RevisionCheck(7), budget_);
    ADD_FAILURE() << "replaced a folder";
  } catch (const ServiceError& failure) {
    EXPECT_EQ(failure.system_text(), "not a regular file");
  }
  EXPECT_EQ(FolderEntries(root_ / "app"), std::vector<std::string>{"Norvik_Studio.exe"});
  EXPECT_TRUE(fs::is_directory(root_ / "app" / "Norvik_Studio.exe"));
}

TEST_F(PosixServicesTest, FileCopyFromAMissingSourceLeavesTheDestination) {
  PosixServices services = Services();
  WriteAll(root_ / "Norvik_Studio.exe", "old");
  EXPECT_THROW(
      services.FileCopy("C:\\gone.exe", "C:\\Norvik_Studio.exe", RevisionCheck(7), budget_),
      ServiceError);
  EXPECT_EQ(FolderEntries(root_), std::vector<std::string>{"Norvik_Studio.exe"});
  EXPECT_EQ(ReadAll(root_ / "Norvik_Studio.exe"), "old");
}

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
      Services().FileCopy("C:\\Norvik_Studio.exe", "C:\\app\\Norvik_Studio.exe", RevisionCheck(7),
                          budget_);
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

TEST_F(PosixServicesTest, RemoveStaleTemporariesTakesItsOwnFilesThatNoLauncherHolds) {
  MakeCopies("", "");
  const std::string stale = TemporaryNameFor("Norvik_Studio.exe", 1);
  const std::string fresh = TemporaryNameFor("Norvik_Studio.exe", 2);
  const std::string future = TemporaryNameFor("Norvik_Studio.exe", 3);
  const std::string other = TemporaryNameFor("Other.exe", 4);
  const std::string held = TemporaryNameFor("Norvik_Studio.exe", 5);
  const std::string minute = TemporaryNameFor("Norvik_Studio.exe", 6);
  PosixServices services = Services();
  services.HoldFolder(kStore);
  for (const std::string& copy : {kStoreCopy, kLocalCopy}) {
    SCOPED_TRACE(copy);
    const fs::path folder = root_ / fs::path(ToPosixPath(copy, "")).relative_path().parent_path();
    const auto now = fs::file_time_type::clock::now();
    for (const std::string& name : {stale, fresh, future, other, held, minute}) {
      WriteAll(folder / name, "x");
    }
    for (const std::string& name : {stale, other, held}) {
      fs::last_write_time(folder / name, now - std::chrono::hours(2));
    }
    fs::last_write_time(folder / minute, now - std::chrono::minutes(1));
    fs::last_write_time(folder / future, now + std::chrono::hours(2));
    // As a launcher holds the copy it writes.
    const int holder = ::open((folder / held).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_SH), 0);

    services.RemoveStaleTemporaries(copy);
    ::close(holder);
    std::vector<std::string> expected = {"Norvik_Studio.exe", fresh, held, other};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(FolderEntries(folder), expected);
  }
}

TEST_F(PosixServicesTest, GetFileVersionReadsPeFilesAndFailsOnWhatCannotBeRead) {
  PosixServices services = Services();
  fs::copy_file(std::string(FIXTURE_DIR) + "/managed_1_0_0_7.exe", root_ / "Nörvik Studio.exe");
  EXPECT_EQ(services.GetFileVersion("C:\\Nörvik Studio.exe"), "1.0.0.7");
  WriteAll(root_ / "notes.txt", "not a program");
  EXPECT_EQ(services.GetFileVersion("C:\\notes.txt"), "");
  EXPECT_THROW(services.GetFileVersion("C:\\missing.exe"), ServiceError);
  fs::create_directory(root_ / "folder.exe");
  EXPECT_THROW(services.GetFileVersion("C:\\folder.exe"), ServiceError);
  ASSERT_EQ(::mkfifo((root_ / "pipe.exe").c_str(), 0600), 0);
  EXPECT_THROW(services.GetFileVersion("C:\\pipe.exe"), ServiceError) << "and does not wait";
}

TEST_F(PosixServicesTest, ProbingAHugeCopyReadsOnlyAFewKiB) {
  fs::copy_file(std::string(FIXTURE_DIR) + "/managed_1_0_0_7.exe", root_ / "big.exe");
  fs::resize_file(root_ / "big.exe", std::uintmax_t{512} << 20);
  PosixFile big((root_ / "big.exe").string(), "GetFileVersion");
  CountingFile file(big);
  EXPECT_EQ(ReadPeFileVersion(file), "1.0.0.7");
  EXPECT_LT(file.bytes_read, 64u * 1024);
}

TEST_F(PosixServicesTest, LoadWindowIconAcceptsOnlyWellFormedIconFiles) {
  PosixServices services = Services();
  fs::copy_file(ICON_FILE, root_ / "Ostra.ico");
  EXPECT_NO_THROW(services.LoadWindowIcon("C:\\Ostra.ico"));
  EXPECT_THROW(services.LoadWindowIcon("C:\\missing.ico"), ServiceError);
  WriteAll(root_ / "bad.ico", "GIF89a");
  try {
    services.LoadWindowIcon("C:\\bad.ico");
    ADD_FAILURE() << "a text file was taken for an icon";
  } catch (const ServiceError& failure) {
    EXPECT_EQ(failure.operation(), "LoadWindowIcon");
    EXPECT_EQ(failure.system_text(), "not an icon file");
  }
}

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

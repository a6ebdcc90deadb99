#include "platform/posix/posix_services.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/pe_version_reader.h"
#include "platform/posix/posix_file.h"
#include "platform/replace_file.h"
#include "tests/counting_file.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// A fresh folder that stands for drive C:, removed afterwards.
class PosixServicesTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/launcher-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(root_);
  }

  PosixServices Services() { return PosixServices(root_.string()); }

  fs::path root_;
};

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
  fs::create_directories(root_ / "store");
  fs::create_directories(root_ / "app dir");
  WriteAll(root_ / "store" / "Norvik_Studio.exe", std::string(3 << 20, 'N'));
  fs::permissions(root_ / "store" / "Norvik_Studio.exe",
                  fs::perms::owner_read | fs::perms::owner_exec);
  WriteAll(root_ / "app dir" / "Norvik_Studio.exe", "old");
  fs::permissions(root_ / "app dir" / "Norvik_Studio.exe", fs::perms::owner_read);

  services.FileCopy("C:\\store\\Norvik_Studio.exe", "C:\\app dir\\Norvik_Studio.exe");
  EXPECT_EQ(ReadAll(root_ / "app dir" / "Norvik_Studio.exe"), std::string(3 << 20, 'N'));
  EXPECT_EQ(FolderEntries(root_ / "app dir"), std::vector<std::string>{"Norvik_Studio.exe"});
  EXPECT_NE(
      fs::status(root_ / "app dir" / "Norvik_Studio.exe").permissions() & fs::perms::owner_exec,
      fs::perms::none)
      << "the copy keeps the source's permission to run";
}

TEST_F(PosixServicesTest, FileCopyFromAnotherFileSystemCopiesByReading) {
  // The kernel does not copy between file systems; the replacement then reads and writes.
  const fs::path other = "/dev/shm";
  if (::access(other.c_str(), W_OK) != 0) GTEST_SKIP() << "no /dev/shm to copy from";
  const fs::path source = other / ("launcher-test-" + std::to_string(::getpid()) + ".exe");
  std::string contents;
  for (int i = 0; i < (3 << 20); ++i) contents += static_cast<char>(i * 13);
  WriteAll(source, contents);
  WriteAll(root_ / "Norvik_Studio.exe", "old");
  PosixServices services = Services();
  services.FileCopy("/dev/shm/" + source.filename().string(), "C:\\Norvik_Studio.exe");
  fs::remove(source);
  EXPECT_EQ(ReadAll(root_ / "Norvik_Studio.exe"), contents);
  EXPECT_EQ(FolderEntries(root_), std::vector<std::string>{"Norvik_Studio.exe"});
}

TEST_F(PosixServicesTest, FileCopyIntoAMissingFolderFailsAndCreatesNothing) {
  PosixServices services = Services();
  WriteAll(root_ / "Norvik_Studio.exe", "new");
  EXPECT_THROW(services.FileCopy("C:\\Norvik_Studio.exe",
                                 "C:\\Brelvance\\UpdateFile\\10001000\\0005\\Norvik_Studio.exe"),
               ServiceError);
  EXPECT_FALSE(fs::exists(root_ / "Brelvance"));
}

TEST_F(PosixServicesTest, FileCopyFromAMissingSourceLeavesTheDestination) {
  PosixServices services = Services();
  WriteAll(root_ / "Norvik_Studio.exe", "old");
  EXPECT_THROW(services.FileCopy("C:\\gone.exe", "C:\\Norvik_Studio.exe"), ServiceError);
  EXPECT_EQ(FolderEntries(root_), std::vector<std::string>{"Norvik_Studio.exe"});
  EXPECT_EQ(ReadAll(root_ / "Norvik_Studio.exe"), "old");
}

TEST_F(PosixServicesTest, ACopyCutShortByAFileSizeLimitLeavesTheOldCopyWhole) {
  fs::create_directories(root_ / "app");
  std::string old_copy;
  for (int i = 0; i < 100000; ++i) old_copy += static_cast<char>(i * 7);
  WriteAll(root_ / "app" / "Norvik_Studio.exe", old_copy);
  WriteAll(root_ / "Norvik_Studio.exe", std::string(4 << 20, 'N'));

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1 << 20, 1 << 20};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      Services().FileCopy("C:\\Norvik_Studio.exe", "C:\\app\\Norvik_Studio.exe");
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

TEST_F(PosixServicesTest, FileCopyRemovesOnlyStaleTemporariesOfItsOwnFile) {
  PosixServices services = Services();
  WriteAll(root_ / "src.exe", "new");
  const std::string stale = TemporaryNameFor("Norvik_Studio.exe", 1);
  const std::string fresh = TemporaryNameFor("Norvik_Studio.exe", 2);
  const std::string other = TemporaryNameFor("Other.exe", 3);
  for (const std::string& name : {stale, fresh, other}) WriteAll(root_ / name, "left over");
  const auto two_hours_ago = fs::file_time_type::clock::now() - std::chrono::hours(2);
  fs::last_write_time(root_ / stale, two_hours_ago);
  fs::last_write_time(root_ / other, two_hours_ago);

  services.FileCopy("C:\\src.exe", "C:\\Norvik_Studio.exe");
  std::vector<std::string> expected = {"Norvik_Studio.exe", "src.exe", fresh, other};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(FolderEntries(root_), expected);
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

#include "os/posix/posix_disk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/replace/disk_replace_steps.h"
#include "core/replace/replace_file.h"
#include "launch/copy_reconciliation.h"
#include "os/posix/posix_folder.h"
#include "os/posix/posix_test_drive.h"

namespace launcher {
namespace {

// The steps over the POSIX disk on their own, over no held folder.
class PosixDiskTest : public PosixServicesTest {
 protected:
  PosixDisk disk_{std::make_shared<HeldFolders>(), "FileCopy"};
  DiskReplaceSteps steps_{disk_};
};

TEST_F(PosixDiskTest, TellWhatIsAtAPathWithoutFollowingLinks) {
  WriteAll(root_ / "copy.exe", Fixture("managed_1_0_0_7"));
  fs::create_directory(root_ / "folder.exe");
  fs::create_symlink(root_ / "copy.exe", root_ / "link.exe");
  using Kind = ReplaceSteps::FileKind;
  const struct {
    const char* name;
    Kind kind;
    const char* version;
  } cases[] = {
      {"copy.exe", Kind::kRegular, "1.0.0.7"},
      {"missing.exe", Kind::kMissing, ""},
      {"no folder/missing.exe", Kind::kMissing, ""},
      {"folder.exe", Kind::kOther, nullptr},  // its version is not asked for
      {"link.exe", Kind::kOther, "1.0.0.7"},  // a link outside a held folder is read through
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (root_ / c.name).string();
    EXPECT_EQ(steps_.KindOf(path), c.kind);
    EXPECT_EQ(steps_.EmbeddedPublisher(path), std::nullopt);
    EXPECT_EQ(steps_.PinningPublisher(path), std::nullopt);
    if (c.version != nullptr) {
      EXPECT_EQ(steps_.VersionOf(path), c.version);
    }
  }
}

TEST_F(PosixDiskTest, ATemporaryIsWrittenCheckedAndMovedBesideItsDestination) {
  const std::string contents = Padded("managed_1_0_0_7", 1 << 20, 5);
  WriteAll(root_ / "source.exe", contents);
  fs::permissions(root_ / "source.exe", fs::perms(0750));
  fs::create_directory(root_ / "app");
  const std::string destination = (root_ / "app" / "Norvik_Studio.exe").string();
  WriteAll(destination, "old");

  const std::unique_ptr<SourceFile> source = steps_.OpenSource((root_ / "source.exe").string());
  EXPECT_EQ(source->Size(), contents.size());
  EXPECT_EQ(source->ImageExtent(), Fixture("managed_1_0_0_7").size());
  const std::unique_ptr<TemporaryCopy> temporary = steps_.CreateTemporary(destination);
  const std::vector<std::string> entries = FolderEntries(root_ / "app");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(IsTemporaryNameFor(entries[1], "Norvik_Studio.exe")) << entries[1];
  EXPECT_EQ(fs::file_size(root_ / "app" / entries[1]), 0u);
  EXPECT_EQ(fs::status(root_ / "app" / entries[1]).permissions(), fs::perms(0600));

  temporary->CopyFrom(*source);
  EXPECT_EQ(temporary->Size(), contents.size());
  EXPECT_EQ(temporary->Version(), "1.0.0.7");
  const Verification verification = source->VerifiedPublisher();
  EXPECT_FALSE(verification.verified);
  EXPECT_EQ(verification.problem, "no signature verifier on this system");
  EXPECT_TRUE(source->Unchanged());
  temporary->MoveOver(destination);
  temporary->Discard();
  EXPECT_EQ(ReadAll(destination), contents);
  EXPECT_EQ(FolderEntries(root_ / "app"), std::vector<std::string>{"Norvik_Studio.exe"});
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(fs::status(destination).permissions(), fs::perms(0750 & ~mask));

  steps_.CreateTemporary(destination)->Discard();
  EXPECT_EQ(FolderEntries(root_ / "app"), std::vector<std::string>{"Norvik_Studio.exe"});
}

// A source with no permission bits at all (which only root can read) gives its copy none either.
TEST_F(PosixDiskTest, ACopyOfAFileWithoutPermissionsHasNoneEither) {
  const std::unique_ptr<NewDiskFile> file = disk_.CreateNew((root_ / "new.exe").string());
  ASSERT_NE(file, nullptr);
  file->Finish(0);
  EXPECT_EQ(fs::status(root_ / "new.exe").permissions(), fs::perms::none);
  file->Discard();
}

TEST_F(PosixDiskTest, ASourceWrittenAfterItWasOpenedIsNotUnchanged) {
  const std::string path = (root_ / "source.exe").string();
  const struct {
    const char* name;
    void (*change)(const std::string& path);
    bool unchanged;
  } cases[] = {
      {"left alone", [](const std::string&) {}, true},
      {"appended to", [](const std::string& p) { std::ofstream(p, std::ios::app) << "more"; },
       false},
      {"rewritten in place, a nanosecond later",
       [](const std::string& p) {
         struct stat info {};
         ASSERT_EQ(::stat(p.c_str(), &info), 0);
         timespec times[2] = {info.st_atim, info.st_mtim};
         times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
         ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(path, Fixture("managed_1_0_0_7"));
    const std::unique_ptr<SourceFile> source = steps_.OpenSource(path);
    c.change(path);
    EXPECT_EQ(source->Unchanged(), c.unchanged);
  }
}

// Steps whose source is written in place, keeping its size, just after it is opened: another
// process still writing it.
class RewrittenSourceSteps : public DiskReplaceSteps {
 public:
  using DiskReplaceSteps::DiskReplaceSteps;
  std::unique_ptr<SourceFile> OpenSource(const std::string& path) override {
    std::unique_ptr<SourceFile> source = DiskReplaceSteps::OpenSource(path);
    const int descriptor = ::open(path.c_str(), O_WRONLY);
    const timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 5, 0}};
    EXPECT_EQ(::pwrite(descriptor, "?", 1, static_cast<off_t>(source->Size() - 1)), 1);
    EXPECT_EQ(::futimens(descriptor, later), 0);
    ::close(descriptor);
    return source;
  }
};

TEST_F(PosixDiskTest, ASourceThatChangesWhileItIsCopiedIsRefused) {
  WriteAll(root_ / "source.exe", Padded("managed_1_0_0_7", 1 << 20, 5));
  WriteAll(root_ / "Norvik_Studio.exe", Fixture("managed_1_0_0_4"));
  RewrittenSourceSteps steps(disk_);
  try {
    ReplaceWithCopy(steps, (root_ / "source.exe").string(), (root_ / "Norvik_Studio.exe").string(),
                    RevisionCheck(7), budget_);
    ADD_FAILURE() << "a changing source was copied";
  } catch (const ServiceError& failure) {
    EXPECT_EQ(failure.system_text(), "the file changed while it was copied");
  }
  EXPECT_EQ(ReadAll(root_ / "Norvik_Studio.exe"), Fixture("managed_1_0_0_4"));
  EXPECT_EQ(FolderEntries(root_), (std::vector<std::string>{"Norvik_Studio.exe", "source.exe"}));
}

}  // namespace
}  // namespace launcher

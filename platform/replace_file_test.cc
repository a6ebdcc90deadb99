#include "platform/replace_file.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "platform/services.h"

namespace launcher {
namespace {

// Replacement steps over in-memory files with Windows' rules: a read-only file or one in use
// cannot be moved over. Any step can be made to fail.
class WindowsLikeSteps : public ReplaceSteps {
 public:
  struct File {
    std::string contents;
    bool read_only = false;
  };
  std::map<std::string, File> files;
  std::set<std::string> in_use;
  std::string failing_step;
  std::vector<std::string> steps;

  void RemoveStaleTemporaries(const std::string& destination) override {
    Step("RemoveStaleTemporaries", destination);
  }
  std::string WriteTemporaryCopy(const std::string& source,
                                 const std::string& destination) override {
    Step("WriteTemporaryCopy", destination);
    const std::string temporary =
        FolderOf(destination) + "\\" + TemporaryNameFor(FileNameOf(destination), steps.size());
    files[temporary] = {files.at(source).contents, false};
    return temporary;
  }
  bool ClearReadOnly(const std::string& path) override {
    Step("ClearReadOnly", path);
    const auto file = files.find(path);
    if (file == files.end() || !file->second.read_only) return false;
    file->second.read_only = false;
    return true;
  }
  void RestoreReadOnly(const std::string& path) override {
    steps.push_back("RestoreReadOnly");
    files.at(path).read_only = true;
  }
  void MoveOver(const std::string& from, const std::string& to) override {
    Step("MoveOver", to);
    const auto target = files.find(to);
    if (target != files.end() && (target->second.read_only || in_use.count(to))) {
      throw ServiceError("FileCopy", to, "Access denied.");
    }
    files[to] = files.at(from);
    files.erase(from);
  }
  void RemoveQuietly(const std::string& path) override {
    steps.push_back("RemoveQuietly");
    files.erase(path);
  }

 private:
  void Step(const std::string& name, const std::string& path) {
    steps.push_back(name);
    if (name == failing_step) throw ServiceError("FileCopy", path, "injected failure");
  }
};

const std::string kSource = "C:\\store\\Norvik_Studio.exe";
const std::string kDestination = "C:\\app\\Norvik_Studio.exe";

WindowsLikeSteps OldAndNew(bool read_only_destination) {
  WindowsLikeSteps steps;
  steps.files[kSource] = {"new", false};
  steps.files[kDestination] = {"old", read_only_destination};
  return steps;
}

TEST(ReplaceWithCopy, ReplacesAReadOnlyDestinationWhichWindowsWouldNotMoveOver) {
  WindowsLikeSteps steps = OldAndNew(true);
  ReplaceWithCopy(steps, kSource, kDestination);
  EXPECT_EQ(steps.files.at(kDestination).contents, "new");
  EXPECT_EQ(steps.files.size(), 2u) << "no temporary file remains";
}

TEST(ReplaceWithCopy, CreatesAMissingDestination) {
  WindowsLikeSteps steps = OldAndNew(false);
  steps.files.erase(kDestination);
  ReplaceWithCopy(steps, kSource, kDestination);
  EXPECT_EQ(steps.files.at(kDestination).contents, "new");
  EXPECT_EQ(steps.files.size(), 2u);
}

TEST(ReplaceWithCopy, AFailureAtAnyStepLeavesTheDestinationAsItWasAndNoTemporary) {
  for (const bool read_only : {false, true}) {
    for (const char* failing :
         {"RemoveStaleTemporaries", "WriteTemporaryCopy", "ClearReadOnly", "MoveOver"}) {
      SCOPED_TRACE(std::string(failing) + (read_only ? ", read-only" : ""));
      WindowsLikeSteps steps = OldAndNew(read_only);
      steps.failing_step = failing;
      EXPECT_THROW(ReplaceWithCopy(steps, kSource, kDestination), ServiceError);
      EXPECT_EQ(steps.files.at(kDestination).contents, "old");
      EXPECT_EQ(steps.files.at(kDestination).read_only, read_only);
      EXPECT_EQ(steps.files.size(), 2u);
    }
  }
}

TEST(ReplaceWithCopy, ADestinationInUseKeepsItsReadOnlyMark) {
  WindowsLikeSteps steps = OldAndNew(true);
  steps.in_use.insert(kDestination);
  EXPECT_THROW(ReplaceWithCopy(steps, kSource, kDestination), ServiceError);
  EXPECT_EQ(steps.files.at(kDestination).contents, "old");
  EXPECT_TRUE(steps.files.at(kDestination).read_only);
  EXPECT_EQ(steps.files.size(), 2u);
}

TEST(TemporaryNames, AreRecognisedOnlyForTheirOwnFile) {
  const std::string name = TemporaryNameFor("Norvik_Studio.exe", 0x0123456789abcdefull);
  EXPECT_EQ(name, "~Norvik_Studio.exe.0123456789abcdef.tmp");
  EXPECT_TRUE(IsTemporaryNameFor(name, "Norvik_Studio.exe"));
  for (const char* other :
       {"Norvik_Studio.exe", "~Norvik_Studio.exe.0123456789abcdef.tm",
        "~Norvik_Studio.exe.0123456789abcdeg.tmp", "~Norvik_Studio.exe.0123456789abcdef0.tmp",
        "~Other.exe.0123456789abcdef.tmp", "~Norvik_Studio.exe..tmp"}) {
    EXPECT_FALSE(IsTemporaryNameFor(other, "Norvik_Studio.exe")) << other;
  }
  EXPECT_NE(TemporaryNameFor("a", 1), TemporaryNameFor("a", 2));
}

TEST(PathParts, SplitAtTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(FolderOf("C:\\a b\\c.exe"), "C:\\a b");
  EXPECT_EQ(FileNameOf("C:\\a b\\c.exe"), "c.exe");
  EXPECT_EQ(FolderOf("/srv/x/c.exe"), "/srv/x");
  EXPECT_EQ(FolderOf("/c.exe"), "/");
  EXPECT_EQ(FolderOf("c.exe"), ".");
  EXPECT_EQ(FileNameOf("c.exe"), "c.exe");
}

}  // namespace
}  // namespace launcher

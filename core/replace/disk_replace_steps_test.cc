#include "core/replace/disk_replace_steps.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/fake_signature.h"
#include "tests/memory_file.h"
#include "tests/pe_fixture.h"

namespace launcher {
namespace {

const SubjectName kPublisherA = FakeName("Norvik Test Publisher A");

// A disk in memory whose system decodes a signature by looking its bytes up.
class ScriptedDisk : public Disk {
 public:
  std::map<std::string, std::string> files;
  std::map<std::string, FakeSignature> decodes;  // by signature bytes; others are undecodable
  bool verifies = true;
  std::string create_fails;       // CreateNew fails with this text; else every name is taken
  std::string random_fails;       // RandomNumber fails with this text
  std::vector<FileCheck> checks;  // of each signature decoded

  ReplaceSteps::FileKind KindOf(const std::string& path) override {
    return files.count(path) ? ReplaceSteps::FileKind::kRegular : ReplaceSteps::FileKind::kMissing;
  }
  bool VerifiesSignatures() const override { return verifies; }
  std::unique_ptr<DiskFile> OpenToRead(const std::string& path) override {
    return std::make_unique<File>(*this, files.at(path));
  }
  std::unique_ptr<RandomAccessFile> OpenIfPresent(const std::string& path) override {
    return files.count(path) ? std::make_unique<MemoryFile>(files.at(path)) : nullptr;
  }
  std::unique_ptr<NewDiskFile> CreateNew(const std::string& path) override {
    if (!create_fails.empty()) throw ServiceError("FileCopy", path, create_fails);
    return nullptr;
  }
  std::uint64_t RandomNumber() override {
    if (!random_fails.empty()) throw ServiceError("FileCopy", "", random_fails);
    return 7;
  }
  void CheckCanCreateIn(const std::string& /*destination*/) override {}
  bool ClearReadOnly(const std::string& /*path*/) override { return false; }
  void RestoreReadOnly(const std::string& /*path*/) override {}
  void Pause(int /*milliseconds*/) override {}
  Listing ListFiles(const std::string& /*path*/, const std::string& /*pattern*/) override {
    return {};
  }
  void RemoveUnheld(const std::string& /*path*/) override {}

 private:
  class File : public DiskFile {
   public:
    File(ScriptedDisk& disk, const std::string& bytes) : disk_(disk), bytes_(bytes) {}
    std::uint64_t Size() const override { return bytes_.Size(); }
    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
      return bytes_.ReadAt(offset, buffer, length);
    }
    std::unique_ptr<SignedMessage> DecodeSignature(const Bytes& signature,
                                                   FileCheck check) override {
      disk_.checks.push_back(check);
      const auto found = disk_.decodes.find(std::string(signature.begin(), signature.end()));
      if (found == disk_.decodes.end()) throw Undecodable("it is not a PKCS#7 signature");
      return std::make_unique<FakeSignedMessage>(found->second);
    }
    bool Unchanged() override { return true; }
    std::uint32_t Permissions() const override { return 0; }

   private:
    ScriptedDisk& disk_;
    MemoryFile bytes_;
  };
};

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(DiskReplaceSteps, JudgeWhatTheSystemDecodesByTheRules) {
  ScriptedDisk disk;
  const std::string sound = Text(Der(0x30, {'s'}));
  const std::string untrusted = Text(Der(0x30, {'u'}));
  FakeSignature by_a;
  by_a.subject = kPublisherA;
  disk.decodes[sound] = disk.decodes[sound + "junkjunk"] = disk.decodes[untrusted] = by_a;
  disk.decodes[untrusted].chain_errors_now = chain_error::kUntrustedRoot;
  const struct {
    const char* name;
    std::string bytes;
    bool verifier;
    std::optional<std::string> named;  // "!": the signer cannot be read
    bool pins;
    const char* problem;  // empty: verified
  } cases[] = {
      {"unsigned", Fixture("managed_1_0_0_7"), true, std::nullopt, false, "the file is not signed"},
      {"sound", SignedFixture("managed_1_0_0_7", sound), true, kPublisherA.text, true, ""},
      {"undecodable", SignedFixture("managed_1_0_0_7", Text(Der(0x30, {'x'}))), true, "!", false,
       "its signature cannot be read: it is not a PKCS#7 signature"},
      {"under a root nobody trusts", SignedFixture("managed_1_0_0_7", untrusted), true,
       kPublisherA.text, false, "the root is not trusted"},
      {"something riding along", SignedFixture("managed_1_0_0_7", sound + "junkjunk"), true,
       kPublisherA.text, true, "alone"},
      {"on a system without a verifier", SignedFixture("managed_1_0_0_7", sound), false,
       std::nullopt, false, "no signature verifier on this system"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    disk.files["C:\\copy.exe"] = c.bytes;
    disk.verifies = c.verifier;
    DiskReplaceSteps steps(disk);
    if (c.named == "!") {
      EXPECT_THROW(steps.EmbeddedPublisher("C:\\copy.exe"), ServiceError);
    } else {
      const std::optional<SubjectName> named = steps.EmbeddedPublisher("C:\\copy.exe");
      EXPECT_EQ(named ? std::optional<std::string>(named->text) : std::nullopt, c.named);
    }
    disk.checks.clear();
    EXPECT_EQ(steps.PinningPublisher("C:\\copy.exe").has_value(), c.pins);
    if (!disk.checks.empty()) {
      EXPECT_EQ(disk.checks.back(), FileCheck::kDigestOnly);
    }
    disk.checks.clear();
    const Verification verdict = steps.OpenSource("C:\\copy.exe")->VerifiedPublisher();
    EXPECT_EQ(verdict.verified, std::string(c.problem).empty()) << verdict.problem;
    EXPECT_NE(verdict.problem.find(c.problem), std::string::npos) << verdict.problem;
    if (!disk.checks.empty()) {
      EXPECT_EQ(disk.checks.back(), FileCheck::kFull);
    }
  }
}

TEST(DiskReplaceSteps, ATemporarysFailuresNameItsDestination) {
  const struct {
    const char* name;
    std::string create_fails;
    std::string random_fails;
    const char* text;
  } cases[] = {
      {"every fresh name taken", "", "", "every fresh name"},
      {"the folder refuses", "Access is denied.", "", "Access is denied."},
      {"no random number", "", "The device does not work.", "The device does not work."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDisk disk;
    disk.create_fails = c.create_fails;
    disk.random_fails = c.random_fails;
    DiskReplaceSteps steps(disk);
    try {
      steps.CreateTemporary("C:\\app\\Norvik_Studio.exe");
      ADD_FAILURE() << "a temporary was created";
    } catch (const ServiceError& failure) {
      EXPECT_EQ(failure.path(), "C:\\app\\Norvik_Studio.exe");
      EXPECT_NE(failure.system_text().find(c.text), std::string::npos) << failure.what();
    }
  }
}

}  // namespace
}  // namespace launcher

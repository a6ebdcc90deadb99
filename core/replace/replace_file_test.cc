#include "core/replace/replace_file.h"

#include <gtest/gtest.h>

#include "core/hold_retry.h"
#include "tests/memory_disk.h"

namespace launcher {
namespace {

// The launcher's check as the replacement asks it, for a copy chosen at version 1.0.0.`chosen`
// (every version here is 1.0.0.N with N one digit): into the store, a cut destination is left
// alone and only a trusted signature pins.
class RevisionCheck : public CopyCheck {
 public:
  enum class Into { kLocalFolder, kUpdateStore };
  explicit RevisionCheck(int chosen, Into into = Into::kLocalFolder)
      : chosen_("1.0.0." + std::to_string(chosen)), into_(into) {}
  bool IsChosenCopy(const std::string& version) const override { return version == chosen_; }
  bool IsOlder(const std::string& version) const override { return version < chosen_; }
  bool LeavesCutDestination() const override { return into_ == Into::kUpdateStore; }
  bool PinsOnlyTrustedSignature() const override { return into_ == Into::kUpdateStore; }

 private:
  std::string chosen_;
  Into into_;
};

const std::string kSource = "C:\\store\\Norvik_Studio.exe";
const std::string kDestination = "C:\\app\\Norvik_Studio.exe";
const SubjectName kPublisherA = FakeName("Norvik Test Publisher A");
const SubjectName kPublisherB = FakeName("Norvik Test Publisher B");
// A's name from a CA that encodes it as PrintableString, which the system renders otherwise.
const SubjectName kPublisherAPrintable = {FakeName("Norvik Test Publisher A", kPrintableString).der,
                                          "CN=\"Norvik Test Publisher A\""};
const SubjectName kPublisherANul = FakeName(std::string("Norvik Test Publisher A\0planted", 31));

MemoryDisk OldAndNew(MemoryDiskFile old_copy = {"old", "1.0.0.4"},
                     MemoryDiskFile new_copy = {"new", "1.0.0.7"}) {
  MemoryDisk disk;
  disk.files[kSource] = std::move(new_copy);
  disk.files[kDestination] = std::move(old_copy);
  return disk;
}

bool Replace(MemoryDisk& disk, const CopyCheck& check) {
  HoldRetry retry = BudgetOf(disk);
  return ReplaceWithCopy(disk, kSource, kDestination, check, retry);
}

MemoryDiskFile Signed(const std::string& contents, const std::string& version,
                      const SubjectName& publisher, bool verifies = true) {
  MemoryDiskFile file{contents, version};
  file.publisher = publisher;
  file.verifies = verifies;
  return file;
}

TEST(ReplaceWithCopy, KeepsEveryRuleInEitherDirection) {
  enum Outcome { kReplaced, kRefusedUncopied, kRefusedAfterCopy, kLeftAlone };
  constexpr RevisionCheck::Into kStore = RevisionCheck::Into::kUpdateStore;
  const auto folder = [] {
    MemoryDiskFile f;
    f.folder = true;
    return f;
  };
  const auto cut = [] {
    MemoryDiskFile f{"new", "1.0.0.7"};
    f.whole = false;
    return f;
  };
  const struct {
    const char* name;
    std::optional<MemoryDiskFile> old_copy;  // nullopt: no destination yet
    MemoryDiskFile new_copy;
    void (*prepare)(MemoryDisk&);
    Outcome expected;
    RevisionCheck::Into into = RevisionCheck::Into::kLocalFolder;
  } cases[] = {
      {"unsigned by unsigned",
       MemoryDiskFile{"old", "1.0.0.4"},
       {"new", "1.0.0.7"},
       nullptr,
       kReplaced},
      {"unsigned by signed", MemoryDiskFile{"old", "1.0.0.4"},
       Signed("new", "1.0.0.7", kPublisherB), nullptr, kReplaced},
      {"missing by unsigned", std::nullopt, {"new", "1.0.0.7"}, nullptr, kReplaced},
      {"A by A", Signed("old", "1.0.0.4", kPublisherA), Signed("new", "1.0.0.7", kPublisherA),
       nullptr, kReplaced},
      {"A whose signature no longer verifies by A", Signed("old", "1.0.0.4", kPublisherA, false),
       Signed("new", "1.0.0.7", kPublisherA), nullptr, kReplaced},
      {"A by A renewed, its name as PrintableString", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherAPrintable), nullptr, kReplaced},
      {"A as PrintableString by A", Signed("old", "1.0.0.4", kPublisherAPrintable),
       Signed("new", "1.0.0.7", kPublisherA), nullptr, kReplaced},
      {"A by A's name with a NUL and more", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherANul), nullptr, kRefusedUncopied},
      {"A by unsigned",
       Signed("old", "1.0.0.4", kPublisherA),
       {"new", "1.0.0.7"},
       nullptr,
       kRefusedUncopied},
      {"A by B", Signed("old", "1.0.0.4", kPublisherA), Signed("new", "1.0.0.7", kPublisherB),
       nullptr, kRefusedUncopied},
      {"A by A's name that does not verify", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherA, false), nullptr, kRefusedUncopied},
      {"A by a copy swapped for B's after its signer was read",
       Signed("old", "1.0.0.4", kPublisherA), Signed("new", "1.0.0.7", kPublisherA),
       [](MemoryDisk& d) { d.files[kSource].verified_as = kPublisherB; }, kRefusedUncopied},
      {"A by A's signature transplanted", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherA),
       [](MemoryDisk& d) { d.files[kSource].signature.message_digest_matches = false; },
       kRefusedUncopied},
      {"A by A's name on a certificate for TLS only", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherA),
       [](MemoryDisk& d) {
         d.files[kSource].signature.chain_errors_now = chain_error::kNotValidForUsage;
       },
       kRefusedUncopied},
      {"A by A expired, no timestamp", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherA),
       [](MemoryDisk& d) {
         d.files[kSource].signature.chain_errors_now = chain_error::kNotTimeValid;
       },
       kRefusedUncopied},
      {"A by A expired, timestamped while it was valid", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherA),
       [](MemoryDisk& d) {
         FakeSignature& s = d.files[kSource].signature;
         s.chain_errors_now = chain_error::kNotTimeValid;
         s.then = 13380260645LL * 10000000;
         s.timestamp = FakeTimestamp{TstInfo("20250102030405Z")};
       },
       kReplaced},
      {"A by A with a bad file digest", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherA),
       [](MemoryDisk& d) { d.files[kSource].signature.file_problem = "bad digest"; },
       kRefusedUncopied},
      {"A with an unreadable signature by unsigned", Signed("old", "1.0.0.4", kPublisherA),
       MemoryDiskFile{"new", "1.0.0.7"},
       [](MemoryDisk& d) { d.files[kDestination].signature_readable = false; }, kRefusedUncopied},
      {"A with an unreadable signature by A", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherA),
       [](MemoryDisk& d) { d.files[kDestination].signature_readable = false; }, kRefusedUncopied},
      {"A by A with an unreadable signature", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherA),
       [](MemoryDisk& d) { d.files[kSource].signature_readable = false; }, kRefusedUncopied},
      {"A self-signed by B", Signed("old", "1.0.0.4", kPublisherA, false),
       Signed("new", "1.0.0.7", kPublisherB), nullptr, kRefusedUncopied},
      {"store: A self-signed by B", Signed("old", "1.0.0.4", kPublisherA, false),
       Signed("new", "1.0.0.7", kPublisherB), nullptr, kReplaced, kStore},
      {"store: A with an unreadable signature by B", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherB),
       [](MemoryDisk& d) { d.files[kDestination].signature_readable = false; }, kReplaced, kStore},
      {"store: A by B", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherB), nullptr, kRefusedUncopied, kStore},
      {"store: A expired by B", Signed("old", "1.0.0.4", kPublisherA),
       Signed("new", "1.0.0.7", kPublisherB),
       [](MemoryDisk& d) {
         d.files[kDestination].signature.chain_errors_now = chain_error::kNotTimeValid;
       },
       kRefusedUncopied, kStore},
      {"a folder by unsigned", folder(), {"new", "1.0.0.7"}, nullptr, kRefusedUncopied},
      {"unsigned by a cut image", MemoryDiskFile{"old", "1.0.0.4"}, cut(), nullptr,
       kRefusedUncopied},
      {"unsigned by a file being written",
       MemoryDiskFile{"old", "1.0.0.4"},
       {"new", "1.0.0.7"},
       [](MemoryDisk& d) { d.being_written.insert(kSource); },
       kRefusedUncopied},
      {"unsigned by a file changing while copied",
       MemoryDiskFile{"old", "1.0.0.4"},
       {"new", "1.0.0.7"},
       [](MemoryDisk& d) { d.changing.insert(kSource); },
       kRefusedAfterCopy},
      {"unsigned by another version than probed",
       MemoryDiskFile{"old", "1.0.0.4"},
       {"new", "1.0.0.8"},
       nullptr,
       kRefusedAfterCopy},
      {"unsigned made newer meanwhile by another launcher",
       MemoryDiskFile{"old", "1.0.0.4"},
       {"new", "1.0.0.7"},
       [](MemoryDisk& d) {
         d.while_copying = [&d] { d.files[kDestination] = {"other", "1.0.0.9"}; };
       },
       kLeftAlone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RevisionCheck check(7, c.into);
    MemoryDisk disk;
    disk.files[kSource] = c.new_copy;
    if (c.old_copy) disk.files[kDestination] = *c.old_copy;
    if (c.prepare) c.prepare(disk);
    const auto before = disk.files.count(kDestination) ? disk.files.at(kDestination).contents
                                                       : std::string("<missing>");
    switch (c.expected) {
      case kReplaced: {
        bool replaced = false;
        EXPECT_NO_THROW(replaced = Replace(disk, check));  // a refusal names the case
        EXPECT_TRUE(replaced);
        EXPECT_EQ(disk.files.at(kDestination).contents, "new");
        break;
      }
      case kLeftAlone:
        EXPECT_FALSE(Replace(disk, check));
        EXPECT_EQ(disk.files.at(kDestination).contents, "other");
        break;
      case kRefusedUncopied:
      case kRefusedAfterCopy:
        EXPECT_THROW(Replace(disk, check), ServiceError);
        EXPECT_EQ(disk.files.count(kDestination) ? disk.files.at(kDestination).contents
                                                 : std::string("<missing>"),
                  before);
        EXPECT_EQ(disk.temporaries_created, c.expected == kRefusedUncopied ? 0 : 1)
            << "a refusal known before copying writes nothing";
        break;
    }
    EXPECT_EQ(disk.files.at(kSource).contents, c.new_copy.contents);
    EXPECT_TRUE(disk.Temporaries().empty());
  }
}

TEST(ReplaceWithCopy, ARefusalShowsBothNamesWhole) {
  // Named by the signature read before the copy, or by the verifier after a swap.
  for (const bool swapped : {false, true}) {
    SCOPED_TRACE(swapped ? "swapped" : "named");
    MemoryDisk disk = OldAndNew(Signed("old", "1.0.0.4", kPublisherA),
                                Signed("new", "1.0.0.7", swapped ? kPublisherA : kPublisherANul));
    if (swapped) disk.files[kSource].verified_as = kPublisherANul;
    try {
      Replace(disk, RevisionCheck(7));
      ADD_FAILURE() << "replaced";
    } catch (const ServiceError& refusal) {
      EXPECT_NE(
          std::string(refusal.what())
              .find("signed by \"CN=Norvik Test Publisher A\\x00planted\", not by \"CN=Norvik "
                    "Test Publisher A\""),
          std::string::npos)
          << refusal.what();
    }
  }
}

// Wine moves over read-only files, so this fake, which refuses like Windows, is what guards the
// rule; the Wine scenario of a read-only older copy cannot tell.
TEST(ReplaceWithCopy, ReplacesAReadOnlyDestinationWhichWindowsWouldNotMoveOver) {
  MemoryDisk disk = OldAndNew({"old", "1.0.0.4", true});
  EXPECT_TRUE(Replace(disk, RevisionCheck(7)));
  EXPECT_EQ(disk.files.at(kDestination).contents, "new");
  EXPECT_TRUE(disk.Temporaries().empty());
}

TEST(ReplaceWithCopy, AFailureAtAnyStepLeavesTheDestinationAsItWasAndNoTemporary) {
  for (const bool read_only : {false, true}) {
    for (const char* failing :
         {"KindOf", "EmbeddedPublisher", "OpenSource", "ImageExtent", "CreateTemporary", "CopyFrom",
          "CloseForWriting", "Unchanged", "VerifiedPublisher", "VersionOf", "ClearReadOnly",
          "MoveOver", "part-way through the write"}) {
      SCOPED_TRACE(std::string(failing) + (read_only ? ", read-only" : ""));
      MemoryDiskFile old_copy = Signed("old", "1.0.0.4", kPublisherA);
      old_copy.read_only = read_only;
      MemoryDisk disk = OldAndNew(old_copy, Signed("new bytes", "1.0.0.7", kPublisherA));
      disk.failing_step = failing;
      if (disk.failing_step == "part-way through the write") disk.write_fails_after = 3;
      EXPECT_THROW(Replace(disk, RevisionCheck(7)), ServiceError);
      EXPECT_EQ(disk.files.at(kDestination).contents, "old");
      EXPECT_EQ(disk.files.at(kDestination).read_only, read_only);
      EXPECT_TRUE(disk.Temporaries().empty());
    }
  }
}

TEST(ReplaceWithCopy, ADestinationInUseKeepsItsReadOnlyMark) {
  MemoryDisk disk = OldAndNew({"old", "1.0.0.4", true});
  disk.in_use.insert(kDestination);
  EXPECT_THROW(Replace(disk, RevisionCheck(7)), ServiceError);
  EXPECT_EQ(disk.files.at(kDestination).contents, "old");
  EXPECT_TRUE(disk.files.at(kDestination).read_only);
  EXPECT_TRUE(disk.Temporaries().empty());
}

TEST(ReplaceWithCopy, TriesAHeldCopyOrDestinationAgainWithinTheBound) {
  const struct {
    const char* step;
    int held;  // times the step fails as held before it succeeds
    bool replaced;
    RevisionCheck::Into into = RevisionCheck::Into::kLocalFolder;
  } cases[] = {
      {"MoveOver", 1, true},
      {"MoveOver", 5, true},
      {"MoveOver", 1000, false},
      {"CloseForWriting", 2, true},
      {"CloseForWriting", 1000, false},
      {"EmbeddedPublisher", 2, true},  // the destination's signer
      {"PinningPublisher", 2, true, RevisionCheck::Into::kUpdateStore},
  };
  for (const bool read_only : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.step) + " held " + std::to_string(c.held) +
                   (read_only ? ", read-only" : ""));
      MemoryDisk disk = OldAndNew({"old", "1.0.0.4", read_only});
      disk.held_steps[c.step] = c.held;
      const RevisionCheck check(7, c.into);
      if (c.replaced) {
        EXPECT_TRUE(Replace(disk, check));
        EXPECT_EQ(disk.files.at(kDestination).contents, "new");
        EXPECT_EQ(disk.pauses.size(), static_cast<std::size_t>(c.held));
      } else {
        EXPECT_THROW(Replace(disk, check), ServiceError);
        EXPECT_EQ(disk.files.at(kDestination).contents, "old");
        EXPECT_EQ(disk.files.at(kDestination).read_only, read_only);
      }
      EXPECT_LE(disk.PausedMs(), kHoldWaitBudgetMs);
      EXPECT_EQ(disk.temporaries_created, 1);
      EXPECT_TRUE(disk.Temporaries().empty());
    }
  }
}

TEST(ReplaceWithCopy, AHeldDestinationMadeAsNewMeanwhileIsLeftAlone) {
  // The hold was another launcher finishing its move of an even newer copy.
  MemoryDisk disk = OldAndNew();
  disk.held_steps["MoveOver"] = 1;
  disk.while_paused = [&disk] { disk.files[kDestination] = {"other", "1.0.0.9"}; };
  EXPECT_FALSE(Replace(disk, RevisionCheck(7)));
  EXPECT_EQ(disk.files.at(kDestination).contents, "other");
  EXPECT_TRUE(disk.Temporaries().empty());
}

TEST(IsStaleTemporary, SparesOnlyWhatWasWrittenInTheLastFewSeconds) {
  constexpr std::uint64_t kNow = 1'000'000'000;
  const struct {
    std::int64_t age_seconds;
    bool stale;
  } cases[] = {{2 * 3600, true},
               {60, true},
               {kLiveTemporaryGraceSeconds, true},
               {kLiveTemporaryGraceSeconds - 1, false},
               {0, false},
               {-1, true},
               {-2 * 3600, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.age_seconds);
    for (const std::uint64_t ticks : {std::uint64_t{1}, std::uint64_t{10'000'000}}) {
      const std::uint64_t written = (kNow - static_cast<std::uint64_t>(c.age_seconds)) * ticks;
      EXPECT_EQ(IsStaleTemporary(kNow * ticks, written, ticks), c.stale);
    }
  }
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

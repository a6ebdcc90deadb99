#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/hold_retry.h"
#include "core/replace/replace_file.h"
#include "tests/fake_signature.h"

namespace launcher {

// A file of the in-memory disk: its bytes and what the system would read from them.
struct MemoryDiskFile {
  std::string contents = {};
  std::string version = {};
  bool read_only = false;
  SubjectName publisher = {};      // the signer its embedded signature names; no DER: no table
  bool verifies = true;            // false: its signer's chain ends at a root nobody trusts
  bool signature_readable = true;  // false: a certificate table whose signature cannot be read
  FakeSignature signature = {};    // what the system's crypto finds in it, subject aside
  bool whole = true;               // whether the file holds the whole image its headers describe
  bool folder = false;             // a folder of that name rather than a file
  // The signer the verifier names, when not `publisher` (the file swapped after that was read).
  std::optional<SubjectName> verified_as = {};
};

// Replacement steps over in-memory files with Windows' rules: a read-only file or one in use
// cannot be moved over, a file open for writing cannot be opened to copy from. Any step can be
// made to fail, or to fail as held a number of times, and a copy can fail part-way through
// writing, as a real disk does. A temporary still open for writing is never checked or moved:
// that is a fault of the caller, thrown as std::logic_error.
// Throws a held failure of `operation` on `path` while `held` counts more for `name`, counting
// one down.
void FailIfHeld(std::map<std::string, int>& held, const std::string& name,
                const std::string& operation, const std::string& path);

class MemoryDisk : public ReplaceSteps {
 public:
  std::map<std::string, MemoryDiskFile> files;
  std::set<std::string> in_use;           // held for good: cannot be moved over
  std::map<std::string, int> held_steps;  // a step named here fails as held this many times more
  std::set<std::string> being_written;    // another process is writing it
  std::set<std::string> changing;         // changes while it is copied
  std::set<std::string> folders_missing;  // nothing can be created in these
  std::set<std::string> folders_locked;   // these exist, but the caller may not add files
  bool folders_must_exist = false;        // only folders entered in `files` take new files
  std::string failing_step;               // this step fails, by name
  std::size_t write_fails_after = std::string::npos;  // bytes a copy writes before failing
  std::function<void()> while_copying;  // runs once a copy is written (another launcher)
  std::function<void()> while_paused;   // runs once, at the first wait (another launcher)

  std::vector<std::string> steps;  // every step taken, by name
  std::vector<int> pauses;         // every wait, in milliseconds
  int temporaries_created = 0;

  FileKind KindOf(const std::string& path) override;
  std::optional<SubjectName> EmbeddedPublisher(const std::string& path) override;
  std::optional<SubjectName> PinningPublisher(const std::string& path) override;
  std::unique_ptr<SourceFile> OpenSource(const std::string& path) override;
  std::unique_ptr<TemporaryCopy> CreateTemporary(const std::string& destination) override;
  void CheckCanCreateIn(const std::string& destination) override;
  std::string VersionOf(const std::string& path) override;
  bool ClearReadOnly(const std::string& path) override;
  void RestoreReadOnly(const std::string& path) override;
  void Pause(int milliseconds) override;
  // Only recorded: which temporaries are stale is the real steps' to find.
  void RemoveStaleTemporaries(const std::string& copy_path) override;

  // Records a step and fails it when it is the failing one.
  void Step(const std::string& name, const std::string& path);

  // The milliseconds of all the waits so far.
  int PausedMs() const;

  // The temporaries present now.
  std::vector<std::string> Temporaries() const;

 private:
  // Throws what creating a file beside `destination` would.
  void RequireCreatable(const std::string& destination) const;
};

// A budget of waits for a call a test makes itself, its waits recorded by `disk`.
inline HoldRetry BudgetOf(MemoryDisk& disk) {
  return HoldRetry([&disk](int milliseconds) { disk.Pause(milliseconds); });
}

}  // namespace launcher

#pragma once

#include <optional>
#include <string>

#include "core/replace/disk.h"
#include "core/replace/replace_file.h"

// The replacement's steps over one platform's Disk: what a file's version and image extent are
// (the PE reader), whose signature it carries and whether it verifies (the signature rules over
// what the system's crypto decodes), which name a new temporary gets (fresh names), and which
// temporaries are stale.

namespace launcher {

class DiskReplaceSteps : public ReplaceSteps {
 public:
  // Steps on `disk`, which must outlive them and what they open.
  explicit DiskReplaceSteps(Disk& disk) : disk_(disk) {}

  FileKind KindOf(const std::string& path) override { return disk_.KindOf(path); }
  std::optional<SubjectName> EmbeddedPublisher(const std::string& path) override;
  std::optional<SubjectName> PinningPublisher(const std::string& path) override;
  std::unique_ptr<SourceFile> OpenSource(const std::string& path) override;
  // Under up to kTemporaryNameTries fresh names (CreateWithFreshName).
  std::unique_ptr<TemporaryCopy> CreateTemporary(const std::string& destination) override;
  void CheckCanCreateIn(const std::string& destination) override {
    disk_.CheckCanCreateIn(destination);
  }
  std::string VersionOf(const std::string& path) override;
  bool ClearReadOnly(const std::string& path) override { return disk_.ClearReadOnly(path); }
  void RestoreReadOnly(const std::string& path) override { disk_.RestoreReadOnly(path); }
  void Pause(int milliseconds) override { disk_.Pause(milliseconds); }
  void RemoveStaleTemporaries(const std::string& copy_path) override;

 private:
  Disk& disk_;
};

// The subject of the signer the signature of `file` names, read without verifying it; nullopt
// when the file has no certificate table, when the table or its signature cannot be read or
// decoded (`*unreadable` then says why), and always on a disk without a verifier. Named even when
// something rides along with the signature: a copy so signed stays pinned to its signer.
std::optional<SubjectName> NamedSigner(Disk& disk, DiskFile& file, std::string* unreadable);

// The verdict on the signature embedded in `file`: refused when the file is not signed, its
// signature cannot be read or decoded, or anything rides along with it in the certificate table
// or after it; else JudgeSignature over what the system decodes.
Verification VerifySignature(Disk& disk, DiskFile& file);

}  // namespace launcher

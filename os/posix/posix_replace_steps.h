#pragma once

#include "core/replace/replace_file.h"
#include "os/posix/posix_folder.h"

namespace launcher {

// Replacement steps on POSIX, each on a file as a name in an open folder (a held one where the
// file is directly in it): the kernel's copy where it has one, fsync of the file, rename, fsync
// of the folder. A file's mode does not stop a rename here, so no read-only mark is cleared.
// There is no Authenticode verifier on this system: every file counts as unsigned.
class PosixReplaceSteps : public ReplaceSteps {
 public:
  // Steps on files reached through `folders`, which must outlive these steps and what they open.
  explicit PosixReplaceSteps(const HeldFolders& folders) : folders_(folders) {}

  // Without following links; a link in a held folder fails.
  FileKind KindOf(const std::string& path) override;
  // Both always nullopt: no signature is read here.
  std::optional<SubjectName> EmbeddedPublisher(const std::string& path) override;
  std::optional<SubjectName> PinningPublisher(const std::string& path) override;
  // POSIX cannot deny others writing the source; SourceFile::Unchanged compares its size and
  // modification time instead.
  std::unique_ptr<SourceFile> OpenSource(const std::string& path) override;
  std::unique_ptr<TemporaryCopy> CreateTemporary(const std::string& destination) override;
  void CheckCanCreateIn(const std::string& destination) override;
  std::string VersionOf(const std::string& path) override;
  bool ClearReadOnly(const std::string& path) override;
  void RestoreReadOnly(const std::string& path) override;
  void Pause(int milliseconds) override;

 private:
  const HeldFolders& folders_;
};

}  // namespace launcher

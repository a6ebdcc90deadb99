#pragma once

#include <memory>
#include <string>

#include "core/replace/disk.h"
#include "os/posix/posix_folder.h"

namespace launcher {

// The disk on POSIX: each file reached as a name in an open folder (a held one where the file is
// directly in it); a copy is flushed (fsync), renamed, and its folder flushed. A file's mode does
// not stop a rename here, so no read-only mark is cleared. There is no Authenticode verifier on
// this system: every file counts as unsigned. POSIX cannot deny others writing a file open to
// read; DiskFile::Unchanged compares its size and modification time instead.
class PosixDisk : public Disk {
 public:
  // Files reached through `folders`; failures name `operation`.
  PosixDisk(std::shared_ptr<const HeldFolders> folders, std::string operation)
      : folders_(std::move(folders)), operation_(std::move(operation)) {}

  // Without following links; a link in a held folder fails.
  ReplaceSteps::FileKind KindOf(const std::string& path) override;
  bool VerifiesSignatures() const override { return false; }
  std::unique_ptr<DiskFile> OpenToRead(const std::string& path) override;
  std::unique_ptr<RandomAccessFile> OpenIfPresent(const std::string& path) override;
  // Holds a shared lock on the file from its creation to its move or removal: alive for
  // RemoveUnheld meanwhile.
  std::unique_ptr<NewDiskFile> CreateNew(const std::string& path) override;
  std::uint64_t RandomNumber() override;
  void CheckCanCreateIn(const std::string& destination) override;
  bool ClearReadOnly(const std::string& path) override;
  void RestoreReadOnly(const std::string& path) override;
  void Pause(int milliseconds) override;
  Listing ListFiles(const std::string& path, const std::string& pattern) override;
  // Held: another process has a lock on it, which only a launcher's copy under way has.
  void RemoveUnheld(const std::string& path) override;

 private:
  [[noreturn]] void Fail(const std::string& path, const std::string& why) const;

  std::shared_ptr<const HeldFolders> folders_;
  std::string operation_;
};

}  // namespace launcher

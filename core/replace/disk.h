#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/pe/random_access_file.h"
#include "core/replace/replace_file.h"
#include "core/signature/signature_rules.h"

// The file operations of one platform that a replacement is built from (DiskReplaceSteps): each
// wraps the system's calls and decides nothing. Paths are the platform's own. Failures are
// ServiceError with the operation the disk was made for.

namespace launcher {

// How much the system's own check of a file against its signature covers (SignedMessage's
// FileProblem): all it checks, or the file's digest alone (an expired signer aside).
enum class FileCheck { kFull, kDigestOnly };

// A file open for reading. Others may read it but, where the system allows it, not write, rename
// or remove it while it is open, so that a file still being written cannot be opened at all.
class DiskFile : public RandomAccessFile {
 public:
  // Decodes `signature`, taken from this file's certificate table, with the system's crypto. The
  // message's FileProblem checks this open file (`check`), so it must not outlive this object.
  // Throws Undecodable when `signature` cannot be decoded; nullptr where the system has no
  // verifier (Disk::VerifiesSignatures).
  virtual std::unique_ptr<SignedMessage> DecodeSignature(const Bytes& signature,
                                                         FileCheck check) = 0;

  // False when the file may have changed since it was opened (where others could write it: size
  // or modification time differ now). Fails when the file can no longer be examined.
  virtual bool Unchanged() = 0;

  // As SourceFile::Permissions.
  virtual std::uint32_t Permissions() const = 0;
};

// A file just created, open for writing, others allowed only to read it, until CloseForWriting.
class NewDiskFile : public RandomAccessFile {
 public:
  // Size() is the size now. Fails when the system cannot tell.

  // Writes `length` bytes of `data` at `offset`. Fails when they cannot all be written.
  virtual void WriteAt(std::uint64_t offset, const void* data, std::size_t length) = 0;

  // Gives the file `permissions` where the system has them (SourceFile::Permissions, less the
  // umask; 0 there is none at all) and flushes it to disk. Fails when either fails.
  virtual void Finish(std::uint32_t permissions) = 0;

  // As TemporaryCopy's.
  virtual void CloseForWriting() = 0;
  virtual void MoveOver(const std::string& destination) = 0;
  virtual void Discard() = 0;
};

class Disk {
 public:
  // The regular files of a folder whose names match a pattern, and the time of the listing, in
  // ticks of `ticks_per_second` since one epoch.
  struct Listing {
    struct File {
      std::string name;
      std::uint64_t written = 0;  // last written
    };
    std::uint64_t now = 0;
    std::uint64_t ticks_per_second = 1;
    std::vector<File> files;
  };

  virtual ~Disk() = default;

  // As ReplaceSteps::KindOf.
  virtual ReplaceSteps::FileKind KindOf(const std::string& path) = 0;

  // Whether this system decodes and verifies signatures at all; where not, every file counts as
  // unsigned.
  virtual bool VerifiesSignatures() const = 0;

  // Opens `path` to read and copy from it. Fails when it cannot be opened, for instance because
  // another process is writing it, and when it is missing.
  virtual std::unique_ptr<DiskFile> OpenToRead(const std::string& path) = 0;

  // Opens `path` to read it, others allowed everything meanwhile; nullptr when nothing is there.
  // Fails when something is there that cannot be opened.
  virtual std::unique_ptr<RandomAccessFile> OpenIfPresent(const std::string& path) = 0;

  // Creates the file `path` exclusively, never through a link at that name; nullptr when
  // something is at that name already. Fails when it cannot be created for another reason.
  virtual std::unique_ptr<NewDiskFile> CreateNew(const std::string& path) = 0;

  // A number no other process can predict. Fails when the system has none to give.
  virtual std::uint64_t RandomNumber() = 0;

  // As ReplaceSteps' namesakes.
  virtual void CheckCanCreateIn(const std::string& destination) = 0;
  virtual bool ClearReadOnly(const std::string& path) = 0;
  virtual void RestoreReadOnly(const std::string& path) = 0;
  virtual void Pause(int milliseconds) = 0;

  // The regular files (no folders, no links) in the folder of `path` whose names match `pattern`
  // ("*" standing for any run of characters); none when the folder is missing or cannot be
  // listed. Never fails.
  virtual Listing ListFiles(const std::string& path, const std::string& pattern) = 0;

  // Removes the file `path` unless another process holds it (Windows: has it open without sharing
  // deletion; POSIX: holds a lock on it), a read-only one included; a link or anything but a
  // regular file is left. Never fails.
  virtual void RemoveUnheld(const std::string& path) = 0;
};

}  // namespace launcher

#pragma once

#include <memory>
#include <string>

#include "core/replace/disk.h"
#include "os/win32/win32_folder.h"
#include "os/win32/win32_held_folder.h"

namespace launcher {

// The disk on Windows.
//
// A file is opened to read so that others may read it but nobody may write, rename or remove it
// while it is verified and copied; a file another process has open for writing cannot be opened
// at all. The
// copy is created with CREATE_NEW under an unpredictable name (never through a link at that
// name) and written, others allowed only to read it. Once written it is opened again without
// write access, as the same file, still denying writers and deletion (CloseForWriting), and
// kept so until it is moved or removed: what is checked through that handle (size, version) is
// what is moved, and no handle with write access is open on it once it has the
// program's name, so another launcher can start it at once.
//
// The copy is created, opened again, renamed and its destination's read-only mark changed
// relative to a handle of their folder (Win32Folder): for the store's folder the handle that
// holds it, so no write there goes through a link made after the hold. The copy's data are
// flushed (FlushFileBuffers) before it takes the destination's name. The rename
// (NtSetInformationFile, FileRenameInformation, replacing the destination) is one step of the
// file system, so the destination is always the old file or the whole new one. Whether the
// rename itself is on disk when the run ends is up to the file system's journal (Windows offers
// an ordinary process no way to flush a folder); a rename lost that way leaves the older copy,
// which a later run simply replaces again. MOVEFILE_WRITE_THROUGH, no longer used, would only
// have affected a move that copies, which a rename inside one folder never is.
//
// A file directly inside `held` is refused when it is itself a link (reparse point); when `held`
// is missing, nothing in it is touched: its files do not exist and nothing can be written there.
//
// Temporaries nobody holds are removed by name: a holder that does not share deletion keeps them.
class Win32Disk : public Disk {
 public:
  // Files in the folder `held` holds are reached through it; failures name `operation`.
  Win32Disk(std::shared_ptr<const Win32HeldFolder> held, const char* operation)
      : held_(std::move(held)), operation_(operation) {}

  // Missing, regular, or other: a folder, a device, or a link directly in the held folder.
  ReplaceSteps::FileKind KindOf(const std::string& path) override;
  bool VerifiesSignatures() const override { return true; }
  std::unique_ptr<DiskFile> OpenToRead(const std::string& path) override;
  std::unique_ptr<RandomAccessFile> OpenIfPresent(const std::string& path) override;
  // With CREATE_NEW semantics, relative to the folder's handle.
  std::unique_ptr<NewDiskFile> CreateNew(const std::string& path) override;
  std::uint64_t RandomNumber() override;
  // Opens the folder asking for the right to add a file, which the system grants or refuses
  // by the folder's ACL without anything being written.
  void CheckCanCreateIn(const std::string& destination) override;
  bool ClearReadOnly(const std::string& path) override;
  void RestoreReadOnly(const std::string& path) override;
  void Pause(int milliseconds) override;
  Listing ListFiles(const std::string& path, const std::string& pattern) override;
  // A read-only mark, which the launcher never sets but another program may have, is cleared
  // first and put back when the removal fails.
  void RemoveUnheld(const std::string& path) override;

 private:
  [[noreturn]] void Fail(const std::string& path, DWORD error) const;
  // Throws when `path` is in the held folder and that folder is missing.
  void RequireFolder(const std::string& path) const;
  // The folder of `path`: the held one's handle when `path` is in it, else that folder opened now.
  std::unique_ptr<Win32Folder> FolderFor(const std::string& path) const;
  // Sets or clears `path`'s read-only mark through a handle; whether it changed it (false for a
  // missing file). Throws when the file cannot be opened or the mark cannot be changed.
  bool SetReadOnly(const std::string& path, bool read_only);

  std::shared_ptr<const Win32HeldFolder> held_;
  const char* operation_;
};

}  // namespace launcher

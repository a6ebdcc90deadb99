#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "os/win32/scoped_handle.h"

namespace launcher {

// A folder held open together with every folder above it, each opened without following links
// and without sharing deletion: while they are held, none of them can be removed, renamed or
// swapped for a link, so a path to a file directly inside still leads through those folders.
// Creating, renaming and deleting files inside stays open to everyone, and so does making a held
// folder itself a reparse point (a mount point, once it is empty): writes inside therefore go
// through its handle (Handle, Win32Folder).
class Win32HeldFolder {
 public:
  Win32HeldFolder() = default;
  ~Win32HeldFolder();
  Win32HeldFolder(const Win32HeldFolder&) = delete;
  Win32HeldFolder& operator=(const Win32HeldFolder&) = delete;

  // Releases what an earlier call held, then opens the folders of `folder` ("C:\a\b" or
  // "\\server\share\a\b") from the first one below the root down to `folder`. A folder that does
  // not exist ends the walk without failure: `folder` is then held as missing, whatever appears
  // there later. Throws ServiceError("HoldFolder", that folder, ...) when one of them is a link
  // or not a folder or cannot be opened for another reason; nothing is held then.
  void Hold(const std::string& folder);

  // Whether `path` names an entry directly inside the held folder (letter case and the kind of
  // separator aside).
  bool Contains(const std::string& path) const;

  // Whether `path` is directly inside the held folder and that folder did not exist when held.
  bool IsMissing(const std::string& path) const { return missing_ && Contains(path); }

  // The held folder's own handle; nullptr when nothing is held, the folder is missing, or it is a
  // drive's root (which is not held).
  HANDLE Handle() const {
    return folder_.empty() || missing_ || handles_.empty() ? nullptr : handles_.back().get();
  }

 private:
  void Release();

  std::string folder_;  // empty: nothing held
  bool missing_ = false;
  std::vector<ScopedHandle> handles_;
};

}  // namespace launcher

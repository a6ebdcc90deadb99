#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "os/win32/scoped_handle.h"

namespace launcher {

// A folder open by handle, whose files are opened, created and renamed relative to that handle
// at the NT level: a link made at the folder's path after it was opened (a junction or mount
// point set on it, the folder swapped for a link) leads none of them elsewhere.
// The file system's index of the file open as `file`, unique on its volume. Throws
// ServiceError(operation, path, ...) when the system cannot tell.
std::uint64_t FileIndexOf(HANDLE file, const std::string& path, const char* operation);

class Win32Folder {
 public:
  // A handle of its own to the folder open as `held` (Win32HeldFolder's), or, when `held` is
  // nullptr, to the folder at `path` opened now. Throws ServiceError(operation, path, ...) when
  // it cannot be had.
  Win32Folder(HANDLE held, const std::string& path, const char* operation);

  // Opens the file `name` inside (FILE_OPEN or FILE_CREATE) for synchronous I/O, never following
  // a link at that name, with `access` and `share` as CreateFileW takes them. Returns the handle,
  // or none (is_valid() false) with the Win32 error in `*error`.
  ScopedHandle Open(const std::string& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    DWORD* error) const;

  // Renames the open `file` to `name` inside, replacing a file there. Returns 0 or the Win32
  // error.
  DWORD MoveInto(HANDLE file, const std::string& name) const;

 private:
  ScopedHandle handle_;
  const char* operation_;
};

}  // namespace launcher

#include "os/win32/win32_held_folder.h"

#include <algorithm>

#include "core/path_text.h"
#include "core/service_error.h"
#include "os/win32/wide.h"
#include "os/win32/win32_error.h"

namespace launcher {
namespace {

std::string WithBackslashes(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// The length of the root of `path` ("C:\" or "\\server\share\"); 0 when it has none.
std::size_t RootLength(const std::string& path) {
  const bool letter = path.size() >= 3 &&
                      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  if (letter && path[1] == ':' && path[2] == '\\') return 3;
  if (path.compare(0, 2, "\\\\") != 0 || path.size() < 3 || path[2] == '\\' || path[2] == '?' ||
      path[2] == '.') {
    return 0;
  }
  const std::size_t server_end = path.find('\\', 2);
  if (server_end == std::string::npos) return 0;
  const std::size_t share_end = path.find('\\', server_end + 1);
  if (share_end == std::string::npos || share_end == server_end + 1) return 0;
  return share_end + 1;
}

bool SameText(const std::string& a, const std::string& b) {
  // Windows compares names without regard to letter case; so does this.
  const std::wstring wide_a = Wide(a, "HoldFolder");
  const std::wstring wide_b = Wide(b, "HoldFolder");
  return CompareStringOrdinal(wide_a.c_str(), static_cast<int>(wide_a.size()), wide_b.c_str(),
                              static_cast<int>(wide_b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

Win32HeldFolder::~Win32HeldFolder() { Release(); }

void Win32HeldFolder::Release() {
  // Closed from the top folder down, the order they were opened in.
  for (ScopedHandle& handle : handles_) handle.reset();
  handles_.clear();
  folder_.clear();
  missing_ = false;
}

void Win32HeldFolder::Hold(const std::string& folder) {
  Release();
  std::string path = WithBackslashes(folder);
  const std::size_t root = RootLength(path);
  if (root == 0) throw ServiceError("HoldFolder", folder, "not a full path");
  while (path.size() > root && path.back() == '\\') path.pop_back();

  std::vector<ScopedHandle> handles;
  bool missing = false;
  for (std::size_t end = root; end < path.size() && !missing;) {
    end = std::min(path.find('\\', end + 1), path.size());
    const std::string component = path.substr(0, end);
    // The system keeps the share mode of an open only when it asks for reading, writing or
    // deletion; listing counts as reading, attributes alone would hold nothing. Reading and
    // writing are shared, so files inside can still be created and renamed; deletion is not, so
    // the folder can be neither removed nor renamed.
    ScopedHandle handle(CreateFileW(Wide(component, "HoldFolder").c_str(),
                                    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
    if (!handle.is_valid()) {
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        throw Win32Error("HoldFolder", component, error, FailureCause::kOther);
      }
      missing = true;
      break;
    }
    handles.push_back(std::move(handle));
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handles.back().get(), &information)) {
      throw Win32Error("HoldFolder", component, GetLastError(), FailureCause::kOther);
    }
    // Windows shows a link's attribute on the handle of the link itself. Wine shows a Unix
    // symbolic link to a folder as a directory with the reparse-point attribute only when asked
    // by the path, so the path is asked as well.
    const DWORD by_path = GetFileAttributesW(Wide(component, "HoldFolder").c_str());
    const DWORD attributes =
        information.dwFileAttributes | (by_path != INVALID_FILE_ATTRIBUTES ? by_path : 0);
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      throw ServiceError("HoldFolder", component,
                         "a link (reparse point), not a folder of its own");
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      throw ServiceError("HoldFolder", component, "not a folder");
    }
  }
  handles_ = std::move(handles);
  folder_ = path;
  missing_ = missing;
}

bool Win32HeldFolder::Contains(const std::string& path) const {
  if (folder_.empty()) return false;
  std::string parent = FolderOf(WithBackslashes(path));
  if (parent.size() == 2 && parent[1] == ':') parent += '\\';  // "C:\a.exe" lies in "C:\"
  try {
    return SameText(parent, folder_);
  } catch (const ServiceError&) {
    return false;
  }
}

}  // namespace launcher

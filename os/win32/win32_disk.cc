#define _CRT_RAND_S
#include "os/win32/win32_disk.h"

#include <stdlib.h>
#include <windows.h>

#include "os/win32/scoped_handle.h"
#include "os/win32/wide.h"
#include "os/win32/win32_disk_file.h"
#include "os/win32/win32_error.h"
#include "os/win32/win32_file.h"
#include "os/win32/win32_new_file.h"

namespace launcher {
namespace {

constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000;

std::uint64_t Ticks(const FILETIME& time) {
  return std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

}  // namespace

void Win32Disk::Fail(const std::string& path, DWORD error) const {
  throw Win32Error(operation_, path, error);
}

std::uint64_t Win32Disk::RandomNumber() {
  unsigned int high = 0;
  unsigned int low = 0;
  if (rand_s(&high) != 0 || rand_s(&low) != 0) Fail("", ERROR_GEN_FAILURE);
  return std::uint64_t{high} << 32 | low;
}

void Win32Disk::RequireFolder(const std::string& path) const {
  if (held_->IsMissing(path)) throw ServiceError(operation_, path, "the folder does not exist");
}

ReplaceSteps::FileKind Win32Disk::KindOf(const std::string& path) {
  if (held_->IsMissing(path)) return ReplaceSteps::FileKind::kMissing;
  const DWORD attributes = GetFileAttributesW(Wide(path, operation_).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return ReplaceSteps::FileKind::kMissing;
    }
    Fail(path, error);
  }
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return ReplaceSteps::FileKind::kOther;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && held_->Contains(path)) {
    return ReplaceSteps::FileKind::kOther;
  }
  return ReplaceSteps::FileKind::kRegular;
}

std::unique_ptr<DiskFile> Win32Disk::OpenToRead(const std::string& path) {
  RequireFolder(path);
  return std::make_unique<Win32DiskFile>(path, operation_, held_->Contains(path));
}

std::unique_ptr<RandomAccessFile> Win32Disk::OpenIfPresent(const std::string& path) {
  if (held_->IsMissing(path)) return nullptr;
  Win32OpenRules rules;
  rules.refuse_links = held_->Contains(path);
  return Win32File::OpenIfPresent(path, operation_, rules);
}

void Win32Disk::CheckCanCreateIn(const std::string& destination) {
  RequireFolder(destination);
  const ScopedHandle folder(
      CreateFileW(Wide(FolderOf(destination), operation_).c_str(), FILE_ADD_FILE | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.is_valid()) Fail(destination, GetLastError());
}

std::unique_ptr<Win32Folder> Win32Disk::FolderFor(const std::string& path) const {
  RequireFolder(path);
  return std::make_unique<Win32Folder>(held_->Contains(path) ? held_->Handle() : nullptr,
                                       FolderOf(path), operation_);
}

std::unique_ptr<NewDiskFile> Win32Disk::CreateNew(const std::string& path) {
  std::unique_ptr<Win32Folder> folder = FolderFor(path);
  // Deletion is ours (Discard, the rename); others may only read it while it is written.
  DWORD error = 0;
  ScopedHandle handle = folder->Open(FileNameOf(path), GENERIC_READ | GENERIC_WRITE | DELETE,
                                     FILE_SHARE_READ, FILE_CREATE, &error);
  if (!handle.is_valid()) {
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return nullptr;
    Fail(path, error);
  }
  return std::make_unique<Win32NewFile>(std::move(handle), std::move(folder), path, operation_);
}

// The read-only mark is changed through a handle opened by the file's name in its folder.
bool Win32Disk::ClearReadOnly(const std::string& path) {
  if (held_->IsMissing(path)) return false;
  return SetReadOnly(path, false);
}

void Win32Disk::RestoreReadOnly(const std::string& path) {
  if (held_->IsMissing(path)) return;
  try {
    SetReadOnly(path, true);
  } catch (const ServiceError&) {
    // Nothing more can be done here; the move has failed already.
  }
}

bool Win32Disk::SetReadOnly(const std::string& path, bool read_only) {
  DWORD error = 0;
  const ScopedHandle file = FolderFor(path)->Open(
      FileNameOf(path), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, &error);
  if (!file.is_valid()) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
    Fail(path, error);
  }
  FILE_BASIC_INFO basic{};
  bool changed = false;
  if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic)) {
    error = GetLastError();
  } else if (((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) != read_only) {
    basic.FileAttributes ^= FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    // Times of zero leave the file's times as they are.
    basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
    changed = SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic) != FALSE;
    if (!changed) error = GetLastError();
  }
  if (error != 0) Fail(path, error);
  return changed;
}

void Win32Disk::Pause(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

Disk::Listing Win32Disk::ListFiles(const std::string& path, const std::string& pattern) {
  Listing listing;
  if (held_->IsMissing(path)) return listing;
  WIN32_FIND_DATAW found;
  ScopedFind search;
  try {
    search.reset(FindFirstFileW(Wide(SiblingPath(path, pattern), operation_).c_str(), &found));
  } catch (const ServiceError&) {
    return listing;
  }
  if (!search.is_valid()) return listing;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  listing.now = Ticks(now);
  listing.ticks_per_second = kFileTimeTicksPerSecond;
  do {
    const bool plain_file =
        (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    if (plain_file) listing.files.push_back({Utf8(found.cFileName), Ticks(found.ftLastWriteTime)});
  } while (FindNextFileW(search.get(), &found));
  return listing;
}

void Win32Disk::RemoveUnheld(const std::string& path) {
  if (held_->IsMissing(path)) return;
  std::wstring wide;
  try {
    wide = Wide(path, operation_);
  } catch (const ServiceError&) {
    return;  // a name the system gave is valid text
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return;
  }
  const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only) SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!DeleteFileW(wide.c_str()) && read_only) SetFileAttributesW(wide.c_str(), attributes);
}

}  // namespace launcher

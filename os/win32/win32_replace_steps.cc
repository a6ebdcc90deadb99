#define _CRT_RAND_S
#include "os/win32/win32_replace_steps.h"

#include <stdlib.h>
#include <windows.h>

#include <optional>

#include "core/pe/pe_version_reader.h"
#include "core/replace/fresh_name.h"
#include "launch/services.h"
#include "os/win32/scoped_handle.h"
#include "os/win32/wide.h"
#include "os/win32/win32_error.h"
#include "os/win32/win32_file.h"
#include "os/win32/win32_signature.h"
#include "os/win32/win32_source_file.h"
#include "os/win32/win32_temporary_copy.h"

namespace launcher {
namespace {

constexpr char kOperation[] = "FileCopy";

[[noreturn]] void Fail(const std::string& path, DWORD error) {
  throw Win32Error(kOperation, path, error);
}

std::uint64_t RandomNumber(const std::string& path) {
  unsigned int high = 0;
  unsigned int low = 0;
  if (rand_s(&high) != 0 || rand_s(&low) != 0) Fail(path, ERROR_GEN_FAILURE);
  return std::uint64_t{high} << 32 | low;
}

}  // namespace

void Win32ReplaceSteps::RequireFolder(const std::string& path) const {
  if (held_.IsMissing(path)) throw ServiceError(kOperation, path, "the folder does not exist");
}

ReplaceSteps::FileKind Win32ReplaceSteps::KindOf(const std::string& path) {
  if (held_.IsMissing(path)) return FileKind::kMissing;
  const DWORD attributes = GetFileAttributesW(Wide(path, kOperation).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FileKind::kMissing;
    Fail(path, error);
  }
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return FileKind::kOther;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && held_.Contains(path)) {
    return FileKind::kOther;
  }
  return FileKind::kRegular;
}

std::optional<SubjectName> Win32ReplaceSteps::EmbeddedPublisher(const std::string& path) {
  RequireFolder(path);
  return ReadEmbeddedSigner(path, kOperation, held_.Contains(path));
}

std::optional<SubjectName> Win32ReplaceSteps::PinningPublisher(const std::string& path) {
  RequireFolder(path);
  return ReadPinningSigner(path, kOperation, held_.Contains(path));
}

std::unique_ptr<SourceFile> Win32ReplaceSteps::OpenSource(const std::string& path) {
  RequireFolder(path);
  return std::make_unique<Win32SourceFile>(path, held_.Contains(path));
}

void Win32ReplaceSteps::CheckCanCreateIn(const std::string& destination) {
  RequireFolder(destination);
  const ScopedHandle folder(
      CreateFileW(Wide(FolderOf(destination), kOperation).c_str(), FILE_ADD_FILE | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.is_valid()) Fail(destination, GetLastError());
}

std::unique_ptr<Win32Folder> Win32ReplaceSteps::FolderFor(const std::string& path) const {
  RequireFolder(path);
  return std::make_unique<Win32Folder>(held_.Contains(path) ? held_.Handle() : nullptr,
                                       FolderOf(path), kOperation);
}

std::unique_ptr<TemporaryCopy> Win32ReplaceSteps::CreateTemporary(const std::string& destination) {
  std::unique_ptr<Win32Folder> folder = FolderFor(destination);
  ScopedHandle handle;
  const std::optional<std::string> name = CreateWithFreshName(
      destination, [&] { return RandomNumber(destination); },
      [&](const std::string& candidate) {
        // Deletion is ours (Discard, the rename); others may only read it while it is written.
        DWORD error = 0;
        handle = folder->Open(candidate, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                              FILE_CREATE, &error);
        if (handle.is_valid()) return CreateOutcome::kCreated;
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) Fail(destination, error);
        return CreateOutcome::kNameTaken;
      });
  if (!name) Fail(destination, ERROR_FILE_EXISTS);
  return std::make_unique<Win32TemporaryCopy>(std::move(handle), std::move(folder),
                                              FolderOf(destination) + "\\" + *name);
}

std::string Win32ReplaceSteps::VersionOf(const std::string& path) {
  if (held_.IsMissing(path)) return {};
  Win32OpenRules rules;
  rules.refuse_links = held_.Contains(path);
  const std::unique_ptr<Win32File> file = Win32File::OpenIfPresent(path, kOperation, rules);
  return file ? ReadPeFileVersion(*file) : std::string();
}

// The read-only mark is changed through a handle opened by the file's name in its folder.
bool Win32ReplaceSteps::ClearReadOnly(const std::string& path) {
  if (held_.IsMissing(path)) return false;
  return SetReadOnly(path, false);
}

void Win32ReplaceSteps::RestoreReadOnly(const std::string& path) {
  if (held_.IsMissing(path)) return;
  try {
    SetReadOnly(path, true);
  } catch (const ServiceError&) {
    // Nothing more can be done here; the move has failed already.
  }
}

bool Win32ReplaceSteps::SetReadOnly(const std::string& path, bool read_only) {
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

void Win32ReplaceSteps::Pause(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

}  // namespace launcher

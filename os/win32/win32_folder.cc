#include "os/win32/win32_folder.h"

#include <winternl.h>

#include <cstring>
#include <vector>

#include "core/service_error.h"
#include "os/win32/wide.h"
#include "os/win32/win32_error.h"

namespace launcher {
namespace {

// A file's name inside a folder as the NT calls take it; false when it is no single name.
bool NameOf(const std::wstring& name, UNICODE_STRING* text) {
  if (name.empty() || name.find_first_of(L"\\/") != std::wstring::npos || name == L"." ||
      name == L".." || name.size() * sizeof(wchar_t) > 0xFFFE) {
    return false;
  }
  text->Buffer = const_cast<wchar_t*>(name.c_str());
  text->Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text->MaximumLength = text->Length;
  return true;
}

}  // namespace

// Asked at the NT level: GetFileInformationByHandle also asks for the volume, which Wine finds by
// the file's path and so cannot tell once its folder was moved.
std::uint64_t FileIndexOf(HANDLE file, const std::string& path, const char* operation) {
  FILE_INTERNAL_INFORMATION information{};
  IO_STATUS_BLOCK io{};
  const NTSTATUS status =
      NtQueryInformationFile(file, &io, &information, sizeof information, FileInternalInformation);
  if (!NT_SUCCESS(status)) throw Win32Error(operation, path, RtlNtStatusToDosError(status));
  return static_cast<std::uint64_t>(information.IndexNumber.QuadPart);
}

Win32Folder::Win32Folder(HANDLE held, const std::string& path, const char* operation)
    : operation_(operation) {
  if (held != nullptr) {
    HANDLE duplicate = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), held, GetCurrentProcess(), &duplicate, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
      handle_.reset(duplicate);
    }
  } else {
    handle_.reset(CreateFileW(Wide(path, operation).c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  }
  if (!handle_.is_valid()) throw Win32Error(operation, path, GetLastError());
}

ScopedHandle Win32Folder::Open(const std::string& name, ACCESS_MASK access, ULONG share,
                               ULONG disposition, DWORD* error) const {
  const std::wstring wide = Wide(name, operation_);
  UNICODE_STRING text;
  if (!NameOf(wide, &text)) {
    *error = ERROR_INVALID_NAME;
    return ScopedHandle();
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, handle_.get(), nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE file = INVALID_HANDLE_VALUE;
  const NTSTATUS status = NtCreateFile(
      &file, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io, nullptr,
      FILE_ATTRIBUTE_NORMAL, share, disposition,
      FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
  if (!NT_SUCCESS(status)) {
    *error = RtlNtStatusToDosError(status);
    return ScopedHandle();
  }
  return ScopedHandle(file);
}

DWORD Win32Folder::MoveInto(HANDLE file, const std::string& name) const {
  const std::wstring wide = Wide(name, operation_);
  UNICODE_STRING text;
  if (!NameOf(wide, &text)) return ERROR_INVALID_NAME;
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + text.Length);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = handle_.get();
  rename->FileNameLength = text.Length;
  std::memcpy(rename->FileName, wide.c_str(), text.Length);
  IO_STATUS_BLOCK io{};
  // SetFileInformationByHandle does not take a root folder everywhere (Wine refuses it); the NT
  // call it wraps does.
  const NTSTATUS status = NtSetInformationFile(file, &io, rename, static_cast<ULONG>(buffer.size()),
                                               FileRenameInformation);
  return NT_SUCCESS(status) ? 0 : RtlNtStatusToDosError(status);
}

}  // namespace launcher

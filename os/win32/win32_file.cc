#include "os/win32/win32_file.h"

#include <algorithm>

#include "core/service_error.h"
#include "os/win32/wide.h"
#include "os/win32/win32_error.h"

namespace launcher {
namespace {

HANDLE OpenForReading(const std::string& path, const char* operation, Win32OpenRules rules) {
  const DWORD flags =
      FILE_ATTRIBUTE_NORMAL | (rules.refuse_links ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  return CreateFileW(Wide(path, operation).c_str(), GENERIC_READ, rules.share, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

}  // namespace

Win32HandleReader::Win32HandleReader(HANDLE handle, const std::string& path, const char* operation)
    : handle_(handle), path_(path), operation_(operation) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_, &size)) {
    throw Win32Error(operation, path, GetLastError(), FailureCause::kOther);
  }
  size_ = static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t Win32HandleReader::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    OVERLAPPED at{};
    const std::uint64_t position = offset + done;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(handle_, out + done, want, &got, &at)) {
      const DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      throw Win32Error(operation_, path_, error, FailureCause::kOther);
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

Win32File::Win32File(const std::string& path, const char* operation, Win32OpenRules rules)
    : Win32File(OpenForReading(path, operation, rules), path, operation, rules.refuse_links) {}

std::unique_ptr<Win32File> Win32File::OpenIfPresent(const std::string& path, const char* operation,
                                                    Win32OpenRules rules) {
  const HANDLE handle = OpenForReading(path, operation, rules);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return nullptr;
    SetLastError(error);
  }
  return std::unique_ptr<Win32File>(new Win32File(handle, path, operation, rules.refuse_links));
}

Win32File::Win32File(HANDLE handle, const std::string& path, const char* operation,
                     bool refuse_links)
    : handle_(handle) {
  if (!handle_.is_valid()) throw Win32Error(operation, path, GetLastError());
  if (GetFileType(handle_.get()) != FILE_TYPE_DISK)
    throw ServiceError(operation, path, "not a file");
  if (refuse_links) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle_.get(), &information)) {
      throw Win32Error(operation, path, GetLastError(), FailureCause::kOther);
    }
    // Wine does not show a Unix symbolic link to a file as a reparse point, so this refusal
    // cannot be seen under Wine.
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      throw ServiceError(operation, path, "a link (reparse point), not a file");
    }
  }
  reader_ = std::make_unique<Win32HandleReader>(handle_.get(), path, operation);
}

}  // namespace launcher

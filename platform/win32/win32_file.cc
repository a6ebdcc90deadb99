#include "platform/win32/win32_file.h"

#include <algorithm>

#include "platform/services.h"
#include "platform/win32/wide.h"

namespace launcher {

Win32File::Win32File(const std::string& path, const char* operation)
    : path_(path), operation_(operation) {
  handle_ = CreateFileW(Wide(path, operation).c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    throw ServiceError(operation, path, SystemErrorText(GetLastError()));
  }
  if (GetFileType(handle_) != FILE_TYPE_DISK) {
    CloseHandle(handle_);
    throw ServiceError(operation, path, "not a file");
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_, &size)) {
    const DWORD error = GetLastError();
    CloseHandle(handle_);
    throw ServiceError(operation, path, SystemErrorText(error));
  }
  size_ = static_cast<std::uint64_t>(size.QuadPart);
}

Win32File::~Win32File() { CloseHandle(handle_); }

std::size_t Win32File::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
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
      throw ServiceError(operation_, path_, SystemErrorText(error));
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

}  // namespace launcher

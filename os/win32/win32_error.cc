#include "os/win32/win32_error.h"

#include "os/win32/wide.h"

namespace launcher {

std::string SystemErrorText(DWORD error) {
  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::wstring text = length > 0 ? std::wstring(message, length) : std::wstring();
  LocalFree(message);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  const std::string code = "error " + std::to_string(error);
  return text.empty() ? code : Utf8(text) + " (" + code + ")";
}

FailureCause CauseOf(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ? FailureCause::kHeld
                                                                          : FailureCause::kOther;
}

ServiceError Win32Error(const char* operation, const std::string& path, DWORD error) {
  return Win32Error(operation, path, error, CauseOf(error));
}

ServiceError Win32Error(const char* operation, const std::string& path, DWORD error,
                        FailureCause cause) {
  return ServiceError(operation, path, SystemErrorText(error), cause);
}

}  // namespace launcher

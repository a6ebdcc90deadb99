#include "platform/win32/win32_services.h"

#include "platform/icon_file.h"
#include "platform/pe_version_reader.h"
#include "platform/replace_file.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file.h"
#include "platform/win32/win32_replace_steps.h"

namespace launcher {
namespace {

[[noreturn]] void Fail(const char* operation, const std::string& path) {
  throw ServiceError(operation, path, SystemErrorText(GetLastError()));
}

}  // namespace

Win32Services::Win32Services(HWND window) : window_(window) {}

std::string Win32Services::ApplicationDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) Fail("ApplicationDirectory", "");
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return FolderOf(Utf8(path));
}

bool Win32Services::FileExists(const std::string& path) {
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesW(Wide(path, "FileExists").c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
      return false;
    default:
      Fail("FileExists", path);
  }
}

std::string Win32Services::GetFileVersion(const std::string& path) {
  Win32File file(path, "GetFileVersion");
  return ReadPeFileVersion(file);
}

void Win32Services::DeleteFile(const std::string& path, bool force) {
  const std::wstring wide = Wide(path, "DeleteFile");
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  const bool read_only =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (force && read_only) {
    if (!SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
      Fail("DeleteFile", path);
    }
  }
  if (!DeleteFileW(wide.c_str())) {
    const DWORD error = GetLastError();
    if (force && read_only) SetFileAttributesW(wide.c_str(), attributes);
    throw ServiceError("DeleteFile", path, SystemErrorText(error));
  }
}

void Win32Services::FileCopy(const std::string& source, const std::string& destination) {
  Win32ReplaceSteps steps;
  ReplaceWithCopy(steps, source, destination);
}

TaskId Win32Services::StartProgram(const std::string& program_path, int show_state) {
  // The program is named explicitly and its path quoted, so a blank in a folder name can never
  // make Windows look for "C:\Program.exe" and the like.
  const std::wstring application = Wide(program_path, "StartProgram");
  std::wstring command_line = L"\"" + application + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(show_state);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    Fail("StartProgram", program_path);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return process.dwProcessId;
}

void Win32Services::LoadWindowIcon(const std::string& path) {
  // Checked by our own reader first: the file is anyone's to write, and a malformed one must fail
  // here cleanly rather than inside the system's icon loader.
  {
    Win32File file(path, "LoadWindowIcon");
    RequireWellFormedIcon(file, path);
  }
  if (window_ == nullptr) throw ServiceError("LoadWindowIcon", path, "no window");
  const std::wstring wide = Wide(path, "LoadWindowIcon");
  const struct {
    WPARAM which;
    int width_metric;
    int height_metric;
  } sizes[] = {{ICON_BIG, SM_CXICON, SM_CYICON}, {ICON_SMALL, SM_CXSMICON, SM_CYSMICON}};
  for (const auto& size : sizes) {
    HANDLE icon = LoadImageW(nullptr, wide.c_str(), IMAGE_ICON, GetSystemMetrics(size.width_metric),
                             GetSystemMetrics(size.height_metric), LR_LOADFROMFILE);
    if (icon == nullptr) Fail("LoadWindowIcon", path);
    SendMessageW(window_, WM_SETICON, size.which, reinterpret_cast<LPARAM>(icon));
  }
}

void Win32Services::EndProcess(int status) { ExitProcess(static_cast<UINT>(status)); }

}  // namespace launcher

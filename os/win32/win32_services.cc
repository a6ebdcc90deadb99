#include "os/win32/win32_services.h"

#include "core/path_text.h"
#include "os/win32/scoped_handle.h"
#include "os/win32/wide.h"
#include "os/win32/win32_error.h"
#include "os/win32/win32_file.h"
#include "os/win32/win32_start_path.h"

namespace launcher {
namespace {}  // namespace

void WriteDiagnosticLine(const std::string& line) {
  const std::string text = line + "\r\n";
  OutputDebugStringA(text.c_str());
  const HANDLE error_stream = GetStdHandle(STD_ERROR_HANDLE);
  if (error_stream != nullptr && error_stream != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(error_stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

Win32Services::Win32Services(HWND window, std::shared_ptr<Win32HeldFolder> held)
    : window_(window), held_(std::move(held)) {}

std::string Win32Services::ApplicationDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) throw Win32Error("ApplicationDirectory", "", GetLastError());
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return FolderOf(Utf8(path));
}

bool Win32Services::FileExists(const std::string& path) {
  if (path.empty() || held_->IsMissing(path)) return false;
  const DWORD attributes = GetFileAttributesW(Wide(path, "FileExists").c_str());
  // Wine shows a Unix symbolic link to a folder as a directory with the reparse-point attribute,
  // but not a link to a file, so the file case here cannot be seen under Wine.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      held_->Contains(path)) {
    throw ServiceError("FileExists", path, "a link (reparse point), not a file");
  }
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
      throw Win32Error("FileExists", path, GetLastError());
  }
}

std::unique_ptr<RandomAccessFile> Win32Services::OpenToRead(const std::string& path,
                                                            const char* operation) {
  if (held_->IsMissing(path)) throw ServiceError(operation, path, "the folder does not exist");
  Win32OpenRules rules;
  rules.refuse_links = held_->Contains(path);
  return std::make_unique<Win32File>(path, operation, rules);
}

void Win32Services::HoldFolder(const std::string& folder) { held_->Hold(folder); }

std::string Win32Services::SystemPath(const std::string& path) { return path; }

void Win32Services::CheckStartable(const std::string& program_path) { StartablePath(program_path); }

TaskId Win32Services::StartProgram(const std::string& program_path, int show_state) {
  // The program is named explicitly and its path quoted, so a blank in a folder name can never
  // make Windows look for "C:\Program.exe" and the like.
  // A path too long for the system's start is started by a shorter name (StartablePath); the
  // program still gets its own path as its command line.
  const std::wstring application = StartablePath(program_path);
  std::wstring command_line = L"\"" + Wide(program_path, "StartProgram") + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(show_state);
  PROCESS_INFORMATION process{};
  // The launcher's own error mode (no system error boxes, set in WinMain) is not handed on: the
  // program starts with the system's default. Wine does not pass error modes on to a child at
  // all (the child reads 0 with or without this flag), so no Wine test can show it.
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &process)) {
    throw Win32Error("StartProgram", program_path, GetLastError());
  }
  // Not kept: the program runs on without them. The thread's is closed first.
  const ScopedHandle child(process.hProcess);
  const ScopedHandle thread(process.hThread);
  return process.dwProcessId;
}

std::unique_ptr<RandomAccessFile> Win32Services::OpenIconFile(const std::string& path) {
  const std::wstring wide = Wide(path, "LoadWindowIcon");
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  // Opening a folder as a file says access denied, which would pass for a hold.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw ServiceError("LoadWindowIcon", path, "a folder, not an icon file");
  }
  // The system's loader opens the file itself, through a buffer of MAX_PATH characters.
  if (LoadablePath(wide).size() >= MAX_PATH) {
    throw ServiceError("LoadWindowIcon", path,
                       "the path is " + std::to_string(wide.size()) +
                           " characters long, and the system loads icons only from paths under " +
                           std::to_string(MAX_PATH) + " characters");
  }
  return std::make_unique<Win32File>(path, "LoadWindowIcon");
}

void Win32Services::Report(const std::string& line) { WriteDiagnosticLine(line); }

void Win32Services::SetWindowIcon(const std::string& path) {
  if (window_ == nullptr) throw ServiceError("LoadWindowIcon", path, "no window");
  const std::wstring wide = LoadablePath(Wide(path, "LoadWindowIcon"));
  const struct {
    WPARAM which;
    int width_metric;
    int height_metric;
  } sizes[] = {{ICON_BIG, SM_CXICON, SM_CYICON}, {ICON_SMALL, SM_CXSMICON, SM_CYSMICON}};
  for (const auto& size : sizes) {
    HANDLE icon = LoadImageW(nullptr, wide.c_str(), IMAGE_ICON, GetSystemMetrics(size.width_metric),
                             GetSystemMetrics(size.height_metric), LR_LOADFROMFILE);
    if (icon == nullptr) throw Win32Error("LoadWindowIcon", path, GetLastError());
    SendMessageW(window_, WM_SETICON, size.which, reinterpret_cast<LPARAM>(icon));
  }
}

void Win32Services::Pause(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

void Win32Services::EndProcess(int status) { ExitProcess(static_cast<UINT>(status)); }

}  // namespace launcher

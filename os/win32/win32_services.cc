#include "os/win32/win32_services.h"

#include <cstdint>

#include "core/pe/icon_file.h"
#include "core/pe/pe_version_reader.h"
#include "core/replace/replace_file.h"
#include "os/win32/scoped_handle.h"
#include "os/win32/wide.h"
#include "os/win32/win32_error.h"
#include "os/win32/win32_file.h"
#include "os/win32/win32_replace_steps.h"
#include "os/win32/win32_start_path.h"

namespace launcher {
namespace {

constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000;

std::uint64_t Ticks(const FILETIME& time) {
  return std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

// Removes a temporary nobody holds; a read-only mark, which the launcher never sets but another
// program may have, is cleared first and put back when the removal fails (a holder keeps it).
void RemoveTemporary(const std::wstring& path, DWORD attributes) {
  const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!DeleteFileW(path.c_str()) && read_only) SetFileAttributesW(path.c_str(), attributes);
}

}  // namespace

void WriteDiagnosticLine(const std::string& line) {
  const std::string text = line + "\r\n";
  OutputDebugStringA(text.c_str());
  const HANDLE error_stream = GetStdHandle(STD_ERROR_HANDLE);
  if (error_stream != nullptr && error_stream != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(error_stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

Win32Services::Win32Services(HWND window) : window_(window) {}

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
  if (path.empty() || held_.IsMissing(path)) return false;
  const DWORD attributes = GetFileAttributesW(Wide(path, "FileExists").c_str());
  // Wine shows a Unix symbolic link to a folder as a directory with the reparse-point attribute,
  // but not a link to a file, so the file case here cannot be seen under Wine.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      held_.Contains(path)) {
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

std::string Win32Services::GetFileVersion(const std::string& path) {
  if (held_.IsMissing(path)) {
    throw ServiceError("GetFileVersion", path, "the folder does not exist");
  }
  Win32OpenRules rules;
  rules.refuse_links = held_.Contains(path);
  Win32File file(path, "GetFileVersion", rules);
  return ReadPeFileVersion(file);
}

void Win32Services::DeleteFile(const std::string& path, bool force) {
  if (held_.IsMissing(path)) throw ServiceError("DeleteFile", path, "the folder does not exist");
  const std::wstring wide = Wide(path, "DeleteFile");
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  const bool read_only =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (force && read_only) {
    if (!SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
      throw Win32Error("DeleteFile", path, GetLastError());
    }
  }
  if (!DeleteFileW(wide.c_str())) {
    const DWORD error = GetLastError();
    if (force && read_only) SetFileAttributesW(wide.c_str(), attributes);
    throw Win32Error("DeleteFile", path, error, FailureCause::kOther);
  }
}

void Win32Services::HoldFolder(const std::string& folder) { held_.Hold(folder); }

void Win32Services::RemoveStaleTemporaries(const std::string& copy_path) {
  if (held_.IsMissing(copy_path)) return;
  const std::string folder = FolderOf(copy_path);
  const std::string file_name = FileNameOf(copy_path);
  WIN32_FIND_DATAW found;
  ScopedFind search;
  try {
    search.reset(FindFirstFileW(
        Wide(folder + "\\~" + file_name + ".*.tmp", "RemoveStaleTemporaries").c_str(), &found));
  } catch (const ServiceError&) {
    return;
  }
  if (!search.is_valid()) return;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  do {
    const std::string name = Utf8(found.cFileName);
    const bool plain_file =
        (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    if (plain_file && IsTemporaryNameFor(name, file_name) &&
        IsStaleTemporary(Ticks(now), Ticks(found.ftLastWriteTime), kFileTimeTicksPerSecond)) {
      try {
        RemoveTemporary(Wide(folder + "\\" + name, "RemoveStaleTemporaries"),
                        found.dwFileAttributes);
      } catch (const ServiceError&) {
        // A name the system gave is valid text.
      }
    }
  } while (FindNextFileW(search.get(), &found));
}

bool Win32Services::FileCopy(const std::string& source, const std::string& destination,
                             const CopyCheck& check, HoldRetry& retry) {
  Win32ReplaceSteps steps(held_);
  return ReplaceWithCopy(steps, source, destination, check, retry);
}

void Win32Services::CheckFileCopy(const std::string& source, const std::string& destination,
                                  const CopyCheck& check, HoldRetry& retry) {
  Win32ReplaceSteps steps(held_);
  CheckReplacement(steps, source, destination, check, retry);
}

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

void Win32Services::CheckWindowIcon(const std::string& path) {
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
  Win32File file(path, "LoadWindowIcon");
  RequireWellFormedIcon(file, path);
}

void Win32Services::Report(const std::string& line) { WriteDiagnosticLine(line); }

void Win32Services::LoadWindowIcon(const std::string& path) {
  // Our own parser reads the file first and refuses one that is not a well-formed icon file
  // before the system's loader sees it. That does not make the loader safe: it reads the file
  // again itself, and the file may have changed in between.
  CheckWindowIcon(path);
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

#include "os/win32/win32_start_path.h"

#include <algorithm>

#include "core/service_error.h"
#include "os/win32/wide.h"
#include "os/win32/win32_error.h"

namespace launcher {
namespace {

const wchar_t kExtended[] = L"\\\\?\\";

// `path` in the "\\?\" form, which lifts MAX_PATH from the file functions that take it.
std::wstring Extended(const std::wstring& path) {
  if (path.rfind(kExtended, 0) == 0) return path;
  if (path.rfind(L"\\\\", 0) == 0) return kExtended + (L"UNC" + path.substr(1));
  return kExtended + path;
}

// The short (8.3) form of `path`; empty, with the system's error in `*error`, when it fails.
std::wstring ShortForm(const std::wstring& path, DWORD* error) {
  std::wstring result(path.size() + 1, L'\0');
  for (;;) {
    const DWORD length =
        GetShortPathNameW(path.c_str(), &result[0], static_cast<DWORD>(result.size()));
    if (length == 0) {
      *error = GetLastError();
      return {};
    }
    if (length < result.size()) {
      result.resize(length);
      return result;
    }
    result.resize(length);  // too small: `length` is the size it needs
  }
}

// `path` with its folder in the short (8.3) form, kept in the "\\?\" form (without it Wine turns
// a short name back into the long one), followed by the file's own name: the file may not be
// there yet, and a program keeps its own name. False, with the system's error, when the
// folder's short form cannot be had.
bool ShortenedPath(std::wstring path, std::wstring* shortened, DWORD* error) {
  // The "\\?\" form does not turn "/" into "\" itself.
  std::replace(path.begin(), path.end(), L'/', L'\\');
  const std::size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) {
    *shortened = path;
    return true;
  }
  // The folder is asked in the "\\?\" form, else the system refuses it for its length.
  const std::wstring short_folder = ShortForm(Extended(path.substr(0, slash)), error);
  if (short_folder.empty()) return false;
  *shortened = Extended(short_folder) + path.substr(slash);
  return true;
}

}  // namespace

std::wstring StartablePath(const std::string& program_path) {
  const std::wstring path = Wide(program_path, "StartProgram");
  if (path.size() < MAX_PATH) return path;
  const std::string too_long = "the path is " + std::to_string(path.size()) +
                               " characters long, and the system starts programs only from paths "
                               "under " +
                               std::to_string(MAX_PATH) + " characters";
  DWORD error = 0;
  std::wstring candidate;
  if (!ShortenedPath(path, &candidate, &error)) {
    throw ServiceError("StartProgram", program_path,
                       too_long + "; its folder's short name is unknown: " + SystemErrorText(error),
                       CauseOf(error));
  }
  if (candidate.size() < MAX_PATH) return candidate;
  // Longer by the "\\?\" alone: nothing in the folder has a shorter name.
  const std::string why =
      candidate.size() >= path.size() + 4
          ? "; this folder has no shorter name"
          : "; with its folder's short name it is still " + std::to_string(candidate.size());
  throw ServiceError("StartProgram", program_path, too_long + why);
}

std::wstring LoadablePath(const std::wstring& path) {
  if (path.size() < MAX_PATH) return path;
  DWORD error = 0;
  std::wstring candidate;
  if (ShortenedPath(path, &candidate, &error) && candidate.size() < MAX_PATH) return candidate;
  return path;
}

}  // namespace launcher

#include "platform/win32/win32_start_path.h"

#include <algorithm>

#include "platform/services.h"
#include "platform/win32/wide.h"

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

}  // namespace

std::wstring StartablePath(const std::string& program_path) {
  std::wstring path = Wide(program_path, "StartProgram");
  if (path.size() < MAX_PATH) return path;
  const std::string too_long = "the path is " + std::to_string(path.size()) +
                               " characters long, and the system starts programs only from paths "
                               "under " +
                               std::to_string(MAX_PATH) + " characters";
  // The "\\?\" form does not turn "/" into "\" itself.
  std::replace(path.begin(), path.end(), L'/', L'\\');
  const std::size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) throw ServiceError("StartProgram", program_path, too_long);
  // Only the folder is shortened: the file may not be there yet, and the program keeps its own
  // name. The folder is asked in the "\\?\" form, else the system refuses it for its length.
  const std::wstring folder = Extended(path.substr(0, slash));
  DWORD error = 0;
  const std::wstring short_folder = ShortForm(folder, &error);
  if (short_folder.empty()) {
    throw ServiceError("StartProgram", program_path,
                       too_long + "; its folder's short name is unknown: " + SystemErrorText(error),
                       CauseOf(error));
  }
  // Kept in the "\\?\" form: without it Wine turns a short name back into the long one, which
  // no longer fits.
  const std::wstring shortened = Extended(short_folder);
  const std::wstring candidate = shortened + path.substr(slash);
  if (candidate.size() < MAX_PATH) return candidate;
  const std::string why = shortened == folder
                              ? "; this folder has no shorter name"
                              : "; with its folder's short name it is still " +
                                    std::to_string(candidate.size()) + " characters long";
  throw ServiceError("StartProgram", program_path, too_long + why);
}

}  // namespace launcher

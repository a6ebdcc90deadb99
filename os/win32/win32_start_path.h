#pragma once

#include <windows.h>

#include <string>

namespace launcher {

// The application name under which CreateProcessW can start the program at `program_path`
// (UTF-8), which need not exist yet: the path itself when it is shorter than MAX_PATH, else the
// short (8.3) form of its folder, in the "\\?\" form, followed by the program's own file name.
// The command line may keep `program_path` itself: once the application name is given, the system
// does not look the program up from the command line, and only the application name is limited.
// Throws ServiceError("StartProgram", program_path, ...) when no such form is under MAX_PATH.
std::wstring StartablePath(const std::string& program_path);

// `path` as the system's loaders that stop at MAX_PATH can open it: itself when short enough,
// else in the form StartablePath gives, else itself (the loader's own failure then says why).
std::wstring LoadablePath(const std::wstring& path);

}  // namespace launcher

#pragma once

#include <string>

// Paths as text, in either form the launcher meets: Windows' ("C:\dir\file.exe") and POSIX's.

namespace launcher {

// The folder part of `path` (up to the last "/" or "\"; "." when there is none), and the rest.
std::string FolderOf(const std::string& path);
std::string FileNameOf(const std::string& path);

// The path of the file named `name` in the folder of `path`, with the separator `path` uses.
std::string SiblingPath(const std::string& path, const std::string& name);

}  // namespace launcher

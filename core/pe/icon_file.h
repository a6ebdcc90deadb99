#pragma once

#include <string>
#include <vector>

#include "core/pe/random_access_file.h"

namespace launcher {

// Icon files larger than this are refused unread: a real one is a few hundred KiB at most.
inline constexpr std::size_t kMaxIconFileSize = 4 * 1024 * 1024;

// Empty when `bytes` are a well-formed icon file (an icon directory with at least one image, each
// image inside the file and either a bitmap or a PNG); otherwise what is wrong with it.
std::string IconFileProblem(const std::vector<unsigned char>& bytes);

// Reads the icon file `file`, opened from `path`, and throws ServiceError("LoadWindowIcon", ...)
// when it is too large or not well formed.
void RequireWellFormedIcon(RandomAccessFile& file, const std::string& path);

}  // namespace launcher

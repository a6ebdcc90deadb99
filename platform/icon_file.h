#pragma once

#include <string>
#include <vector>

namespace launcher {

// Icon files larger than this are refused unread: a real one is a few hundred KiB at most.
inline constexpr std::size_t kMaxIconFileSize = 4 * 1024 * 1024;

// Empty when `bytes` are a well-formed icon file (an icon directory with at least one image, each
// image inside the file and either a bitmap or a PNG); otherwise what is wrong with it.
std::string IconFileProblem(const std::vector<unsigned char>& bytes);

}  // namespace launcher

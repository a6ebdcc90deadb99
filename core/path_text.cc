#include "core/path_text.h"

namespace launcher {
namespace {

std::size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

}  // namespace

std::string FolderOf(const std::string& path) {
  const std::size_t separator = LastSeparator(path);
  if (separator == std::string::npos) return ".";
  return path.substr(0, separator == 0 ? 1 : separator);
}

std::string FileNameOf(const std::string& path) {
  const std::size_t separator = LastSeparator(path);
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string SiblingPath(const std::string& path, const std::string& name) {
  const std::size_t separator = LastSeparator(path);
  return separator == std::string::npos ? name : path.substr(0, separator + 1) + name;
}

}  // namespace launcher

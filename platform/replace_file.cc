#include "platform/replace_file.h"

#include <cstdio>

namespace launcher {
namespace {

constexpr char kTemporaryPrefix[] = "~";
constexpr char kTemporarySuffix[] = ".tmp";
constexpr std::size_t kRandomDigits = 16;

std::size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

}  // namespace

void ReplaceWithCopy(ReplaceSteps& steps, const std::string& source,
                     const std::string& destination) {
  steps.RemoveStaleTemporaries(destination);
  const std::string temporary = steps.WriteTemporaryCopy(source, destination);
  try {
    // Windows refuses to move over a read-only file; the forced replacement clears the mark and
    // puts it back when the move fails.
    const bool was_read_only = steps.ClearReadOnly(destination);
    try {
      steps.MoveOver(temporary, destination);
    } catch (...) {
      if (was_read_only) steps.RestoreReadOnly(destination);
      throw;
    }
  } catch (...) {
    steps.RemoveQuietly(temporary);
    throw;
  }
}

std::string TemporaryNameFor(const std::string& file_name, std::uint64_t random) {
  char digits[kRandomDigits + 1];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(random));
  return kTemporaryPrefix + file_name + "." + digits + kTemporarySuffix;
}

bool IsTemporaryNameFor(const std::string& name, const std::string& file_name) {
  const std::string prefix = kTemporaryPrefix + file_name + ".";
  const std::string suffix = kTemporarySuffix;
  if (name.size() != prefix.size() + kRandomDigits + suffix.size()) return false;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  for (std::size_t i = prefix.size(); i < prefix.size() + kRandomDigits; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const std::size_t separator = LastSeparator(path);
  if (separator == std::string::npos) return ".";
  return path.substr(0, separator == 0 ? 1 : separator);
}

std::string FileNameOf(const std::string& path) {
  const std::size_t separator = LastSeparator(path);
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

}  // namespace launcher

#pragma once

#include "platform/replace_file.h"

namespace launcher {

// Replacement steps on POSIX: the kernel's copy where it has one, fsync of the file, rename,
// fsync of the folder. A file's mode does not stop a rename here, so no read-only mark is cleared.
class PosixReplaceSteps : public ReplaceSteps {
 public:
  void RemoveStaleTemporaries(const std::string& destination) override;
  std::string WriteTemporaryCopy(const std::string& source,
                                 const std::string& destination) override;
  bool ClearReadOnly(const std::string& path) override;
  void RestoreReadOnly(const std::string& path) override;
  void MoveOver(const std::string& from, const std::string& to) override;
  void RemoveQuietly(const std::string& path) override;
};

}  // namespace launcher

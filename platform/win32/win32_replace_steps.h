#pragma once

#include "platform/replace_file.h"

namespace launcher {

// Replacement steps on Windows: CREATE_NEW for the temporary (never follows a planted link),
// FlushFileBuffers, then MoveFileExW with replace-existing and write-through.
class Win32ReplaceSteps : public ReplaceSteps {
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

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/replace/replace_file.h"
#include "os/win32/scoped_handle.h"
#include "os/win32/win32_folder.h"

namespace launcher {

// A copy being written beside its destination on Windows. Written through the handle it was
// created with; checked, moved and discarded through a second one without write access
// (CloseForWriting).
class Win32TemporaryCopy : public TemporaryCopy {
 public:
  // The file just created as `handle`, named `path`, inside `folder`.
  Win32TemporaryCopy(ScopedHandle handle, std::unique_ptr<Win32Folder> folder, std::string path);

  // Copies only from a Win32SourceFile.
  void CopyFrom(SourceFile& source) override;
  void CloseForWriting() override;
  std::uint64_t Size() override;
  std::string Version() override;
  // Renamed within the folder it was created in, by the handle of that folder.
  void MoveOver(const std::string& destination) override;
  void Discard() override;

 private:
  std::unique_ptr<Win32Folder> folder_;
  ScopedHandle handle_;  // after the folder, so that it is closed before the folder's handle
  std::string path_;
  std::string name_;
  std::optional<std::uint64_t> written_id_;  // set once the writing handle is closed
  bool moved_ = false;
  bool discarded_ = false;
  bool replaced_ = false;  // another file took this copy's name before it was reopened
};

}  // namespace launcher

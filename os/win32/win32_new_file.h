#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/replace/disk.h"
#include "os/win32/scoped_handle.h"
#include "os/win32/win32_folder.h"

namespace launcher {

// A copy being written beside its destination on Windows. Written through the handle it was
// created with; read, moved and discarded through a second one without write access
// (CloseForWriting).
class Win32NewFile : public NewDiskFile {
 public:
  // The file just created as `handle`, named `path`, inside `folder`; failures name `operation`.
  Win32NewFile(ScopedHandle handle, std::unique_ptr<Win32Folder> folder, std::string path,
               const char* operation);

  std::uint64_t Size() const override;
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;
  void WriteAt(std::uint64_t offset, const void* data, std::size_t length) override;
  // The file takes its folder's permissions; only flushed.
  void Finish(std::uint32_t permissions) override;
  void CloseForWriting() override;
  // Renamed within the folder it was created in, by the handle of that folder.
  void MoveOver(const std::string& destination) override;
  void Discard() override;

 private:
  [[noreturn]] void Fail(const std::string& path, DWORD error) const;

  std::unique_ptr<Win32Folder> folder_;
  ScopedHandle handle_;  // after the folder, so that it is closed before the folder's handle
  std::string path_;
  std::string name_;
  const char* operation_;
  std::optional<std::uint64_t> written_id_;  // set once the writing handle is closed
  bool moved_ = false;
  bool discarded_ = false;
  bool replaced_ = false;  // another file took this copy's name before it was reopened
};

}  // namespace launcher

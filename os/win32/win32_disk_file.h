#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/replace/disk.h"
#include "os/win32/win32_file.h"

namespace launcher {

// A file open on Windows so that others may read it but nobody may write, rename or remove it
// while it is read, verified and copied.
class Win32DiskFile : public DiskFile {
 public:
  // With `refuse_links`, a link (reparse point) at `path` is refused. Throws
  // ServiceError(operation, path, ...) when the file cannot be opened.
  Win32DiskFile(const std::string& path, const char* operation, bool refuse_links);

  std::uint64_t Size() const override { return file_.Size(); }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    return file_.ReadAt(offset, buffer, length);
  }
  std::unique_ptr<SignedMessage> DecodeSignature(const Bytes& signature, FileCheck check) override;
  // Nobody can have written, renamed or removed the file since it was opened: the share mode
  // denies it for as long as it is open.
  bool Unchanged() override { return true; }
  // A copy takes the permissions of its folder.
  std::uint32_t Permissions() const override { return 0; }

 private:
  std::string path_;
  const char* operation_;
  Win32File file_;
};

}  // namespace launcher

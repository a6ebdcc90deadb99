#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/replace/replace_file.h"
#include "os/win32/win32_file.h"

namespace launcher {

// The file a copy is made from on Windows, open so that others may read it but nobody may write,
// rename or remove it while it is verified and copied.
class Win32SourceFile : public SourceFile {
 public:
  // With `refuse_links`, a link (reparse point) at `path` is refused. Throws
  // ServiceError("FileCopy", path, ...) when the file cannot be opened.
  Win32SourceFile(const std::string& path, bool refuse_links);

  std::uint64_t Size() const override { return file_.Size(); }
  std::optional<std::uint64_t> ImageExtent() override;
  Verification VerifiedPublisher() override;
  // Nobody can have written, renamed or removed the file since it was opened: the share mode
  // denies it for as long as it is open.
  bool Unchanged() override { return true; }

  Win32File& file() { return file_; }

 private:
  std::string path_;
  Win32File file_;
};

}  // namespace launcher

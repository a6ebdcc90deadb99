#pragma once

#include <string>

#include "platform/random_access_file.h"

namespace launcher {

// A regular file open for reading. Opening never blocks, so a FIFO or device is refused rather
// than waited on.
class PosixFile : public RandomAccessFile {
 public:
  // Throws ServiceError(operation, path, ...) when the file cannot be opened or is not a regular
  // file.
  PosixFile(const std::string& path, const std::string& operation);
  ~PosixFile() override;
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  std::uint64_t Size() const override { return size_; }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;

  int descriptor() const { return fd_; }
  unsigned mode() const { return mode_; }

 private:
  std::string path_;
  std::string operation_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  unsigned mode_ = 0;
};

// The system's text for errno value `error`.
std::string ErrnoText(int error);

}  // namespace launcher

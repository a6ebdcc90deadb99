#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>

#include "core/pe/random_access_file.h"

namespace launcher {

class FolderEntry;

// A regular file open for reading. Opening never blocks, so a FIFO or device is refused rather
// than waited on.
class PosixFile : public RandomAccessFile {
 public:
  // Throws ServiceError(operation, path, ...) when the file cannot be opened or is not a regular
  // file.
  PosixFile(const std::string& path, const std::string& operation);
  // Takes over `descriptor`, open for reading, of the file at `path`; throws as above, closing
  // it, when it is not a regular file.
  PosixFile(int descriptor, std::string path, std::string operation);
  ~PosixFile() override;
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  std::uint64_t Size() const override { return size_; }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;

  // Whether size and modification time are still those seen when it was opened. Throws
  // ServiceError when the file can no longer be examined.
  bool Unchanged() const;

  int descriptor() const { return fd_; }
  unsigned mode() const { return mode_; }
  const std::string& path() const { return path_; }

 private:
  void Examine();

  std::string path_;
  std::string operation_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  unsigned mode_ = 0;
  struct timespec modified_ {};
};

// Opens the file `entry` names for reading, never through a link in a held folder; nullptr when
// the file or its folder does not exist. Throws ServiceError(operation, ...) otherwise.
std::unique_ptr<PosixFile> OpenFileIfExists(const FolderEntry& entry, const std::string& operation);

// As OpenFileIfExists, but a missing file fails as well.
std::unique_ptr<PosixFile> OpenFile(const FolderEntry& entry, const std::string& operation);

// Reads up to `length` bytes at `offset` of the file open as `descriptor`, signals or not; fewer
// only at its end. Throws ServiceError(operation, path, ...) when the system fails to read.
std::size_t ReadAtDescriptor(int descriptor, std::uint64_t offset, void* buffer, std::size_t length,
                             const std::string& operation, const std::string& path);

// The system's text for errno value `error`.
std::string ErrnoText(int error);

// Sleeps `milliseconds`, signals or not.
void SleepMilliseconds(int milliseconds);

}  // namespace launcher

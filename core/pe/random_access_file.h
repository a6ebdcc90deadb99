#pragma once

#include <cstddef>
#include <cstdint>

namespace launcher {

// A file open for reading at any offset.
class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;

  // The file's size in bytes, as it was when opened.
  virtual std::uint64_t Size() const = 0;

  // Reads up to `length` bytes at `offset` into `buffer`; returns how many were read, fewer only
  // at the end of the file. Throws ServiceError when the system fails to read.
  virtual std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) = 0;
};

}  // namespace launcher

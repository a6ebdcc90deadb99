#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "core/pe/random_access_file.h"

namespace launcher {

// A file held in memory, counting the bytes read from it.
class MemoryFile : public RandomAccessFile {
 public:
  explicit MemoryFile(std::string bytes) : bytes_(std::move(bytes)) {}

  std::uint64_t Size() const override { return bytes_.size(); }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    if (offset >= bytes_.size()) return 0;
    const std::size_t n = std::min<std::size_t>(length, bytes_.size() - offset);
    std::memcpy(buffer, bytes_.data() + offset, n);
    bytes_read += n;
    return n;
  }

  std::uint64_t bytes_read = 0;

 private:
  std::string bytes_;
};

}  // namespace launcher

#pragma once

#include "core/pe/random_access_file.h"

namespace launcher {

// Passes reads through to another file and counts the bytes they return.
class CountingFile : public RandomAccessFile {
 public:
  explicit CountingFile(RandomAccessFile& file) : file_(file) {}

  std::uint64_t Size() const override { return file_.Size(); }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    const std::size_t n = file_.ReadAt(offset, buffer, length);
    bytes_read += n;
    return n;
  }

  std::uint64_t bytes_read = 0;

 private:
  RandomAccessFile& file_;
};

}  // namespace launcher

#pragma once

#include <windows.h>

#include <string>

#include "platform/random_access_file.h"

namespace launcher {

// A file open for reading. Others may read, write, rename or delete it meanwhile, so holding it
// open never stops another launcher from replacing it.
class Win32File : public RandomAccessFile {
 public:
  // Throws ServiceError(operation, path, ...) when the file cannot be opened.
  Win32File(const std::string& path, const char* operation);
  ~Win32File() override;
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  std::uint64_t Size() const override { return size_; }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;

  HANDLE handle() const { return handle_; }

 private:
  std::string path_;
  const char* operation_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::uint64_t size_ = 0;
};

}  // namespace launcher

#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/pe/random_access_file.h"
#include "os/win32/scoped_handle.h"

namespace launcher {

// Reads at any offset through a handle that someone else owns and keeps open. Positioned reads
// only: whatever else the owner does with the handle's file pointer is left alone.
class Win32HandleReader : public RandomAccessFile {
 public:
  // Throws ServiceError(operation, path, ...) when the size cannot be read.
  Win32HandleReader(HANDLE handle, const std::string& path, const char* operation);

  std::uint64_t Size() const override { return size_; }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;

 private:
  HANDLE handle_;
  std::string path_;
  const char* operation_;
  std::uint64_t size_ = 0;
};

// How a Win32File is opened.
struct Win32OpenRules {
  // What others may do with the file while it is open. By default everything, so holding it open
  // never stops another launcher from replacing it.
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // Opens a link (symbolic link, junction, any reparse point) itself instead of what it points
  // to, and refuses it.
  bool refuse_links = false;
};

// A file open for reading.
class Win32File : public RandomAccessFile {
 public:
  // Throws ServiceError(operation, path, ...) when the file cannot be opened or is a folder,
  // a device or, by `rules`, a link.
  Win32File(const std::string& path, const char* operation, Win32OpenRules rules = {});
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  // As the constructor, but nullptr when nothing is at `path` (file or folder not found).
  static std::unique_ptr<Win32File> OpenIfPresent(const std::string& path, const char* operation,
                                                  Win32OpenRules rules = {});

  std::uint64_t Size() const override { return reader_->Size(); }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    return reader_->ReadAt(offset, buffer, length);
  }

  HANDLE handle() const { return handle_.get(); }

 private:
  Win32File(HANDLE handle, const std::string& path, const char* operation, bool refuse_links);

  ScopedHandle handle_;
  std::unique_ptr<Win32HandleReader> reader_;
};

}  // namespace launcher

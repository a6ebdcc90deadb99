#include "platform/posix/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/services.h"

namespace launcher {

std::string ErrnoText(int error) { return std::strerror(error); }

PosixFile::PosixFile(const std::string& path, const std::string& operation)
    : path_(path), operation_(operation) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) throw ServiceError(operation, path, ErrnoText(errno));
  struct stat info {};
  if (::fstat(fd_, &info) != 0) {
    const int error = errno;
    ::close(fd_);
    throw ServiceError(operation, path, ErrnoText(error));
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd_);
    throw ServiceError(operation, path, "not a file");
  }
  size_ = static_cast<std::uint64_t>(info.st_size);
  mode_ = info.st_mode & 07777;
}

PosixFile::~PosixFile() { ::close(fd_); }

std::size_t PosixFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ServiceError(operation_, path_, ErrnoText(errno));
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace launcher

#include "os/posix/posix_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "core/service_error.h"
#include "os/posix/posix_folder.h"

namespace launcher {
namespace {

constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

}  // namespace

std::string ErrnoText(int error) { return std::strerror(error); }

void SleepMilliseconds(int milliseconds) {
  struct timespec left {
    milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000
  };
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

PosixFile::PosixFile(const std::string& path, const std::string& operation)
    : path_(path), operation_(operation), fd_(::open(path.c_str(), kReadFlags)) {
  if (fd_ < 0) throw ServiceError(operation_, path_, ErrnoText(errno));
  Examine();
}

PosixFile::PosixFile(int descriptor, std::string path, std::string operation)
    : path_(std::move(path)), operation_(std::move(operation)), fd_(descriptor) {
  Examine();
}

void PosixFile::Examine() {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) {
    const int error = errno;
    ::close(fd_);
    throw ServiceError(operation_, path_, ErrnoText(error));
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd_);
    throw ServiceError(operation_, path_, "not a file");
  }
  size_ = static_cast<std::uint64_t>(info.st_size);
  mode_ = info.st_mode & 07777;
  modified_ = info.st_mtim;
}

PosixFile::~PosixFile() { ::close(fd_); }

std::size_t PosixFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  return ReadAtDescriptor(fd_, offset, buffer, length, operation_, path_);
}

std::size_t ReadAtDescriptor(int descriptor, std::uint64_t offset, void* buffer, std::size_t length,
                             const std::string& operation, const std::string& path) {
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n =
        ::pread(descriptor, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ServiceError(operation, path, ErrnoText(errno));
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool PosixFile::Unchanged() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) throw ServiceError(operation_, path_, ErrnoText(errno));
  return static_cast<std::uint64_t>(info.st_size) == size_ &&
         info.st_mtim.tv_sec == modified_.tv_sec && info.st_mtim.tv_nsec == modified_.tv_nsec;
}

std::unique_ptr<PosixFile> OpenFileIfExists(const FolderEntry& entry,
                                            const std::string& operation) {
  RequireReachable(entry, operation);
  if (entry.folder_missing()) return nullptr;
  const int descriptor = OpenEntry(entry, kReadFlags);
  if (descriptor < 0) {
    if (errno == ENOENT) return nullptr;
    throw ServiceError(operation, entry.path(), EntryErrorText(entry, errno));
  }
  return std::make_unique<PosixFile>(descriptor, entry.path(), operation);
}

std::unique_ptr<PosixFile> OpenFile(const FolderEntry& entry, const std::string& operation) {
  std::unique_ptr<PosixFile> file = OpenFileIfExists(entry, operation);
  if (!file) {
    throw ServiceError(operation, entry.path(),
                       entry.folder_missing() ? entry.unavailable() : ErrnoText(ENOENT));
  }
  return file;
}

}  // namespace launcher

#include "platform/posix/posix_replace_steps.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/posix/posix_file.h"
#include "platform/services.h"

namespace launcher {
namespace {

constexpr std::size_t kCopyChunk = 1 << 20;
constexpr int kNameAttempts = 16;

[[noreturn]] void Fail(const std::string& path, int error) {
  throw ServiceError("FileCopy", path, ErrnoText(error));
}

std::uint64_t RandomNumber(const std::string& path) {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) Fail(path, errno);
  return value;
}

// Copies with read and write where the kernel cannot copy between the two files itself.
void CopyByReading(int from, int to, const std::string& source, const std::string& temporary) {
  std::vector<char> buffer(kCopyChunk);
  for (;;) {
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(source, errno);
    if (n == 0) return;
    for (ssize_t written = 0; written < n;) {
      const ssize_t w = ::write(to, buffer.data() + written, static_cast<std::size_t>(n - written));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) Fail(temporary, errno);
      written += w;
    }
  }
}

void CopyContents(int from, int to, const std::string& source, const std::string& temporary) {
  for (bool first = true;; first = false) {
    const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, kCopyChunk, 0);
    if (n > 0) continue;
    if (n == 0) return;
    if (errno == EINTR) continue;
    const bool unsupported =
        errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL;
    if (first && unsupported) return CopyByReading(from, to, source, temporary);
    Fail(errno == EBADF ? source : temporary, errno);
  }
}

}  // namespace

void PosixReplaceSteps::RemoveStaleTemporaries(const std::string& destination) {
  const std::string folder = FolderOf(destination);
  const std::string file_name = FileNameOf(destination);
  DIR* directory = ::opendir(folder.c_str());
  if (directory == nullptr) return;
  const std::time_t now = std::time(nullptr);
  while (const dirent* entry = ::readdir(directory)) {
    if (!IsTemporaryNameFor(entry->d_name, file_name)) continue;
    struct stat info {};
    if (::fstatat(::dirfd(directory), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode) && now - info.st_mtime > kStaleTemporaryAgeSeconds) {
      ::unlinkat(::dirfd(directory), entry->d_name, 0);
    }
  }
  ::closedir(directory);
}

std::string PosixReplaceSteps::WriteTemporaryCopy(const std::string& source,
                                                  const std::string& destination) {
  PosixFile from(source, "FileCopy");
  const std::string folder = FolderOf(destination);
  std::string temporary;
  int to = -1;
  for (int attempt = 0; to < 0 && attempt < kNameAttempts; ++attempt) {
    temporary = folder + "/" + TemporaryNameFor(FileNameOf(destination), RandomNumber(source));
    to = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (to < 0 && errno != EEXIST) Fail(destination, errno);
  }
  if (to < 0) Fail(destination, EEXIST);

  try {
    CopyContents(from.descriptor(), to, source, temporary);
    // The new copy takes the source's permissions, less what the umask withholds.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(to, from.mode() & 0777 & ~mask) != 0) Fail(temporary, errno);
    if (::fsync(to) != 0) Fail(temporary, errno);
    const int descriptor = to;
    to = -1;
    if (::close(descriptor) != 0) Fail(temporary, errno);
  } catch (...) {
    if (to >= 0) ::close(to);
    ::unlink(temporary.c_str());
    throw;
  }
  return temporary;
}

bool PosixReplaceSteps::ClearReadOnly(const std::string& /*path*/) { return false; }

void PosixReplaceSteps::RestoreReadOnly(const std::string& /*path*/) {}

void PosixReplaceSteps::MoveOver(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) Fail(to, errno);
  // Make the rename itself durable. Some file systems cannot sync a folder; the rename stands.
  const int folder = ::open(FolderOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
}

void PosixReplaceSteps::RemoveQuietly(const std::string& path) { ::unlink(path.c_str()); }

}  // namespace launcher

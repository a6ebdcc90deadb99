#include "os/posix/posix_disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

#include "os/posix/posix_file.h"

namespace launcher {
namespace {

class PosixDiskFile : public DiskFile {
 public:
  explicit PosixDiskFile(std::unique_ptr<PosixFile> file) : file_(std::move(file)) {}

  std::uint64_t Size() const override { return file_->Size(); }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    return file_->ReadAt(offset, buffer, length);
  }
  std::unique_ptr<SignedMessage> DecodeSignature(const Bytes& /*signature*/,
                                                 FileCheck /*check*/) override {
    return nullptr;
  }
  bool Unchanged() override { return file_->Unchanged(); }
  std::uint32_t Permissions() const override { return file_->mode() & 0777; }

 private:
  std::unique_ptr<PosixFile> file_;
};

// A copy being written beside its destination, under a shared lock that marks it alive.
class PosixNewFile : public NewDiskFile {
 public:
  PosixNewFile(FolderEntry entry, int descriptor, std::string operation)
      : entry_(std::move(entry)), fd_(descriptor), operation_(std::move(operation)) {}
  ~PosixNewFile() override { ::close(fd_); }
  PosixNewFile(const PosixNewFile&) = delete;
  PosixNewFile& operator=(const PosixNewFile&) = delete;

  std::uint64_t Size() const override {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) Fail(entry_.path(), ErrnoText(errno));
    return static_cast<std::uint64_t>(info.st_size);
  }

  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    return ReadAtDescriptor(fd_, offset, buffer, length, operation_, entry_.path());
  }

  void WriteAt(std::uint64_t offset, const void* data, std::size_t length) override {
    for (std::size_t written = 0; written < length;) {
      const ssize_t n = ::pwrite(fd_, static_cast<const char*>(data) + written, length - written,
                                 static_cast<off_t>(offset + written));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Fail(entry_.path(), ErrnoText(errno));
      written += static_cast<std::size_t>(n);
    }
  }

  // The new copy takes the source's permissions, less what the umask withholds; a source with
  // none gives it none.
  void Finish(std::uint32_t permissions) override {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_, permissions & ~mask) != 0) Fail(entry_.path(), ErrnoText(errno));
    if (::fsync(fd_) != 0) Fail(entry_.path(), ErrnoText(errno));
  }

  // The written file is opened again, read-only, by its name in the folder, and must be the same
  // file: the kernel refuses to start a program that a descriptor holds open for writing. Not
  // blocking, in case a FIFO was put at the name meanwhile. The shared lock that marks the copy
  // as alive is taken on the new descriptor before the old one closes.
  void CloseForWriting() override {
    const int reader = ::openat(entry_.folder(), entry_.name().c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (reader < 0) Fail(entry_.path(), ErrnoText(errno));
    ::flock(reader, LOCK_SH | LOCK_NB);
    struct stat written {};
    struct stat opened {};
    if (::fstat(fd_, &written) != 0 || ::fstat(reader, &opened) != 0) {
      const int error = errno;
      ::close(reader);
      Fail(entry_.path(), ErrnoText(error));
    }
    if (written.st_dev != opened.st_dev || written.st_ino != opened.st_ino) {
      ::close(reader);
      Fail(entry_.path(), "the copy was replaced by another file before it was checked");
    }
    ::close(fd_);
    fd_ = reader;
  }

  void MoveOver(const std::string& destination) override {
    if (FolderOf(destination) != FolderOf(entry_.path())) {
      Fail(destination, "not in the folder of the copy");
    }
    const int folder = entry_.folder();
    if (::renameat(folder, entry_.name().c_str(), folder, FileNameOf(destination).c_str()) != 0) {
      Fail(destination, EntryErrorText(entry_, errno));
    }
    gone_ = true;
    SyncFolder(folder);
  }

  void Discard() override {
    if (gone_) return;
    ::unlinkat(entry_.folder(), entry_.name().c_str(), 0);
    gone_ = true;
  }

 private:
  [[noreturn]] void Fail(const std::string& path, const std::string& why) const {
    throw ServiceError(operation_, path, why);
  }

  FolderEntry entry_;
  int fd_;
  std::string operation_;
  bool gone_ = false;  // moved or discarded: the name is no longer ours
};

}  // namespace

void PosixDisk::Fail(const std::string& path, const std::string& why) const {
  throw ServiceError(operation_, path, why);
}

ReplaceSteps::FileKind PosixDisk::KindOf(const std::string& path) {
  const std::optional<struct stat> info = StatEntry(folders_->Locate(path), operation_, false);
  if (!info) return ReplaceSteps::FileKind::kMissing;
  return S_ISREG(info->st_mode) ? ReplaceSteps::FileKind::kRegular : ReplaceSteps::FileKind::kOther;
}

std::unique_ptr<DiskFile> PosixDisk::OpenToRead(const std::string& path) {
  return std::make_unique<PosixDiskFile>(OpenFile(folders_->Locate(path), operation_));
}

std::unique_ptr<RandomAccessFile> PosixDisk::OpenIfPresent(const std::string& path) {
  return OpenFileIfExists(folders_->Locate(path), operation_);
}

std::unique_ptr<NewDiskFile> PosixDisk::CreateNew(const std::string& path) {
  FolderEntry entry = folders_->Locate(path);
  if (entry.folder() < 0) Fail(path, entry.unavailable());
  const int descriptor = ::openat(entry.folder(), entry.name().c_str(),
                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    if (errno == EEXIST) return nullptr;
    Fail(path, ErrnoText(errno));
  }
  // Only an exclusive lock, which no launcher takes on its own copy, could stand in the way.
  ::flock(descriptor, LOCK_SH | LOCK_NB);
  return std::make_unique<PosixNewFile>(std::move(entry), descriptor, operation_);
}

std::uint64_t PosixDisk::RandomNumber() {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
    Fail("", ErrnoText(errno));
  }
  return value;
}

void PosixDisk::CheckCanCreateIn(const std::string& destination) {
  FolderEntry entry = folders_->Locate(destination);
  if (entry.folder() < 0) Fail(destination, entry.unavailable());
  if (::faccessat(entry.folder(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    Fail(destination, ErrnoText(errno));
  }
}

bool PosixDisk::ClearReadOnly(const std::string& /*path*/) { return false; }

void PosixDisk::RestoreReadOnly(const std::string& /*path*/) {}

void PosixDisk::Pause(int milliseconds) { SleepMilliseconds(milliseconds); }

Disk::Listing PosixDisk::ListFiles(const std::string& path, const std::string& pattern) {
  Listing listing;
  const FolderEntry entry = folders_->Locate(path);
  if (entry.folder() < 0) return listing;
  // A listing of its own, from the folder's descriptor: "." is never a link.
  const int descriptor = ::openat(entry.folder(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return listing;
  DIR* directory = ::fdopendir(descriptor);
  if (directory == nullptr) {
    ::close(descriptor);
    return listing;
  }
  listing.now = static_cast<std::uint64_t>(std::time(nullptr));
  while (const dirent* found = ::readdir(directory)) {
    struct stat info {};
    if (::fnmatch(pattern.c_str(), found->d_name, 0) == 0 &&
        ::fstatat(entry.folder(), found->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode)) {
      listing.files.push_back({found->d_name, static_cast<std::uint64_t>(info.st_mtim.tv_sec)});
    }
  }
  ::closedir(directory);
  return listing;
}

void PosixDisk::RemoveUnheld(const std::string& path) {
  const FolderEntry entry = folders_->Locate(path);
  if (entry.folder() < 0) return;
  const int file = ::openat(entry.folder(), entry.name().c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (file < 0) return;
  struct stat info {};
  if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode) && ::flock(file, LOCK_EX | LOCK_NB) == 0) {
    ::unlinkat(entry.folder(), entry.name().c_str(), 0);
  }
  ::close(file);
}

}  // namespace launcher

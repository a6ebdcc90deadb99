#include "os/posix/posix_replace_steps.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "core/pe/pe_version_reader.h"
#include "core/replace/fresh_name.h"
#include "launch/services.h"
#include "os/posix/posix_file.h"

namespace launcher {
namespace {

constexpr char kOperation[] = "FileCopy";
constexpr std::size_t kCopyChunk = 1 << 20;

[[noreturn]] void Fail(const std::string& path, const std::string& why) {
  throw ServiceError(kOperation, path, why);
}

[[noreturn]] void Fail(const std::string& path, int error) { Fail(path, ErrnoText(error)); }

std::uint64_t RandomNumber(const std::string& path) {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) Fail(path, errno);
  return value;
}

// Copies with pread and pwrite where the kernel cannot copy between the two files itself.
void CopyByReading(int from, int to, off_t offset, const std::string& source,
                   const std::string& temporary) {
  std::vector<char> buffer(kCopyChunk);
  for (;;) {
    const ssize_t n = ::pread(from, buffer.data(), buffer.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(source, errno);
    if (n == 0) return;
    for (ssize_t written = 0; written < n;) {
      const ssize_t w = ::pwrite(to, buffer.data() + written, static_cast<std::size_t>(n - written),
                                 offset + written);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) Fail(temporary, errno);
      written += w;
    }
    offset += n;
  }
}

// Copies from the start of `from` to its end, whatever either file's position.
void CopyContents(int from, int to, const std::string& source, const std::string& temporary) {
  off_t in = 0;
  off_t out = 0;
  for (;;) {
    const ssize_t n = ::copy_file_range(from, &in, to, &out, kCopyChunk, 0);
    if (n > 0) continue;
    if (n == 0) return;
    if (errno == EINTR) continue;
    const bool unsupported =
        errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL;
    // Both offsets have moved alike so far.
    if (unsupported) return CopyByReading(from, to, in, source, temporary);
    Fail(errno == EBADF ? source : temporary, errno);
  }
}

class PosixSourceFile : public SourceFile {
 public:
  explicit PosixSourceFile(std::unique_ptr<PosixFile> file) : file_(std::move(file)) {}

  std::uint64_t Size() const override { return file_->Size(); }
  std::optional<std::uint64_t> ImageExtent() override { return PeImageExtent(*file_); }
  Verification VerifiedPublisher() override {
    return {false, {}, "no signature verifier on this system"};
  }
  bool Unchanged() override { return file_->Unchanged(); }

  const PosixFile& file() const { return *file_; }

 private:
  std::unique_ptr<PosixFile> file_;
};

class PosixTemporaryCopy : public TemporaryCopy {
 public:
  PosixTemporaryCopy(FolderEntry destination, std::string name, int descriptor)
      : destination_(std::move(destination)),
        name_(std::move(name)),
        path_(FolderOf(destination_.path()) + "/" + name_),
        fd_(descriptor) {}
  ~PosixTemporaryCopy() override { ::close(fd_); }
  PosixTemporaryCopy(const PosixTemporaryCopy&) = delete;
  PosixTemporaryCopy& operator=(const PosixTemporaryCopy&) = delete;

  void CopyFrom(SourceFile& source) override {
    const auto* from = dynamic_cast<const PosixSourceFile*>(&source);
    if (from == nullptr) Fail(path_, "the source was not opened by these steps");
    CopyContents(from->file().descriptor(), fd_, from->file().path(), path_);
    // The new copy takes the source's permissions, less what the umask withholds.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_, from->file().mode() & 0777 & ~mask) != 0) Fail(path_, errno);
    if (::fsync(fd_) != 0) Fail(path_, errno);
  }

  // The written file is opened again, read-only, by its name in the folder, and must be the same
  // file: the kernel refuses to start a program that a descriptor holds open for writing. Not
  // blocking, in case a FIFO was put at the name meanwhile. The shared lock that marks the copy
  // as alive is taken on the new descriptor before the old one closes.
  void CloseForWriting() override {
    const int reader = ::openat(destination_.folder(), name_.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (reader < 0) Fail(path_, errno);
    ::flock(reader, LOCK_SH | LOCK_NB);
    struct stat written {};
    struct stat opened {};
    if (::fstat(fd_, &written) != 0 || ::fstat(reader, &opened) != 0) {
      const int error = errno;
      ::close(reader);
      Fail(path_, error);
    }
    if (written.st_dev != opened.st_dev || written.st_ino != opened.st_ino) {
      ::close(reader);
      Fail(path_, "the copy was replaced by another file before it was checked");
    }
    ::close(fd_);
    fd_ = reader;
  }

  std::uint64_t Size() override {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) Fail(path_, errno);
    return static_cast<std::uint64_t>(info.st_size);
  }

  std::string Version() override {
    const int descriptor = ::dup(fd_);
    if (descriptor < 0) Fail(path_, errno);
    PosixFile written(descriptor, path_, kOperation);
    return ReadPeFileVersion(written);
  }

  void MoveOver(const std::string& destination) override {
    if (destination != destination_.path()) Fail(destination, "not the file this copy is for");
    const int folder = destination_.folder();
    if (::renameat(folder, name_.c_str(), folder, destination_.name().c_str()) != 0) {
      Fail(destination, EntryErrorText(destination_, errno));
    }
    gone_ = true;
    SyncFolder(folder);
  }

  void Discard() override {
    if (gone_) return;
    ::unlinkat(destination_.folder(), name_.c_str(), 0);
    gone_ = true;
  }

 private:
  FolderEntry destination_;
  std::string name_;
  std::string path_;
  int fd_;
  bool gone_ = false;  // moved or discarded: the name is no longer ours
};

}  // namespace

ReplaceSteps::FileKind PosixReplaceSteps::KindOf(const std::string& path) {
  const std::optional<struct stat> info = StatEntry(folders_.Locate(path), kOperation, false);
  if (!info) return FileKind::kMissing;
  return S_ISREG(info->st_mode) ? FileKind::kRegular : FileKind::kOther;
}

std::optional<SubjectName> PosixReplaceSteps::EmbeddedPublisher(const std::string& /*path*/) {
  return std::nullopt;
}

std::optional<SubjectName> PosixReplaceSteps::PinningPublisher(const std::string& /*path*/) {
  return std::nullopt;
}

std::unique_ptr<SourceFile> PosixReplaceSteps::OpenSource(const std::string& path) {
  return std::make_unique<PosixSourceFile>(OpenFile(folders_.Locate(path), kOperation));
}

void PosixReplaceSteps::CheckCanCreateIn(const std::string& destination) {
  FolderEntry entry = folders_.Locate(destination);
  if (entry.folder() < 0) Fail(destination, entry.unavailable());
  if (::faccessat(entry.folder(), ".", W_OK | X_OK, AT_EACCESS) != 0) Fail(destination, errno);
}

std::unique_ptr<TemporaryCopy> PosixReplaceSteps::CreateTemporary(const std::string& destination) {
  FolderEntry entry = folders_.Locate(destination);
  if (entry.folder() < 0) Fail(destination, entry.unavailable());
  int descriptor = -1;
  const std::optional<std::string> name = CreateWithFreshName(
      destination, [&] { return RandomNumber(destination); },
      [&](const std::string& candidate) {
        descriptor = ::openat(entry.folder(), candidate.c_str(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (descriptor >= 0) return CreateOutcome::kCreated;
        if (errno != EEXIST) Fail(destination, errno);
        return CreateOutcome::kNameTaken;
      });
  if (!name) Fail(destination, EEXIST);
  // Alive for RemoveStaleTemporaries while this lock is held; only an exclusive lock, which no
  // launcher takes on its own copy, could stand in the way.
  ::flock(descriptor, LOCK_SH | LOCK_NB);
  return std::make_unique<PosixTemporaryCopy>(std::move(entry), *name, descriptor);
}

std::string PosixReplaceSteps::VersionOf(const std::string& path) {
  const std::unique_ptr<PosixFile> file = OpenFileIfExists(folders_.Locate(path), kOperation);
  return file ? ReadPeFileVersion(*file) : std::string();
}

bool PosixReplaceSteps::ClearReadOnly(const std::string& /*path*/) { return false; }

void PosixReplaceSteps::RestoreReadOnly(const std::string& /*path*/) {}

void PosixReplaceSteps::Pause(int milliseconds) { SleepMilliseconds(milliseconds); }

}  // namespace launcher

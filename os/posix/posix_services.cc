#include "os/posix/posix_services.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <utility>
#include <vector>

#include "core/pe/icon_file.h"
#include "core/pe/pe_version_reader.h"
#include "core/replace/replace_file.h"
#include "os/posix/posix_file.h"
#include "os/posix/posix_replace_steps.h"

namespace launcher {
namespace {

bool OnDriveC(const std::string& path) {
  return path.size() >= 2 && (path[0] == 'C' || path[0] == 'c') && path[1] == ':' &&
         (path.size() == 2 || path[2] == '/' || path[2] == '\\');
}

}  // namespace

std::string ToPosixPath(const std::string& windows_path, const std::string& drive_c_root) {
  std::string path = windows_path;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (OnDriveC(path)) path = drive_c_root + path.substr(2);
  return path;
}

PosixServices::PosixServices(std::string drive_c_root) : drive_c_root_(std::move(drive_c_root)) {}

std::string PosixServices::Native(const std::string& path) const {
  return ToPosixPath(path, drive_c_root_);
}

std::string PosixServices::ApplicationDirectory() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) throw ServiceError("ApplicationDirectory", "/proc/self/exe", ErrnoText(errno));
    if (static_cast<std::size_t>(n) < buffer.size()) {
      return FolderOf(std::string(buffer.data(), static_cast<std::size_t>(n)));
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool PosixServices::FileExists(const std::string& path) {
  if (path.empty()) return false;
  // Outside a held folder a link counts as what it leads to.
  const std::optional<struct stat> info = StatEntry(Locate(path), "FileExists", true);
  return info && S_ISREG(info->st_mode);
}

std::string PosixServices::GetFileVersion(const std::string& path) {
  return ReadPeFileVersion(*OpenFile(Locate(path), "GetFileVersion"));
}

void PosixServices::DeleteFile(const std::string& path, bool force) {
  const FolderEntry entry = Locate(path);
  const std::optional<struct stat> info = StatEntry(entry, "DeleteFile", false);
  if (!info) throw ServiceError("DeleteFile", path, ErrnoText(ENOENT));
  if (S_ISDIR(info->st_mode)) throw ServiceError("DeleteFile", path, "not a file");
  // Unlinking ignores the file's own mode; honour the read-only mark as Windows does.
  if (!force && (info->st_mode & S_IWUSR) == 0) {
    throw ServiceError("DeleteFile", path, "the file is read-only");
  }
  if (::unlinkat(entry.folder(), entry.name().c_str(), 0) != 0) {
    throw ServiceError("DeleteFile", path, ErrnoText(errno));
  }
}

void PosixServices::HoldFolder(const std::string& folder) {
  const std::string native = Native(folder);
  if (OnDriveC(folder)) {
    held_.Hold(folder, native, drive_c_root_, native.substr(drive_c_root_.size()));
  } else {
    held_.Hold(folder, native, native.rfind('/', 0) == 0 ? "/" : ".", native);
  }
}

void PosixServices::RemoveStaleTemporaries(const std::string& copy_path) {
  const FolderEntry entry = Locate(copy_path);
  if (entry.folder() < 0) return;
  // A listing of its own, from the folder's descriptor: "." is never a link.
  const int listing = ::openat(entry.folder(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  DIR* directory = ::fdopendir(listing);
  if (directory == nullptr) {
    ::close(listing);
    return;
  }
  const auto now = static_cast<std::uint64_t>(std::time(nullptr));
  while (const dirent* found = ::readdir(directory)) {
    if (!IsTemporaryNameFor(found->d_name, entry.name())) continue;
    // A launcher holds a shared lock on its temporary from creation to the move (see
    // PosixReplaceSteps): one that cannot be locked exclusively is alive.
    const int file = ::openat(entry.folder(), found->d_name,
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file < 0) continue;
    struct stat info {};
    if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode) &&
        IsStaleTemporary(now, static_cast<std::uint64_t>(info.st_mtim.tv_sec), 1) &&
        ::flock(file, LOCK_EX | LOCK_NB) == 0) {
      ::unlinkat(entry.folder(), found->d_name, 0);
    }
    ::close(file);
  }
  ::closedir(directory);
}

bool PosixServices::FileCopy(const std::string& source, const std::string& destination,
                             const CopyCheck& check, HoldRetry& retry) {
  PosixReplaceSteps steps(held_);
  return ReplaceWithCopy(steps, Native(source), Native(destination), check, retry);
}

void PosixServices::CheckFileCopy(const std::string& source, const std::string& destination,
                                  const CopyCheck& check, HoldRetry& retry) {
  PosixReplaceSteps steps(held_);
  CheckReplacement(steps, Native(source), Native(destination), check, retry);
}

void PosixServices::CheckStartable(const std::string& program_path) {
  const std::size_t length = Native(program_path).size();
  if (length >= PATH_MAX) {
    throw ServiceError("StartProgram", program_path,
                       "the path is " + std::to_string(length) +
                           " bytes long, and the system starts programs only from paths under " +
                           std::to_string(PATH_MAX) + " bytes");
  }
}

TaskId PosixServices::StartProgram(const std::string& program_path, int /*show_state*/) {
  CheckStartable(program_path);
  std::string native = Native(program_path);
  char* argv[] = {native.data(), nullptr};
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, native.c_str(), nullptr, nullptr, argv, environ);
  // ETXTBSY: another process has the program open for writing.
  if (error != 0) {
    throw ServiceError("StartProgram", program_path, ErrnoText(error),
                       error == ETXTBSY ? FailureCause::kHeld : FailureCause::kOther);
  }
  return static_cast<TaskId>(pid);
}

void PosixServices::LoadWindowIcon(const std::string& path) { CheckWindowIcon(path); }

void PosixServices::CheckWindowIcon(const std::string& path) {
  RequireWellFormedIcon(*OpenFile(Locate(path), "LoadWindowIcon"), path);
}

void PosixServices::Report(const std::string& line) {
  const std::string text = line + "\n";
  // One write, so that lines of launchers sharing the stream do not interleave; nothing more
  // can be done when it fails.
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
}

void PosixServices::Pause(int milliseconds) { SleepMilliseconds(milliseconds); }

void PosixServices::EndProcess(int status) { ::_exit(status); }

}  // namespace launcher

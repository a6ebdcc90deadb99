#include "os/posix/posix_services.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>
#include <vector>

#include "core/path_text.h"
#include "os/posix/posix_file.h"

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

PosixServices::PosixServices(std::string drive_c_root, std::shared_ptr<HeldFolders> held)
    : drive_c_root_(std::move(drive_c_root)), held_(std::move(held)) {}

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

std::unique_ptr<RandomAccessFile> PosixServices::OpenToRead(const std::string& path,
                                                            const char* operation) {
  return OpenFile(Locate(path), operation);
}

void PosixServices::HoldFolder(const std::string& folder) {
  const std::string native = Native(folder);
  if (OnDriveC(folder)) {
    held_->Hold(folder, native, drive_c_root_, native.substr(drive_c_root_.size()));
  } else {
    held_->Hold(folder, native, native.rfind('/', 0) == 0 ? "/" : ".", native);
  }
}

std::string PosixServices::SystemPath(const std::string& path) { return Native(path); }

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

std::unique_ptr<RandomAccessFile> PosixServices::OpenIconFile(const std::string& path) {
  return OpenFile(Locate(path), "LoadWindowIcon");
}

void PosixServices::SetWindowIcon(const std::string& /*path*/) {}

void PosixServices::Report(const std::string& line) {
  const std::string text = line + "\n";
  // One write, so that lines of launchers sharing the stream do not interleave; nothing more
  // can be done when it fails.
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
}

void PosixServices::Pause(int milliseconds) { SleepMilliseconds(milliseconds); }

void PosixServices::EndProcess(int status) { ::_exit(status); }

}  // namespace launcher

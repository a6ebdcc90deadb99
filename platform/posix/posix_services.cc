#include "platform/posix/posix_services.h"

#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>
#include <vector>

#include "platform/icon_file.h"
#include "platform/pe_version_reader.h"
#include "platform/posix/posix_file.h"
#include "platform/posix/posix_replace_steps.h"
#include "platform/replace_file.h"

namespace launcher {

std::string ToPosixPath(const std::string& windows_path, const std::string& drive_c_root) {
  std::string path = windows_path;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  const bool on_drive_c = path.size() >= 2 && (path[0] == 'C' || path[0] == 'c') &&
                          path[1] == ':' && (path.size() == 2 || path[2] == '/');
  if (on_drive_c) path = drive_c_root + path.substr(2);
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
  struct stat info {};
  if (::stat(Native(path).c_str(), &info) == 0) return S_ISREG(info.st_mode);
  if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG) return false;
  throw ServiceError("FileExists", path, ErrnoText(errno));
}

std::string PosixServices::GetFileVersion(const std::string& path) {
  PosixFile file(Native(path), "GetFileVersion");
  return ReadPeFileVersion(file);
}

void PosixServices::DeleteFile(const std::string& path, bool force) {
  const std::string native = Native(path);
  struct stat info {};
  if (::lstat(native.c_str(), &info) != 0) throw ServiceError("DeleteFile", path, ErrnoText(errno));
  if (S_ISDIR(info.st_mode)) throw ServiceError("DeleteFile", path, "not a file");
  // Unlinking ignores the file's own mode; honour the read-only mark as Windows does.
  if (!force && (info.st_mode & S_IWUSR) == 0) {
    throw ServiceError("DeleteFile", path, "the file is read-only");
  }
  if (::unlink(native.c_str()) != 0) throw ServiceError("DeleteFile", path, ErrnoText(errno));
}

void PosixServices::FileCopy(const std::string& source, const std::string& destination) {
  PosixReplaceSteps steps;
  ReplaceWithCopy(steps, Native(source), Native(destination));
}

TaskId PosixServices::StartProgram(const std::string& program_path, int /*show_state*/) {
  std::string native = Native(program_path);
  char* argv[] = {native.data(), nullptr};
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, native.c_str(), nullptr, nullptr, argv, environ);
  if (error != 0) throw ServiceError("StartProgram", program_path, ErrnoText(error));
  return static_cast<TaskId>(pid);
}

void PosixServices::LoadWindowIcon(const std::string& path) {
  PosixFile file(Native(path), "LoadWindowIcon");
  RequireWellFormedIcon(file, path);
}

void PosixServices::EndProcess(int status) { ::_exit(status); }

}  // namespace launcher

#include "os/posix/posix_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/path_text.h"
#include "core/service_error.h"
#include "os/posix/posix_file.h"

namespace launcher {
namespace {

constexpr char kFolderMissing[] = "the folder does not exist";
constexpr char kLink[] = "a symbolic link";

std::vector<std::string> FolderNames(const std::string& path) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") names.push_back(std::move(name));
    start = end + 1;
  }
  return names;
}

}  // namespace

FolderEntry::FolderEntry(std::string path, int folder, bool owned, bool held)
    : path_(std::move(path)),
      name_(FileNameOf(path_)),
      folder_(folder),
      owned_(owned),
      held_(held) {}

FolderEntry::FolderEntry(FolderEntry&& other) noexcept
    : path_(std::move(other.path_)),
      name_(std::move(other.name_)),
      folder_(std::exchange(other.folder_, -1)),
      owned_(std::exchange(other.owned_, false)),
      held_(other.held_),
      folder_missing_(other.folder_missing_),
      unavailable_(std::move(other.unavailable_)) {}

FolderEntry::~FolderEntry() {
  if (owned_) ::close(folder_);
}

HeldFolders::~HeldFolders() {
  for (const Held& held : held_) {
    if (held.descriptor >= 0) ::close(held.descriptor);
  }
}

void HeldFolders::Hold(const std::string& shown, const std::string& folder, const std::string& root,
                       const std::string& below) {
  const std::string path = CleanPath(folder);
  const auto refuse = [&](const std::string& why) {
    held_.push_back({path, -1, false, why});
    throw ServiceError("HoldFolder", shown, why);
  };
  // Only search rights are needed on the way down: O_PATH descriptors.
  int descriptor = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0 && errno != ENOENT) refuse(root + ": " + ErrnoText(errno));
  // POSIX has no share modes: an open folder can still be renamed or swapped for a link, so
  // keeping the folders above open would stop nothing. Each is opened from the one above without
  // following links and closed once its child is open; later steps start from the last
  // descriptor, which stays the folder checked here whatever happens to its path.
  std::string reached = root;
  for (const std::string& name : FolderNames(below)) {
    if (descriptor < 0) break;
    reached += "/" + name;
    if (name == "..") {
      ::close(descriptor);
      refuse(CleanPath(reached) + ": a folder named \"..\"");
    }
    const int next =
        ::openat(descriptor, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    if (next < 0 && error != ENOENT) {
      // A link, to a folder or not, is not a folder to O_NOFOLLOW: ask what is there.
      struct stat info {};
      const bool link = ::fstatat(descriptor, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(info.st_mode);
      ::close(descriptor);
      refuse(CleanPath(reached) + (link ? " is a symbolic link" : ": " + ErrnoText(error)));
    }
    ::close(descriptor);
    descriptor = next;
  }
  held_.push_back({path, descriptor, descriptor < 0, descriptor < 0 ? kFolderMissing : ""});
}

FolderEntry HeldFolders::Locate(const std::string& path) const {
  const std::string folder = CleanPath(FolderOf(path));
  for (const Held& held : held_) {
    if (held.path != folder) continue;
    FolderEntry entry(path, held.descriptor, false, true);
    entry.folder_missing_ = held.missing;
    entry.unavailable_ = held.unavailable;
    return entry;
  }
  const int descriptor = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int error = errno;
  FolderEntry entry(path, descriptor, descriptor >= 0, false);
  if (descriptor < 0) {
    entry.folder_missing_ = error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG;
    entry.unavailable_ = error == ENOENT ? kFolderMissing : ErrnoText(error);
  }
  return entry;
}

std::string CleanPath(const std::string& path) {
  std::string clean = path.empty() || path[0] != '/' ? "" : "/";
  for (const std::string& name : FolderNames(path)) {
    if (!clean.empty() && clean.back() != '/') clean += '/';
    clean += name;
  }
  return clean.empty() ? "." : clean;
}

void RequireReachable(const FolderEntry& entry, const std::string& operation) {
  if (entry.folder() < 0 && !entry.folder_missing()) {
    throw ServiceError(operation, entry.path(), entry.unavailable());
  }
}

std::optional<struct stat> StatEntry(const FolderEntry& entry, const std::string& operation,
                                     bool follow) {
  RequireReachable(entry, operation);
  if (entry.folder_missing()) return std::nullopt;
  struct stat info {};
  const int flags = follow && !entry.held() ? 0 : AT_SYMLINK_NOFOLLOW;
  if (::fstatat(entry.folder(), entry.name().c_str(), &info, flags) != 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG) return std::nullopt;
    throw ServiceError(operation, entry.path(), ErrnoText(errno));
  }
  if (entry.held() && S_ISLNK(info.st_mode)) throw ServiceError(operation, entry.path(), kLink);
  return info;
}

int OpenEntry(const FolderEntry& entry, int flags, mode_t mode) {
  flags |= O_CLOEXEC | (entry.held() ? O_NOFOLLOW : 0);
  return ::openat(entry.folder(), entry.name().c_str(), flags, mode);
}

std::string EntryErrorText(const FolderEntry& entry, int error) {
  return entry.held() && error == ELOOP ? kLink : ErrnoText(error);
}

void SyncFolder(int folder) {
  // The descriptor may be an O_PATH one, which cannot be synced; "." is never a link.
  const int readable = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (readable < 0) return;
  ::fsync(readable);
  ::close(readable);
}

}  // namespace launcher

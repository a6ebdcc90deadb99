#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

namespace launcher {

// A file reached as a name in an open folder, so that every step on it happens in that folder
// whatever becomes of the folder's path meanwhile.
class FolderEntry {
 public:
  FolderEntry(FolderEntry&& other) noexcept;
  FolderEntry(const FolderEntry&) = delete;
  FolderEntry& operator=(const FolderEntry&) = delete;
  FolderEntry& operator=(FolderEntry&&) = delete;
  ~FolderEntry();

  // The path the file was named by, for messages.
  const std::string& path() const { return path_; }
  // Its name in the folder.
  const std::string& name() const { return name_; }
  // The open folder; -1 when it is not open.
  int folder() const { return folder_; }
  // Whether the folder does not exist, so that neither does the file.
  bool folder_missing() const { return folder_missing_; }
  // Why the folder is not open.
  const std::string& unavailable() const { return unavailable_; }
  // Whether the folder is a held one: a link at the file's name there fails every step.
  bool held() const { return held_; }

 private:
  friend class HeldFolders;
  FolderEntry(std::string path, int folder, bool owned, bool held);

  std::string path_;
  std::string name_;
  int folder_ = -1;
  bool owned_ = false;
  bool held_ = false;
  bool folder_missing_ = false;
  std::string unavailable_;
};

// The folders held by HoldFolder, and the way to any file: through a held folder when the file is
// directly in one, else through its folder opened by path at that moment.
class HeldFolders {
 public:
  HeldFolders() = default;
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;
  ~HeldFolders();

  // Opens `root` (following links: it is the system's own), then each folder of `below` under it
  // without following links, and keeps the last one open as the held folder `folder`. A folder
  // that does not exist leaves `folder` held but missing. Throws ServiceError("HoldFolder",
  // `shown`, ...) when one of them is a link or cannot be opened; `folder` is then held refused,
  // so that every later step on a file there fails the same way.
  void Hold(const std::string& shown, const std::string& folder, const std::string& root,
            const std::string& below);

  // The folder of `path` and the file's name in it. Never fails: a folder that cannot be opened
  // makes the entry's steps fail, or find nothing when it does not exist.
  FolderEntry Locate(const std::string& path) const;

 private:
  struct Held {
    std::string path;
    int descriptor;
    bool missing;
    std::string unavailable;
  };
  std::vector<Held> held_;
};

// `path` with repeated separators, "." folders and a trailing separator taken out.
std::string CleanPath(const std::string& path);

// Throws ServiceError(operation, entry.path(), ...) when the entry's folder exists but is not
// open.
void RequireReachable(const FolderEntry& entry, const std::string& operation);

// The status of the file `entry` names, not following a link in a held folder (nor anywhere,
// without `follow`); nullopt when the file or its folder does not exist. Throws ServiceError
// when the system refuses to tell, and for a link in a held folder.
std::optional<struct stat> StatEntry(const FolderEntry& entry, const std::string& operation,
                                     bool follow);

// Opens the file `entry` names in its open folder with `flags` (O_CLOEXEC and, in a held
// folder, O_NOFOLLOW added); -1 with errno set when that fails.
int OpenEntry(const FolderEntry& entry, int flags, mode_t mode = 0);

// The text of a step that failed with `error` on a file in `entry`'s folder: in a held folder a
// link is called one.
std::string EntryErrorText(const FolderEntry& entry, int error);

// Flushes the folder's own entries (a rename in it) to disk. Some file systems cannot; that is
// not a failure.
void SyncFolder(int folder);

}  // namespace launcher

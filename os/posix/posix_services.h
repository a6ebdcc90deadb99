#pragma once

#include <string>

#include "launch/services.h"
#include "os/posix/posix_folder.h"

namespace launcher {

// Windows path text to a POSIX path: "\" becomes "/" and a leading drive "C:" becomes
// `drive_c_root`.
std::string ToPosixPath(const std::string& windows_path, const std::string& drive_c_root);

// The services on a POSIX system. Drive C: is the folder `drive_c_root`; there is no window, so
// LoadWindowIcon only checks that the icon file is well formed. A file directly in a held folder
// is reached only through that folder's descriptor, never through a link; other files by path,
// as the system resolves it.
class PosixServices : public Services {
 public:
  explicit PosixServices(std::string drive_c_root);

  std::string ApplicationDirectory() override;
  bool FileExists(const std::string& path) override;
  std::string GetFileVersion(const std::string& path) override;
  void DeleteFile(const std::string& path, bool force) override;
  void HoldFolder(const std::string& folder) override;
  void RemoveStaleTemporaries(const std::string& copy_path) override;
  bool FileCopy(const std::string& source, const std::string& destination, const CopyCheck& check,
                HoldRetry& retry) override;
  void CheckFileCopy(const std::string& source, const std::string& destination,
                     const CopyCheck& check, HoldRetry& retry) override;
  void CheckStartable(const std::string& program_path) override;
  TaskId StartProgram(const std::string& program_path, int show_state) override;
  void LoadWindowIcon(const std::string& path) override;
  void CheckWindowIcon(const std::string& path) override;
  void Report(const std::string& line) override;
  void Pause(int milliseconds) override;
  [[noreturn]] void EndProcess(int status) override;

 private:
  std::string Native(const std::string& path) const;
  FolderEntry Locate(const std::string& path) const { return held_.Locate(Native(path)); }

  std::string drive_c_root_;
  HeldFolders held_;
};

}  // namespace launcher

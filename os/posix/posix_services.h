#pragma once

#include <memory>
#include <string>

#include "launch/platform_services.h"
#include "os/posix/posix_folder.h"

namespace launcher {

// Windows path text to a POSIX path: "\" becomes "/" and a leading drive "C:" becomes
// `drive_c_root`.
std::string ToPosixPath(const std::string& windows_path, const std::string& drive_c_root);

// The services on a POSIX system. Drive C: is the folder `drive_c_root`; there is no window, so
// LoadWindowIcon only checks that the icon file is well formed. A file directly in a held folder
// is reached only through that folder's descriptor, never through a link; other files by path,
// as the system resolves it.
class PosixServices : public PlatformServices {
 public:
  // Holds folders in `held`, which the disk of these services (PosixDisk) reaches files through.
  PosixServices(std::string drive_c_root, std::shared_ptr<HeldFolders> held);

  std::string ApplicationDirectory() override;
  bool FileExists(const std::string& path) override;
  void HoldFolder(const std::string& folder) override;
  // ToPosixPath.
  std::string SystemPath(const std::string& path) override;
  void CheckStartable(const std::string& program_path) override;
  TaskId StartProgram(const std::string& program_path, int show_state) override;
  void Report(const std::string& line) override;
  void Pause(int milliseconds) override;
  [[noreturn]] void EndProcess(int status) override;

 protected:
  std::unique_ptr<RandomAccessFile> OpenToRead(const std::string& path,
                                               const char* operation) override;
  std::unique_ptr<RandomAccessFile> OpenIconFile(const std::string& path) override;
  // There is no window: nothing to set.
  void SetWindowIcon(const std::string& path) override;

 private:
  std::string Native(const std::string& path) const;
  FolderEntry Locate(const std::string& path) const { return held_->Locate(Native(path)); }

  std::string drive_c_root_;
  std::shared_ptr<HeldFolders> held_;
};

}  // namespace launcher

#pragma once

#include <string>

#include "platform/services.h"

namespace launcher {

// Windows path text to a POSIX path: "\" becomes "/" and a leading drive "C:" becomes
// `drive_c_root`.
std::string ToPosixPath(const std::string& windows_path, const std::string& drive_c_root);

// The services on a POSIX system. Drive C: is the folder `drive_c_root`; there is no window, so
// LoadWindowIcon only checks that the icon file is well formed.
class PosixServices : public Services {
 public:
  explicit PosixServices(std::string drive_c_root);

  std::string ApplicationDirectory() override;
  bool FileExists(const std::string& path) override;
  std::string GetFileVersion(const std::string& path) override;
  void DeleteFile(const std::string& path, bool force) override;
  void FileCopy(const std::string& source, const std::string& destination) override;
  TaskId StartProgram(const std::string& program_path, int show_state) override;
  void LoadWindowIcon(const std::string& path) override;
  [[noreturn]] void EndProcess(int status) override;

 private:
  std::string Native(const std::string& path) const;

  std::string drive_c_root_;
};

}  // namespace launcher

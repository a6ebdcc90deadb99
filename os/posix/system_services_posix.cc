#include <sys/stat.h>

#include "launch/system_services.h"
#include "os/posix/posix_disk.h"
#include "os/posix/posix_services.h"

// The folder that stands for drive C:, fixed when the program is built.
#ifndef LAUNCHER_DRIVE_C_ROOT
#error "LAUNCHER_DRIVE_C_ROOT must name the folder that stands for drive C:"
#endif

namespace launcher {

SystemServices CreateSystemServices(const char* disk_operation) {
  auto held = std::make_shared<HeldFolders>();
  return {std::make_unique<PosixServices>(LAUNCHER_DRIVE_C_ROOT, held),
          std::make_unique<PosixDisk>(held, disk_operation)};
}

bool FolderExists(const std::string& path) {
  struct stat info {};
  return ::stat(ToPosixPath(path, LAUNCHER_DRIVE_C_ROOT).c_str(), &info) == 0 &&
         S_ISDIR(info.st_mode);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace launcher

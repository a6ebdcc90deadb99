#include <sys/stat.h>

#include "launch/system_services.h"
#include "os/posix/posix_file.h"
#include "os/posix/posix_services.h"

// The folder that stands for drive C:, fixed when the program is built.
#ifndef LAUNCHER_DRIVE_C_ROOT
#error "LAUNCHER_DRIVE_C_ROOT must name the folder that stands for drive C:"
#endif

namespace launcher {

std::unique_ptr<Services> CreateSystemServices() {
  return std::make_unique<PosixServices>(LAUNCHER_DRIVE_C_ROOT);
}

SignatureReport ReadSignatureReport(const std::string& path) {
  // Only that the file is there to be read: no signature is read on this system.
  PosixFile file(ToPosixPath(path, LAUNCHER_DRIVE_C_ROOT), "ReadSignatureReport");
  return {std::nullopt, {false, {}, "no signature verifier on this system"}};
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

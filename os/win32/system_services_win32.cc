#include <windows.h>

#include "launch/system_services.h"
#include "os/win32/wide.h"
#include "os/win32/win32_disk.h"
#include "os/win32/win32_services.h"

namespace launcher {

SystemServices CreateSystemServices(const char* disk_operation) {
  auto held = std::make_shared<Win32HeldFolder>();
  return {std::make_unique<Win32Services>(nullptr, held),
          std::make_unique<Win32Disk>(held, disk_operation)};
}

bool FolderExists(const std::string& path) {
  try {
    const DWORD attributes = GetFileAttributesW(Wide(path, "FolderExists").c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  } catch (const ServiceError&) {
    return false;  // not a path the system could name
  }
}

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  // The narrow arguments lose every character outside the code page; read the wide ones.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; wide != nullptr && i < count; ++i) arguments.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

}  // namespace launcher

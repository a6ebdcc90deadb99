#include <windows.h>

#include "platform/system_services.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_services.h"

namespace launcher {

std::unique_ptr<Services> CreateSystemServices() {
  return std::make_unique<Win32Services>(nullptr);
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

#pragma once

#include <windows.h>

#include <string>

#include "platform/services.h"

namespace launcher {

// The services on Windows, through kernel32 and user32 only. `window` is the window whose icon
// LoadWindowIcon sets; without one, LoadWindowIcon fails.
class Win32Services : public Services {
 public:
  explicit Win32Services(HWND window);

  std::string ApplicationDirectory() override;
  bool FileExists(const std::string& path) override;
  std::string GetFileVersion(const std::string& path) override;
  void DeleteFile(const std::string& path, bool force) override;
  void FileCopy(const std::string& source, const std::string& destination) override;
  TaskId StartProgram(const std::string& program_path, int show_state) override;
  void LoadWindowIcon(const std::string& path) override;
  [[noreturn]] void EndProcess(int status) override;

 private:
  HWND window_;
};

}  // namespace launcher

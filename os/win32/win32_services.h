#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "launch/platform_services.h"
#include "os/win32/win32_held_folder.h"

namespace launcher {

// Writes `line` and a line end to the debugger's output channel and, when the process has one,
// the standard error stream. Never fails.
void WriteDiagnosticLine(const std::string& line);

// The services on Windows, through kernel32, user32, and wintrust and crypt32 for signatures.
// `window` is the window whose icon LoadWindowIcon sets; without one, LoadWindowIcon fails.
// The folders HoldFolder opens stay open until this object ends; a later HoldFolder releases
// them and holds its own folder instead (one held folder at a time).
class Win32Services : public PlatformServices {
 public:
  // Holds folders in `held`, which the disk of these services (Win32Disk) reaches files through.
  Win32Services(HWND window, std::shared_ptr<Win32HeldFolder> held);

  std::string ApplicationDirectory() override;
  bool FileExists(const std::string& path) override;
  void HoldFolder(const std::string& folder) override;
  // The Windows path text itself.
  std::string SystemPath(const std::string& path) override;
  void CheckStartable(const std::string& program_path) override;
  TaskId StartProgram(const std::string& program_path, int show_state) override;
  void Report(const std::string& line) override;
  void Pause(int milliseconds) override;
  [[noreturn]] void EndProcess(int status) override;

 protected:
  // Never through a link directly in the held folder.
  std::unique_ptr<RandomAccessFile> OpenToRead(const std::string& path,
                                               const char* operation) override;
  // Refused for a folder, and for a path too long for the system's loader (MAX_PATH).
  std::unique_ptr<RandomAccessFile> OpenIconFile(const std::string& path) override;
  void SetWindowIcon(const std::string& path) override;

 private:
  HWND window_;
  std::shared_ptr<Win32HeldFolder> held_;
};

}  // namespace launcher

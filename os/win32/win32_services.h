#pragma once

#include <windows.h>

#include <string>

#include "launch/services.h"
#include "os/win32/win32_held_folder.h"

namespace launcher {

// Writes `line` and a line end to the debugger's output channel and, when the process has one,
// the standard error stream. Never fails.
void WriteDiagnosticLine(const std::string& line);

// The services on Windows, through kernel32, user32, and wintrust and crypt32 for signatures.
// `window` is the window whose icon LoadWindowIcon sets; without one, LoadWindowIcon fails.
// The folders HoldFolder opens stay open until this object ends; a later HoldFolder releases
// them and holds its own folder instead (one held folder at a time).
class Win32Services : public Services {
 public:
  explicit Win32Services(HWND window);

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
  HWND window_;
  Win32HeldFolder held_;
};

}  // namespace launcher

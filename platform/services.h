#pragma once

#include <stdexcept>
#include <string>

// The launcher reaches the system only through these operations. Paths are UTF-8 Windows path
// texts ("C:\dir\file.exe"); every implementation takes them in that form.

namespace launcher {

// The one failure type of the platform layer: which operation failed, on which path, and the
// system's own explanation.
class ServiceError : public std::runtime_error {
 public:
  ServiceError(std::string operation, std::string path, std::string system_text);

  const std::string& operation() const { return operation_; }
  const std::string& path() const { return path_; }
  const std::string& system_text() const { return system_text_; }

 private:
  std::string operation_;
  std::string path_;
  std::string system_text_;
};

using TaskId = unsigned long;

// Exit statuses of the launcher's process.
enum ExitStatus : int {
  kExitCompleted = 0,  // the main path ran through
  kExitFallback = 1,   // a failure sent the run to the fallback path
  kExitUnhandled = 2,  // the fallback path failed too
};

class Services {
 public:
  virtual ~Services() = default;

  // The folder holding the launcher's own executable, without a trailing separator.
  // Fails when the system cannot tell it.
  virtual std::string ApplicationDirectory() = 0;

  // True only when a regular file (not a folder) exists at `path`; false for an empty path and
  // for a path that does not exist. Fails when the system refuses to tell.
  virtual bool FileExists(const std::string& path) = 0;

  // The four fields of the file's version record in decimal joined by "." (1.0.0.5); empty text
  // when the file has no version record or is not a PE file. Fails when the file cannot be opened
  // or read.
  virtual std::string GetFileVersion(const std::string& path) = 0;

  // Removes the file; with `force` a read-only file as well. Fails when the file cannot be
  // removed, the file is missing included.
  virtual void DeleteFile(const std::string& path, bool force) = 0;

  // Makes `destination` a complete copy of `source` in one step: the copy is written beside the
  // destination, flushed, then moved over it, so the destination is at every moment either the
  // old file or the whole new one. A read-only destination is replaced as well. The destination's
  // folder is never created. Fails when the source cannot be read or the destination cannot be
  // written or replaced; the destination is then left as it was.
  virtual void FileCopy(const std::string& source, const std::string& destination) = 0;

  // Starts the program file at `program_path` with that path, quoted, as its whole command line,
  // the given show state and the launcher's working folder; returns at once with an identifier of
  // the new process. Fails when the program cannot be started.
  virtual TaskId StartProgram(const std::string& program_path, int show_state) = 0;

  // Reads the icon file at `path` and makes it the icon of the launcher's window. Fails when the
  // file is missing, unreadable or not a well-formed icon file.
  virtual void LoadWindowIcon(const std::string& path) = 0;

  // Ends the launcher's process at once with `status`; a program it started keeps running.
  [[noreturn]] virtual void EndProcess(int status) = 0;
};

}  // namespace launcher

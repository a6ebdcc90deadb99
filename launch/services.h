#pragma once

#include <string>

#include "core/service_error.h"

// The launcher reaches the system only through these operations and the replacement's steps
// (ReplaceSteps). Paths are UTF-8 Windows path texts ("C:\dir\file.exe"); every implementation
// takes them in that form.

namespace launcher {

using TaskId = unsigned long;

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

  // Opens every folder of `folder`, from the first one below the drive's root down to `folder`
  // itself, without following links, and keeps them open, not shareable for deletion, until this
  // object ends, so that none of them can be swapped for a link meanwhile. From then on a file in
  // `folder` is reached only through those folders, and a file there that is itself a link
  // (symbolic link, junction or other reparse point) makes every operation on it fail. A folder
  // that does not exist is not a failure: files in `folder` then do not exist and copying into it
  // fails. Fails when one of the folders is a link or cannot be opened for another reason.
  virtual void HoldFolder(const std::string& folder) = 0;

  // `path` as this system names it: the form the replacement's steps (ReplaceSteps) on this
  // system take and name in their failures. Never fails.
  virtual std::string SystemPath(const std::string& path) = 0;

  // Fails, naming the path and its length, when no program at `program_path` could be started
  // for its path alone: too long for the system's start, with no shorter name to start it by.
  // The file need not exist yet. Creates nothing.
  virtual void CheckStartable(const std::string& program_path) = 0;

  // Starts the program file at `program_path` with that path, quoted, as its whole command line,
  // the given show state and the launcher's working folder; returns at once with an identifier of
  // the new process. A path too long for the system's start is started by a shorter name of its
  // folder where the volume has one. Fails when the program cannot be started.
  virtual TaskId StartProgram(const std::string& program_path, int show_state) = 0;

  // Reads the icon file at `path` and makes it the icon of the launcher's window. Fails when the
  // file is missing, unreadable or not a well-formed icon file.
  virtual void LoadWindowIcon(const std::string& path) = 0;

  // Fails as LoadWindowIcon would for a file that is missing, unreadable or not a well-formed
  // icon file, with the same operation name, but sets no icon.
  virtual void CheckWindowIcon(const std::string& path) = 0;

  // Writes `line` and a line end to the standard error stream and, on Windows, to the debugger's
  // output channel: the one trace of a run that did not go through. Shows nothing. Never fails.
  virtual void Report(const std::string& line) = 0;

  // Waits `milliseconds` before the run goes on. Never fails.
  virtual void Pause(int milliseconds) = 0;

  // Ends the launcher's process at once with `status`; a program it started keeps running.
  [[noreturn]] virtual void EndProcess(int status) = 0;
};

}  // namespace launcher

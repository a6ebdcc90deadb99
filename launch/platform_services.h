#pragma once

#include <memory>
#include <string>

#include "core/pe/random_access_file.h"
#include "launch/services.h"

namespace launcher {

// The services of a real system. What a file's contents say (a program's version, whether an icon
// file is well formed) is read here, by the portable readers, from files the system opens; every
// other operation is the system's own.
class PlatformServices : public Services {
 public:
  // ReadPeFileVersion over OpenToRead(path, "GetFileVersion").
  std::string GetFileVersion(const std::string& path) final;
  // RequireWellFormedIcon over OpenIconFile(path).
  void CheckWindowIcon(const std::string& path) final;
  // CheckWindowIcon, then SetWindowIcon: the system's loader reads the file again itself, and
  // it may have changed in between, so the check does not make the loader safe.
  void LoadWindowIcon(const std::string& path) final;

 protected:
  // Opens `path` to read it, others allowed everything meanwhile. Fails, naming `operation`, when
  // the file cannot be opened, is missing or is no regular file.
  virtual std::unique_ptr<RandomAccessFile> OpenToRead(const std::string& path,
                                                       const char* operation) = 0;

  // Opens the icon file at `path` to read it. Fails, naming "LoadWindowIcon", when it cannot be
  // opened, or is a file the system could not load an icon from for its path alone.
  virtual std::unique_ptr<RandomAccessFile> OpenIconFile(const std::string& path) = 0;

  // Makes the icon file at `path` the icon of the launcher's window. Fails, naming
  // "LoadWindowIcon", when there is no window or the system cannot load it.
  virtual void SetWindowIcon(const std::string& path) = 0;
};

}  // namespace launcher

#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/replace/disk.h"
#include "launch/services.h"

namespace launcher {

// The services of the system this program was built for, and its disk, which reaches files
// through the folder the services hold (HoldFolder).
struct SystemServices {
  std::unique_ptr<Services> services;
  std::unique_ptr<Disk> disk;
};

// Without a window: LoadWindowIcon is for the launcher's own window and fails here. The disk's
// failures name `disk_operation`.
SystemServices CreateSystemServices(const char* disk_operation);

// Whether a folder is at `path` (links followed). Never fails: false also when the system
// cannot tell.
bool FolderExists(const std::string& path);

// The program's arguments after its name, as UTF-8 whatever the system's code page.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace launcher

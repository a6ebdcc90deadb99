#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/services.h"

namespace launcher {

// The services of the system this program was built for, without a window: LoadWindowIcon is for
// the launcher's own window and fails here.
std::unique_ptr<Services> CreateSystemServices();

// The program's arguments after its name, as UTF-8 whatever the system's code page.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace launcher

#pragma once

#include <windows.h>

#include <string>

#include "core/service_error.h"

// How a Win32 error code becomes the launcher's ServiceError.

namespace launcher {

// The system's message for error code `error`, without the trailing line break.
std::string SystemErrorText(DWORD error);

// kHeld for the errors another process's open handle causes (sharing violation, access denied).
FailureCause CauseOf(DWORD error);

// The failure of `operation` on `path` with the Win32 error `error`: the system's message, and
// the cause CauseOf tells. `operation` is a plain text, so that building the arguments calls
// nothing that could change the thread's last error before it is read.
ServiceError Win32Error(const char* operation, const std::string& path, DWORD error);

// As above, with the cause given: kOther for the failures that are never taken for a hold.
ServiceError Win32Error(const char* operation, const std::string& path, DWORD error,
                        FailureCause cause);

}  // namespace launcher

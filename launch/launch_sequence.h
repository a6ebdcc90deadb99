#pragma once

#include <string>

#include "core/hold_retry.h"
#include "core/replace/replace_file.h"
#include "launch/services.h"

namespace launcher {

// Exit statuses of the launcher's process.
enum ExitStatus : int {
  kExitCompleted = 0,  // the main path ran through
  kExitFallback = 1,   // a failure sent the run to the fallback path
  kExitUnhandled = 2,  // the fallback path failed too
};

// Starts the program at `local_copy_path` if a file is there; otherwise does nothing. A start
// that fails because the file is held for a moment is tried again within `retry`'s budget.
void LaunchLocalCopy(Services& services, const std::string& local_copy_path, HoldRetry& retry);

// The whole run: window icon, reconciliation of the two copies through `steps`, start of the local
// copy, end of the process. The first failure is reported (Services::Report) and sends the run to
// the fallback path, which starts the local copy if it exists and ends the process with
// kExitFallback. The icon and the reconciliation share one budget of waits for a file held for
// a moment; the start, on both paths, has the other. A failure on the fallback path is not
// caught here: it leaves this function and the caller ends the process with kExitUnhandled.
void RunLaunchSequence(Services& services, ReplaceSteps& steps);

}  // namespace launcher

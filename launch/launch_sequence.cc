#include "launch/launch_sequence.h"

#include <exception>

#include "launch/copy_reconciliation.h"
#include "launch/launch_paths.h"

namespace launcher {

void LaunchLocalCopy(Services& services, const std::string& local_copy_path, HoldRetry& retry) {
  if (services.FileExists(local_copy_path)) {
    retry.Run([&] { return services.StartProgram(local_copy_path, kShowNormal); });
  }
}

void RunLaunchSequence(Services& services) {
  // Empty until the icon is set, so a run without a usable icon starts nothing.
  std::string local_copy_path;
  HoldRetry start_retry([&services](int milliseconds) { services.Pause(milliseconds); });
  try {
    const std::string directory = services.ApplicationDirectory();
    services.LoadWindowIcon(directory + "\\" + kIconFileName);
    const std::string update_copy_path = kUpdateCopyPath;
    local_copy_path = directory + "\\" + kProgramFileName;
    ReconcileCopies(services, update_copy_path, local_copy_path);
    LaunchLocalCopy(services, local_copy_path, start_retry);
  } catch (const std::exception&) {
    // Fallback, taken once: a failure in here is left to the caller.
    LaunchLocalCopy(services, local_copy_path, start_retry);
    services.EndProcess(kExitFallback);
  }
  services.EndProcess(kExitCompleted);
}

}  // namespace launcher

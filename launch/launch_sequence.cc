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

void RunLaunchSequence(Services& services, ReplaceSteps& steps) {
  // Empty until the icon is set, so a run without a usable icon starts nothing.
  std::string local_copy_path;
  // Two budgets for waits on files held for a moment: the icon and every read and write of the
  // update share one, the start (on both paths) has the other, so no hold before the start
  // costs the start its own waits.
  HoldRetry start_retry([&services](int milliseconds) { services.Pause(milliseconds); });
  HoldRetry update_retry([&services](int milliseconds) { services.Pause(milliseconds); });
  try {
    const std::string directory = services.ApplicationDirectory();
    const std::string icon_path = directory + "\\" + kIconFileName;
    update_retry.Run([&] { services.LoadWindowIcon(icon_path); });
    const std::string update_copy_path = kUpdateCopyPath;
    local_copy_path = directory + "\\" + kProgramFileName;
    ReconcileCopies(services, steps, update_copy_path, local_copy_path, update_retry);
    LaunchLocalCopy(services, local_copy_path, start_retry);
  } catch (const std::exception& failure) {
    // Fallback, taken once: a failure in here is left to the caller. The cause is said first,
    // whatever the fallback then does.
    services.Report(std::string("launcher: ") + failure.what());
    LaunchLocalCopy(services, local_copy_path, start_retry);
    services.EndProcess(kExitFallback);
  }
  services.EndProcess(kExitCompleted);
}

}  // namespace launcher

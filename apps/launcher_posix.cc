#include <cstdio>
#include <exception>

#include "core/replace/disk_replace_steps.h"
#include "launch/launch_sequence.h"
#include "launch/system_services.h"

int main() {
  using launcher::kExitUnhandled;
  try {
    const launcher::SystemServices system = launcher::CreateSystemServices("FileCopy");
    launcher::DiskReplaceSteps steps(*system.disk);
    launcher::RunLaunchSequence(*system.services, steps);
  } catch (const std::exception& failure) {
    // The run ends the process itself; only a failure on its fallback path arrives here.
    std::fprintf(stderr, "launcher: unhandled failure: %s\n", failure.what());
  }
  return kExitUnhandled;
}

#include <cstdio>
#include <exception>

#include "launch/launch_sequence.h"
#include "launch/system_services.h"

int main() {
  using launcher::kExitUnhandled;
  try {
    const auto services = launcher::CreateSystemServices();
    launcher::RunLaunchSequence(*services);
  } catch (const std::exception& failure) {
    // The run ends the process itself; only a failure on its fallback path arrives here.
    std::fprintf(stderr, "launcher: unhandled failure: %s\n", failure.what());
  }
  return kExitUnhandled;
}

// revision-probe FILE...: prints, one line per file, the path, its version text and the revision
// the launcher reads from it, separated by tabs.

#include "launch/revision_probe.h"

#include <cstdio>
#include <exception>

#include "platform/system_services.h"

int main(int argc, char** argv) {
  const std::vector<std::string> paths = launcher::ProgramArguments(argc, argv);
  if (paths.empty()) {
    std::fprintf(stderr, "usage: revision-probe FILE...\n");
    return 2;
  }
  int status = 0;
  const auto services = launcher::CreateSystemServices();
  for (const std::string& path : paths) {
    try {
      if (!services->FileExists(path)) {
        std::fprintf(stderr, "revision-probe: %s: no such file\n", path.c_str());
        status = 1;
        continue;
      }
      const std::string version = services->GetFileVersion(path);
      std::printf("%s\t%s\t%u\n", path.c_str(), version.c_str(),
                  static_cast<unsigned>(launcher::RevisionFromVersionText(version)));
    } catch (const std::exception& failure) {
      std::fprintf(stderr, "revision-probe: %s\n", failure.what());
      status = 1;
    }
  }
  return status;
}

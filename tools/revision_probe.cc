// revision-probe FILE...: prints, one line per file, separated by tabs: the path, its version
// text, the revision the launcher reads from it, the subject of its signer (or "unsigned") and
// whether that signature verifies, so that a release can be checked before it goes in the store.

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
      const launcher::SignatureReport signature = launcher::ReadSignatureReport(path);
      const std::string verdict = signature.verification.verified
                                      ? "verifies"
                                      : "does not verify: " + signature.verification.problem;
      std::printf("%s\t%s\t%u\t%s\t%s\n", path.c_str(), version.c_str(),
                  static_cast<unsigned>(launcher::RevisionFromVersionText(version)),
                  signature.signer.value_or("unsigned").c_str(), verdict.c_str());
    } catch (const std::exception& failure) {
      std::fprintf(stderr, "revision-probe: %s\n", failure.what());
      status = 1;
    }
  }
  return status;
}

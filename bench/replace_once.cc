// replace_once SOURCE DESTINATION: one crash-safe replacement, as the launcher makes it, whatever
// the versions of the two files.
#include <cstdio>
#include <memory>

#include "core/hold_retry.h"
#include "core/replace/disk_replace_steps.h"
#include "os/posix/posix_disk.h"

namespace {

class AnyVersion : public launcher::CopyCheck {
 public:
  bool IsChosenCopy(const std::string& /*version_text*/) const override { return true; }
  bool IsOlder(const std::string& /*version_text*/) const override { return true; }
  bool LeavesCutDestination() const override { return false; }
  bool PinsOnlyTrustedSignature() const override { return false; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  try {
    launcher::PosixDisk disk(std::make_shared<launcher::HeldFolders>(), "FileCopy");
    launcher::DiskReplaceSteps steps(disk);
    launcher::HoldRetry retry([&steps](int milliseconds) { steps.Pause(milliseconds); });
    launcher::ReplaceWithCopy(steps, argv[1], argv[2], AnyVersion(), retry);
  } catch (const launcher::ServiceError& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    return 1;
  }
  return 0;
}

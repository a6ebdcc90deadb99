// replace_once SOURCE DESTINATION: one crash-safe replacement, as the launcher makes it, whatever
// the versions of the two files.
#include <cstdio>

#include "core/hold_retry.h"
#include "os/posix/posix_services.h"

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
    launcher::PosixServices services("/");
    launcher::HoldRetry retry([&services](int milliseconds) { services.Pause(milliseconds); });
    services.FileCopy(argv[1], argv[2], AnyVersion(), retry);
  } catch (const launcher::ServiceError& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    return 1;
  }
  return 0;
}

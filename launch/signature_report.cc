#include "launch/signature_report.h"

#include <memory>

#include "core/replace/disk_replace_steps.h"

namespace launcher {

SignatureReport ReadSignatureReport(Disk& disk, const std::string& path) {
  const std::unique_ptr<DiskFile> file = disk.OpenToRead(path);
  SignatureReport report;
  std::string unreadable;
  if (const auto signer = NamedSigner(disk, *file, &unreadable)) report.signer = signer->text;
  // Signed, but its signer cannot be read; the verdict says why.
  if (!unreadable.empty()) report.signer = kUnreadableSigner;
  report.verification = VerifySignature(disk, *file);
  return report;
}

}  // namespace launcher

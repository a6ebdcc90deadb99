#pragma once

#include <optional>
#include <string>

#include "core/replace/disk.h"

namespace launcher {

// What revision-probe shows of a file's signature: the signer its embedded signature names,
// whether or not it verifies (nullopt: unsigned, as every file is on a system without a
// verifier; kUnreadableSigner: signed, but the signer cannot be read), and the verdict on it.
inline constexpr char kUnreadableSigner[] = "(unreadable)";
struct SignatureReport {
  std::optional<std::string> signer;
  Verification verification;
};

// The report on the file at `path` (the disk's own form), read through one open file that others
// may only read meanwhile, so that the signer named and the verdict are one file's. Throws
// ServiceError when the file cannot be opened or read.
SignatureReport ReadSignatureReport(Disk& disk, const std::string& path);

}  // namespace launcher

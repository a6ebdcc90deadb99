#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/replace/replace_file.h"
#include "launch/services.h"

namespace launcher {

// The services of the system this program was built for, without a window: LoadWindowIcon is for
// the launcher's own window and fails here.
std::unique_ptr<Services> CreateSystemServices();

// What revision-probe shows of a file's signature: the signer its embedded signature names,
// whether or not it verifies (nullopt: unsigned, as every file is on a system without a
// verifier; kUnreadableSigner: signed, but the signer cannot be read), and the verdict on it.
// Throws ServiceError when the file cannot be read.
inline constexpr char kUnreadableSigner[] = "(unreadable)";
struct SignatureReport {
  std::optional<std::string> signer;
  Verification verification;
};
SignatureReport ReadSignatureReport(const std::string& path);

// Whether a folder is at `path` (links followed). Never fails: false also when the system
// cannot tell.
bool FolderExists(const std::string& path);

// The program's arguments after its name, as UTF-8 whatever the system's code page.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace launcher

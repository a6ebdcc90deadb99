#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "platform/replace_file.h"

// Authenticode signatures through the system's crypt32 and wintrust. Nothing here asks the
// network (revocation is not checked, nothing is fetched) or shows anything to the user.

namespace launcher {

// The subject of the signer named in the file's embedded Authenticode signature, read without
// verifying it; nullopt when the file carries no signature or one that cannot be parsed. The file
// is held open meanwhile, others allowed to read it but not to write, rename or delete it, so the
// signature read is that of the file opened. Throws ServiceError(operation, path, ...) when the
// file cannot be opened; with `refuse_links`, also when it is itself a link (reparse point).
std::optional<std::string> ReadEmbeddedSigner(const std::string& path, const char* operation,
                                              bool refuse_links);

// The system verifier's verdict on the embedded signature of the file open as `file`, read
// through that handle (`path` names it to the verifier). Verified only when WinVerifyTrust
// accepts it and the signer's chain ends in a trusted root, with no certificate in it revoked or
// its signature broken; the subject is then that of the chain's leaf, as ReadEmbeddedSigner
// gives it. Throws ServiceError(operation, path, ...) only when `path` is not valid text.
Verification VerifyEmbeddedSignature(const std::string& path, HANDLE file, const char* operation);

}  // namespace launcher

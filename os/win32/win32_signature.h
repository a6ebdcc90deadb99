#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "core/replace/disk.h"
#include "core/signature/signature_rules.h"

// Authenticode signatures through the system's crypt32, bcrypt and wintrust; the rules that
// accept one are JudgeSignature's. Nothing here asks the network (revocation is not checked,
// nothing is fetched) or shows anything to the user.

namespace launcher {

// `signature`, taken from the certificate table of the file open as `file` at `path`, decoded;
// its FileProblem asks the system's verifier about that handle (`check`), so `file` must stay
// open while it is used. Throws Undecodable when `signature` is not a PKCS#7 SignedData of
// SpcIndirectData naming a signer whose certificate it carries.
std::unique_ptr<SignedMessage> DecodeSignedMessage(const Bytes& signature, const std::string& path,
                                                   HANDLE file, const char* operation,
                                                   FileCheck check);

}  // namespace launcher

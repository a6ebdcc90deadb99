#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "core/pe/pe_image_layout.h"
#include "core/replace/replace_file.h"

// Authenticode signatures through the system's crypt32, bcrypt and wintrust; the rules that
// accept one are JudgeSignature's. The signature is taken from the file's certificate table
// through an open handle. Nothing here asks the network (revocation is not checked, nothing is
// fetched) or shows anything to the user.

namespace launcher {

// The subject of the signer named in the signature of `table`, read without verifying it; nullopt
// when there is no table, and also when the table or its signature cannot be read or decoded,
// `*unreadable` then saying why. Named even when something rides along with the signature (its
// `excess`): a copy so signed stays pinned to its signer, and only that signer's sound copy
// replaces it.
std::optional<SubjectName> SignerInTable(const CertificateTable& table, std::string* unreadable);

// The subject of the signer named in the file's embedded signature, read without verifying it;
// nullopt when the file has no certificate table. The file is held open meanwhile, others
// allowed to read it but not to write, rename or delete it. Throws ServiceError(operation, path,
// ...) when the file cannot be opened or read, when it has a table whose signature cannot be
// read or decoded (a signed file is never taken for an unsigned one), and, with `refuse_links`,
// when it is itself a link (reparse point).
std::optional<SubjectName> ReadEmbeddedSigner(const std::string& path, const char* operation,
                                              bool refuse_links);

// The signer the file's embedded signature pins it to, time aside (PinningSigner); nullopt when
// the file has no certificate table, when its table or signature cannot be read or decoded, or
// when the signature pins nothing. The signature and, for the digest, the file are read through
// one handle that allows others only to read. Throws ServiceError(operation, path, ...) when the
// file cannot be opened or read, and, with `refuse_links`, when it is itself a link.
std::optional<SubjectName> ReadPinningSigner(const std::string& path, const char* operation,
                                             bool refuse_links);

// The verdict on the embedded signature of the file open as `file`, read through that handle
// (`path` names it to the system's verifier): refused when anything rides along with it in the
// certificate table or after it, else JudgeSignature over the decoded signature, after the cheap
// rules the system verifier (WinVerifyTrust) for the file's digest. Throws
// ServiceError(operation, path, ...) when the file cannot be read.
Verification VerifyEmbeddedSignature(const std::string& path, HANDLE file, const char* operation);

}  // namespace launcher

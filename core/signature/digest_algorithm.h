#pragma once

#include <optional>
#include <string>

#include "core/signature/der_value.h"

// The digest algorithms a signature may name, and which of them the launcher accepts.

namespace launcher {

enum class HashAlgorithm { kSha1, kSha256, kSha384, kSha512 };

// The hash algorithm of a digest algorithm's dotted OID; nullopt for one this launcher does not
// accept.
std::optional<HashAlgorithm> HashAlgorithmOf(const std::string& oid);

// The same for an OID as DER contents (`oid` a value of tag OBJECT IDENTIFIER).
std::optional<HashAlgorithm> HashAlgorithmOf(const DerValue& oid);

// Why a digest by the algorithm of dotted OID `oid` cannot be accepted, in words that complete
// "the ... algorithm is": MD5 by name, or an algorithm this launcher does not know; nullopt when
// it can.
std::optional<std::string> DigestAlgorithmProblem(const std::string& oid);

}  // namespace launcher

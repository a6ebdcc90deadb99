#pragma once

#include <optional>

#include "core/signature/der_value.h"

// What is read of a PKCS#7 SignerInfo from its DER where the system's decoder does not hand it out
// as it is encoded: a legacy countersignature's, whose signature is checked here.

namespace launcher {

// A SignerInfo's signed attributes, re-tagged as the SET that was signed, and its encrypted digest.
struct SignedAttributes {
  Bytes set;
  Bytes encrypted_digest;
};

// Reads them from the SignerInfo at the start of `signer_info`; what follows it is not looked at.
// The version, issuerAndSerialNumber and digestAlgorithm are skipped unread; nullopt when it is no
// SEQUENCE, has no signed attributes ([0]) right after them, or no digestEncryptionAlgorithm
// SEQUENCE and encryptedDigest OCTET STRING right after those.
std::optional<SignedAttributes> SignedAttributesOf(const Bytes& signer_info);

}  // namespace launcher

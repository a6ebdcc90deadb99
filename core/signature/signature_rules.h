#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "core/signature/chain_status.h"
#include "core/signature/digest_algorithm.h"
#include "core/signature/distinguished_name.h"
#include "core/signature/timestamp_rules.h"

// When an embedded Authenticode signature is accepted: the rules, apart from the system's crypto
// that they ask (SignedMessage). The signature must be sound (its signer signed its attributes,
// those name the signed content's digest, the content names the file's), and the signer's chain,
// built for code signing, must carry no error but unknown revocation. The chain is judged as of
// now, or as of a timestamp's time when one is there that verifies itself (VerifiedTimestampTime).

namespace launcher {

// The verdict on a file's embedded Authenticode signature.
struct Verification {
  bool verified = false;  // the signature is sound and its signer's chain is (JudgeSignature)
  SubjectName subject;    // the signer's subject, whole, when verified
  std::string problem;    // why not, when not verified
};

// A signature that cannot be decoded: the file is signed, but nothing can be said for it. Thrown
// by the system's decoding and by a SignedMessage whose parts turn out unreadable.
class Undecodable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One embedded signature, decoded by the system's crypto. Every question but FileProblem is
// answered from the signature alone; FileProblem reads the whole file.
class SignedMessage : public TimestampedSignature {
 public:
  // The primary signer's subject, which the pin compares.
  virtual SubjectName SignerSubject() = 0;
  // The primary signer's digest algorithm, as a dotted OID.
  virtual std::string DigestAlgorithm() = 0;
  // The algorithm of the file digest that the signed content states, as a dotted OID; empty when
  // the content cannot be read.
  virtual std::string FileDigestAlgorithm() = 0;
  // Whether the primary signer signed its signed attributes.
  virtual bool SignatureVerifies() = 0;
  // Whether the signer's messageDigest attribute is the hash of the signed SpcIndirectData.
  virtual bool MessageDigestMatches() = 0;
  // The signer's chain, built for code signing, as of `time` (now: nullopt).
  virtual ChainStatus Chain(std::optional<FileTimeTicks> time) = 0;
  // The system verifier's objection to the file against its signature (the Authenticode digest
  // over the file, the file's form); nullopt when it has none.
  virtual std::optional<std::string> FileProblem() = 0;
};

// The verdict on `message`: verified, with the signer's subject, only when every rule holds;
// otherwise the first rule broken, in words. The digest algorithms come first: the system cannot
// check what it cannot hash, and would name another rule. The file is read (FileProblem) only
// once every other rule holds.
Verification JudgeSignature(SignedMessage& message);

// The signer `message` pins its file to, time aside: its subject when the signature is intact
// (the signer's signature over its attributes, the messageDigest, and last the file's digest)
// and its chain for code signing reaches a trusted root, expired or not yet valid as it may be
// now; nullopt when it pins nothing, being a signature anyone could have made.
std::optional<SubjectName> PinningSigner(SignedMessage& message);

}  // namespace launcher

#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/signature/chain_status.h"
#include "core/signature/der_time.h"
#include "core/signature/der_value.h"
#include "core/signature/digest_algorithm.h"

// When a signature's timestamp says when it was made: an RFC 3161 token, or the legacy
// Authenticode countersignature (PKCS #9) that `signtool /t` and `osslsigncode -t` still write.
// Either must be sound by itself and made by a time-stamping authority under a trusted root, as
// of its own time, which may not lie ahead of this machine's clock.

namespace launcher {

// What an RFC 3161 timestamp token says (its TSTInfo).
struct TimestampInfo {
  HashAlgorithm imprint_algorithm;
  Bytes imprint;  // the hash of what was timestamped
  FileTimeTicks time;
};

// The TSTInfo of a token's decoded content: what its OCTET STRING wraps, where the system gives it
// still wrapped, else the content itself.
Bytes TimestampInfoOf(const Bytes& content);

// Reads a DER TSTInfo, or one still wrapped in its OCTET STRING (TimestampInfoOf); nullopt when
// it is not one, or uses a hash this launcher does not know.
std::optional<TimestampInfo> ParseTimestampInfo(const Bytes& content);

// The authority behind either kind of timestamp, decoded by the system's crypto.
class TimeStamper {
 public:
  virtual ~TimeStamper() = default;
  // The authority's digest algorithm, as a dotted OID.
  virtual std::string DigestAlgorithm() = 0;
  // Whether the authority signed its signed attributes.
  virtual bool SignatureVerifies() = 0;
  // Whether the authority certificate's own extended key usage extension names time stamping
  // (id-kp-timeStamping). The chain engine cannot tell: it takes a certificate without the
  // extension as good for every usage.
  virtual bool NamesTimeStampingUsage() = 0;
  // The authority certificate's chain, built for time stamping as of `time`.
  virtual ChainStatus Chain(FileTimeTicks time) = 0;
};

// An RFC 3161 timestamp token.
class TimestampToken : public TimeStamper {
 public:
  // The token's signed content (TSTInfo), as decoded.
  virtual Bytes Content() = 0;
  // Whether the token's messageDigest attribute is the hash of its TSTInfo.
  virtual bool MessageDigestMatches() = 0;
};

// A legacy countersignature: its signed attributes state the time and, as messageDigest, the hash
// of the countersigned signer's encrypted digest.
class Countersignature : public TimeStamper {
 public:
  // The octets of its messageDigest attribute; empty when it has none or it cannot be read.
  virtual Bytes MessageDigest() = 0;
  // Its signingTime attribute's value, a DER UTCTime or GeneralizedTime; empty when it has none.
  virtual Bytes SigningTime() = 0;
};

// A signature that may carry timestamps.
class TimestampedSignature {
 public:
  virtual ~TimestampedSignature() = default;
  // The RFC 3161 token among the signer's unsigned attributes; nullptr when there is none, or, with
  // `*unreadable` saying why, when there is one that cannot be decoded.
  virtual std::unique_ptr<TimestampToken> Timestamp(std::string* unreadable) = 0;
  // The legacy countersignature among the signer's unsigned attributes, likewise.
  virtual std::unique_ptr<Countersignature> LegacyCountersignature(std::string* unreadable) = 0;
  // The hash of the signer's encrypted digest, as stored, with `algorithm`; empty when the system
  // cannot make it.
  virtual Bytes HashOfEncryptedDigest(HashAlgorithm algorithm) = 0;
  // This machine's clock.
  virtual FileTimeTicks Now() = 0;
};

// The time at which `signature` was made, by its RFC 3161 token or else by its legacy
// countersignature, whichever verifies: a digest algorithm that is accepted, a sound signature
// over what it states, a time it states readably and no later than the clock allows, a stamp of
// this signature (its imprint, or the countersignature's messageDigest, the hash of the signer's
// encrypted digest), an authority certificate that names the time-stamping usage itself, and the
// authority's chain for time stamping as of that time. nullopt otherwise, with `why_not` saying
// for each one that is there why it was not used ("a timestamp is there, but ...").
std::optional<FileTimeTicks> VerifiedTimestampTime(TimestampedSignature& signature,
                                                   std::string* why_not);

}  // namespace launcher

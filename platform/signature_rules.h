#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/der_value.h"
#include "platform/replace_file.h"

// When an embedded Authenticode signature is accepted: the rules, apart from the system's crypto
// that they ask (SignedMessage). The signature must be sound (its signer signed its attributes,
// those name the signed content's digest, the content names the file's), and the signer's chain,
// built for code signing, must carry no error but unknown revocation. The chain is judged as of
// now, or as of an RFC 3161 timestamp's time when one is there that verifies itself.

namespace launcher {

// Times are counted as Windows counts them: 100 ns ticks since 1601-01-01 00:00 UTC.
using FileTimeTicks = std::int64_t;

enum class HashAlgorithm { kSha1, kSha256, kSha384, kSha512 };

// The hash algorithm of a digest algorithm's dotted OID; nullopt for one this launcher does not
// accept.
std::optional<HashAlgorithm> HashAlgorithmOf(const std::string& oid);

// Why a digest by the algorithm of dotted OID `oid` cannot be accepted, in words that complete
// "the ... algorithm is": MD5 by name, or an algorithm this launcher does not know; nullopt when
// it can.
std::optional<std::string> DigestAlgorithmProblem(const std::string& oid);

// The error bits of a certificate chain, as the system's chain engine reports them.
namespace chain_error {
inline constexpr std::uint32_t kNotTimeValid = 0x00000001;
inline constexpr std::uint32_t kRevoked = 0x00000004;
inline constexpr std::uint32_t kNotSignatureValid = 0x00000008;
inline constexpr std::uint32_t kNotValidForUsage = 0x00000010;
inline constexpr std::uint32_t kUntrustedRoot = 0x00000020;
inline constexpr std::uint32_t kRevocationUnknown = 0x00000040;
inline constexpr std::uint32_t kCyclic = 0x00000080;
inline constexpr std::uint32_t kInvalidBasicConstraints = 0x00000400;
inline constexpr std::uint32_t kPartialChain = 0x00010000;
inline constexpr std::uint32_t kOfflineRevocation = 0x01000000;
}  // namespace chain_error

// A certificate's basic constraints, as its own extension states them.
struct BasicConstraints {
  bool stated = false;  // the certificate has the extension, and it can be read
  bool ca = false;
  std::optional<std::uint32_t> path_length;  // the most intermediate certificates below it
};

// What the chain engine reports on a certificate chain it built.
struct ChainStatus {
  std::uint32_t errors = 0;
  // The basic constraints of the chain's certificates, the signer's first: the engine reports a
  // certificate that is no CA and a CA whose path length is exceeded by the same bit.
  std::vector<BasicConstraints> certificates;
};

// What is wrong with a chain that reports `errors`, each error named, joined by "; "; nullopt when
// nothing is. Revocation is not checked (nothing may be fetched), so its unknown or offline state
// is the only error allowed. Invalid basic constraints are named by what `certificates` (the
// chain's, as in ChainStatus) show, or as either when they show neither.
std::optional<std::string> ChainProblem(std::uint32_t errors,
                                        const std::vector<BasicConstraints>& certificates = {});

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

// The contents of the DER value that `der` is, without its tag and length (what PKCS#7 hashes of
// content that is not plain data); nullopt when `der` is not exactly one DER value.
std::optional<Bytes> DerContents(const Bytes& der);

// An RFC 3161 timestamp token, decoded by the system's crypto.
class TimestampToken {
 public:
  virtual ~TimestampToken() = default;
  // The token's signed content (TSTInfo), as decoded.
  virtual Bytes Content() = 0;
  // The digest algorithm of the token's signer, as a dotted OID.
  virtual std::string DigestAlgorithm() = 0;
  // Whether the token's signer signed its signed attributes.
  virtual bool SignatureVerifies() = 0;
  // Whether the token's messageDigest attribute is the hash of its TSTInfo.
  virtual bool MessageDigestMatches() = 0;
  // Whether the TSA certificate's own extended key usage extension names time stamping
  // (id-kp-timeStamping). The chain engine cannot tell: it takes a certificate without the
  // extension as good for every usage.
  virtual bool NamesTimeStampingUsage() = 0;
  // The TSA certificate's chain, built for time stamping as of `time`.
  virtual ChainStatus Chain(FileTimeTicks time) = 0;
};

// One embedded signature, decoded by the system's crypto. Every question but FileProblem is
// answered from the signature alone; FileProblem reads the whole file.
class SignedMessage {
 public:
  virtual ~SignedMessage() = default;
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
  // The RFC 3161 token among the signer's unsigned attributes; nullptr when there is none or it
  // cannot be decoded.
  virtual std::unique_ptr<TimestampToken> Timestamp() = 0;
  // The hash of the signer's encrypted digest, as stored, with `algorithm`.
  virtual Bytes HashOfEncryptedDigest(HashAlgorithm algorithm) = 0;
  // This machine's clock.
  virtual FileTimeTicks Now() = 0;
  // The system verifier's objection to the file against its signature (the Authenticode digest
  // over the file, the file's form); nullopt when it has none.
  virtual std::optional<std::string> FileProblem() = 0;
};

// The time of `message`'s timestamp when it verifies: a digest algorithm that is accepted, the
// token's signature and messageDigest, an imprint that is the hash of the signer's encrypted
// digest, a TSA certificate that names the time-stamping usage itself, a time no later than the
// clock allows, and the TSA's chain for time stamping as of that time. nullopt, with `why_not`
// saying why when there is a token, otherwise.
std::optional<FileTimeTicks> VerifiedTimestampTime(SignedMessage& message, std::string* why_not);

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

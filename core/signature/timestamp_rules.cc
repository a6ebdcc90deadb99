#include "core/signature/timestamp_rules.h"

namespace launcher {
namespace {

// How far a timestamp may lie ahead of this machine's clock: the TSA's and this clock may differ
// a little. A time beyond that is no timestamp; it would date a signature in advance.
constexpr FileTimeTicks kClockSkew = 5LL * 60 * 10000000;

constexpr unsigned char kTagInteger = 0x02;
constexpr unsigned char kTagOctetString = 0x04;
constexpr unsigned char kTagOid = 0x06;
constexpr unsigned char kTagGeneralizedTime = 0x18;
constexpr unsigned char kTagSequence = 0x30;

// The next value inside `outer`, which must have `tag`; moves `at` past it.
std::optional<DerValue> Next(const unsigned char*& at, const DerValue& outer, unsigned char tag) {
  const std::optional<DerValue> value = ReadDer(at, outer.contents + outer.size);
  if (!value || value->tag != tag) return std::nullopt;
  at = value->end;
  return value;
}

// Why the authority of a stamp dated `time` cannot date a signature; nullopt when it can.
std::optional<std::string> AuthorityProblem(TimeStamper& authority, FileTimeTicks time,
                                            FileTimeTicks now) {
  if (!authority.NamesTimeStampingUsage()) {
    // Any key under a trusted root with no usage at all (say a publisher's own, expired) could
    // otherwise date its own signature. Only the usage's presence is required, not RFC 3161's
    // "the only usage, marked critical": presence is what tells such a key from an authority.
    return std::string(
        "its authority is not for time stamping (its certificate does not name the usage)");
  }
  if (time > now + kClockSkew) {
    return "its time, " + UtcText(time) +
           ", is in the future: more than 5 minutes past this machine's clock";
  }
  const ChainStatus chain = authority.Chain(time);
  if (const auto problem = ChainProblem(chain.errors, chain.certificates)) {
    return "its authority's chain for time stamping: " + *problem;
  }
  return std::nullopt;
}

std::optional<FileTimeTicks> TokenTime(TimestampedSignature& signature, TimestampToken& token,
                                       std::string* why_not) {
  const std::optional<TimestampInfo> info = ParseTimestampInfo(token.Content());
  if (const auto problem = DigestAlgorithmProblem(token.DigestAlgorithm())) {
    *why_not = "its digest algorithm is " + *problem;
  } else if (!info) {
    *why_not = "its content is not a timestamp this launcher reads";
  } else if (!token.SignatureVerifies()) {
    *why_not = "its signature does not verify";
  } else if (!token.MessageDigestMatches()) {
    *why_not = "its content does not match its message digest";
  } else if (const Bytes expected = signature.HashOfEncryptedDigest(info->imprint_algorithm);
             expected.empty() || info->imprint != expected) {
    *why_not = "it is not a timestamp of this signature";
  } else if (const auto problem = AuthorityProblem(token, info->time, signature.Now())) {
    *why_not = *problem;
  } else {
    return info->time;
  }
  return std::nullopt;
}

std::optional<FileTimeTicks> CountersignatureTime(TimestampedSignature& signature,
                                                  Countersignature& countersignature,
                                                  std::string* why_not) {
  const std::string algorithm = countersignature.DigestAlgorithm();
  const Bytes stated_time = countersignature.SigningTime();
  const std::optional<DerValue> time_value = ReadWholeDer(stated_time);
  const std::optional<FileTimeTicks> time = time_value ? ParseDerTime(*time_value) : std::nullopt;
  if (const auto problem = DigestAlgorithmProblem(algorithm)) {
    *why_not = "its digest algorithm is " + *problem;
  } else if (!time) {
    *why_not = "it states no signing time this launcher reads";
  } else if (!countersignature.SignatureVerifies()) {
    *why_not = "its signature does not verify";
  } else if (const Bytes expected = signature.HashOfEncryptedDigest(*HashAlgorithmOf(algorithm));
             expected.empty() || countersignature.MessageDigest() != expected) {
    *why_not = "it is not a countersignature of this signature";
  } else if (const auto problem = AuthorityProblem(countersignature, *time, signature.Now())) {
    *why_not = *problem;
  } else {
    return time;
  }
  return std::nullopt;
}

// Adds "a KIND is there, but WHY" to `why_not`.
void AddWhyNot(std::string* why_not, const char* kind, const std::string& why) {
  *why_not += (why_not->empty() ? "a " : "; a ") + std::string(kind) + " is there, but " + why;
}

}  // namespace

Bytes TimestampInfoOf(const Bytes& content) {
  const std::optional<DerValue> value = ReadWholeDer(content);
  if (value && value->tag == kTagOctetString) {
    return Bytes(value->contents, value->end);
  }
  return content;
}

std::optional<TimestampInfo> ParseTimestampInfo(const Bytes& content) {
  const Bytes der = TimestampInfoOf(content);
  const std::optional<DerValue> info = ReadWholeDer(der);
  if (!info || info->tag != kTagSequence) return std::nullopt;
  const unsigned char* at = info->contents;
  if (!Next(at, *info, kTagInteger) || !Next(at, *info, kTagOid)) return std::nullopt;
  const std::optional<DerValue> imprint = Next(at, *info, kTagSequence);
  if (!imprint) return std::nullopt;
  const unsigned char* in_imprint = imprint->contents;
  const std::optional<DerValue> algorithm = Next(in_imprint, *imprint, kTagSequence);
  if (!algorithm) return std::nullopt;
  const unsigned char* in_algorithm = algorithm->contents;
  const std::optional<DerValue> oid = Next(in_algorithm, *algorithm, kTagOid);
  const std::optional<DerValue> hashed = Next(in_imprint, *imprint, kTagOctetString);
  if (!oid || !hashed) return std::nullopt;
  const std::optional<HashAlgorithm> hash = HashAlgorithmOf(*oid);
  if (!hash || !Next(at, *info, kTagInteger)) return std::nullopt;
  const std::optional<DerValue> time = Next(at, *info, kTagGeneralizedTime);
  if (!time) return std::nullopt;
  const std::optional<FileTimeTicks> ticks = ParseDerTime(*time);
  if (!ticks) return std::nullopt;
  return TimestampInfo{*hash, Bytes(hashed->contents, hashed->end), *ticks};
}

std::optional<FileTimeTicks> VerifiedTimestampTime(TimestampedSignature& signature,
                                                   std::string* why_not) {
  std::string unreadable, why;
  if (const std::unique_ptr<TimestampToken> token = signature.Timestamp(&unreadable)) {
    if (const auto time = TokenTime(signature, *token, &why)) return time;
    AddWhyNot(why_not, "timestamp", why);
  } else if (!unreadable.empty()) {
    AddWhyNot(why_not, "timestamp", "it cannot be decoded: " + unreadable);
  }
  unreadable.clear();
  if (const std::unique_ptr<Countersignature> legacy =
          signature.LegacyCountersignature(&unreadable)) {
    if (const auto time = CountersignatureTime(signature, *legacy, &why)) return time;
    AddWhyNot(why_not, "countersignature", why);
  } else if (!unreadable.empty()) {
    AddWhyNot(why_not, "countersignature", "it cannot be decoded: " + unreadable);
  }
  return std::nullopt;
}

}  // namespace launcher

#include "platform/signature_rules.h"

#include <cstdio>
#include <cstring>

#include "platform/der_value.h"

namespace launcher {
namespace {

constexpr struct {
  std::uint32_t bit;
  const char* text;
} kChainErrors[] = {
    {chain_error::kNotTimeValid, "a certificate is expired or not yet valid"},
    {0x00000002, "validity periods are not nested"},
    {chain_error::kRevoked, "a certificate is revoked"},
    {chain_error::kNotSignatureValid, "a certificate's signature is bad"},
    {chain_error::kNotValidForUsage, "not valid for the usage asked"},
    {chain_error::kUntrustedRoot, "the root is not trusted"},
    {chain_error::kCyclic, "the chain is cyclic"},
    {0x00000100, "a certificate has an invalid extension"},
    {0x00000200, "invalid policy constraints"},
    {chain_error::kInvalidBasicConstraints, nullptr},  // BasicConstraintsProblem
    {0x00000800, "invalid name constraints"},
    {0x00001000, "an unsupported name constraint"},
    {0x00002000, "an undefined name constraint"},
    {0x00004000, "a name that is not permitted"},
    {0x00008000, "an excluded name"},
    {chain_error::kPartialChain, "the chain does not reach a root"},
    {0x00020000, "a trust list is not time valid"},
    {0x00040000, "a trust list's signature is bad"},
    {0x00080000, "a trust list is not valid for the usage"},
    {0x02000000, "no issuance chain policy"},
    {0x04000000, "a certificate is explicitly distrusted"},
    {0x08000000, "an unsupported critical extension"},
    {0x00100000, "a weak signature"},
};

constexpr std::uint32_t kAllowedChainErrors =
    chain_error::kRevocationUnknown | chain_error::kOfflineRevocation;

// How far a timestamp may lie ahead of this machine's clock: the TSA's and this clock may differ
// a little. A time beyond that is no timestamp; it would date a signature in advance.
constexpr FileTimeTicks kClockSkew = 5LL * 60 * 10000000;

constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;

constexpr unsigned char kTagInteger = 0x02;
constexpr unsigned char kTagOctetString = 0x04;
constexpr unsigned char kTagOid = 0x06;
constexpr unsigned char kTagGeneralizedTime = 0x18;
constexpr unsigned char kTagSequence = 0x30;

constexpr struct {
  HashAlgorithm algorithm;
  unsigned char oid[9];
  std::size_t oid_size;
} kHashOids[] = {
    {HashAlgorithm::kSha1, {0x2B, 0x0E, 0x03, 0x02, 0x1A}, 5},
    {HashAlgorithm::kSha256, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}, 9},
    {HashAlgorithm::kSha384, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02}, 9},
    {HashAlgorithm::kSha512, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}, 9},
};

constexpr struct {
  const char* oid;
  HashAlgorithm algorithm;
} kHashAlgorithms[] = {
    {"1.3.14.3.2.26", HashAlgorithm::kSha1},
    {"2.16.840.1.101.3.4.2.1", HashAlgorithm::kSha256},
    {"2.16.840.1.101.3.4.2.2", HashAlgorithm::kSha384},
    {"2.16.840.1.101.3.4.2.3", HashAlgorithm::kSha512},
};

constexpr char kMd5Oid[] = "1.2.840.113549.2.5";

// The next value inside `outer`, which must have `tag`; moves `at` past it.
std::optional<DerValue> Next(const unsigned char*& at, const DerValue& outer, unsigned char tag) {
  const std::optional<DerValue> value = ReadDer(at, outer.contents + outer.size);
  if (!value || value->tag != tag) return std::nullopt;
  at = value->end;
  return value;
}

std::optional<HashAlgorithm> HashOf(const DerValue& oid) {
  for (const auto& known : kHashOids) {
    if (oid.size == known.oid_size && std::memcmp(oid.contents, known.oid, oid.size) == 0) {
      return known.algorithm;
    }
  }
  return std::nullopt;
}

int Digits(const unsigned char* p, int count) {
  int value = 0;
  for (int i = 0; i < count; ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    value = value * 10 + (p[i] - '0');
  }
  return value;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

// "YYYYMMDDHHMMSS[.fraction]Z", as RFC 3161 requires it.
std::optional<FileTimeTicks> ParseGeneralizedTime(const DerValue& time) {
  const unsigned char* p = time.contents;
  if (time.size < 15 || p[time.size - 1] != 'Z') return std::nullopt;
  const int year = Digits(p, 4), month = Digits(p + 4, 2), day = Digits(p + 6, 2);
  const int hour = Digits(p + 8, 2), minute = Digits(p + 10, 2), second = Digits(p + 12, 2);
  if (year < 1601 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 60) {
    return std::nullopt;
  }
  std::int64_t fraction_ticks = 0;
  if (time.size > 15) {
    if (p[14] != '.' || time.size == 16) return std::nullopt;
    std::int64_t scale = 1000000;  // ticks in a tenth of a second
    for (std::size_t i = 15; i + 1 < time.size; ++i) {
      if (p[i] < '0' || p[i] > '9') return std::nullopt;
      fraction_ticks += (p[i] - '0') * scale;
      scale /= 10;
    }
  }
  const std::int64_t seconds =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
      hour * 3600 + minute * 60 + second + kSecondsFrom1601To1970;
  return seconds * 10000000 + fraction_ticks;
}

// "YYYY-MM-DD HH:MM:SS UTC", the inverse of DaysFromCivil for the date.
std::string UtcText(FileTimeTicks ticks) {
  const std::int64_t seconds = ticks / 10000000 - kSecondsFrom1601To1970;
  const std::int64_t second_of_day = (seconds % 86400 + 86400) % 86400;
  const std::int64_t days = (seconds - second_of_day) / 86400 + 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;  // from March
  const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const std::int64_t year = year_of_era + era * 400 + (month <= 2);
  char text[40];
  std::snprintf(
      text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld UTC", static_cast<long long>(year),
      month, day, static_cast<long long>(second_of_day / 3600),
      static_cast<long long>(second_of_day / 60 % 60), static_cast<long long>(second_of_day % 60));
  return text;
}

// Why a chain whose `certificates` are these has invalid basic constraints.
std::string BasicConstraintsProblem(const std::vector<BasicConstraints>& certificates) {
  bool no_ca = false, path_exceeded = false;
  for (std::size_t i = 1; i < certificates.size(); ++i) {
    const BasicConstraints& issuer = certificates[i];
    if (issuer.stated && !issuer.ca) no_ca = true;
    // Between it and the signer's certificate lie i - 1 intermediates.
    if (issuer.stated && issuer.ca && issuer.path_length && *issuer.path_length < i - 1) {
      path_exceeded = true;
    }
  }
  if (no_ca && path_exceeded) {
    return "issued by a certificate that is no CA; a CA's path length constraint is exceeded";
  }
  if (no_ca) return "issued by a certificate that is no CA";
  if (path_exceeded) return "a CA's path length constraint is exceeded";
  return "a CA's basic constraints (not a CA, or its path length exceeded)";
}

}  // namespace

std::optional<HashAlgorithm> HashAlgorithmOf(const std::string& oid) {
  for (const auto& known : kHashAlgorithms) {
    if (oid == known.oid) return known.algorithm;
  }
  return std::nullopt;
}

std::optional<std::string> DigestAlgorithmProblem(const std::string& oid) {
  if (HashAlgorithmOf(oid)) return std::nullopt;
  if (oid == kMd5Oid) return std::string("MD5, which is refused: collisions can be made for it");
  if (oid.empty()) return std::string("none that can be read");
  return oid + ", which this launcher does not know";
}

std::optional<std::string> ChainProblem(std::uint32_t errors,
                                        const std::vector<BasicConstraints>& certificates) {
  errors &= ~kAllowedChainErrors;
  if (errors == 0) return std::nullopt;
  std::string text;
  for (const auto& known : kChainErrors) {
    if ((errors & known.bit) == 0) continue;
    const std::string said = known.bit == chain_error::kInvalidBasicConstraints
                                 ? BasicConstraintsProblem(certificates)
                                 : known.text;
    text += (text.empty() ? "" : "; ") + said;
    errors &= ~known.bit;
  }
  if (errors != 0) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(errors));
    text += (text.empty() ? "error " : "; error ") + std::string(code);
  }
  return text;
}

std::optional<Bytes> DerContents(const Bytes& der) {
  const std::optional<DerValue> value = ReadDer(der.data(), der.data() + der.size());
  if (!value || value->end != der.data() + der.size()) return std::nullopt;
  return Bytes(value->contents, value->end);
}

Bytes TimestampInfoOf(const Bytes& content) {
  const std::optional<DerValue> value = ReadDer(content.data(), content.data() + content.size());
  if (value && value->tag == kTagOctetString && value->end == content.data() + content.size()) {
    return Bytes(value->contents, value->end);
  }
  return content;
}

std::optional<TimestampInfo> ParseTimestampInfo(const Bytes& content) {
  const Bytes der = TimestampInfoOf(content);
  const std::optional<DerValue> info = ReadDer(der.data(), der.data() + der.size());
  if (!info || info->tag != kTagSequence || info->end != der.data() + der.size()) {
    return std::nullopt;
  }
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
  const std::optional<HashAlgorithm> hash = HashOf(*oid);
  if (!hash || !Next(at, *info, kTagInteger)) return std::nullopt;
  const std::optional<DerValue> time = Next(at, *info, kTagGeneralizedTime);
  if (!time) return std::nullopt;
  const std::optional<FileTimeTicks> ticks = ParseGeneralizedTime(*time);
  if (!ticks) return std::nullopt;
  return TimestampInfo{*hash, Bytes(hashed->contents, hashed->end), *ticks};
}

std::optional<FileTimeTicks> VerifiedTimestampTime(SignedMessage& message, std::string* why_not) {
  const std::unique_ptr<TimestampToken> token = message.Timestamp();
  if (!token) return std::nullopt;
  const std::optional<TimestampInfo> info = ParseTimestampInfo(token->Content());
  if (const auto problem = DigestAlgorithmProblem(token->DigestAlgorithm())) {
    *why_not = "its digest algorithm is " + *problem;
  } else if (!info) {
    *why_not = "its content is not a timestamp this launcher reads";
  } else if (!token->SignatureVerifies()) {
    *why_not = "its signature does not verify";
  } else if (!token->MessageDigestMatches()) {
    *why_not = "its content does not match its message digest";
  } else if (const Bytes expected = message.HashOfEncryptedDigest(info->imprint_algorithm);
             expected.empty() || info->imprint != expected) {
    *why_not = "it is not a timestamp of this signature";
  } else if (!token->NamesTimeStampingUsage()) {
    // Any key under a trusted root with no usage at all (say a publisher's own, expired) could
    // otherwise date its own signature. Only the usage's presence is required, not RFC 3161's
    // "the only usage, marked critical": presence is what tells such a key from an authority.
    *why_not = "its authority is not for time stamping (its certificate does not name the usage)";
  } else if (info->time > message.Now() + kClockSkew) {
    *why_not = "its time, " + UtcText(info->time) +
               ", is in the future: more than 5 minutes past this machine's clock";
  } else if (const ChainStatus chain = token->Chain(info->time);
             const auto problem = ChainProblem(chain.errors, chain.certificates)) {
    *why_not = "its authority's chain for time stamping: " + *problem;
  } else {
    return info->time;
  }
  return std::nullopt;
}

Verification JudgeSignature(SignedMessage& message) {
  Verification verdict;
  if (const auto problem = DigestAlgorithmProblem(message.DigestAlgorithm())) {
    verdict.problem = "the signer's digest algorithm is " + *problem;
    return verdict;
  }
  if (const auto problem = DigestAlgorithmProblem(message.FileDigestAlgorithm())) {
    verdict.problem = "the signed file digest's algorithm is " + *problem;
    return verdict;
  }
  if (!message.SignatureVerifies()) {
    verdict.problem = "the signer's signature over its signed attributes does not verify";
    return verdict;
  }
  if (!message.MessageDigestMatches()) {
    verdict.problem = "the signed content does not match the signer's message digest";
    return verdict;
  }
  std::string timestamp_problem;
  const std::optional<FileTimeTicks> time = VerifiedTimestampTime(message, &timestamp_problem);
  const ChainStatus chain = message.Chain(time);
  if (const auto problem = ChainProblem(chain.errors, chain.certificates)) {
    verdict.problem = "the signer's chain for code signing" +
                      std::string(time ? " as of its timestamp" : "") + ": " + *problem;
    if (!timestamp_problem.empty()) {
      verdict.problem += " (a timestamp is there, but " + timestamp_problem + ")";
    }
    return verdict;
  }
  if (const auto problem = message.FileProblem()) {
    verdict.problem = *problem;
    return verdict;
  }
  verdict.verified = true;
  verdict.subject = message.SignerSubject();
  return verdict;
}

std::optional<SubjectName> PinningSigner(SignedMessage& message) {
  // A digest anyone can collide proves nothing about who signed.
  if (DigestAlgorithmProblem(message.DigestAlgorithm()) ||
      DigestAlgorithmProblem(message.FileDigestAlgorithm())) {
    return std::nullopt;
  }
  if (!message.SignatureVerifies() || !message.MessageDigestMatches()) return std::nullopt;
  // A certificate that expired since still names its publisher: a renewed one continues it.
  const ChainStatus chain = message.Chain(std::nullopt);
  if (ChainProblem(chain.errors & ~chain_error::kNotTimeValid, chain.certificates)) {
    return std::nullopt;
  }
  if (message.FileProblem()) return std::nullopt;
  return message.SignerSubject();
}

}  // namespace launcher

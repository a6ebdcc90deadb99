#include "core/signature/signature_rules.h"

#include <gtest/gtest.h>

#include "tests/fake_signature.h"

namespace launcher {
namespace {

Bytes Cut(Bytes der) {
  der.pop_back();
  return der;
}

constexpr FileTimeTicks kTicks2025 = 13380260645LL * 10000000;  // 2025-01-02 03:04:05 UTC
constexpr FileTimeTicks kMinute = 60LL * 10000000;

TEST(ParseTimestampInfo, ReadsTheTimeAndImprintOfATstInfo) {
  const struct {
    const char* name;
    Bytes der;
    std::optional<FileTimeTicks> time;
  } cases[] = {
      {"whole seconds", TstInfo("20250102030405Z"), kTicks2025},
      {"fractions", TstInfo("20250102030405.25Z"), kTicks2025 + 2500000},
      {"a leap day", TstInfo("20000229235959Z"), 12596342399LL * 10000000},
      {"wrapped in its OCTET STRING", Der(0x04, TstInfo("20250102030405Z")), kTicks2025},
      {"no zone", TstInfo("20250102030405"), std::nullopt},
      {"a local time", TstInfo("20250102030405+0100"), std::nullopt},
      {"month 0", TstInfo("20250002030405Z"), std::nullopt},
      {"month 13", TstInfo("20251302030405Z"), std::nullopt},
      {"day 0", TstInfo("20250100030405Z"), std::nullopt},
      {"day 32", TstInfo("20250132030405Z"), std::nullopt},
      {"hour 24", TstInfo("20250102240405Z"), std::nullopt},
      {"minute 60", TstInfo("20250102036005Z"), std::nullopt},
      {"second 61", TstInfo("20250102030461Z"), std::nullopt},
      {"year 1600", TstInfo("16000102030405Z"), std::nullopt},
      {"a sign for a digit", TstInfo("2025010203-405Z"), std::nullopt},
      {"an empty fraction", TstInfo("20250102030405.Z"), std::nullopt},
      {"an unknown hash", TstInfo("20250102030405Z", {1, 2}, {0x2A, 0x03, 0x04}), std::nullopt},
      {"cut", Cut(TstInfo("20250102030405Z")), std::nullopt},
      {"something after it", Join({TstInfo("20250102030405Z"), {0}}), std::nullopt},
      {"not a sequence", Der(0x31, {}), std::nullopt},
      {"nothing", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<TimestampInfo> info = ParseTimestampInfo(c.der);
    ASSERT_EQ(info.has_value(), c.time.has_value());
    if (!info) continue;
    EXPECT_EQ(info->time, *c.time);
    EXPECT_EQ(info->imprint_algorithm, HashAlgorithm::kSha256);
    EXPECT_EQ(info->imprint, FakeHashOfEncryptedDigest(HashAlgorithm::kSha256));
  }
}

TEST(DerContents, IsTheValueWithoutItsTagAndLength) {
  const Bytes long_value(300, 7);
  EXPECT_EQ(DerContents(Der(0x30, {1, 2, 3})), (Bytes{1, 2, 3}));
  EXPECT_EQ(DerContents(Der(0x30, long_value)), long_value);
  EXPECT_EQ(DerContents(Join({Der(0x30, {1}), {0}})), std::nullopt);
  EXPECT_EQ(DerContents({0x30, 0x80, 0, 0}), std::nullopt) << "indefinite length is not DER";
  EXPECT_EQ(DerContents({0x30, 0x05, 1}), std::nullopt);
  EXPECT_EQ(DerContents({0x1F, 0x81, 0x01, 0}), std::nullopt) << "a tag number of two bytes";
}

TEST(ChainProblem, OnlyUnknownRevocationIsAllowed) {
  namespace e = chain_error;
  EXPECT_EQ(ChainProblem(0), std::nullopt);
  EXPECT_EQ(ChainProblem(e::kRevocationUnknown | e::kOfflineRevocation), std::nullopt);
  EXPECT_EQ(ChainProblem(e::kUntrustedRoot | e::kRevocationUnknown), "the root is not trusted");
  EXPECT_EQ(ChainProblem(e::kNotValidForUsage | e::kInvalidBasicConstraints),
            "not valid for the usage asked; a CA's basic constraints (not a CA, or its path length "
            "exceeded)");
  EXPECT_EQ(ChainProblem(0x00000800 | 0x20000000), "invalid name constraints; error 0x20000000");
  for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
    if ((bit & (e::kRevocationUnknown | e::kOfflineRevocation)) != 0) continue;
    EXPECT_NE(ChainProblem(bit), std::nullopt) << std::hex << bit;
  }
}

TEST(ChainProblem, InvalidBasicConstraintsAreToldApartByTheCertificates) {
  const BasicConstraints leaf{true, false, {}}, ca{true, true, {}}, unstated{};
  const BasicConstraints ca_path0{true, true, 0}, ca_path1{true, true, 1};
  const struct {
    const char* name;
    std::vector<BasicConstraints> certificates;  // the signer's first
    const char* expected;
  } cases[] = {
      {"issued by a leaf", {leaf, leaf, ca}, "issued by a certificate that is no CA"},
      {"a sub-CA under a CA that allows none",
       {leaf, ca, ca_path0, ca},
       "a CA's path length constraint is exceeded"},
      {"a CA that allows one",
       {leaf, ca, ca_path1, ca},
       "a CA's basic constraints (not a CA, or its path length exceeded)"},
      {"a sub-CA that allows none",
       {leaf, ca_path0, ca},
       "a CA's basic constraints (not a CA, or its path length exceeded)"},
      {"a leaf under a CA that allows none",
       {leaf, leaf, ca_path0, ca},
       "issued by a certificate that is no CA; a CA's path length constraint is exceeded"},
      {"an issuer that states nothing",
       {leaf, unstated, ca},
       "a CA's basic constraints (not a CA, or its path length exceeded)"},
      {"no certificates", {}, "a CA's basic constraints (not a CA, or its path length exceeded)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ChainProblem(chain_error::kInvalidBasicConstraints, c.certificates), c.expected);
  }
}

FakeSignature Sound() {
  FakeSignature signature;
  signature.subject = FakeName("Norvik Test Publisher A");
  return signature;
}

// Expired now, inside its validity at 2025-01-02, timestamped then.
FakeSignature ExpiredWithTimestamp() {
  FakeSignature signature = Sound();
  signature.chain_errors_now = chain_error::kNotTimeValid;
  signature.then = kTicks2025;
  signature.timestamp = FakeTimestamp{TstInfo("20250102030405Z")};
  return signature;
}

FakeCountersignature CountersignatureAt(const Bytes& signing_time) {
  FakeCountersignature countersignature;
  countersignature.signing_time = signing_time;
  return countersignature;
}

// The same, countersigned the legacy way instead (a UTCTime, as signtool writes it).
void CountersignedInstead(FakeSignature& signature) {
  signature.timestamp.reset();
  signature.countersignature = CountersignatureAt(Der(0x17, Text("250102030405Z")));
}

TEST(JudgeSignature, EveryRuleMustHold) {
  namespace e = chain_error;
  const struct {
    const char* name;
    void (*change)(FakeSignature&);
    bool base_is_timestamped;
    const char* problem;  // nullptr: verified
  } cases[] = {
      {"sound", [](FakeSignature&) {}, false, nullptr},
      {"sound, revocation unknown",
       [](FakeSignature& s) { s.chain_errors_now = e::kRevocationUnknown; }, false, nullptr},
      {"attributes not signed by the signer",
       [](FakeSignature& s) { s.signature_verifies = false; }, false,
       "the signer's signature over its signed attributes does not verify"},
      {"signed with MD5, which the system then cannot hash",
       [](FakeSignature& s) {
         s.digest_algorithm = "1.2.840.113549.2.5";
         s.message_digest_matches = false;
       },
       false,
       "the signer's digest algorithm is MD5, which is refused: collisions can be made for it"},
      {"signed with an algorithm nobody knows",
       [](FakeSignature& s) {
         s.digest_algorithm = "1.2.3.4";
         s.signature_verifies = false;
       },
       false, "the signer's digest algorithm is 1.2.3.4, which this launcher does not know"},
      {"a file digest by MD5",
       [](FakeSignature& s) { s.file_digest_algorithm = "1.2.840.113549.2.5"; }, false,
       "the signed file digest's algorithm is MD5, which is refused"},
      {"signed content that cannot be read", [](FakeSignature& s) { s.file_digest_algorithm = ""; },
       false, "the signed file digest's algorithm is none that can be read"},
      {"signed with SHA-1",
       [](FakeSignature& s) { s.digest_algorithm = s.file_digest_algorithm = "1.3.14.3.2.26"; },
       false, nullptr},
      {"transplanted: the digest does not match the content",
       [](FakeSignature& s) { s.message_digest_matches = false; }, false,
       "the signed content does not match the signer's message digest"},
      {"a root not trusted", [](FakeSignature& s) { s.chain_errors_now = e::kUntrustedRoot; },
       false, "the signer's chain for code signing: the root is not trusted"},
      {"TLS only", [](FakeSignature& s) { s.chain_errors_now = e::kNotValidForUsage; }, false,
       "the signer's chain for code signing: not valid for the usage asked"},
      {"issued by a leaf",
       [](FakeSignature& s) {
         s.chain_errors_now = e::kInvalidBasicConstraints;
         s.chain = {{true, false, {}}, {true, false, {}}, {true, true, {}}};
       },
       false, "the signer's chain for code signing: issued by a certificate that is no CA"},
      {"under a CA whose path length is exceeded",
       [](FakeSignature& s) {
         s.chain_errors_now = e::kInvalidBasicConstraints;
         s.chain = {{true, false, {}}, {true, true, {}}, {true, true, 0}, {true, true, {}}};
       },
       false, "the signer's chain for code signing: a CA's path length constraint is exceeded"},
      {"expired, no timestamp", [](FakeSignature& s) { s.chain_errors_now = e::kNotTimeValid; },
       false, "the signer's chain for code signing: a certificate is expired or not yet valid"},
      {"the file does not match",
       [](FakeSignature& s) { s.file_problem = "the file does not match its signature"; }, false,
       "the file does not match its signature"},
      {"expired, timestamped while valid", [](FakeSignature&) {}, true, nullptr},
      {"expired, timestamped after it expired",
       [](FakeSignature& s) { s.chain_errors_then = e::kNotTimeValid; }, true,
       "the signer's chain for code signing as of its timestamp: a certificate is expired or not "
       "yet valid"},
      {"a timestamp whose signature does not verify",
       [](FakeSignature& s) { s.timestamp->signature_verifies = false; }, true,
       "the signer's chain for code signing: a certificate is expired or not yet valid (a "
       "timestamp is there, but its signature does not verify)"},
      {"a timestamp signed with MD5",
       [](FakeSignature& s) {
         s.timestamp->digest_algorithm = "1.2.840.113549.2.5";
         s.timestamp->message_digest_matches = false;
       },
       true, "(a timestamp is there, but its digest algorithm is MD5, which is refused"},
      {"a timestamp whose content was changed",
       [](FakeSignature& s) { s.timestamp->message_digest_matches = false; }, true,
       "(a timestamp is there, but its content does not match its message digest)"},
      {"a timestamp of another signature",
       [](FakeSignature& s) { s.timestamp->content = TstInfo("20250102030405Z", Bytes(8, 1)); },
       true, "(a timestamp is there, but it is not a timestamp of this signature)"},
      {"an empty imprint, and no hash of the signature to compare it with",
       [](FakeSignature& s) {
         s.hashes = false;
         s.timestamp->content = TstInfo("20250102030405Z", {});
       },
       true, "(a timestamp is there, but it is not a timestamp of this signature)"},
      {"a timestamp whose TSA was not valid at its time",
       [](FakeSignature& s) { s.timestamp->chain_errors = e::kNotTimeValid; }, true,
       "(a timestamp is there, but its authority's chain for time stamping: a certificate is "
       "expired or not yet valid)"},
      {"a timestamp by a key that names no time-stamping usage, clean to the chain engine",
       [](FakeSignature& s) { s.timestamp->names_time_stamping = false; }, true,
       "(a timestamp is there, but its authority is not for time stamping (its certificate does "
       "not name the usage))"},
      {"a timestamp 20 days ahead of the clock, which the chain takes as of that time",
       [](FakeSignature& s) { s.now = kTicks2025 - 20 * 24 * 60 * kMinute; }, true,
       "(a timestamp is there, but its time, 2025-01-02 03:04:05 UTC, is in the future: more than "
       "5 minutes past this machine's clock)"},
      {"a timestamp 5 minutes ahead of the clock",
       [](FakeSignature& s) { s.now = kTicks2025 - 5 * kMinute; }, true, nullptr},
      {"a timestamp more than 5 minutes ahead of the clock",
       [](FakeSignature& s) { s.now = kTicks2025 - 5 * kMinute - 1; }, true, "is in the future"},
      {"a timestamp by a TSA that may not time stamp",
       [](FakeSignature& s) { s.timestamp->chain_errors = e::kNotValidForUsage; }, true,
       "(a timestamp is there, but its authority's chain for time stamping: not valid for the "
       "usage asked)"},
      {"a timestamp that cannot be read",
       [](FakeSignature& s) { s.timestamp->content = Text("garbage"); }, true,
       "(a timestamp is there, but its content is not a timestamp this launcher reads)"},
      {"a timestamp that cannot be decoded",
       [](FakeSignature& s) {
         s.timestamp.reset();
         s.unreadable_timestamp = "it is not a PKCS#7 signature";
       },
       true, "(a timestamp is there, but it cannot be decoded: it is not a PKCS#7 signature)"},
      {"expired, countersigned while valid", CountersignedInstead, true, nullptr},
      {"countersigned with a GeneralizedTime",
       [](FakeSignature& s) {
         CountersignedInstead(s);
         s.countersignature->signing_time = Der(0x18, Text("20250102030405Z"));
       },
       true, nullptr},
      {"a token that fails beside a countersignature that holds",
       [](FakeSignature& s) {
         s.countersignature = CountersignatureAt(Der(0x17, Text("250102030405Z")));
         s.timestamp->signature_verifies = false;
       },
       true, nullptr},
      {"a token and a countersignature that both fail",
       [](FakeSignature& s) {
         s.countersignature = CountersignatureAt(Der(0x17, Text("250102030405Z")));
         s.countersignature->signature_verifies = false;
         s.timestamp->signature_verifies = false;
       },
       true,
       "(a timestamp is there, but its signature does not verify; a countersignature is there, "
       "but its signature does not verify)"},
      {"a countersignature of another signature",
       [](FakeSignature& s) {
         CountersignedInstead(s);
         s.countersignature->message_digest = Bytes(8, 1);
       },
       true, "(a countersignature is there, but it is not a countersignature of this signature)"},
      {"a countersignature by MD5",
       [](FakeSignature& s) {
         CountersignedInstead(s);
         s.countersignature->digest_algorithm = "1.2.840.113549.2.5";
       },
       true, "(a countersignature is there, but its digest algorithm is MD5"},
      {"a countersignature by a key that names no time-stamping usage",
       [](FakeSignature& s) {
         CountersignedInstead(s);
         s.countersignature->names_time_stamping = false;
       },
       true, "(a countersignature is there, but its authority is not for time stamping"},
      {"a countersignature by an authority that may not time stamp",
       [](FakeSignature& s) {
         CountersignedInstead(s);
         s.countersignature->chain_errors = e::kNotValidForUsage;
       },
       true, "but its authority's chain for time stamping: not valid for the usage asked)"},
      {"a countersignature 20 days ahead of the clock",
       [](FakeSignature& s) {
         CountersignedInstead(s);
         s.now = kTicks2025 - 20 * 24 * 60 * kMinute;
       },
       true,
       "(a countersignature is there, but its time, 2025-01-02 03:04:05 UTC, is in the future"},
      {"a countersignature without a signing time",
       [](FakeSignature& s) {
         CountersignedInstead(s);
         s.countersignature->signing_time.clear();
       },
       true, "(a countersignature is there, but it states no signing time this launcher reads)"},
      {"a countersignature at hour 24",
       [](FakeSignature& s) {
         CountersignedInstead(s);
         s.countersignature->signing_time = Der(0x17, Text("250102240405Z"));
       },
       true, "it states no signing time this launcher reads"},
      {"a countersignature whose time is followed by a byte",
       [](FakeSignature& s) {
         CountersignedInstead(s);
         s.countersignature->signing_time.push_back(0);
       },
       true, "it states no signing time this launcher reads"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSignature signature = c.base_is_timestamped ? ExpiredWithTimestamp() : Sound();
    c.change(signature);
    int file_reads = 0;
    FakeSignedMessage message(signature, &file_reads);
    const Verification verdict = JudgeSignature(message);
    EXPECT_EQ(verdict.verified, c.problem == nullptr);
    if (c.problem == nullptr) {
      EXPECT_EQ(verdict.subject.der, FakeName("Norvik Test Publisher A").der);
      EXPECT_EQ(file_reads, 1);
    } else {
      EXPECT_NE(verdict.problem.find(c.problem), std::string::npos) << verdict.problem;
      EXPECT_TRUE(verdict.subject.der.empty());
      EXPECT_EQ(file_reads, signature.file_problem ? 1 : 0)
          << "a signature refused by itself costs no read of the file";
    }
  }
}

TEST(PinningSigner, OnlyAnIntactSignatureUnderATrustedRootPinsTimeAside) {
  namespace e = chain_error;
  const struct {
    const char* name;
    void (*change)(FakeSignature&);
    bool pins;
  } cases[] = {
      {"sound", [](FakeSignature&) {}, true},
      {"revocation unknown", [](FakeSignature& s) { s.chain_errors_now = e::kRevocationUnknown; },
       true},
      {"expired or not yet valid", [](FakeSignature& s) { s.chain_errors_now = e::kNotTimeValid; },
       true},
      {"expired, with a timestamp that does not verify",
       [](FakeSignature& s) {
         s = ExpiredWithTimestamp();
         s.timestamp->signature_verifies = false;
       },
       true},
      {"self-signed", [](FakeSignature& s) { s.chain_errors_now = e::kUntrustedRoot; }, false},
      {"self-signed and expired",
       [](FakeSignature& s) { s.chain_errors_now = e::kUntrustedRoot | e::kNotTimeValid; }, false},
      {"no chain to a root", [](FakeSignature& s) { s.chain_errors_now = e::kPartialChain; },
       false},
      {"TLS only", [](FakeSignature& s) { s.chain_errors_now = e::kNotValidForUsage; }, false},
      {"issued by a leaf",
       [](FakeSignature& s) { s.chain_errors_now = e::kInvalidBasicConstraints; }, false},
      {"attributes not signed by the signer",
       [](FakeSignature& s) { s.signature_verifies = false; }, false},
      {"transplanted", [](FakeSignature& s) { s.message_digest_matches = false; }, false},
      {"the file does not match", [](FakeSignature& s) { s.file_problem = "bad digest"; }, false},
      {"signed with MD5", [](FakeSignature& s) { s.digest_algorithm = "1.2.840.113549.2.5"; },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSignature signature = Sound();
    c.change(signature);
    int file_reads = 0;
    FakeSignedMessage message(signature, &file_reads);
    const std::optional<SubjectName> signer = PinningSigner(message);
    EXPECT_EQ(signer.has_value(), c.pins);
    if (signer) {
      EXPECT_EQ(signer->der, signature.subject.der);
    }
    EXPECT_EQ(file_reads, c.pins || signature.file_problem ? 1 : 0)
        << "a signature that pins nothing by itself costs no read of the file";
  }
}

}  // namespace
}  // namespace launcher

#include "platform/signature_rules.h"

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
            "not valid for the usage asked; issued by a certificate that is no CA");
  EXPECT_EQ(ChainProblem(0x00000800 | 0x20000000), "invalid name constraints; error 0x20000000");
  for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
    if ((bit & (e::kRevocationUnknown | e::kOfflineRevocation)) != 0) continue;
    EXPECT_NE(ChainProblem(bit), std::nullopt) << std::hex << bit;
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
      {"transplanted: the digest does not match the content",
       [](FakeSignature& s) { s.message_digest_matches = false; }, false,
       "the signed content does not match the signer's message digest"},
      {"a root not trusted", [](FakeSignature& s) { s.chain_errors_now = e::kUntrustedRoot; },
       false, "the signer's chain for code signing: the root is not trusted"},
      {"TLS only", [](FakeSignature& s) { s.chain_errors_now = e::kNotValidForUsage; }, false,
       "the signer's chain for code signing: not valid for the usage asked"},
      {"issued by a leaf",
       [](FakeSignature& s) { s.chain_errors_now = e::kInvalidBasicConstraints; }, false,
       "the signer's chain for code signing: issued by a certificate that is no CA"},
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

}  // namespace
}  // namespace launcher

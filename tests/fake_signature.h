#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/signature/distinguished_name.h"
#include "core/signature/signature_rules.h"

namespace launcher {

// What the system's crypto would find in an RFC 3161 timestamp token.
inline constexpr char kSha256OidText[] = "2.16.840.1.101.3.4.2.1";

struct FakeTimestamp {
  Bytes content;  // the TSTInfo
  std::string digest_algorithm = kSha256OidText;
  bool signature_verifies = true;
  bool message_digest_matches = true;
  bool names_time_stamping = true;  // in the TSA certificate's own extended key usage
  // Of the TSA's chain as of the token's own time; asked at any other time, it is not time valid.
  std::uint32_t chain_errors = 0;
};

// What it would find in a legacy countersignature.
struct FakeCountersignature {
  Bytes signing_time;  // DER
  std::string digest_algorithm = kSha256OidText;
  bool signature_verifies = true;
  std::optional<Bytes> message_digest;  // nullopt: the hash of the signer's encrypted digest
  bool names_time_stamping = true;
  std::uint32_t chain_errors = 0;  // as of its signing time, as for FakeTimestamp
};

// What the system's crypto would find in one embedded signature.
struct FakeSignature {
  SubjectName subject;
  std::string digest_algorithm = kSha256OidText;
  std::string file_digest_algorithm = kSha256OidText;
  bool signature_verifies = true;
  bool message_digest_matches = true;
  std::uint32_t chain_errors_now = 0;
  std::uint32_t chain_errors_then = 0;  // as of `then`; any other past time is outside validity
  std::vector<BasicConstraints> chain;  // the certificates' basic constraints, at any time
  FileTimeTicks then = 0;
  std::optional<FakeTimestamp> timestamp;
  std::optional<FakeCountersignature> countersignature;
  std::string unreadable_timestamp, unreadable_countersignature;  // each there, but undecodable
  bool hashes = true;                            // whether the system can hash the encrypted digest
  FileTimeTicks now = 13411699200LL * 10000000;  // 2026-01-01 00:00 UTC
  std::optional<std::string> file_problem;
};

// The imprint of a sound timestamp of any fake signature, by algorithm.
inline Bytes FakeHashOfEncryptedDigest(HashAlgorithm algorithm) {
  return Bytes(8, static_cast<unsigned char>(0xE0 + static_cast<int>(algorithm)));
}

// DER for tests: a value of `tag` around `contents`.
inline Bytes Der(unsigned char tag, const Bytes& contents) {
  Bytes der{tag};
  if (contents.size() < 0x80) {
    der.push_back(static_cast<unsigned char>(contents.size()));
  } else {
    der.push_back(0x82);
    der.push_back(static_cast<unsigned char>(contents.size() >> 8));
    der.push_back(static_cast<unsigned char>(contents.size()));
  }
  der.insert(der.end(), contents.begin(), contents.end());
  return der;
}

inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// DER names for tests: a name of RDNs, an RDN of attributes, an attribute of a type (an OID's
// contents) and a value of a string type.
inline Bytes NameDer(std::initializer_list<Bytes> rdns) { return Der(0x30, Join(rdns)); }
inline Bytes RdnDer(std::initializer_list<Bytes> attributes) { return Der(0x31, Join(attributes)); }
inline Bytes AttributeDer(const Bytes& type, unsigned char tag, const Bytes& value) {
  return Der(0x30, Join({Der(0x06, type), Der(tag, value)}));
}
inline const Bytes kCountryName = {0x55, 0x04, 0x06};
inline const Bytes kOrganizationName = {0x55, 0x04, 0x0A};
inline const Bytes kCommonName = {0x55, 0x04, 0x03};
inline constexpr unsigned char kUtf8String = 0x0C;
inline constexpr unsigned char kPrintableString = 0x13;

// A subject of one common name, and the text a system would render for it.
inline SubjectName FakeName(const std::string& common_name, unsigned char tag = kUtf8String) {
  return {NameDer({RdnDer({AttributeDer(kCommonName, tag, Text(common_name))})}),
          "CN=" + common_name};
}

inline const Bytes kSha256Oid = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

// A TSTInfo as TSAs write it: version, policy, imprint, serial, time, then optional fields.
inline Bytes TstInfo(const std::string& time,
                     const Bytes& imprint = FakeHashOfEncryptedDigest(HashAlgorithm::kSha256),
                     const Bytes& hash_oid = kSha256Oid) {
  return Der(0x30, Join({Der(0x02, {1}), Der(0x06, {0x2A, 0x03}),
                         Der(0x30, Join({Der(0x30, Join({Der(0x06, hash_oid), Der(0x05, {})})),
                                         Der(0x04, imprint)})),
                         Der(0x02, {0x12, 0x34}), Der(0x18, Text(time)), Der(0x01, {0xFF})}));
}

// Answers as the system's crypto would for `signature`; counts the reads of the whole file.
class FakeSignedMessage : public SignedMessage {
 public:
  explicit FakeSignedMessage(const FakeSignature& signature, int* file_reads = nullptr)
      : signature_(signature), file_reads_(file_reads) {}

  SubjectName SignerSubject() override { return signature_.subject; }
  std::string DigestAlgorithm() override { return signature_.digest_algorithm; }
  std::string FileDigestAlgorithm() override { return signature_.file_digest_algorithm; }
  bool SignatureVerifies() override { return signature_.signature_verifies; }
  bool MessageDigestMatches() override { return signature_.message_digest_matches; }
  ChainStatus Chain(std::optional<FileTimeTicks> time) override {
    if (!time) return {signature_.chain_errors_now, signature_.chain};
    return {*time == signature_.then ? signature_.chain_errors_then : chain_error::kNotTimeValid,
            signature_.chain};
  }
  std::unique_ptr<TimestampToken> Timestamp(std::string* unreadable) override {
    *unreadable = signature_.unreadable_timestamp;
    if (!signature_.timestamp) return nullptr;
    return std::make_unique<Token>(*signature_.timestamp);
  }
  std::unique_ptr<Countersignature> LegacyCountersignature(std::string* unreadable) override {
    *unreadable = signature_.unreadable_countersignature;
    if (!signature_.countersignature) return nullptr;
    return std::make_unique<Legacy>(*signature_.countersignature);
  }
  Bytes HashOfEncryptedDigest(HashAlgorithm algorithm) override {
    return signature_.hashes ? FakeHashOfEncryptedDigest(algorithm) : Bytes();
  }
  FileTimeTicks Now() override { return signature_.now; }
  std::optional<std::string> FileProblem() override {
    if (file_reads_ != nullptr) ++*file_reads_;
    return signature_.file_problem;
  }

 private:
  struct Token : TimestampToken {
    explicit Token(const FakeTimestamp& t) : t(t) {}
    Bytes Content() override { return t.content; }
    std::string DigestAlgorithm() override { return t.digest_algorithm; }
    bool SignatureVerifies() override { return t.signature_verifies; }
    bool MessageDigestMatches() override { return t.message_digest_matches; }
    bool NamesTimeStampingUsage() override { return t.names_time_stamping; }
    ChainStatus Chain(FileTimeTicks time) override {
      const std::optional<TimestampInfo> info = ParseTimestampInfo(t.content);
      return {info && time == info->time ? t.chain_errors : chain_error::kNotTimeValid, {}};
    }
    FakeTimestamp t;
  };
  struct Legacy : Countersignature {
    explicit Legacy(const FakeCountersignature& c) : c(c) {}
    std::string DigestAlgorithm() override { return c.digest_algorithm; }
    bool SignatureVerifies() override { return c.signature_verifies; }
    bool NamesTimeStampingUsage() override { return c.names_time_stamping; }
    ChainStatus Chain(FileTimeTicks time) override {
      const std::optional<DerValue> value = ReadWholeDer(c.signing_time);
      const bool then = value && ParseDerTime(*value) == time;
      return {then ? c.chain_errors : chain_error::kNotTimeValid, {}};
    }
    Bytes MessageDigest() override {
      return c.message_digest.value_or(FakeHashOfEncryptedDigest(HashAlgorithm::kSha256));
    }
    Bytes SigningTime() override { return c.signing_time; }
    FakeCountersignature c;
  };

  FakeSignature signature_;
  int* file_reads_;
};

}  // namespace launcher

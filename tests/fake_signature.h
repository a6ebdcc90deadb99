#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/signature_rules.h"

namespace launcher {

// What the system's crypto would find in an RFC 3161 timestamp token.
struct FakeTimestamp {
  Bytes content;  // the TSTInfo
  bool signature_verifies = true;
  bool message_digest_matches = true;
  std::uint32_t chain_errors = 0;  // of the TSA's chain as of the token's time
};

// What the system's crypto would find in one embedded signature.
struct FakeSignature {
  std::string subject;
  bool signature_verifies = true;
  bool message_digest_matches = true;
  std::uint32_t chain_errors_now = 0;
  std::uint32_t chain_errors_then = 0;  // as of `then`; any other past time is outside validity
  FileTimeTicks then = 0;
  std::optional<FakeTimestamp> timestamp;
  std::optional<std::string> file_problem;
};

// The imprint of a sound timestamp of any fake signature, by algorithm.
inline Bytes FakeHashOfEncryptedDigest(HashAlgorithm algorithm) {
  return Bytes(8, static_cast<unsigned char>(0xE0 + static_cast<int>(algorithm)));
}

// Answers as the system's crypto would for `signature`; counts the reads of the whole file.
class FakeSignedMessage : public SignedMessage {
 public:
  explicit FakeSignedMessage(const FakeSignature& signature, int* file_reads = nullptr)
      : signature_(signature), file_reads_(file_reads) {}

  std::string SignerSubject() override { return signature_.subject; }
  bool SignatureVerifies() override { return signature_.signature_verifies; }
  bool MessageDigestMatches() override { return signature_.message_digest_matches; }
  std::uint32_t ChainErrors(std::optional<FileTimeTicks> time) override {
    if (!time) return signature_.chain_errors_now;
    return *time == signature_.then ? signature_.chain_errors_then : chain_error::kNotTimeValid;
  }
  std::unique_ptr<TimestampToken> Timestamp() override {
    if (!signature_.timestamp) return nullptr;
    return std::make_unique<Token>(*signature_.timestamp);
  }
  Bytes HashOfEncryptedDigest(HashAlgorithm algorithm) override {
    return FakeHashOfEncryptedDigest(algorithm);
  }
  std::optional<std::string> FileProblem() override {
    if (file_reads_ != nullptr) ++*file_reads_;
    return signature_.file_problem;
  }

 private:
  struct Token : TimestampToken {
    explicit Token(const FakeTimestamp& t) : t(t) {}
    Bytes Content() override { return t.content; }
    bool SignatureVerifies() override { return t.signature_verifies; }
    bool MessageDigestMatches() override { return t.message_digest_matches; }
    std::uint32_t ChainErrors(FileTimeTicks) override { return t.chain_errors; }
    FakeTimestamp t;
  };

  FakeSignature signature_;
  int* file_reads_;
};

}  // namespace launcher

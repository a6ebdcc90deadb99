#include "core/signature/signature_rules.h"

namespace launcher {

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
    if (!timestamp_problem.empty()) verdict.problem += " (" + timestamp_problem + ")";
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

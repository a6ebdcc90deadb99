#include "core/signature/chain_status.h"

#include <cstdio>

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

}  // namespace launcher

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the system's chain engine reports on a certificate chain, and which of it a signature may
// carry.

namespace launcher {

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

}  // namespace launcher

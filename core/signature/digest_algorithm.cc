#include "core/signature/digest_algorithm.h"

#include <cstring>

namespace launcher {
namespace {

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

std::optional<HashAlgorithm> HashAlgorithmOf(const DerValue& oid) {
  for (const auto& known : kHashOids) {
    if (oid.size == known.oid_size && std::memcmp(oid.contents, known.oid, oid.size) == 0) {
      return known.algorithm;
    }
  }
  return std::nullopt;
}

}  // namespace launcher

#include "core/signature/signer_info.h"

namespace launcher {

std::optional<SignedAttributes> SignedAttributesOf(const Bytes& signer_info) {
  const unsigned char* const end = signer_info.data() + signer_info.size();
  const std::optional<DerValue> outer = ReadDer(signer_info.data(), end);
  if (!outer || outer->tag != 0x30) return std::nullopt;
  const unsigned char* at = outer->contents;
  // version, issuerAndSerialNumber, digestAlgorithm, then [0] IMPLICIT authenticatedAttributes
  for (int field = 0; field < 3; ++field) {
    const std::optional<DerValue> skipped = ReadDer(at, outer->end);
    if (!skipped) return std::nullopt;
    at = skipped->end;
  }
  const std::optional<DerValue> attributes = ReadDer(at, outer->end);
  if (!attributes || attributes->tag != 0xA0) return std::nullopt;
  const std::optional<DerValue> algorithm = ReadDer(attributes->end, outer->end);
  if (!algorithm || algorithm->tag != 0x30) return std::nullopt;
  const std::optional<DerValue> digest = ReadDer(algorithm->end, outer->end);
  if (!digest || digest->tag != 0x04) return std::nullopt;
  SignedAttributes result{Bytes(at, attributes->end), Bytes(digest->contents, digest->end)};
  result.set[0] = 0x31;
  return result;
}

}  // namespace launcher

#include "core/signature/signer_info.h"

#include <gtest/gtest.h>

#include "tests/fake_signature.h"

namespace launcher {
namespace {

// A SignerInfo's fields as a time-stamping authority writes them, each a DER value.
const Bytes kVersion = Der(0x02, {1});
const Bytes kIssuerAndSerial =
    Der(0x30, Join({FakeName("Norvik Test TSA").der, Der(0x02, {0x12, 0x34})}));
const Bytes kDigestAlgorithm = Der(0x30, Join({Der(0x06, kSha256Oid), Der(0x05, {})}));
const Bytes kRsa = Der(
    0x30, Join({Der(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}), Der(0x05, {})}));
const Bytes kSignature = {0x5A, 0x01, 0x02, 0x03, 0xA5};
const Bytes kDigest = Der(0x04, kSignature);

// A signed attribute of a PKCS #9 type (the OID's last byte) with one value.
Bytes Pkcs9Attribute(unsigned char type, const Bytes& value) {
  return Der(0x30, Join({Der(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, type}),
                         Der(0x31, value)}));
}
// The contents of the signed attributes: a signing time and a messageDigest.
const Bytes kAttributes = Join({Pkcs9Attribute(5, Der(0x17, Text("250102030405Z"))),
                                Pkcs9Attribute(4, Der(0x04, Bytes(32, 0xE1)))});
const Bytes kSigned = Der(0xA0, kAttributes);

Bytes SignerInfo(std::initializer_list<Bytes> fields) { return Der(0x30, Join(fields)); }

const Bytes kSignerInfo =
    SignerInfo({kVersion, kIssuerAndSerial, kDigestAlgorithm, kSigned, kRsa, kDigest});

TEST(SignedAttributesOf, ReadsTheSignedSetAndTheEncryptedDigest) {
  const Bytes long_attributes = Join({kAttributes, Pkcs9Attribute(3, Der(0x04, Bytes(200, 7)))});
  const struct {
    const char* name;
    Bytes der;
    Bytes set;
  } cases[] = {
      {"as authorities write it", kSignerInfo, Der(0x31, kAttributes)},
      {"unsigned attributes after the digest",
       SignerInfo({kVersion, kIssuerAndSerial, kDigestAlgorithm, kSigned, kRsa, kDigest,
                   Der(0xA1, Pkcs9Attribute(6, kSignerInfo))}),
       Der(0x31, kAttributes)},
      {"signed attributes of a long length, kept as encoded",
       SignerInfo({kVersion, kIssuerAndSerial, kDigestAlgorithm, Der(0xA0, long_attributes), kRsa,
                   kDigest}),
       Der(0x31, long_attributes)},
      {"a subjectKeyIdentifier for the issuer and serial",
       SignerInfo(
           {Der(0x02, {3}), Der(0x80, {1, 2, 3, 4}), kDigestAlgorithm, kSigned, kRsa, kDigest}),
       Der(0x31, kAttributes)},
      {"bytes after the SignerInfo, not looked at", Join({kSignerInfo, {0x00, 0xFF}}),
       Der(0x31, kAttributes)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<SignedAttributes> read = SignedAttributesOf(c.der);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->set, c.set);
    EXPECT_EQ(read->encrypted_digest, kSignature);
  }
}

TEST(SignedAttributesOf, IsNulloptForNoSignerInfoWithSignedAttributes) {
  // The SignerInfo's contents, the SEQUENCE's length one byte short: the digest runs past it.
  const Bytes contents =
      Join({kVersion, kIssuerAndSerial, kDigestAlgorithm, kSigned, kRsa, kDigest});
  const Bytes short_sequence =
      Join({Der(0x30, Bytes(contents.begin(), contents.end() - 1)), Bytes(1, contents.back())});
  const struct {
    const char* name;
    Bytes der;
  } cases[] = {
      {"no signed attributes",
       SignerInfo({kVersion, kIssuerAndSerial, kDigestAlgorithm, kRsa, kDigest})},
      {"a field fewer before them",
       SignerInfo({kVersion, kIssuerAndSerial, kSigned, kRsa, kDigest})},
      {"the signed attributes as [1]", SignerInfo({kVersion, kIssuerAndSerial, kDigestAlgorithm,
                                                   Der(0xA1, kAttributes), kRsa, kDigest})},
      {"the signed attributes as a SET", SignerInfo({kVersion, kIssuerAndSerial, kDigestAlgorithm,
                                                     Der(0x31, kAttributes), kRsa, kDigest})},
      {"no digestEncryptionAlgorithm",
       SignerInfo({kVersion, kIssuerAndSerial, kDigestAlgorithm, kSigned, kDigest})},
      {"the algorithm a bare OID", SignerInfo({kVersion, kIssuerAndSerial, kDigestAlgorithm,
                                               kSigned, Der(0x06, {0x2A}), kDigest})},
      {"no encryptedDigest",
       SignerInfo({kVersion, kIssuerAndSerial, kDigestAlgorithm, kSigned, kRsa})},
      {"the digest a BIT STRING", SignerInfo({kVersion, kIssuerAndSerial, kDigestAlgorithm, kSigned,
                                              kRsa, Der(0x03, kSignature)})},
      {"the digest a constructed OCTET STRING",
       SignerInfo(
           {kVersion, kIssuerAndSerial, kDigestAlgorithm, kSigned, kRsa, Der(0x24, kDigest)})},
      {"a SET, not a SEQUENCE", Der(0x31, contents)},
      {"cut", Bytes(kSignerInfo.begin(), kSignerInfo.end() - 1)},
      {"the digest running past the SEQUENCE", short_sequence},
      {"an indefinite length", Join({{0x30, 0x80}, contents, {0, 0}})},
      {"only a header", {0x30, 0x00}},
      {"nothing", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(SignedAttributesOf(c.der).has_value());
  }
}

}  // namespace
}  // namespace launcher

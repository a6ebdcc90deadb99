#pragma once

#include <windows.h>
// clang-format off: wincrypt.h needs the types of windows.h first.
#include <wincrypt.h>
// clang-format on

#include <optional>
#include <string>

#include "core/signature/chain_status.h"
#include "core/signature/der_time.h"
#include "core/signature/digest_algorithm.h"
#include "core/signature/distinguished_name.h"
#include "core/signature/signature_rules.h"
#include "os/win32/scoped_crypto.h"

// A PKCS#7 SignedData as crypt32 decodes it, and what the launcher asks of its certificates.

namespace launcher {

inline constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The certificate's subject: its DER, which the pin compares, and its X.500 text for messages.
SubjectName SubjectOf(PCCERT_CONTEXT certificate);

// The hash of `data` by bcrypt; empty when the system cannot make it.
Bytes Hash(HashAlgorithm algorithm, const unsigned char* data, std::size_t size);

// The one value of the attribute of `oid` among `attributes`, as DER; nullptr when there is no
// such attribute or it has several values (a signed attribute must have one).
const CRYPT_ATTR_BLOB* OnlyValue(const CRYPT_ATTRIBUTES& attributes, const char* oid);

// The first value of the attribute of `oid` among `attributes`; nullptr when there is none.
const CRYPT_ATTR_BLOB* FirstValue(const CRYPT_ATTRIBUTES& attributes, const char* oid);

// Whether the certificate's own extended key usage extension names time stamping; usages a store
// may add as properties do not count.
bool NamesTimeStampingUsage(PCCERT_CONTEXT certificate);

// The chain of `certificate`, built for `usage` as of `time` (now: nullopt), with `store`'s
// certificates to find the issuers in; without revocation checks and without fetching anything.
ChainStatus ChainOf(PCCERT_CONTEXT certificate, HCERTSTORE store, const char* usage,
                    std::optional<FileTimeTicks> time);

// A PKCS#7 SignedData decoded in memory, with its certificates and its primary signer's.
class DecodedMessage {
 public:
  // Throws Undecodable when `der` is not one, or names no signer whose certificate it carries.
  DecodedMessage(const unsigned char* der, std::size_t size, const char* content_type);
  DecodedMessage(const DecodedMessage&) = delete;
  DecodedMessage& operator=(const DecodedMessage&) = delete;

  const CMSG_SIGNER_INFO& info() const {
    return *reinterpret_cast<const CMSG_SIGNER_INFO*>(info_.data());
  }
  PCCERT_CONTEXT signer() const { return signer_.get(); }
  // The message's X.509 certificates.
  HCERTSTORE certificates() const { return store_.get(); }
  Bytes Content() const;
  // The primary signer's digest algorithm, as a dotted OID.
  std::string DigestAlgorithm() const;
  bool SignatureVerifies() const;
  // Whether the signer's messageDigest attribute is the hash of `signed_content` by the signer's
  // digest algorithm.
  bool MessageDigestIs(const Bytes& signed_content) const;
  // The signer's chain, built for `usage` as of `time` (ChainOf).
  ChainStatus Chain(const char* usage, std::optional<FileTimeTicks> time) const {
    return ChainOf(signer_.get(), store_.get(), usage, time);
  }

 private:
  void Decode(const unsigned char* der, std::size_t size, const char* content_type);

  // Released in the reverse order: the signer's certificate, the store, the message.
  ScopedCryptMessage message_;
  ScopedCertStore store_;
  ScopedCertContext signer_;
  Bytes info_;  // CMSG_SIGNER_INFO with what it points to
};

}  // namespace launcher

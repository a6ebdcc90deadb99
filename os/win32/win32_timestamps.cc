#include "os/win32/win32_timestamps.h"

#include <bcrypt.h>

#include <cstring>

#include "core/signature/signer_info.h"

namespace launcher {
namespace {

class Win32TimestampToken : public TimestampToken {
 public:
  explicit Win32TimestampToken(const CRYPT_ATTR_BLOB& token)
      : token_(token.pbData, token.cbData, szOID_TIMESTAMP_TOKEN) {}

  Bytes Content() override { return token_.Content(); }
  std::string DigestAlgorithm() override { return token_.DigestAlgorithm(); }
  bool SignatureVerifies() override { return token_.SignatureVerifies(); }
  // What is signed is the TSTInfo, which the content may still wrap.
  bool MessageDigestMatches() override {
    return token_.MessageDigestIs(TimestampInfoOf(Content()));
  }
  bool NamesTimeStampingUsage() override {
    return launcher::NamesTimeStampingUsage(token_.signer());
  }

  ChainStatus Chain(FileTimeTicks time) override {
    return token_.Chain(szOID_PKIX_KP_TIMESTAMP_SIGNING, time);
  }

 private:
  DecodedMessage token_;
};

// A countersignature by RSA, the only kind time-stamping authorities wrote the legacy way.
bool RsaSignatureVerifies(PCCERT_CONTEXT signer, HashAlgorithm algorithm, const Bytes& hash,
                          const Bytes& signature) {
  const wchar_t* names[] = {BCRYPT_SHA1_ALGORITHM, BCRYPT_SHA256_ALGORITHM, BCRYPT_SHA384_ALGORITHM,
                            BCRYPT_SHA512_ALGORITHM};
  // Wine's bcrypt takes the padding flag for no proof of the key's kind: an EC key would verify
  // a bare r||s there.
  if (std::strcmp(signer->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId, szOID_RSA_RSA) != 0) {
    return false;
  }
  BCRYPT_KEY_HANDLE key = nullptr;
  if (!CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, &signer->pCertInfo->SubjectPublicKeyInfo, 0,
                                   nullptr, &key)) {
    return false;
  }
  BCRYPT_PKCS1_PADDING_INFO padding{names[static_cast<std::size_t>(algorithm)]};
  const bool verifies =
      BCryptVerifySignature(key, &padding, const_cast<unsigned char*>(hash.data()),
                            static_cast<ULONG>(hash.size()),
                            const_cast<unsigned char*>(signature.data()),
                            static_cast<ULONG>(signature.size()), BCRYPT_PAD_PKCS1) == 0;
  BCryptDestroyKey(key);
  return verifies;
}

class Win32Countersignature : public Countersignature {
 public:
  // Throws Undecodable when `der` is no SignerInfo, or its signer's certificate is not among
  // `message`'s.
  Win32Countersignature(const CRYPT_ATTR_BLOB& der, const DecodedMessage& message)
      : der_(der.pbData, der.pbData + der.cbData), store_(message.certificates()) {
    CMSG_SIGNER_INFO* info = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(kEncoding, PKCS7_SIGNER_INFO, der.pbData, der.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size)) {
      throw Undecodable("it is not a PKCS#7 SignerInfo");
    }
    info_.reset(info);
    CERT_INFO id{};
    id.Issuer = info->Issuer;
    id.SerialNumber = info->SerialNumber;
    signer_.reset(CertGetSubjectCertificateFromStore(store_, kEncoding, &id));
    if (!signer_.is_valid())
      throw Undecodable("the signature carries no certificate of its signer");
  }

  std::string DigestAlgorithm() override {
    const char* oid = info_.get()->HashAlgorithm.pszObjId;
    return oid != nullptr ? oid : "";
  }
  // crypt32's own check of a countersignature is missing from Wine, so the signed attributes are
  // hashed and the signature checked against the certificate's key here, by the system's crypto.
  bool SignatureVerifies() override {
    const std::optional<HashAlgorithm> algorithm = HashAlgorithmOf(DigestAlgorithm());
    const std::optional<SignedAttributes> signed_attributes = SignedAttributesOf(der_);
    if (!algorithm || !signed_attributes) return false;
    const Bytes hash =
        Hash(*algorithm, signed_attributes->set.data(), signed_attributes->set.size());
    return !hash.empty() && RsaSignatureVerifies(signer_.get(), *algorithm, hash,
                                                 signed_attributes->encrypted_digest);
  }
  bool NamesTimeStampingUsage() override { return launcher::NamesTimeStampingUsage(signer_.get()); }
  ChainStatus Chain(FileTimeTicks time) override {
    return ChainOf(signer_.get(), store_, szOID_PKIX_KP_TIMESTAMP_SIGNING, time);
  }
  Bytes MessageDigest() override {
    return DerContents(SignedValue(szOID_RSA_messageDigest)).value_or(Bytes());
  }
  Bytes SigningTime() override { return SignedValue(szOID_RSA_signingTime); }

 private:
  // The DER of the signed attribute's one value; empty when it is missing or has several.
  Bytes SignedValue(const char* oid) const {
    const CRYPT_ATTR_BLOB* value = OnlyValue(info_.get()->AuthAttrs, oid);
    return value != nullptr ? Bytes(value->pbData, value->pbData + value->cbData) : Bytes();
  }

  Bytes der_;
  HCERTSTORE store_;  // the message's, which outlives this
  // Released in the reverse order: the signer's certificate, then the decoded SignerInfo.
  ScopedLocalMemory<CMSG_SIGNER_INFO> info_;
  ScopedCertContext signer_;
};

}  // namespace

std::unique_ptr<TimestampToken> TimestampTokenOf(const DecodedMessage& message,
                                                 std::string* unreadable) {
  const CRYPT_ATTR_BLOB* token = FirstValue(message.info().UnauthAttrs, szOID_RFC3161_counterSign);
  if (token == nullptr) return nullptr;
  try {
    return std::make_unique<Win32TimestampToken>(*token);
  } catch (const Undecodable& why) {
    *unreadable = why.what();
    return nullptr;
  }
}

std::unique_ptr<Countersignature> CountersignatureOf(const DecodedMessage& message,
                                                     std::string* unreadable) {
  const CRYPT_ATTR_BLOB* signer_info =
      FirstValue(message.info().UnauthAttrs, szOID_RSA_counterSign);
  if (signer_info == nullptr) return nullptr;
  try {
    return std::make_unique<Win32Countersignature>(*signer_info, message);
  } catch (const Undecodable& why) {
    *unreadable = why.what();
    return nullptr;
  }
}

}  // namespace launcher

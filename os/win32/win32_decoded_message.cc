#include "os/win32/win32_decoded_message.h"

#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "os/win32/wide.h"

namespace launcher {
namespace {

static_assert(chain_error::kNotTimeValid == CERT_TRUST_IS_NOT_TIME_VALID &&
                  chain_error::kRevoked == CERT_TRUST_IS_REVOKED &&
                  chain_error::kNotSignatureValid == CERT_TRUST_IS_NOT_SIGNATURE_VALID &&
                  chain_error::kNotValidForUsage == CERT_TRUST_IS_NOT_VALID_FOR_USAGE &&
                  chain_error::kUntrustedRoot == CERT_TRUST_IS_UNTRUSTED_ROOT &&
                  chain_error::kRevocationUnknown == CERT_TRUST_REVOCATION_STATUS_UNKNOWN &&
                  chain_error::kCyclic == CERT_TRUST_IS_CYCLIC &&
                  chain_error::kInvalidBasicConstraints == CERT_TRUST_INVALID_BASIC_CONSTRAINTS &&
                  chain_error::kPartialChain == CERT_TRUST_IS_PARTIAL_CHAIN &&
                  chain_error::kOfflineRevocation == CERT_TRUST_IS_OFFLINE_REVOCATION,
              "the rules read the chain engine's own bits");

BasicConstraints BasicConstraintsOf(PCCERT_CONTEXT certificate) {
  const CERT_INFO& info = *certificate->pCertInfo;
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_BASIC_CONSTRAINTS2, info.cExtension, info.rgExtension);
  CERT_BASIC_CONSTRAINTS2_INFO decoded{};
  DWORD size = sizeof decoded;
  BasicConstraints constraints;
  if (extension != nullptr &&
      CryptDecodeObjectEx(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, extension->Value.pbData,
                          extension->Value.cbData, 0, nullptr, &decoded, &size)) {
    constraints.stated = true;
    constraints.ca = decoded.fCA != FALSE;
    if (decoded.fPathLenConstraint) constraints.path_length = decoded.dwPathLenConstraint;
  }
  return constraints;
}

// A parameter of a message, as bytes; empty when it has none.
Bytes MessageParam(HCRYPTMSG message, DWORD param, DWORD index = 0) {
  DWORD size = 0;
  if (!CryptMsgGetParam(message, param, index, nullptr, &size) || size == 0) return {};
  Bytes buffer(size);
  if (!CryptMsgGetParam(message, param, index, buffer.data(), &size)) return {};
  buffer.resize(size);
  return buffer;
}

// The message's X.509 certificates in a store of their own. Not the system's message store: a
// certificate set may hold other kinds (Microsoft's time-stamping tokens carry an attribute
// certificate), which Wine's decoder hands back as a CRL, and the message store then fails to
// open. An entry that does not decode as a certificate is skipped.
ScopedCertStore X509CertificatesOf(HCRYPTMSG message) {
  ScopedCertStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  DWORD count = 0;
  DWORD size = sizeof count;
  if (!store.is_valid() || !CryptMsgGetParam(message, CMSG_CERT_COUNT_PARAM, 0, &count, &size)) {
    return store;
  }
  for (DWORD i = 0; i < count; ++i) {
    const Bytes certificate = MessageParam(message, CMSG_CERT_PARAM, i);
    if (certificate.empty()) continue;
    CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, certificate.data(),
                                     static_cast<DWORD>(certificate.size()), CERT_STORE_ADD_ALWAYS,
                                     nullptr);
  }
  return store;
}

// The attribute of `oid` among `attributes`; nullptr when there is none.
const CRYPT_ATTRIBUTE* Attribute(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
  for (DWORD i = 0; i < attributes.cAttr; ++i) {
    if (std::strcmp(attributes.rgAttr[i].pszObjId, oid) == 0) return &attributes.rgAttr[i];
  }
  return nullptr;
}

}  // namespace

// With the default quoting, so that a value cannot pass for several attributes.
SubjectName SubjectOf(PCCERT_CONTEXT certificate) {
  CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
  SubjectName name{Bytes(subject->pbData, subject->pbData + subject->cbData), {}};
  const DWORD length = CertNameToStrW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, 0);
  if (length <= 1) return name;
  std::wstring text(length, L'\0');
  CertNameToStrW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, text.data(), length);
  text.resize(length - 1);  // the terminating null
  name.text = Utf8(text);
  return name;
}

Bytes Hash(HashAlgorithm algorithm, const unsigned char* data, std::size_t size) {
  const wchar_t* names[] = {BCRYPT_SHA1_ALGORITHM, BCRYPT_SHA256_ALGORITHM, BCRYPT_SHA384_ALGORITHM,
                            BCRYPT_SHA512_ALGORITHM};
  const std::size_t lengths[] = {20, 32, 48, 64};
  const auto index = static_cast<std::size_t>(algorithm);
  BCRYPT_ALG_HANDLE provider = nullptr;
  if (BCryptOpenAlgorithmProvider(&provider, names[index], nullptr, 0) != 0) return {};
  Bytes digest(lengths[index]);
  // Vista wants the hash object's memory from the caller.
  DWORD object_size = 0;
  ULONG got = 0;
  const bool sized =
      BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&object_size),
                        sizeof object_size, &got, 0) == 0;
  Bytes object(sized ? object_size : 0);
  BCRYPT_HASH_HANDLE hash = nullptr;
  const bool made =
      sized &&
      BCryptCreateHash(provider, &hash, object.data(), static_cast<ULONG>(object.size()), nullptr,
                       0, 0) == 0 &&
      BCryptHashData(hash, const_cast<unsigned char*>(data), static_cast<ULONG>(size), 0) == 0 &&
      BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(provider, 0);
  return made ? digest : Bytes();
}

const CRYPT_ATTR_BLOB* OnlyValue(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
  const CRYPT_ATTRIBUTE* attribute = Attribute(attributes, oid);
  return attribute != nullptr && attribute->cValue == 1 ? &attribute->rgValue[0] : nullptr;
}

const CRYPT_ATTR_BLOB* FirstValue(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
  const CRYPT_ATTRIBUTE* attribute = Attribute(attributes, oid);
  return attribute != nullptr && attribute->cValue >= 1 ? &attribute->rgValue[0] : nullptr;
}

namespace {

// The certificate's own extended key usages, from its extension; nullopt without one.
std::optional<std::vector<std::string>> StatedUsages(PCCERT_CONTEXT certificate) {
  if (CertFindExtension(szOID_ENHANCED_KEY_USAGE, certificate->pCertInfo->cExtension,
                        certificate->pCertInfo->rgExtension) == nullptr) {
    return std::nullopt;
  }
  std::vector<std::string> usages;
  constexpr DWORD kExtensionOnly = CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG;
  DWORD size = 0;
  if (!CertGetEnhancedKeyUsage(certificate, kExtensionOnly, nullptr, &size) || size == 0) {
    return usages;  // one that cannot be read allows nothing
  }
  Bytes buffer(size);
  auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
  if (!CertGetEnhancedKeyUsage(certificate, kExtensionOnly, usage, &size)) return usages;
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    usages.emplace_back(usage->rgpszUsageIdentifier[i]);
  }
  return usages;
}

bool Names(const std::vector<std::string>& usages, const char* usage) {
  return std::find(usages.begin(), usages.end(), usage) != usages.end();
}

// Whether a CA's extended key usage, where it states one, allows `usage` for what it issues, as
// Windows' chain engine reads it (Wine's reads the end certificate's alone).
bool CaAllows(PCCERT_CONTEXT ca, const char* usage) {
  const std::optional<std::vector<std::string>> usages = StatedUsages(ca);
  return !usages || Names(*usages, usage) || Names(*usages, "2.5.29.37.0");  // anyExtendedKeyUsage
}

}  // namespace

bool NamesTimeStampingUsage(PCCERT_CONTEXT certificate) {
  const std::optional<std::vector<std::string>> usages = StatedUsages(certificate);
  return usages && Names(*usages, szOID_PKIX_KP_TIMESTAMP_SIGNING);
}
ChainStatus ChainOf(PCCERT_CONTEXT certificate, HCERTSTORE store, const char* usage,
                    std::optional<FileTimeTicks> time) {
  LPSTR usages[] = {const_cast<LPSTR>(usage)};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  FILETIME at{};
  if (time) {
    at.dwLowDateTime = static_cast<DWORD>(*time);
    at.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(*time) >> 32);
  }
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // No revocation flag: revocation is not checked. Nothing is fetched either.
  const DWORD flags = CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE | CERT_CHAIN_DISABLE_AIA;
  if (!CertGetCertificateChain(nullptr, certificate, time ? &at : nullptr, store, &para, flags,
                               nullptr, &chain)) {
    return {chain_error::kPartialChain, {}};  // no chain could be built at all
  }
  ChainStatus status;
  status.errors = chain->TrustStatus.dwErrorStatus;
  if (chain->cChain > 0) {
    const CERT_SIMPLE_CHAIN& simple = *chain->rgpChain[0];
    for (DWORD i = 0; i < simple.cElement; ++i) {
      status.certificates.push_back(BasicConstraintsOf(simple.rgpElement[i]->pCertContext));
      if (i > 0 && !CaAllows(simple.rgpElement[i]->pCertContext, usage)) {
        status.errors |= chain_error::kNotValidForUsage;
      }
    }
  }
  CertFreeCertificateChain(chain);
  return status;
}
DecodedMessage::DecodedMessage(const unsigned char* der, std::size_t size,
                               const char* content_type) {
  Decode(der, size, content_type);
}

Bytes DecodedMessage::Content() const { return MessageParam(message_.get(), CMSG_CONTENT_PARAM); }

std::string DecodedMessage::DigestAlgorithm() const {
  const char* oid = info().HashAlgorithm.pszObjId;
  return oid != nullptr ? oid : "";
}

bool DecodedMessage::SignatureVerifies() const {
  CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{};
  para.cbSize = sizeof para;
  para.dwSignerIndex = 0;
  para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
  para.pvSigner = const_cast<CERT_CONTEXT*>(signer_.get());
  return CryptMsgControl(message_.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para) != FALSE;
}
bool DecodedMessage::MessageDigestIs(const Bytes& signed_content) const {
  const std::optional<HashAlgorithm> algorithm = HashAlgorithmOf(DigestAlgorithm());
  const CRYPT_ATTR_BLOB* value = OnlyValue(info().AuthAttrs, szOID_RSA_messageDigest);
  if (!algorithm || value == nullptr) return false;
  const Bytes expected = Hash(*algorithm, signed_content.data(), signed_content.size());
  const std::optional<Bytes> stated =
      DerContents(Bytes(value->pbData, value->pbData + value->cbData));
  return !expected.empty() && stated == expected;
}
void DecodedMessage::Decode(const unsigned char* der, std::size_t size, const char* content_type) {
  message_.reset(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
  if (!message_.is_valid() ||
      !CryptMsgUpdate(message_.get(), der, static_cast<DWORD>(size), TRUE)) {
    throw Undecodable("it is not a PKCS#7 signature");
  }
  const Bytes type = MessageParam(message_.get(), CMSG_INNER_CONTENT_TYPE_PARAM);
  if (type.empty() || std::strcmp(reinterpret_cast<const char*>(type.data()), content_type)) {
    throw Undecodable(std::string("its content is not of type ") + content_type);
  }
  store_ = X509CertificatesOf(message_.get());
  const Bytes signer_id = MessageParam(message_.get(), CMSG_SIGNER_CERT_INFO_PARAM);
  info_ = MessageParam(message_.get(), CMSG_SIGNER_INFO_PARAM);
  if (!store_.is_valid() || signer_id.empty() || info_.empty()) {
    throw Undecodable("it names no signer");
  }
  signer_.reset(CertGetSubjectCertificateFromStore(
      store_.get(), kEncoding,
      reinterpret_cast<CERT_INFO*>(const_cast<unsigned char*>(signer_id.data()))));
  if (!signer_.is_valid()) throw Undecodable("it carries no certificate of its signer");
  // A name the pin cannot compare would match none, the older copy's own renewal included.
  if (!IsReadableName(SubjectOf(signer_.get()).der)) {
    throw Undecodable("its signer's name cannot be read");
  }
}
}  // namespace launcher

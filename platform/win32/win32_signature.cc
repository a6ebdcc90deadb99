#include "platform/win32/win32_signature.h"

// clang-format off: wintrust.h needs the types of windows.h and wincrypt.h first.
#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
// clang-format on

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/pe_image_layout.h"
#include "platform/signature_rules.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file.h"

namespace launcher {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

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

// A signature that cannot be decoded: the file is signed, but nothing can be said for it.
class Undecodable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The subject's DER, which the pin compares, and its X.500 text for messages, with the default
// quoting, so that a value cannot pass for several attributes.
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

// Said in our own words where the system has no text for a result (Wine has none for these).
constexpr struct {
  LONG result;
  const char* text;
} kResultTexts[] = {
    {TRUST_E_NOSIGNATURE, "no signature was found in the file"},
    {TRUST_E_BAD_DIGEST, "the file does not match its signature (bad digest)"},
    {TRUST_E_SUBJECT_FORM_UNKNOWN, "the verifier does not know the file's form"},
    {TRUST_E_NO_SIGNER_CERT, "the signature names no signer's certificate"},
    {TRUST_E_EXPLICIT_DISTRUST, "the signer's certificate is explicitly distrusted"},
    {CERT_E_UNTRUSTEDROOT, "the signer's certificate does not chain to a trusted root"},
    {CERT_E_CHAINING, "the signer's certificate chain cannot be built"},
    {CERT_E_EXPIRED, "a certificate of the signer's chain has expired"},
    {CERT_E_REVOKED, "a certificate of the signer's chain is revoked"},
    {CERT_E_WRONG_USAGE, "the signer's certificate is not for code signing"},
};

std::string ResultText(LONG result) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(result), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::wstring text = length > 0 ? std::wstring(message, length) : std::wstring();
  LocalFree(message);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  if (text.empty()) {
    for (const auto& known : kResultTexts) {
      if (known.result == result) return std::string(known.text) + " (" + code + ")";
    }
    return std::string("error ") + code;
  }
  return Utf8(text) + " (" + code + ")";
}

// The hash of `data` by bcrypt; empty when the system cannot make it.
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

// A PKCS#7 SignedData decoded in memory, with its certificates and its primary signer's.
class DecodedMessage {
 public:
  // Throws Undecodable when `der` is not one, or names no signer whose certificate it carries.
  DecodedMessage(const unsigned char* der, std::size_t size, const char* content_type) {
    try {
      Decode(der, size, content_type);
    } catch (...) {
      Release();
      throw;
    }
  }
  ~DecodedMessage() { Release(); }
  DecodedMessage(const DecodedMessage&) = delete;
  DecodedMessage& operator=(const DecodedMessage&) = delete;

  const CMSG_SIGNER_INFO& info() const {
    return *reinterpret_cast<const CMSG_SIGNER_INFO*>(info_.data());
  }
  PCCERT_CONTEXT signer() const { return signer_; }
  Bytes Content() const { return MessageParam(message_, CMSG_CONTENT_PARAM); }
  std::string DigestAlgorithm() const {
    const char* oid = info().HashAlgorithm.pszObjId;
    return oid != nullptr ? oid : "";
  }

  bool SignatureVerifies() const {
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{};
    para.cbSize = sizeof para;
    para.dwSignerIndex = 0;
    para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    para.pvSigner = const_cast<CERT_CONTEXT*>(signer_);
    return CryptMsgControl(message_, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para) != FALSE;
  }

  // Whether the signer's messageDigest attribute is the hash of `signed_content` by the signer's
  // digest algorithm.
  bool MessageDigestIs(const Bytes& signed_content) const {
    const std::optional<HashAlgorithm> algorithm = HashAlgorithmOf(DigestAlgorithm());
    const CRYPT_ATTRIBUTE* attribute = Attribute(info().AuthAttrs, szOID_RSA_messageDigest);
    if (!algorithm || attribute == nullptr || attribute->cValue != 1) return false;
    const Bytes expected = Hash(*algorithm, signed_content.data(), signed_content.size());
    const std::optional<Bytes> stated = DerContents(Bytes(
        attribute->rgValue[0].pbData, attribute->rgValue[0].pbData + attribute->rgValue[0].cbData));
    return !expected.empty() && stated == expected;
  }

  // The error bits of the signer's chain, built for `usage` as of `time` (now: nullopt), with
  // the message's certificates to find the issuers in.
  ChainStatus Chain(const char* usage, std::optional<FileTimeTicks> time) const {
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
    if (!CertGetCertificateChain(nullptr, signer_, time ? &at : nullptr, store_, &para, flags,
                                 nullptr, &chain)) {
      return {chain_error::kPartialChain, {}};  // no chain could be built at all
    }
    ChainStatus status;
    status.errors = chain->TrustStatus.dwErrorStatus;
    if (chain->cChain > 0) {
      const CERT_SIMPLE_CHAIN& simple = *chain->rgpChain[0];
      for (DWORD i = 0; i < simple.cElement; ++i) {
        status.certificates.push_back(BasicConstraintsOf(simple.rgpElement[i]->pCertContext));
      }
    }
    CertFreeCertificateChain(chain);
    return status;
  }

  static const CRYPT_ATTRIBUTE* Attribute(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
      if (std::strcmp(attributes.rgAttr[i].pszObjId, oid) == 0) return &attributes.rgAttr[i];
    }
    return nullptr;
  }

 private:
  void Decode(const unsigned char* der, std::size_t size, const char* content_type) {
    message_ = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    if (message_ == nullptr || !CryptMsgUpdate(message_, der, static_cast<DWORD>(size), TRUE)) {
      throw Undecodable("it is not a PKCS#7 signature");
    }
    const Bytes type = MessageParam(message_, CMSG_INNER_CONTENT_TYPE_PARAM);
    if (type.empty() || std::strcmp(reinterpret_cast<const char*>(type.data()), content_type)) {
      throw Undecodable(std::string("its content is not of type ") + content_type);
    }
    store_ = CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message_);
    const Bytes signer_id = MessageParam(message_, CMSG_SIGNER_CERT_INFO_PARAM);
    info_ = MessageParam(message_, CMSG_SIGNER_INFO_PARAM);
    if (store_ == nullptr || signer_id.empty() || info_.empty()) {
      throw Undecodable("it names no signer");
    }
    signer_ = CertGetSubjectCertificateFromStore(
        store_, kEncoding,
        reinterpret_cast<CERT_INFO*>(const_cast<unsigned char*>(signer_id.data())));
    if (signer_ == nullptr) throw Undecodable("it carries no certificate of its signer");
    // A name the pin cannot compare would match none, the older copy's own renewal included.
    if (!IsReadableName(SubjectOf(signer_).der)) {
      throw Undecodable("its signer's name cannot be read");
    }
  }

  void Release() {
    if (signer_ != nullptr) CertFreeCertificateContext(signer_);
    if (store_ != nullptr) CertCloseStore(store_, 0);
    if (message_ != nullptr) CryptMsgClose(message_);
    signer_ = nullptr;
    store_ = nullptr;
    message_ = nullptr;
  }

  HCRYPTMSG message_ = nullptr;
  HCERTSTORE store_ = nullptr;
  PCCERT_CONTEXT signer_ = nullptr;
  Bytes info_;  // CMSG_SIGNER_INFO with what it points to
};

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
  // The certificate's own extension only, not usages a store may add as properties. A certificate
  // without the extension counts as valid for every usage to the chain engine.
  bool NamesTimeStampingUsage() override {
    constexpr DWORD kExtensionOnly = CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG;
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(token_.signer(), kExtensionOnly, nullptr, &size) || size == 0) {
      return false;
    }
    Bytes buffer(size);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!CertGetEnhancedKeyUsage(token_.signer(), kExtensionOnly, usage, &size)) return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
      if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_TIMESTAMP_SIGNING) == 0) {
        return true;
      }
    }
    return false;
  }
  ChainStatus Chain(FileTimeTicks time) override {
    return token_.Chain(szOID_PKIX_KP_TIMESTAMP_SIGNING, time);
  }

 private:
  DecodedMessage token_;
};

class Win32SignedMessage : public SignedMessage {
 public:
  // With `digest_only`, FileProblem asks the system verifier for the file's digest alone: on
  // Windows its full verdict would also object to an expired certificate.
  Win32SignedMessage(const Bytes& signature, const std::string& path, HANDLE file,
                     const char* operation, bool digest_only = false)
      : message_(signature.data(), signature.size(), SPC_INDIRECT_DATA_OBJID),
        path_(path),
        file_(file),
        operation_(operation),
        digest_only_(digest_only) {}

  SubjectName SignerSubject() override { return SubjectOf(message_.signer()); }
  std::string DigestAlgorithm() override { return message_.DigestAlgorithm(); }
  // The algorithm of the DigestInfo in the signed SpcIndirectData, which the system's verifier
  // hashes the file with.
  std::string FileDigestAlgorithm() override {
    const Bytes content = message_.Content();
    SPC_INDIRECT_DATA_CONTENT* indirect = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(),
                             static_cast<DWORD>(content.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr,
                             &indirect, &size)) {
      return {};
    }
    const char* oid = indirect->DigestAlgorithm.pszObjId;
    const std::string algorithm = oid != nullptr ? oid : "";
    LocalFree(indirect);
    return algorithm;
  }
  bool SignatureVerifies() override { return message_.SignatureVerifies(); }
  // PKCS#7 hashes content that is not plain data without its outer tag and length.
  bool MessageDigestMatches() override {
    const std::optional<Bytes> content = DerContents(message_.Content());
    return content && message_.MessageDigestIs(*content);
  }
  ChainStatus Chain(std::optional<FileTimeTicks> time) override {
    return message_.Chain(szOID_PKIX_KP_CODE_SIGNING, time);
  }
  std::unique_ptr<TimestampToken> Timestamp() override {
    const CRYPT_ATTRIBUTE* attribute =
        DecodedMessage::Attribute(message_.info().UnauthAttrs, szOID_RFC3161_counterSign);
    if (attribute == nullptr || attribute->cValue < 1) return nullptr;
    try {
      return std::make_unique<Win32TimestampToken>(attribute->rgValue[0]);
    } catch (const Undecodable&) {
      return nullptr;
    }
  }
  Bytes HashOfEncryptedDigest(HashAlgorithm algorithm) override {
    const CRYPT_DATA_BLOB& encrypted = message_.info().EncryptedHash;
    return Hash(algorithm, encrypted.pbData, encrypted.cbData);
  }
  FileTimeTicks Now() override {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<FileTimeTicks>(static_cast<std::uint64_t>(now.dwHighDateTime) << 32 |
                                      now.dwLowDateTime);
  }
  std::optional<std::string> FileProblem() override;

 private:
  DecodedMessage message_;
  std::string path_;
  HANDLE file_;
  const char* operation_;
  bool digest_only_;
};

// WinVerifyTrust compares the file's Authenticode digest with the signed one; its own verdict on
// the chain is not relied on (Wine accepts nearly any chain). It decodes the signature itself,
// so its signer must be the one judged here: the same encrypted digest.
std::optional<std::string> Win32SignedMessage::FileProblem() {
  const std::wstring wide = Wide(path_, operation_);
  WINTRUST_FILE_INFO file_info{};
  file_info.cbStruct = sizeof file_info;
  file_info.pcwszFilePath = wide.c_str();
  file_info.hFile = file_;
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file_info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE |
                     (digest_only_ ? WTD_HASH_ONLY_FLAG : 0);
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  bool same_signer = false;
  if (result == 0) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer =
        provider != nullptr ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    const CRYPT_DATA_BLOB& ours = message_.info().EncryptedHash;
    if (signer != nullptr && signer->psSigner != nullptr) {
      const CRYPT_DATA_BLOB& theirs = signer->psSigner->EncryptedHash;
      same_signer =
          theirs.cbData == ours.cbData && std::memcmp(theirs.pbData, ours.pbData, ours.cbData) == 0;
    }
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  if (result != 0) return ResultText(result);
  if (!same_signer) return std::string("the system's verifier read another signature");
  return std::nullopt;
}

}  // namespace

std::optional<SubjectName> SignerInTable(const CertificateTable& table, std::string* unreadable) {
  if (table.state == CertificateTable::State::kAbsent) return std::nullopt;
  if (table.state == CertificateTable::State::kUnreadable) {
    *unreadable = "its signature cannot be read: " + table.problem;
    return std::nullopt;
  }
  try {
    const DecodedMessage message(table.signature.data(), table.signature.size(),
                                 SPC_INDIRECT_DATA_OBJID);
    return SubjectOf(message.signer());
  } catch (const Undecodable& why) {
    *unreadable = std::string("its signature cannot be read: ") + why.what();
    return std::nullopt;
  }
}

namespace {

// A copy's signature is read through a handle that denies writers, so that what is read is one
// file's.
Win32OpenRules SignatureReadRules(bool refuse_links) {
  Win32OpenRules rules;
  rules.share = FILE_SHARE_READ;
  rules.refuse_links = refuse_links;
  return rules;
}

}  // namespace

std::optional<SubjectName> ReadEmbeddedSigner(const std::string& path, const char* operation,
                                              bool refuse_links) {
  Win32File file(path, operation, SignatureReadRules(refuse_links));
  std::string unreadable;
  std::optional<SubjectName> signer = SignerInTable(ReadCertificateTable(file), &unreadable);
  if (!unreadable.empty()) throw ServiceError(operation, path, unreadable);
  return signer;
}

std::optional<SubjectName> ReadPinningSigner(const std::string& path, const char* operation,
                                             bool refuse_links) {
  Win32File file(path, operation, SignatureReadRules(refuse_links));
  const CertificateTable table = ReadCertificateTable(file);
  if (table.state != CertificateTable::State::kPresent) return std::nullopt;
  try {
    Win32SignedMessage message(table.signature, path, file.handle(), operation, true);
    return PinningSigner(message);
  } catch (const Undecodable&) {
    return std::nullopt;  // anyone can write a signature that does not decode
  }
}

Verification VerifyEmbeddedSignature(const std::string& path, HANDLE file, const char* operation) {
  Win32HandleReader reader(file, path, operation);
  const CertificateTable table = ReadCertificateTable(reader);
  Verification verdict;
  if (table.state == CertificateTable::State::kAbsent) {
    verdict.problem = "the file is not signed";
  } else if (table.state == CertificateTable::State::kUnreadable) {
    verdict.problem = "its signature cannot be read: " + table.problem;
  } else if (!table.excess.empty()) {
    verdict.problem = table.excess;
  } else {
    try {
      Win32SignedMessage message(table.signature, path, file, operation);
      verdict = JudgeSignature(message);
    } catch (const Undecodable& why) {
      verdict.problem = std::string("its signature cannot be read: ") + why.what();
    }
  }
  return verdict;
}

}  // namespace launcher

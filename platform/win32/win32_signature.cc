#include "platform/win32/win32_signature.h"

// clang-format off: wintrust.h needs the types of windows.h and wincrypt.h first.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
// clang-format on

#include <cstdio>
#include <vector>

#include "platform/win32/wide.h"
#include "platform/win32/win32_file.h"

namespace launcher {
namespace {

// What the verifier itself lets through but a trusted signer's chain must not have. Wine accepts
// a self-made root and a chain that ends short of a root; on Windows this check is redundant.
constexpr struct {
  DWORD status;
  const char* text;
} kChainProblems[] = {
    {CERT_TRUST_IS_UNTRUSTED_ROOT, "the signer's certificate does not chain to a trusted root"},
    {CERT_TRUST_IS_PARTIAL_CHAIN, "the signer's certificate chain does not reach a root"},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "a certificate in the signer's chain has a bad signature"},
    {CERT_TRUST_IS_REVOKED, "a certificate in the signer's chain is revoked"},
    {CERT_TRUST_IS_CYCLIC, "the signer's certificate chain is cyclic"},
};

// The subject as X.500 text, with the default quoting so that distinct names never give the
// same text.
std::string SubjectOf(PCCERT_CONTEXT certificate) {
  CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
  const DWORD length = CertNameToStrW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, 0);
  if (length <= 1) return {};
  std::wstring text(length, L'\0');
  CertNameToStrW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, text.data(), length);
  text.resize(length - 1);  // the terminating null
  return Utf8(text);
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

std::optional<std::string> SignerInMessage(HCERTSTORE store, HCRYPTMSG message) {
  DWORD size = 0;
  if (!CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size) || size == 0) {
    return std::nullopt;
  }
  std::vector<BYTE> buffer(size);
  if (!CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, buffer.data(), &size)) {
    return std::nullopt;
  }
  PCCERT_CONTEXT signer = CertFindCertificateInStore(
      store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT,
      reinterpret_cast<const CERT_INFO*>(buffer.data()), nullptr);
  if (signer == nullptr) return std::nullopt;
  std::string subject = SubjectOf(signer);
  CertFreeCertificateContext(signer);
  return subject;
}

// The verdict on a signature WinVerifyTrust accepted, from the signer's own chain.
Verification VerdictOnChain(HANDLE state) {
  Verification verdict;
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signer =
      provider != nullptr ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  if (signer == nullptr || signer->pChainContext == nullptr) {
    verdict.problem = "the verifier gave no chain for the signer";
    return verdict;
  }
  const DWORD status = signer->pChainContext->TrustStatus.dwErrorStatus;
  for (const auto& problem : kChainProblems) {
    if ((status & problem.status) != 0) {
      verdict.problem = problem.text;
      return verdict;
    }
  }
  PCCERT_CONTEXT leaf = nullptr;
  if (signer->csCertChain > 0 && signer->pasCertChain != nullptr) {
    leaf = signer->pasCertChain[0].pCert;
  } else if (signer->pChainContext->cChain > 0 &&
             signer->pChainContext->rgpChain[0]->cElement > 0) {
    leaf = signer->pChainContext->rgpChain[0]->rgpElement[0]->pCertContext;
  }
  if (leaf == nullptr) {
    verdict.problem = "the verifier gave no certificate for the signer";
    return verdict;
  }
  verdict.subject = SubjectOf(leaf);
  verdict.verified = true;
  return verdict;
}

}  // namespace

std::optional<std::string> ReadEmbeddedSigner(const std::string& path, const char* operation,
                                              bool refuse_links) {
  // CryptQueryObject opens the file by its name again; while this handle is open that name keeps
  // leading to this file.
  Win32OpenRules rules;
  rules.share = FILE_SHARE_READ;
  rules.refuse_links = refuse_links;
  const Win32File held(path, operation, rules);

  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, Wide(path, operation).c_str(),
                        CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                        0, nullptr, nullptr, nullptr, &store, &message, nullptr)) {
    return std::nullopt;
  }
  std::optional<std::string> signer = SignerInMessage(store, message);
  CryptMsgClose(message);
  CertCloseStore(store, 0);
  return signer;
}

Verification VerifyEmbeddedSignature(const std::string& path, HANDLE file, const char* operation) {
  const std::wstring wide = Wide(path, operation);
  WINTRUST_FILE_INFO file_info{};
  file_info.cbStruct = sizeof file_info;
  file_info.pcwszFilePath = wide.c_str();
  file_info.hFile = file;
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file_info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

  Verification verdict;
  if (result == 0) {
    verdict = VerdictOnChain(data.hWVTStateData);
  } else {
    verdict.problem = ResultText(result);
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return verdict;
}

}  // namespace launcher

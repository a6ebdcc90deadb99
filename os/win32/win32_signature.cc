#include "os/win32/win32_signature.h"

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

#include "os/win32/wide.h"
#include "os/win32/win32_decoded_message.h"
#include "os/win32/win32_timestamps.h"

namespace launcher {
namespace {

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
  std::unique_ptr<TimestampToken> Timestamp(std::string* unreadable) override {
    return TimestampTokenOf(message_, unreadable);
  }
  std::unique_ptr<Countersignature> LegacyCountersignature(std::string* unreadable) override {
    return CountersignatureOf(message_, unreadable);
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

std::unique_ptr<SignedMessage> DecodeSignedMessage(const Bytes& signature, const std::string& path,
                                                   HANDLE file, const char* operation,
                                                   FileCheck check) {
  return std::make_unique<Win32SignedMessage>(signature, path, file, operation,
                                              check == FileCheck::kDigestOnly);
}

}  // namespace launcher

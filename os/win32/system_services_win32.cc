#include <windows.h>

#include "launch/system_services.h"
#include "os/win32/wide.h"
#include "os/win32/win32_file.h"
#include "os/win32/win32_services.h"
#include "os/win32/win32_signature.h"

namespace launcher {

std::unique_ptr<Services> CreateSystemServices() {
  return std::make_unique<Win32Services>(nullptr);
}

SignatureReport ReadSignatureReport(const std::string& path) {
  constexpr char kOperation[] = "ReadSignatureReport";
  // Held open, others allowed only to read it, so the signer named and the verdict are those of
  // one and the same file.
  Win32OpenRules rules;
  rules.share = FILE_SHARE_READ;
  const Win32File file(path, kOperation, rules);
  SignatureReport report;
  Win32HandleReader reader(file.handle(), path, kOperation);
  std::string unreadable;
  if (const auto signer = SignerInTable(ReadCertificateTable(reader), &unreadable)) {
    report.signer = signer->text;
  }
  // Signed, but its signer cannot be read; the verdict says why.
  if (!unreadable.empty()) report.signer = kUnreadableSigner;
  report.verification = VerifyEmbeddedSignature(path, file.handle(), kOperation);
  return report;
}

bool FolderExists(const std::string& path) {
  try {
    const DWORD attributes = GetFileAttributesW(Wide(path, "FolderExists").c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  } catch (const ServiceError&) {
    return false;  // not a path the system could name
  }
}

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  // The narrow arguments lose every character outside the code page; read the wide ones.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; wide != nullptr && i < count; ++i) arguments.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

}  // namespace launcher

#include "os/win32/win32_disk_file.h"

#include "os/win32/win32_signature.h"

namespace launcher {
namespace {

Win32OpenRules ReadRules(bool refuse_links) {
  Win32OpenRules rules;
  rules.share = FILE_SHARE_READ;
  rules.refuse_links = refuse_links;
  return rules;
}

}  // namespace

Win32DiskFile::Win32DiskFile(const std::string& path, const char* operation, bool refuse_links)
    : path_(path), operation_(operation), file_(path, operation, ReadRules(refuse_links)) {}

std::unique_ptr<SignedMessage> Win32DiskFile::DecodeSignature(const Bytes& signature,
                                                              FileCheck check) {
  return DecodeSignedMessage(signature, path_, file_.handle(), operation_, check);
}

}  // namespace launcher

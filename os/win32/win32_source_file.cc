#include "os/win32/win32_source_file.h"

#include "core/pe/pe_image_layout.h"
#include "os/win32/win32_signature.h"

namespace launcher {
namespace {

constexpr char kOperation[] = "FileCopy";

Win32OpenRules SourceRules(bool refuse_links) {
  Win32OpenRules rules;
  rules.share = FILE_SHARE_READ;
  rules.refuse_links = refuse_links;
  return rules;
}

}  // namespace

Win32SourceFile::Win32SourceFile(const std::string& path, bool refuse_links)
    : path_(path), file_(path, kOperation, SourceRules(refuse_links)) {}

std::optional<std::uint64_t> Win32SourceFile::ImageExtent() { return PeImageExtent(file_); }

Verification Win32SourceFile::VerifiedPublisher() {
  return VerifyEmbeddedSignature(path_, file_.handle(), kOperation);
}

}  // namespace launcher

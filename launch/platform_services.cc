#include "launch/platform_services.h"

#include "core/pe/icon_file.h"
#include "core/pe/pe_version_reader.h"

namespace launcher {

std::string PlatformServices::GetFileVersion(const std::string& path) {
  return ReadPeFileVersion(*OpenToRead(path, "GetFileVersion"));
}

void PlatformServices::CheckWindowIcon(const std::string& path) {
  RequireWellFormedIcon(*OpenIconFile(path), path);
}

void PlatformServices::LoadWindowIcon(const std::string& path) {
  CheckWindowIcon(path);
  SetWindowIcon(path);
}

}  // namespace launcher

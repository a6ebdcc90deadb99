// The Win32 services on real files under Wine, for what the launcher's scenarios do not reach:
//   win32_services_check FOLDER      (FOLDER: an empty Windows folder to work in)
// Prints each failed check and ends with the number of failures as its status.

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/services.h"
#include "platform/win32/win32_services.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::printf("FAILED: %s\n", what);
    ++failures;
  }
}

template <typename Operation>
bool Fails(Operation operation) {
  try {
    operation();
  } catch (const launcher::ServiceError&) {
    return true;
  }
  return false;
}

void Write(const std::string& path, const char* text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  std::fputs(text, file);
  std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 100;
  const std::string folder = argv[1];
  launcher::Win32Services services(nullptr);
  const std::string file = folder + "\\plain.exe";
  const std::string read_only = folder + "\\read only.exe";
  Write(file, "x");
  Write(read_only, "x");
  SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_READONLY);

  Check(services.FileExists(file), "a file exists");
  Check(!services.FileExists(folder), "a folder is not a file");
  Check(!services.FileExists(""), "the empty path is no file");
  Check(!services.FileExists(folder + "\\missing.exe"), "a missing file");
  Check(!services.FileExists(folder + "\\no folder\\missing.exe"), "a missing folder");

  Check(Fails([&] { services.DeleteFile(read_only, false); }), "read-only kept without force");
  Check(services.FileExists(read_only), "read-only file still there");
  services.DeleteFile(read_only, true);
  Check(!services.FileExists(read_only), "read-only file removed with force");
  Check(Fails([&] { services.DeleteFile(read_only, true); }), "deleting a missing file fails");

  Check(Fails([&] { services.GetFileVersion(folder); }), "a folder has no version to read");
  Check(Fails([&] { services.GetFileVersion(folder + "\\missing.exe"); }), "missing file");
  Check(services.GetFileVersion(file).empty(), "a file that is not a PE file has no version");

  Check(Fails([&] { services.FileCopy(file, folder + "\\no folder\\copy.exe"); }),
        "copy into a missing folder fails");
  Check(GetFileAttributesA((folder + "\\no folder").c_str()) == INVALID_FILE_ATTRIBUTES,
        "and creates no folder");
  Check(Fails([&] { services.LoadWindowIcon(file); }), "a text file is no icon");
  Check(services.ApplicationDirectory().back() != '\\', "no trailing separator");
  return failures;
}

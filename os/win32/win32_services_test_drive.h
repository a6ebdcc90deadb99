#pragma once

#include <windows.h>

#include <algorithm>
#include <string>

#include "core/replace/disk_replace_steps.h"
#include "os/win32/wide.h"
#include "os/win32/win32_disk.h"
#include "os/win32/win32_services.h"
#include "tests/services_test_drive.h"

// Drive C: for the Win32 services' tests: a fresh folder below C:\conformance per test.

namespace launcher {

class Win32ServicesTestDrive : public ServicesTestDrive {
 public:
  Win32ServicesTestDrive()
      : root_("C:\\conformance\\" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(++made_)) {
    CreateDirectoryW(L"C:\\conformance", nullptr);
    EXPECT_TRUE(CreateDirectoryW(W(root_).c_str(), nullptr)) << root_;
  }

  Capabilities capabilities() const override { return {true, true, true, true}; }
  Services& services() override { return services_; }
  ReplaceSteps& steps() override { return steps_; }
  std::string Root() const override { return root_; }

  void MakeFolder(const std::string& path) override {
    EXPECT_TRUE(CreateDirectoryW(W(path).c_str(), nullptr)) << path;
  }
  void Write(const std::string& path, const std::string& bytes) override {
    const HANDLE file = CreateFileW(W(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
  }
  std::optional<std::string> Read(const std::string& path) override {
    const HANDLE file = CreateFileW(W(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string bytes;
    char buffer[65536];
    for (DWORD got; ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0;) {
      bytes.append(buffer, got);
    }
    CloseHandle(file);
    return bytes;
  }
  bool IsFolder(const std::string& path) override {
    const DWORD attributes = GetFileAttributesW(W(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  std::vector<std::string> Entries(const std::string& folder) override {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(W(folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      const std::string name = Utf8(found.cFileName);
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
  }
  void SetReadOnly(const std::string& path) override {
    EXPECT_TRUE(SetFileAttributesW(W(path).c_str(), FILE_ATTRIBUTE_READONLY)) << path;
  }
  void SetWriteTime(const std::string& path, int seconds_from_now) override {
    const HANDLE file = CreateFileW(W(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    ticks.QuadPart += static_cast<unsigned long long>(seconds_from_now * 10000000LL);
    const FILETIME written{ticks.LowPart, ticks.HighPart};
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written)) << path;
    CloseHandle(file);
  }

  // A launcher holds the copy it writes so that others may read it, not delete it; a writer lets
  // others read and write.
  std::shared_ptr<void> Open(const std::string& path, Hold hold) override {
    const HANDLE file =
        hold == Hold::kCopyUnderWay
            ? CreateFileW(W(path).c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, 0, nullptr)
            : CreateFileW(W(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
    return std::shared_ptr<void>(file, [](HANDLE opened) {
      if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
    });
  }

  // Where the system makes no link for us (Wine 8 only pretends to, and moves the folder a link
  // leads to rather than the link), wine_scenarios.sh leaves Unix symbolic links to empty folders
  // in C:\conformance links\N\link, each taken once.
  std::optional<std::string> FolderLink() override {
    const std::string folder = root_ + " link";
    const std::string link = folder + "\\link";
    CreateDirectoryW(W(folder).c_str(), nullptr);
    CreateDirectoryW(W(root_ + " link target").c_str(), nullptr);
    if (CreateSymbolicLinkW(W(link).c_str(), W(root_ + " link target").c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY) &&
        IsLink(link)) {
      return link;
    }
    static int taken = 0;
    const std::string premade = "C:\\conformance links\\" + std::to_string(++taken) + "\\link";
    if (IsLink(premade)) return premade;
    return std::nullopt;
  }

 private:
  static std::wstring W(const std::string& path) { return Wide(path, "test"); }
  static bool IsLink(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(W(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  }

  static inline int made_ = 0;
  std::string root_;
  std::shared_ptr<Win32HeldFolder> held_ = std::make_shared<Win32HeldFolder>();
  Win32Services services_{nullptr, held_};
  Win32Disk disk_{held_, "FileCopy"};
  DiskReplaceSteps steps_{disk_};
};

}  // namespace launcher

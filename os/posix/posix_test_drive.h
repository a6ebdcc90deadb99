#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "core/hold_retry.h"
#include "core/replace/disk_replace_steps.h"
#include "os/posix/posix_disk.h"
#include "os/posix/posix_services.h"
#include "tests/pe_fixture.h"

// What the POSIX services' and steps' tests share: a drive C: of their own, and files in it.

namespace launcher {

namespace fs = std::filesystem;

inline const std::string kStore = "C:\\Brelvance\\UpdateFile\\10001000\\0005";
inline const std::string kStoreCopy = kStore + "\\Norvik_Studio.exe";
inline const std::string kLocalCopy = "C:\\app\\Norvik_Studio.exe";
inline const fs::path kStoreBelowDrive = "Brelvance/UpdateFile/10001000/0005";

inline std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A fixture followed by `size` bytes of padding that vary with `seed`.
inline std::string Padded(const std::string& name, std::size_t size, int seed) {
  std::string bytes = Fixture(name);
  for (std::size_t i = 0; i < size; ++i) bytes += static_cast<char>(i * seed);
  return bytes;
}

inline std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Every file, folder and link below `folder`, links not followed, with the files' contents.
inline std::map<std::string, std::string> Tree(const fs::path& folder) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = fs::relative(entry.path(), folder);
    if (entry.is_symlink()) {
      tree[name] = "link to " + fs::read_symlink(entry.path()).string();
    } else {
      tree[name] = entry.is_regular_file() ? ReadAll(entry.path()) : "folder";
    }
  }
  return tree;
}

// The POSIX services over drive C: at `root`, and the replacement's steps that go with them.
struct PosixSystem {
  explicit PosixSystem(const std::string& root) : services(root, held) {}

  bool Copy(const std::string& source, const std::string& destination, const CopyCheck& check,
            HoldRetry& retry) {
    return ReplaceWithCopy(steps, services.SystemPath(source), services.SystemPath(destination),
                           check, retry);
  }

  std::shared_ptr<HeldFolders> held = std::make_shared<HeldFolders>();
  PosixServices services;
  PosixDisk disk{held, "FileCopy"};
  DiskReplaceSteps steps{disk};
};

// A fresh folder that stands for drive C:, removed afterwards.
class PosixServicesTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/launcher-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(root_);
  }

  PosixServices Services() {
    return PosixServices(root_.string(), std::make_shared<HeldFolders>());
  }

  HoldRetry budget_{[](int /*milliseconds*/) {}};

  // The store folder with its copy, and the program folder with the local copy.
  void MakeCopies(const std::string& store_copy, const std::string& local_copy) {
    fs::create_directories(root_ / kStoreBelowDrive);
    fs::create_directories(root_ / "app");
    WriteAll(root_ / kStoreBelowDrive / "Norvik_Studio.exe", store_copy);
    WriteAll(root_ / "app" / "Norvik_Studio.exe", local_copy);
  }

  fs::path root_;
};

}  // namespace launcher

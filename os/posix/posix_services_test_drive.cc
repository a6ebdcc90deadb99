// The conformance suite on the POSIX services, drive C: a fresh temporary folder per test.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/replace/disk_replace_steps.h"
#include "os/posix/posix_disk.h"
#include "os/posix/posix_services.h"
#include "tests/services_test_drive.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

class PosixServicesTestDrive : public ServicesTestDrive {
 public:
  PosixServicesTestDrive() : drive_c_(MakeDriveC()), services_(drive_c_.string(), held_) {
    fs::create_directories(Native(Root()));
  }
  ~PosixServicesTestDrive() override {
    // Read-only files go with their folder; a read-only folder would keep them.
    std::error_code ignored;
    fs::remove_all(drive_c_, ignored);
  }

  // POSIX has no sharing modes, so a copy cannot be refused for another writer.
  Capabilities capabilities() const override { return {true, true, true, false}; }
  Services& services() override { return services_; }
  ReplaceSteps& steps() override { return steps_; }
  std::string Root() const override { return "C:\\conformance"; }

  void MakeFolder(const std::string& path) override { fs::create_directory(Native(path)); }
  void Write(const std::string& path, const std::string& bytes) override {
    std::ofstream(Native(path), std::ios::binary | std::ios::trunc) << bytes;
  }
  std::optional<std::string> Read(const std::string& path) override {
    if (!fs::is_regular_file(fs::symlink_status(Native(path)))) return std::nullopt;
    std::ifstream in(Native(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool IsFolder(const std::string& path) override {
    return fs::is_directory(Native(path));  // a link to a folder as well, as on Windows
  }
  std::vector<std::string> Entries(const std::string& folder) override {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Native(folder))) {
      names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  void SetReadOnly(const std::string& path) override {
    fs::permissions(Native(path), fs::perms::owner_read);
  }
  void SetWriteTime(const std::string& path, int seconds_from_now) override {
    fs::last_write_time(Native(path),
                        fs::file_time_type::clock::now() + std::chrono::seconds(seconds_from_now));
  }

  // A launcher holds the copy it writes with a shared lock; a writer is only an open descriptor.
  std::shared_ptr<void> Open(const std::string& path, Hold hold) override {
    const int descriptor = ::open(Native(path).c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(descriptor, 0) << path;
    if (hold == Hold::kCopyUnderWay) {
      EXPECT_EQ(::flock(descriptor, LOCK_SH), 0) << path;
    }
    return std::shared_ptr<void>(nullptr, [descriptor](void*) { ::close(descriptor); });
  }
  std::optional<std::string> FolderLink() override {
    fs::create_directories(drive_c_ / "link target");
    fs::create_directories(drive_c_ / "linked");
    fs::create_directory_symlink(drive_c_ / "link target", drive_c_ / "linked" / "link");
    return "C:\\linked\\link";
  }

 private:
  static fs::path MakeDriveC() {
    char pattern[] = "/tmp/launcher-conformance-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) ADD_FAILURE() << "no temporary folder";
    return pattern;
  }
  std::string Native(const std::string& path) const { return ToPosixPath(path, drive_c_.string()); }

  fs::path drive_c_;
  std::shared_ptr<HeldFolders> held_ = std::make_shared<HeldFolders>();
  PosixServices services_;
  PosixDisk disk_{held_, "FileCopy"};
  DiskReplaceSteps steps_{disk_};
};

std::unique_ptr<ServicesTestDrive> MakePosixDrive() {
  return std::make_unique<PosixServicesTestDrive>();
}

INSTANTIATE_TEST_SUITE_P(Posix, ServicesConformanceTest,
                         testing::Values(ServicesTestDriveMaker{"posix", &MakePosixDrive}));

}  // namespace
}  // namespace launcher

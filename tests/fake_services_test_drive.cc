// The conformance suite on FakeServices, so that the fake the launch logic's tests run on keeps
// the contract the real services keep.

#include <algorithm>

#include "core/pe/icon_file.h"
#include "core/pe/pe_image_layout.h"
#include "core/pe/pe_version_reader.h"
#include "tests/fake_services.h"
#include "tests/memory_file.h"
#include "tests/services_test_drive.h"

namespace launcher {
namespace {

class FakeServicesTestDrive : public ServicesTestDrive {
 public:
  FakeServicesTestDrive() {
    services_.folders_must_exist = true;
    MakeFolder("C:\\conformance");
    MakeFolder(Root());
  }

  // The fake keeps no folders open, removes no temporaries and models no links: the launch
  // logic's tests script those answers themselves (links, held_calls).
  Capabilities capabilities() const override { return {false, false, false, true}; }
  Services& services() override { return services_; }
  ReplaceSteps& steps() override { return services_; }
  std::string Root() const override { return "C:\\conformance\\fake"; }

  void MakeFolder(const std::string& path) override { services_.files[path].folder = true; }

  // What the system would read from `bytes`, as the real services read it.
  void Write(const std::string& path, const std::string& bytes) override {
    MemoryDiskFile& file = services_.files[path];
    file = {};
    file.contents = bytes;
    MemoryFile image(bytes);
    try {
      file.version = ReadPeFileVersion(image);
      const std::optional<std::uint64_t> extent = PeImageExtent(image);
      file.whole = extent && *extent <= bytes.size();
    } catch (const ServiceError&) {
      file.version.clear();
    }
    const std::vector<unsigned char> icon(bytes.begin(), bytes.end());
    if (IconFileProblem(icon).empty()) services_.icons_well_formed.insert(path);
  }

  std::optional<std::string> Read(const std::string& path) override {
    const auto file = services_.files.find(path);
    if (file == services_.files.end() || file->second.folder) return std::nullopt;
    return file->second.contents;
  }
  bool IsFolder(const std::string& path) override {
    const auto file = services_.files.find(path);
    return file != services_.files.end() && file->second.folder;
  }
  std::vector<std::string> Entries(const std::string& folder) override {
    std::vector<std::string> names;
    for (const auto& [path, file] : services_.files) {
      if (FolderOf(path) == folder) names.push_back(FileNameOf(path));
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  void SetReadOnly(const std::string& path) override { services_.files.at(path).read_only = true; }
  void SetWriteTime(const std::string& /*path*/, int /*seconds_from_now*/) override {}

  std::shared_ptr<void> Open(const std::string& path, Hold hold) override {
    std::set<std::string>& set = hold == Hold::kWriter ? services_.being_written : services_.in_use;
    set.insert(path);
    return std::shared_ptr<void>(nullptr, [&set, path](void*) { set.erase(path); });
  }
  std::optional<std::string> FolderLink() override { return std::nullopt; }

 private:
  FakeServices services_;
};

std::unique_ptr<ServicesTestDrive> MakeFakeDrive() {
  return std::make_unique<FakeServicesTestDrive>();
}

INSTANTIATE_TEST_SUITE_P(Fake, ServicesConformanceTest,
                         testing::Values(ServicesTestDriveMaker{"fake", &MakeFakeDrive}));

}  // namespace
}  // namespace launcher

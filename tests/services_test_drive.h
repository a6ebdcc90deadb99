#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/hold_retry.h"
#include "core/replace/replace_file.h"
#include "launch/services.h"

namespace launcher {

// A drive C: for one implementation of the services, and what the conformance suite arranges and
// looks at there without going through the services. Paths are Windows path texts, as the
// services take them.
class ServicesTestDrive {
 public:
  // What an implementation can show. A case that needs more is skipped there, saying why.
  struct Capabilities {
    bool holds_folders = true;        // HoldFolder keeps the folders open
    bool folder_links = true;         // FolderLink makes links the system follows
    bool removes_temporaries = true;  // ReplaceSteps::RemoveStaleTemporaries removes files
    bool sees_writers = true;         // a file that another process writes cannot be copied from
  };

  virtual ~ServicesTestDrive() = default;

  virtual Capabilities capabilities() const = 0;

  // The services under test, over this drive, and the replacement's steps that go with them.
  virtual Services& services() = 0;
  virtual ReplaceSteps& steps() = 0;

  // A fresh empty folder of this drive for one test, such as "C:\conformance\fake".
  virtual std::string Root() const = 0;

  virtual void MakeFolder(const std::string& path) = 0;
  virtual void Write(const std::string& path, const std::string& bytes) = 0;
  // The file's bytes; nothing when there is no regular file at `path`.
  virtual std::optional<std::string> Read(const std::string& path) = 0;
  // A link to a folder counts as a folder, as Windows shows it.
  virtual bool IsFolder(const std::string& path) = 0;
  // The names in `folder`, sorted.
  virtual std::vector<std::string> Entries(const std::string& folder) = 0;
  virtual void SetReadOnly(const std::string& path) = 0;
  virtual void SetWriteTime(const std::string& path, int seconds_from_now) = 0;

  // Keeps `path` open until the returned object ends: as a launcher holds the copy it is
  // writing, or as another program writing the file.
  enum class Hold { kCopyUnderWay, kWriter };
  virtual std::shared_ptr<void> Open(const std::string& path, Hold hold) = 0;

  // The path of a link to an empty folder elsewhere, alone in a folder of its own; nothing when
  // no link can be made here.
  virtual std::optional<std::string> FolderLink() = 0;
};

// Makes the drive for one test; each implementation instantiates the suite with its own. Printed
// by its name, which the test runners show beside each case.
struct ServicesTestDriveMaker {
  const char* name;
  std::unique_ptr<ServicesTestDrive> (*make)();
};
inline void PrintTo(const ServicesTestDriveMaker& maker, std::ostream* out) { *out << maker.name; }

// The suite of services_conformance_test.cc, on a fresh drive per test. An implementation runs
// it with INSTANTIATE_TEST_SUITE_P(Name, ServicesConformanceTest,
//                                  testing::Values(ServicesTestDriveMaker{"name", &MakeItsDrive})).
class ServicesConformanceTest : public testing::TestWithParam<ServicesTestDriveMaker> {
 protected:
  void SetUp() override {
    drive_ = GetParam().make();
    root_ = drive_->Root();
  }

  Services& services() { return drive_->services(); }
  std::string At(const std::string& name) const { return root_ + "\\" + name; }
  bool Copy(const std::string& source, const std::string& destination, const CopyCheck& check) {
    return ReplaceWithCopy(drive_->steps(), services().SystemPath(source),
                           services().SystemPath(destination), check, budget_);
  }
  void RemoveStale(const std::string& copy_path) {
    drive_->steps().RemoveStaleTemporaries(services().SystemPath(copy_path));
  }

  std::unique_ptr<ServicesTestDrive> drive_;
  std::string root_;
  HoldRetry budget_{[](int /*milliseconds*/) {}};
};

}  // namespace launcher

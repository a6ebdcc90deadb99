// The Win32 services' own cases, beside the shared suite: what only Windows' sharing modes can
// show, so that no other implementation could be asked it.

#include <windows.h>

#include <fstream>
#include <iterator>

#include "launch/copy_reconciliation.h"
#include "os/win32/win32_services_test_drive.h"

namespace launcher {
namespace {

std::unique_ptr<ServicesTestDrive> MakeWin32Drive() {
  return std::make_unique<Win32ServicesTestDrive>();
}

INSTANTIATE_TEST_SUITE_P(Win32, ServicesConformanceTest,
                         testing::Values(ServicesTestDriveMaker{"win32", &MakeWin32Drive}));

std::string Fixture(const std::string& name) {
  std::ifstream in(std::string(FIXTURE_DIR) + "/" + name + ".exe", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::wstring W(const std::string& path) { return Wide(path, "test"); }

class Win32ServicesTest : public testing::Test {
 protected:
  std::string At(const std::string& name) const { return drive_.Root() + "\\" + name; }

  Win32ServicesTestDrive drive_;
};

// POSIX lets anyone rename or remove a folder another process holds open; Windows does not.
TEST_F(Win32ServicesTest, AHeldFolderCannotBeRemovedNorMovedUntilTheServicesEnd) {
  drive_.MakeFolder(At("held"));
  {
    Win32Services services(nullptr, std::make_shared<Win32HeldFolder>());
    services.HoldFolder(At("held"));
    EXPECT_FALSE(RemoveDirectoryW(W(At("held")).c_str()));
    EXPECT_FALSE(MoveFileW(W(At("held")).c_str(), W(At("moved")).c_str()));
  }
  EXPECT_TRUE(MoveFileW(W(At("held")).c_str(), W(At("moved")).c_str()));
}

// Once written, the copy is open without write access but still denies writers: a reader that
// denies writing itself can open it (it could not while a handle with write access is open), a
// writer cannot.
TEST_F(Win32ServicesTest, TheWrittenCopyKeepsNoWriteAccessYetDeniesWriters) {
  drive_.Write(At("program.exe"), Fixture("managed_1_0_0_7"));
  ReplaceSteps& steps = drive_.steps();
  const std::unique_ptr<SourceFile> source = steps.OpenSource(At("program.exe"));
  std::unique_ptr<TemporaryCopy> copy = steps.CreateTemporary(At("sealed.exe"));
  copy->CopyFrom(*source);
  copy->CloseForWriting();
  const std::vector<std::string> entries = drive_.Entries(drive_.Root());
  ASSERT_EQ(entries.size(), 2u);
  const std::string written = At(entries[1]);
  ASSERT_EQ(entries[1].rfind("~sealed.exe.", 0), 0u) << entries[1];

  const HANDLE reader =
      CreateFileW(W(written).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "no handle with write access is left";
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  // Sharing everything, so that only the copy's own handle can refuse it.
  const HANDLE writer = CreateFileW(W(written).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "others are still denied writing it";
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  copy->MoveOver(At("sealed.exe"));
  copy.reset();
  EXPECT_EQ(drive_.Read(At("sealed.exe")), Fixture("managed_1_0_0_7"));
}

// A copy's pin is read denying writers: it is not read at all while another handle writes it,
// and the failure is the sharing violation, so that the caller waits for it.
TEST_F(Win32ServicesTest, APinIsNotReadWhileAnotherHandleWritesTheCopy) {
  drive_.Write(At("program.exe"), Fixture("managed_1_0_0_7"));
  ReplaceSteps& steps = drive_.steps();
  {
    const auto writer = drive_.Open(At("program.exe"), ServicesTestDrive::Hold::kWriter);
    try {
      steps.PinningPublisher(At("program.exe"));
      ADD_FAILURE() << "the pin was read while written";
    } catch (const ServiceError& failure) {
      EXPECT_NE(failure.system_text().find("(error 32)"), std::string::npos)
          << failure.system_text();
    }
  }
  EXPECT_FALSE(steps.PinningPublisher(At("program.exe"))) << "an unsigned copy pins nothing";
}

// The same sharing violation stops a copy from a source that another handle writes.
TEST_F(Win32ServicesTest, ASourceOpenForWritingIsASharingViolation) {
  drive_.Write(At("program.exe"), Fixture("managed_1_0_0_7"));
  const auto writer = drive_.Open(At("program.exe"), ServicesTestDrive::Hold::kWriter);
  HoldRetry budget([](int /*milliseconds*/) {});
  try {
    ReplaceWithCopy(drive_.steps(), At("program.exe"), At("busy.exe"), RevisionCheck(7), budget);
    ADD_FAILURE() << "copied from a source another handle writes";
  } catch (const ServiceError& failure) {
    EXPECT_NE(failure.system_text().find("(error 32)"), std::string::npos) << failure.system_text();
  }
}

}  // namespace
}  // namespace launcher

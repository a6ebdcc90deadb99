#include "core/pe/pe_version_reader.h"

#include <gtest/gtest.h>

#include "core/service_error.h"
#include "tests/memory_file.h"
#include "tests/pe_fixture.h"

namespace launcher {
namespace {

std::string VersionOf(std::string bytes) {
  MemoryFile file(std::move(bytes));
  return ReadPeFileVersion(file);
}

TEST(ReadPeFileVersion, ReadsTheFixedFileVersionOfRealPeFiles) {
  const struct {
    const char* fixture;
    const char* expected;
  } cases[] = {
      {"managed_1_0_0_0", "1.0.0.0"},
      {"managed_1_0_0_4", "1.0.0.4"},
      {"managed_1_10_0_5", "1.10.0.5"},
      {"managed_2_3_4_40000", "2.3.4.40000"},
      {"managed_65535", "65535.65535.65535.65535"},
      {"managed_no_version", ""},
      // Several records: neutral first, then U.S. English, else the first in the file's order.
      {"languages_neutral_german", "1.0.0.1"},
      {"languages_german_us", "1.0.0.3"},
      {"languages_us_neutral", "1.0.0.1"},
      {"languages_german_french", "2.0.0.2"},
      {"image64_1_0_0_7", "1.0.0.7"},
      {"image64_languages", "4.0.0.4"},  // English without a sublanguage comes before the first
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VersionOf(Fixture(c.fixture)), c.expected) << c.fixture;
  }
}

TEST(ReadPeFileVersion, FilesThatAreNotPeFilesHaveNoVersion) {
  const std::string pe = Fixture("managed_1_0_0_4");
  std::string no_nt_signature = pe;
  no_nt_signature[static_cast<unsigned char>(pe[0x3C])] = 'X';
  std::string far_nt_header = pe;
  far_nt_header[0x3F] = '\x7F';
  const std::string cases[] = {
      "",
      "M",
      "MZ",
      std::string(64, '\0'),
      "#!/bin/sh\necho not a program\n",
      std::string(4096, '\xFF'),
      no_nt_signature,
      far_nt_header,
  };
  for (const std::string& bytes : cases) EXPECT_EQ(VersionOf(bytes), "") << bytes.size();
}

TEST(ReadPeFileVersion, TruncatedFilesGiveNoVersionOrTheRightOne) {
  const std::string pe = Fixture("managed_1_0_0_7");
  int readable = 0;
  for (std::size_t length = 0; length <= pe.size(); ++length) {
    const std::string version = VersionOf(pe.substr(0, length));
    if (version.empty()) continue;
    ASSERT_EQ(version, "1.0.0.7") << "truncated to " << length;
    ++readable;
  }
  EXPECT_GT(readable, 0);
}

TEST(ReadPeFileVersion, ReadsOnlyTheHeadersAndTheResourceDataItNeeds) {
  std::string pe = Fixture("managed_1_0_0_4");
  pe.append(64 << 20, '\x5A');  // data appended to an image does not move its resources
  MemoryFile file(pe);
  EXPECT_EQ(ReadPeFileVersion(file), "1.0.0.4");
  EXPECT_LT(file.bytes_read, 64u * 1024);
}

TEST(ReadPeFileVersion, AFailedReadIsRaised) {
  struct BrokenFile : MemoryFile {
    using MemoryFile::MemoryFile;
    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
      if (offset > 0) throw ServiceError("GetFileVersion", "broken", "I/O error");
      return MemoryFile::ReadAt(offset, buffer, length);
    }
  } file(Fixture("managed_1_0_0_4"));
  EXPECT_THROW(ReadPeFileVersion(file), ServiceError);
}

}  // namespace
}  // namespace launcher

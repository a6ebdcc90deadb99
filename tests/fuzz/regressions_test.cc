// Replays every input the fuzzer ever found troublesome through the PE version reader.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/pe_version_reader.h"
#include "tests/memory_file.h"

namespace launcher {
namespace {

TEST(PeVersionReaderRegressions, EveryKnownTroublesomeInputEndsCleanly) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(REGRESSION_DIR)) {
    if (entry.path().filename() == "README") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    MemoryFile file(std::string(std::istreambuf_iterator<char>(in), {}));
    const std::string version = ReadPeFileVersion(file);
    EXPECT_LE(version.size(), 23u) << entry.path();
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace launcher

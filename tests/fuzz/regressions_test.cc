// Replays every input the fuzzer ever found troublesome through the PE version reader, each
// against the reading it must give.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "core/pe/pe_version_reader.h"
#include "tests/memory_file.h"

namespace launcher {
namespace {

// Each input of tests/fuzz/regressions and its reading. Each is a 16 KiB build of the managed test
// program at 1.0.0.7, the first as it is, the others with a few bytes changed.
const std::map<std::string, std::string> kExpected = {
    // Despite the name, the image is whole: its last section ends at the file's end, and the
    // version record is intact.
    {"cut-inside-resources", "1.0.0.7"},
    // The version type's subdirectory is the root again, which has no entry named 1.
    {"directory-points-at-root", ""},
    // The NT headers' offset lies past the end of the file: not a PE file.
    {"nt-offset-beyond-end", ""},
    // The root claims 65535 named and 65535 numbered entries; the search runs off the file.
    {"resource-entry-counts-max", ""},
    // 65535 sections, far beyond any real image: not a PE file this reader understands.
    {"section-count-max", ""},
};

TEST(PeVersionReaderRegressions, EveryKnownTroublesomeInputGivesItsReading) {
  std::set<std::string> replayed;
  for (const auto& entry : std::filesystem::directory_iterator(REGRESSION_DIR)) {
    const std::string name = entry.path().filename().string();
    if (name == "README") continue;
    const auto expected = kExpected.find(name);
    if (expected == kExpected.end()) {
      ADD_FAILURE() << name << " has no expected reading here";
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    MemoryFile file(std::string(std::istreambuf_iterator<char>(in), {}));
    EXPECT_EQ(ReadPeFileVersion(file), expected->second) << name;
    replayed.insert(name);
  }
  for (const auto& [name, reading] : kExpected) {
    EXPECT_EQ(replayed.count(name), 1u) << name << " is missing from " << REGRESSION_DIR;
  }
}

}  // namespace
}  // namespace launcher

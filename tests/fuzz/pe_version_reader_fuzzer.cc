// libFuzzer target: any bytes through the PE version reader end in a version text or nothing.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/pe_version_reader.h"
#include "tests/memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  launcher::MemoryFile file(std::string(reinterpret_cast<const char*>(data), size));
  const std::string version = launcher::ReadPeFileVersion(file);
  // A reading is four fields of at most five digits: never more than 23 characters.
  if (version.size() > 23) __builtin_trap();
  return 0;
}

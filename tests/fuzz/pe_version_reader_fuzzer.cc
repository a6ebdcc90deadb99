// libFuzzer target: any bytes through the PE readers end in a reading or nothing, and through the
// TSTInfo reader in a time or nothing.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/pe_version_reader.h"
#include "platform/signature_rules.h"
#include "tests/memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  launcher::MemoryFile file(std::string(reinterpret_cast<const char*>(data), size));
  const std::string version = launcher::ReadPeFileVersion(file);
  // A reading is four fields of at most five digits: never more than 23 characters.
  if (version.size() > 23) __builtin_trap();
  const launcher::CertificateTable table = launcher::ReadCertificateTable(file);
  if (table.signature.size() > size) __builtin_trap();
  launcher::ParseTimestampInfo(launcher::Bytes(data, data + size));
  return 0;
}

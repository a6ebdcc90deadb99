// libFuzzer target: any bytes through the PE readers end in a reading or nothing, through the
// TSTInfo reader in a time or nothing, and through the name reader in a name or none.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/pe/pe_version_reader.h"
#include "core/signature/distinguished_name.h"
#include "core/signature/timestamp_rules.h"
#include "tests/memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  launcher::MemoryFile file(std::string(reinterpret_cast<const char*>(data), size));
  const std::string version = launcher::ReadPeFileVersion(file);
  // A reading is four fields of at most five digits: never more than 23 characters.
  if (version.size() > 23) __builtin_trap();
  const launcher::CertificateTable table = launcher::ReadCertificateTable(file);
  if (table.signature.size() > size) __builtin_trap();
  const launcher::Bytes bytes(data, data + size);
  launcher::ParseTimestampInfo(bytes);
  // A name is itself, and only a readable one is.
  if (launcher::SameName(bytes, bytes) != launcher::IsReadableName(bytes)) __builtin_trap();
  launcher::EscapedName(std::string(bytes.begin(), bytes.end()));
  return 0;
}

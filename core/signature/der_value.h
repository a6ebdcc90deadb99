#pragma once

#include <cstddef>
#include <optional>
#include <vector>

// The launcher's one DER reader, for the few structures it reads itself (a timestamp's TSTInfo, a
// distinguished name) once the system's crypto has decoded what carries them.

namespace launcher {

using Bytes = std::vector<unsigned char>;

// One DER value inside a buffer.
struct DerValue {
  unsigned char tag;
  const unsigned char* contents;
  std::size_t size;
  const unsigned char* end;  // just after the value
};

// Reads the value at [at, end); nullopt when it is not DER this reader knows (a tag number of
// more than one byte, an indefinite or overlong length, one past `end`).
inline std::optional<DerValue> ReadDer(const unsigned char* at, const unsigned char* end) {
  if (end - at < 2) return std::nullopt;
  const unsigned char tag = at[0];
  if ((tag & 0x1F) == 0x1F) return std::nullopt;
  std::size_t length = at[1];
  const unsigned char* contents = at + 2;
  if (length & 0x80) {
    const std::size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 4 || static_cast<std::size_t>(end - contents) < bytes) {
      return std::nullopt;
    }
    length = 0;
    for (std::size_t i = 0; i < bytes; ++i) length = length << 8 | contents[i];
    contents += bytes;
  }
  if (static_cast<std::size_t>(end - contents) < length) return std::nullopt;
  return DerValue{tag, contents, length, contents + length};
}

// The DER value that `der` is; nullopt when `der` is not exactly one value, nothing after it.
inline std::optional<DerValue> ReadWholeDer(const Bytes& der) {
  const std::optional<DerValue> value = ReadDer(der.data(), der.data() + der.size());
  if (!value || value->end != der.data() + der.size()) return std::nullopt;
  return value;
}

// The contents of the DER value that `der` is, without its tag and length (what PKCS#7 hashes of
// content that is not plain data); nullopt when `der` is not exactly one DER value.
inline std::optional<Bytes> DerContents(const Bytes& der) {
  const std::optional<DerValue> value = ReadWholeDer(der);
  if (!value) return std::nullopt;
  return Bytes(value->contents, value->end);
}

}  // namespace launcher

#include "core/pe/icon_file.h"

#include <cstdint>
#include <cstring>

#include "core/service_error.h"

namespace launcher {
namespace {

constexpr std::size_t kDirectorySize = 6;
constexpr std::size_t kEntrySize = 16;
constexpr std::uint32_t kBitmapHeaderSize = 40;
constexpr unsigned char kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::uint32_t Le(const unsigned char* p, int bytes) {
  std::uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

}  // namespace

std::string IconFileProblem(const std::vector<unsigned char>& bytes) {
  if (bytes.size() < kDirectorySize) return "too short for an icon file";
  if (Le(bytes.data(), 2) != 0 || Le(&bytes[2], 2) != 1) return "not an icon file";
  const std::size_t count = Le(&bytes[4], 2);
  if (count == 0) return "icon file holds no image";
  if (bytes.size() < kDirectorySize + count * kEntrySize) return "icon directory is truncated";
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* entry = &bytes[kDirectorySize + i * kEntrySize];
    const std::uint64_t size = Le(entry + 8, 4);
    const std::uint64_t offset = Le(entry + 12, 4);
    const std::string image = "icon image " + std::to_string(i + 1);
    if (size < sizeof kPngSignature || offset + size > bytes.size()) {
      return image + " lies outside the file";
    }
    const unsigned char* data = &bytes[offset];
    const bool bitmap = size >= kBitmapHeaderSize && Le(data, 4) == kBitmapHeaderSize;
    const bool png = std::memcmp(data, kPngSignature, sizeof kPngSignature) == 0;
    if (!bitmap && !png) return image + " is neither a bitmap nor a PNG";
  }
  return {};
}

void RequireWellFormedIcon(RandomAccessFile& file, const std::string& path) {
  if (file.Size() > kMaxIconFileSize) throw ServiceError("LoadWindowIcon", path, "file too large");
  std::vector<unsigned char> bytes(static_cast<std::size_t>(file.Size()));
  bytes.resize(file.ReadAt(0, bytes.data(), bytes.size()));
  const std::string problem = IconFileProblem(bytes);
  if (!problem.empty()) throw ServiceError("LoadWindowIcon", path, problem);
}

}  // namespace launcher

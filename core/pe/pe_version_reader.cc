#include "core/pe/pe_version_reader.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

// Follows the system loader's rules for a PE file mapped as data (PeLayout): the version record is
// looked up as type 16, name 1, then by language. Every offset is checked against the file, so a
// damaged or hostile file can never make it read outside the file: where the way to the record is
// broken it yields empty text, and damage off that way goes unnoticed.

namespace launcher {
namespace {

constexpr std::uint16_t kVersionType = 16;
constexpr std::uint16_t kVersionName = 1;
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedInfoSize = 52;
constexpr std::size_t kMaxVersionHeader = 2048;
constexpr std::uint32_t kSubdirectoryBit = 0x80000000u;

// The languages tried in turn, as the loader does on a U.S. English system: neutral, U.S.
// English, English; then the first entry.
constexpr std::array<std::uint16_t, 3> kLanguages = {0x0000, 0x0409, 0x0009};

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(U16(p)) | static_cast<std::uint32_t>(U16(p + 2)) << 16;
}

class VersionResource {
 public:
  VersionResource(BlockReader& reader, const PeLayout& layout) : reader_(reader), layout_(layout) {}

  std::string ReadVersion() {
    const std::uint32_t resource_rva = layout_.resources ? layout_.resources->address : 0;
    if (resource_rva == 0) return {};
    // A resource directory inside the headers is addressed directly, as the loader does.
    const std::optional<std::uint64_t> root =
        resource_rva < layout_.header_size ? resource_rva : layout_.FileOffsetOf(resource_rva);
    if (!root) return {};
    root_ = *root;

    const auto by_type = FindById(root_, kVersionType, true);
    if (!by_type) return {};
    const auto by_name = FindById(*by_type, kVersionName, true);
    if (!by_name) return {};
    std::optional<std::uint64_t> data_entry;
    for (std::uint16_t language : kLanguages) {
      if ((data_entry = FindById(*by_name, language, false))) break;
    }
    if (!data_entry) data_entry = FindFirst(*by_name, false);
    if (!data_entry) return {};
    return ReadFixedFileVersion(*data_entry);
  }

 private:
  struct Entry {
    std::uint32_t name;
    std::uint32_t target;
    bool is_directory() const { return (target & kSubdirectoryBit) != 0; }
    std::uint64_t offset(std::uint64_t root) const { return root + (target & ~kSubdirectoryBit); }
  };

  std::optional<Entry> EntryAt(std::uint64_t directory, std::uint32_t index) {
    unsigned char b[8];
    if (!reader_.Read(directory + 16 + 8ull * index, b, sizeof b)) return std::nullopt;
    return Entry{U32(b), U32(b + 4)};
  }

  // Binary search over the directory's numbered entries, which the loader keeps sorted.
  std::optional<std::uint64_t> FindById(std::uint64_t directory, std::uint16_t id,
                                        bool want_directory) {
    const auto named = reader_.U16At(directory + 12);
    const auto numbered = reader_.U16At(directory + 14);
    if (!named || !numbered) return std::nullopt;
    int low = *named;
    int high = low + *numbered - 1;
    while (low <= high) {
      const int middle = (low + high) / 2;
      const auto entry = EntryAt(directory, static_cast<std::uint32_t>(middle));
      if (!entry) return std::nullopt;
      const auto entry_id = static_cast<std::uint16_t>(entry->name);
      if (entry_id == id) {
        if (entry->is_directory() != want_directory) return std::nullopt;
        return entry->offset(root_);
      }
      if (entry_id > id) {
        high = middle - 1;
      } else {
        low = middle + 1;
      }
    }
    return std::nullopt;
  }

  std::optional<std::uint64_t> FindFirst(std::uint64_t directory, bool want_directory) {
    const auto named = reader_.U16At(directory + 12);
    const auto numbered = reader_.U16At(directory + 14);
    if (!named || !numbered) return std::nullopt;
    const std::uint32_t count = std::uint32_t{*named} + *numbered;
    for (std::uint32_t i = 0; i < count; ++i) {
      const auto entry = EntryAt(directory, i);
      if (!entry) return std::nullopt;
      if (entry->is_directory() == want_directory) return entry->offset(root_);
    }
    return std::nullopt;
  }

  // The record starts with its length, its value's length and a zero-terminated key (UTF-16, or
  // 8-bit in the old 16-bit form); the value, aligned to 4 bytes, is the fixed file info.
  std::string ReadFixedFileVersion(std::uint64_t data_entry) {
    unsigned char entry[8];
    if (!reader_.Read(data_entry, entry, sizeof entry)) return {};
    const auto data = layout_.FileOffsetOf(U32(entry));
    const std::uint32_t data_size = U32(entry + 4);
    if (!data) return {};
    std::vector<unsigned char> record(std::min<std::size_t>(data_size, kMaxVersionHeader));
    if (record.size() < 6 || !reader_.Read(*data, record.data(), record.size())) return {};

    const std::uint16_t value_length = U16(record.data() + 2);
    const bool wide = record[4] < ' ';
    std::size_t key_end = wide ? 6 : 4;
    const std::size_t unit = wide ? 2 : 1;
    for (;; key_end += unit) {
      if (key_end + unit > record.size()) return {};
      if (record[key_end] == 0 && (!wide || record[key_end + 1] == 0)) break;
    }
    const std::size_t value = (key_end + unit + 3) & ~std::size_t{3};
    if (value_length < kFixedInfoSize || value + kFixedInfoSize > record.size()) return {};
    const unsigned char* fixed = record.data() + value;
    if (U32(fixed) != kFixedInfoSignature) return {};
    const std::uint32_t ms = U32(fixed + 8);
    const std::uint32_t ls = U32(fixed + 12);
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
           std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
  }

  BlockReader& reader_;
  const PeLayout& layout_;
  std::uint64_t root_ = 0;
};

}  // namespace

std::string ReadPeFileVersion(RandomAccessFile& file) {
  BlockReader reader(file);
  const std::optional<PeLayout> layout = ReadPeLayout(reader);
  if (!layout) return {};
  return VersionResource(reader, *layout).ReadVersion();
}

}  // namespace launcher

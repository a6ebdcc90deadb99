#include "platform/pe_version_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

// Follows the system loader's rules for a PE file mapped as data: the resource directory is found
// through the data directory, RVAs are turned into file offsets through the section table, and the
// version record is looked up as type 16, name 1, then by language. Every offset is checked against
// the file, so a damaged or hostile file can never make it read outside the file: where the way to
// the record is broken it yields empty text, and damage off that way goes unnoticed.

namespace launcher {
namespace {

constexpr std::uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr std::uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint32_t kCertificateDirectoryIndex = 4;
constexpr std::uint16_t kVersionType = 16;
constexpr std::uint16_t kVersionName = 1;
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedInfoSize = 52;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint32_t kMaxSections = 1024;  // far above any real image; bounds what is read
constexpr std::size_t kMaxVersionHeader = 2048;
constexpr std::uint32_t kSubdirectoryBit = 0x80000000u;

// The languages tried in turn, as the loader does on a U.S. English system: neutral, U.S.
// English, English; then the first entry.
constexpr std::array<std::uint16_t, 3> kLanguages = {0x0000, 0x0409, 0x0009};

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(U16(p)) | static_cast<std::uint32_t>(U16(p + 2)) << 16;
}

// Reads through a one-block cache: the structures walked here are small and close together.
class BlockReader {
 public:
  explicit BlockReader(RandomAccessFile& file) : file_(file), size_(file.Size()) {}

  std::uint64_t size() const { return size_; }

  // False when [offset, offset + length) is not wholly inside the file.
  bool Read(std::uint64_t offset, void* out, std::size_t length) {
    if (offset > size_ || length > size_ - offset) return false;
    auto* dest = static_cast<unsigned char*>(out);
    while (length > 0) {
      const std::uint64_t block = offset / kBlockSize;
      if (block != cached_block_) Load(block);
      const std::size_t within = static_cast<std::size_t>(offset % kBlockSize);
      if (within >= cache_.size()) return false;  // the file shrank since it was opened
      const std::size_t take = std::min(length, cache_.size() - within);
      std::memcpy(dest, cache_.data() + within, take);
      dest += take;
      offset += take;
      length -= take;
    }
    return true;
  }

  std::optional<std::uint16_t> U16At(std::uint64_t offset) {
    unsigned char b[2];
    if (!Read(offset, b, sizeof b)) return std::nullopt;
    return U16(b);
  }
  std::optional<std::uint32_t> U32At(std::uint64_t offset) {
    unsigned char b[4];
    if (!Read(offset, b, sizeof b)) return std::nullopt;
    return U32(b);
  }

 private:
  static constexpr std::size_t kBlockSize = 4096;

  void Load(std::uint64_t block) {
    cache_.resize(kBlockSize);
    cache_.resize(file_.ReadAt(block * kBlockSize, cache_.data(), kBlockSize));
    cached_block_ = block;
  }

  RandomAccessFile& file_;
  std::uint64_t size_;
  std::uint64_t cached_block_ = ~std::uint64_t{0};
  std::vector<unsigned char> cache_;
};

struct Section {
  std::uint32_t virtual_address;
  std::uint32_t raw_size;
  std::uint32_t raw_offset;
};

class PeImage {
 public:
  explicit PeImage(RandomAccessFile& file) : reader_(file) {}

  // Reads the headers; false when the file is not a PE image this reader understands.
  bool ReadHeaders() {
    if (reader_.U16At(0) != kDosMagic) return false;
    const auto nt_offset = reader_.U32At(0x3C);
    if (!nt_offset || *nt_offset > 0x7FFFFFFF || reader_.U32At(*nt_offset) != kNtSignature) {
      return false;
    }
    unsigned char file_header[20];
    if (!reader_.Read(*nt_offset + 4, file_header, sizeof file_header)) return false;
    const std::uint32_t section_count = U16(file_header + 2);
    const std::uint32_t optional_size = U16(file_header + 16);
    const std::uint64_t optional = *nt_offset + 24ull;

    const auto magic = reader_.U16At(optional);
    std::uint64_t count_offset, directories;
    if (magic == kPe32Magic) {
      count_offset = optional + 92;
      directories = optional + 96;
    } else if (magic == kPe32PlusMagic) {
      count_offset = optional + 108;
      directories = optional + 112;
    } else {
      return false;
    }
    const auto header_size = reader_.U32At(optional + 60);
    const auto directory_count = reader_.U32At(count_offset);
    if (!header_size || !directory_count) return false;
    header_size_ = *header_size;
    if (*directory_count > kResourceDirectoryIndex) {
      const auto rva = reader_.U32At(directories + 8ull * kResourceDirectoryIndex);
      if (!rva) return false;
      resource_rva_ = *rva;
    }
    // The certificate table's "address" is a file offset, not an RVA.
    if (*directory_count > kCertificateDirectoryIndex) {
      const auto offset = reader_.U32At(directories + 8ull * kCertificateDirectoryIndex);
      const auto size = reader_.U32At(directories + 8ull * kCertificateDirectoryIndex + 4);
      if (!offset || !size) {
        extent_ = ~std::uint64_t{0};  // the table's place is not inside the file: never whole
      } else if (*size > 0) {
        extent_ = std::max<std::uint64_t>(extent_, std::uint64_t{*offset} + *size);
      }
    }
    extent_ = std::max<std::uint64_t>(extent_, header_size_);

    if (section_count > kMaxSections) return false;
    std::vector<unsigned char> table(section_count * kSectionHeaderSize);
    if (!reader_.Read(optional + optional_size, table.data(), table.size())) return false;
    for (std::uint32_t i = 0; i < section_count; ++i) {
      const unsigned char* s = table.data() + i * kSectionHeaderSize;
      sections_.push_back({U32(s + 12), U32(s + 16), U32(s + 20)});
      const Section& section = sections_.back();
      if (section.raw_size > 0) {
        extent_ =
            std::max<std::uint64_t>(extent_, std::uint64_t{section.raw_offset} + section.raw_size);
      }
    }
    return true;
  }

  // The bytes the headers, every section's raw data and the certificate table occupy.
  std::uint64_t extent() const { return extent_; }

  std::string ReadVersion() {
    if (resource_rva_ == 0) return {};
    // A resource directory inside the headers is addressed directly, as the loader does.
    const std::optional<std::uint64_t> root =
        resource_rva_ < header_size_ ? resource_rva_ : FileOffsetOf(resource_rva_);
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
  std::optional<std::uint64_t> FileOffsetOf(std::uint32_t rva) const {
    for (const Section& s : sections_) {
      if (s.virtual_address <= rva && rva - s.virtual_address < s.raw_size) {
        return std::uint64_t{s.raw_offset} + (rva - s.virtual_address);
      }
    }
    return std::nullopt;
  }

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
    const auto data = FileOffsetOf(U32(entry));
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

  BlockReader reader_;
  std::uint32_t header_size_ = 0;
  std::uint32_t resource_rva_ = 0;
  std::uint64_t root_ = 0;
  std::uint64_t extent_ = 0;
  std::vector<Section> sections_;
};

}  // namespace

std::string ReadPeFileVersion(RandomAccessFile& file) {
  PeImage image(file);
  if (!image.ReadHeaders()) return {};
  return image.ReadVersion();
}

std::optional<std::uint64_t> PeImageExtent(RandomAccessFile& file) {
  PeImage image(file);
  if (!image.ReadHeaders()) return std::nullopt;
  return image.extent();
}

}  // namespace launcher

#include "platform/pe_image_layout.h"

#include <algorithm>
#include <cstring>

namespace launcher {
namespace {

constexpr std::uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr std::uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint32_t kCertificateDirectoryIndex = 4;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint32_t kMaxSections = 1024;  // far above any real image; bounds what is read

// WIN_CERTIFICATE: its length (header included), revision and type, then the signature.
constexpr std::size_t kCertificateHeaderSize = 8;
constexpr std::uint16_t kCertificateRevision2 = 0x0200;
constexpr std::uint16_t kCertificateTypePkcs7 = 0x0002;
// Real signatures, nested ones and timestamps included, take some KiB; this bounds what a
// hostile table makes the launcher hold in memory.
constexpr std::uint32_t kMaxSignatureSize = 16u << 20;

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(U16(p)) | static_cast<std::uint32_t>(U16(p + 2)) << 16;
}

// The entry `index` of the data directory; nullopt when the header has no such entry. An entry
// that lies beyond the file's end reads as a place outside any file.
std::optional<PeDirectory> DirectoryAt(BlockReader& reader, std::uint64_t directories,
                                       std::uint32_t count, std::uint32_t index) {
  if (count <= index) return std::nullopt;
  const auto address = reader.U32At(directories + 8ull * index);
  const auto size = reader.U32At(directories + 8ull * index + 4);
  if (!address || !size) return PeDirectory{~0u, ~0u};
  return PeDirectory{*address, *size};
}

}  // namespace

bool BlockReader::Read(std::uint64_t offset, void* out, std::size_t length) {
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

std::optional<std::uint16_t> BlockReader::U16At(std::uint64_t offset) {
  unsigned char b[2];
  if (!Read(offset, b, sizeof b)) return std::nullopt;
  return U16(b);
}

std::optional<std::uint32_t> BlockReader::U32At(std::uint64_t offset) {
  unsigned char b[4];
  if (!Read(offset, b, sizeof b)) return std::nullopt;
  return U32(b);
}

void BlockReader::Load(std::uint64_t block) {
  cache_.resize(kBlockSize);
  cache_.resize(file_.ReadAt(block * kBlockSize, cache_.data(), kBlockSize));
  cached_block_ = block;
}

std::optional<std::uint64_t> PeLayout::FileOffsetOf(std::uint32_t rva) const {
  for (const PeSection& s : sections) {
    if (s.virtual_address <= rva && rva - s.virtual_address < s.raw_size) {
      return std::uint64_t{s.raw_offset} + (rva - s.virtual_address);
    }
  }
  return std::nullopt;
}

namespace {

// The headers up to the data directory, with where the section table lies.
struct PeHeaders {
  PeLayout layout;  // without its sections
  std::uint64_t section_table = 0;
  std::uint32_t section_count = 0;
};

// nullopt when the file is not a PE image this reader understands.
std::optional<PeHeaders> ReadPeHeaders(BlockReader& reader) {
  if (reader.U16At(0) != kDosMagic) return std::nullopt;
  const auto nt_offset = reader.U32At(0x3C);
  if (!nt_offset || *nt_offset > 0x7FFFFFFF || reader.U32At(*nt_offset) != kNtSignature) {
    return std::nullopt;
  }
  unsigned char file_header[20];
  if (!reader.Read(*nt_offset + 4, file_header, sizeof file_header)) return std::nullopt;
  PeHeaders headers;
  headers.section_count = U16(file_header + 2);
  const std::uint32_t optional_size = U16(file_header + 16);
  const std::uint64_t optional = *nt_offset + 24ull;
  headers.section_table = optional + optional_size;

  const auto magic = reader.U16At(optional);
  std::uint64_t count_offset, directories;
  if (magic == kPe32Magic) {
    count_offset = optional + 92;
    directories = optional + 96;
  } else if (magic == kPe32PlusMagic) {
    count_offset = optional + 108;
    directories = optional + 112;
  } else {
    return std::nullopt;
  }
  const auto header_size = reader.U32At(optional + 60);
  const auto directory_count = reader.U32At(count_offset);
  if (!header_size || !directory_count) return std::nullopt;
  PeLayout& layout = headers.layout;
  layout.header_size = *header_size;
  layout.certificates =
      DirectoryAt(reader, directories, *directory_count, kCertificateDirectoryIndex);
  layout.resources = DirectoryAt(reader, directories, *directory_count, kResourceDirectoryIndex);
  return headers;
}

}  // namespace

std::optional<PeLayout> ReadPeLayout(BlockReader& reader) {
  std::optional<PeHeaders> headers = ReadPeHeaders(reader);
  if (!headers || headers->section_count > kMaxSections) return std::nullopt;
  std::vector<unsigned char> table(headers->section_count * kSectionHeaderSize);
  if (!reader.Read(headers->section_table, table.data(), table.size())) return std::nullopt;
  for (std::uint32_t i = 0; i < headers->section_count; ++i) {
    const unsigned char* s = table.data() + i * kSectionHeaderSize;
    headers->layout.sections.push_back({U32(s + 12), U32(s + 16), U32(s + 20)});
  }
  return std::move(headers->layout);
}

std::optional<std::uint64_t> PeImageExtent(RandomAccessFile& file) {
  BlockReader reader(file);
  const std::optional<PeLayout> layout = ReadPeLayout(reader);
  if (!layout) return std::nullopt;
  std::uint64_t extent = layout->header_size;
  if (layout->certificates && layout->certificates->size > 0) {
    extent = std::max<std::uint64_t>(
        extent, std::uint64_t{layout->certificates->address} + layout->certificates->size);
  }
  for (const PeSection& section : layout->sections) {
    if (section.raw_size > 0) {
      extent =
          std::max<std::uint64_t>(extent, std::uint64_t{section.raw_offset} + section.raw_size);
    }
  }
  return extent;
}

// Only the headers up to the data directory count: damage further on (in the section table, say)
// does not make a signed file unsigned.
CertificateTable ReadCertificateTable(RandomAccessFile& file) {
  BlockReader reader(file);
  const std::optional<PeHeaders> headers = ReadPeHeaders(reader);
  CertificateTable table;
  if (!headers || !headers->layout.certificates) return table;
  const PeDirectory& place = *headers->layout.certificates;
  // A table of no bytes holds no signature; Windows reads it so too.
  if (place.size == 0) return table;

  table.state = CertificateTable::State::kUnreadable;
  unsigned char header[kCertificateHeaderSize];
  if (place.size < kCertificateHeaderSize ||
      !reader.Read(std::uint64_t{place.address}, header, sizeof header)) {
    table.problem = "the certificate table lies outside the file";
    return table;
  }
  const std::uint32_t length = U32(header);
  if (length < kCertificateHeaderSize || length > place.size) {
    table.problem = "the certificate table's first entry does not fit in the table";
    return table;
  }
  if (U16(header + 4) != kCertificateRevision2 || U16(header + 6) != kCertificateTypePkcs7) {
    table.problem = "the certificate table holds no PKCS#7 signature";
    return table;
  }
  if (length - kCertificateHeaderSize > kMaxSignatureSize) {
    table.problem = "the signature is larger than any real one";
    return table;
  }
  if (std::uint64_t{place.address} + length > reader.size()) {
    table.problem = "the certificate table lies outside the file";
    return table;
  }
  std::vector<unsigned char> signature(length - kCertificateHeaderSize);
  if (!reader.Read(std::uint64_t{place.address} + kCertificateHeaderSize, signature.data(),
                   signature.size())) {
    table.problem = "the certificate table lies outside the file";
    return table;
  }
  table.state = CertificateTable::State::kPresent;
  table.signature = std::move(signature);
  return table;
}

}  // namespace launcher

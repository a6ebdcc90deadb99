#include "core/pe/pe_image_layout.h"

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
constexpr std::uint16_t kCertificateRevision1 = 0x0100;
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

// Whether a WIN_CERTIFICATE of either revision starts at `offset` and fits before `end`.
bool EntryAt(BlockReader& reader, std::uint64_t offset, std::uint64_t end) {
  unsigned char header[kCertificateHeaderSize];
  if (!reader.Read(offset, header, sizeof header)) return false;
  const std::uint32_t length = U32(header);
  const std::uint16_t revision = U16(header + 4);
  return length >= kCertificateHeaderSize && length <= end - offset &&
         (revision == kCertificateRevision1 || revision == kCertificateRevision2);
}

// The size of the DER value that `der` starts with, its tag and length included; nullopt when
// its length is not in DER's definite form, or runs past `der`.
std::optional<std::uint64_t> DerValueSize(const std::vector<unsigned char>& der) {
  if (der.size() < 2) return std::nullopt;
  std::uint64_t header = 2, length = der[1];
  if (length & 0x80) {
    const std::size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 4 || der.size() < 2 + bytes) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < bytes; ++i) length = length << 8 | der[2 + i];
    header += bytes;
  }
  if (length > der.size() - header) return std::nullopt;
  return header + length;
}

std::string BytesFollow(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " byte follows" : " bytes follow");
}

// What the table at `place`, whose first entry is `length` bytes long and holds `signature`, and
// the file after it hold beside that signature; empty when nothing. Nothing may ride along with a
// signature: the file's digest leaves the table out, so whatever else is in it is unsigned, and
// verifiers differ on what a table that does not end the file covers.
std::string ExcessBeside(BlockReader& reader, const PeDirectory& place, std::uint32_t length,
                         const std::vector<unsigned char>& signature) {
  const std::string rule = "the certificate table must hold its signature alone and end the file: ";
  // Entries are aligned on 8 bytes; that padding is all the room the table may have after one.
  const std::uint64_t entry_end = (std::uint64_t{length} + 7) / 8 * 8;
  const std::uint64_t table_end = std::uint64_t{place.address} + place.size;
  if (place.size < entry_end) return rule + "the table ends inside its entry's padding";
  if (place.size > entry_end) {
    if (EntryAt(reader, place.address + entry_end, table_end)) {
      return rule + "a second entry follows the signature's";
    }
    return rule + BytesFollow(place.size - entry_end) + " the signature's entry in the table";
  }
  const std::optional<std::uint64_t> der = DerValueSize(signature);
  if (!der) return rule + "the signature is not one DER value";
  const std::uint64_t padding = entry_end - kCertificateHeaderSize - *der;
  if (padding >= 8) return rule + BytesFollow(padding) + " the signature inside its entry";
  unsigned char bytes[8] = {};
  const std::uint64_t padding_start = place.address + kCertificateHeaderSize + *der;
  if (!reader.Read(padding_start, bytes, static_cast<std::size_t>(padding)) ||
      std::any_of(bytes, bytes + padding, [](unsigned char b) { return b != 0; })) {
    return rule + "the padding after the signature is not zero";
  }
  if (table_end < reader.size()) {
    return rule + BytesFollow(reader.size() - table_end) + " the table";
  }
  return {};
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
  if (std::uint64_t{place.address} + place.size > reader.size()) {
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
  table.excess = ExcessBeside(reader, place, length, signature);
  table.signature = std::move(signature);
  return table;
}

}  // namespace launcher

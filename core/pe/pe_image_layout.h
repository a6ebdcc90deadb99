#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/pe/random_access_file.h"

// Where a PE file's parts lie, read from its headers as the system loader reads them for a file
// mapped as data. Every offset is checked against the file, so a damaged or hostile file can
// never make a reader go outside it.

namespace launcher {

// Reads through a one-block cache: the structures read from headers are small and close together.
class BlockReader {
 public:
  explicit BlockReader(RandomAccessFile& file) : file_(file), size_(file.Size()) {}

  std::uint64_t size() const { return size_; }

  // False when [offset, offset + length) is not wholly inside the file.
  bool Read(std::uint64_t offset, void* out, std::size_t length);
  std::optional<std::uint16_t> U16At(std::uint64_t offset);
  std::optional<std::uint32_t> U32At(std::uint64_t offset);

 private:
  static constexpr std::size_t kBlockSize = 4096;

  void Load(std::uint64_t block);

  RandomAccessFile& file_;
  std::uint64_t size_;
  std::uint64_t cached_block_ = ~std::uint64_t{0};
  std::vector<unsigned char> cache_;
};

struct PeSection {
  std::uint32_t virtual_address;
  std::uint32_t raw_size;
  std::uint32_t raw_offset;
};

// An entry of the optional header's data directory. For the certificate table `address` is a
// file offset; for every other entry it is an RVA.
struct PeDirectory {
  std::uint32_t address = 0;
  std::uint32_t size = 0;
};

struct PeLayout {
  std::uint32_t header_size = 0;
  std::optional<PeDirectory> resources;     // nullopt when the header has no such entry
  std::optional<PeDirectory> certificates;  // idem
  std::vector<PeSection> sections;

  // The file offset of `rva` through the section table; nullopt when no section's raw data
  // hold it.
  std::optional<std::uint64_t> FileOffsetOf(std::uint32_t rva) const;
};

// The layout of the file's headers; nullopt when the file is not a PE image this reader
// understands. Throws the ServiceError of a failed read.
std::optional<PeLayout> ReadPeLayout(BlockReader& reader);

// The size in bytes that a whole image with these headers needs: the end of the headers, of every
// section's raw data and of the certificate table, whichever is last. A file shorter than that
// was cut (or is still being written). nullopt when the file is not a PE image this reader
// understands. Throws the ServiceError of a failed read.
std::optional<std::uint64_t> PeImageExtent(RandomAccessFile& file);

// What a PE file's certificate table (the security directory) holds. A table whose place the
// header gives is there, whether or not it can be read: a file that has one is signed.
struct CertificateTable {
  enum class State {
    kAbsent,      // no table: not a PE image, or the header gives no place for one
    kPresent,     // `signature` holds the first entry's PKCS#7 SignedData
    kUnreadable,  // a table is there, but `problem` says why its signature cannot be taken
  };
  State state = State::kAbsent;
  std::vector<unsigned char> signature;
  std::string problem;
  // kPresent: what else the table or the file holds beside the signature, in words (then the
  // signature cannot be accepted, though its signer can be read); empty when nothing does.
  std::string excess;
};

// Reads the certificate table's first entry, which is where Authenticode keeps the signature.
// The table must hold that entry alone, its signature one DER value followed by less than 8 bytes
// of zeros, and end the file; anything else is `excess`, found from sizes and at most 8 bytes
// read beyond the entry. Throws the ServiceError of a failed read.
CertificateTable ReadCertificateTable(RandomAccessFile& file);

}  // namespace launcher

#include "core/pe/pe_image_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "tests/memory_file.h"
#include "tests/pe_fixture.h"

namespace launcher {
namespace {

std::optional<std::uint64_t> ExtentOf(std::string bytes) {
  MemoryFile file(std::move(bytes));
  return PeImageExtent(file);
}

// Sets the section count of the file header.
std::string WithSectionCount(std::string image, std::uint16_t count) {
  std::uint32_t nt = 0;
  std::memcpy(&nt, image.data() + 0x3C, 4);
  std::memcpy(image.data() + nt + 6, &count, 2);
  return image;
}

TEST(PeImageExtent, CoversEverySectionAndTheCertificateTable) {
  // The stripped images end with their last section; the 64-bit one carries symbols after it.
  for (const char* name : {"managed_1_0_0_7", "managed_no_version", "image64_1_0_0_7"}) {
    SCOPED_TRACE(name);
    const std::string image = Fixture(name);
    const std::uint64_t extent = ExtentOf(image).value_or(0);
    EXPECT_GT(extent, 1024u);
    EXPECT_LE(extent, image.size());
    if (name[0] == 'm') {
      EXPECT_EQ(extent, image.size());
    }
    EXPECT_EQ(ExtentOf(image + "overlay"), extent);
    EXPECT_EQ(ExtentOf(image.substr(0, extent - 1)), extent) << "a cut file needs what it lacks";
  }
  const std::string image = Fixture("managed_1_0_0_7");
  const auto size = static_cast<std::uint32_t>(image.size());
  const std::string signed_image = WithCertificateTable(image, size, 1000) + std::string(1000, 'c');
  EXPECT_EQ(ExtentOf(signed_image), image.size() + 1000);
  EXPECT_EQ(ExtentOf(signed_image.substr(0, image.size() + 999)), image.size() + 1000);
  EXPECT_EQ(ExtentOf("MZ not a PE image"), std::nullopt);
}

// `head`, then `junk` bytes that no memory holds; counts the bytes read.
struct HeadThenJunk : RandomAccessFile {
  HeadThenJunk(const std::string& head, std::uint64_t junk) : head(head), junk(junk) {}
  std::uint64_t Size() const override { return head.size() + junk; }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    auto* out = static_cast<char*>(buffer);
    std::size_t n = 0;
    for (; n < length && offset + n < Size(); ++n) {
      out[n] = offset + n < head.size() ? head[offset + n] : 'j';
    }
    bytes_read += n;
    return n;
  }
  const std::string& head;
  std::uint64_t junk;
  std::uint64_t bytes_read = 0;
};

TEST(ReadCertificateTable, APlaceForATableMeansSignedEvenWhenItCannotBeRead) {
  using State = CertificateTable::State;
  const std::string image = Fixture("managed_1_0_0_7");
  const auto end = static_cast<std::uint32_t>(image.size());
  const std::string der = {0x30, 0x03, 'a', 'b', 'c'};
  const std::string sound = CertificateEntry(8 + 5, 0x0200, 2, der) + std::string(3, '\0');
  constexpr std::uint32_t k300MiB = 300u << 20;
  const struct {
    const char* name;
    std::string bytes;
    State expected;
    const char* excess = nullptr;  // what rides along with the signature
    std::uint64_t junk = 0;        // bytes after `bytes`, never held
  } cases[] = {
      {"no table", image, State::kAbsent},
      {"not a PE image", "MZ not a PE image", State::kAbsent},
      {"a sound entry", WithCertificateTable(image, end, 16) + sound, State::kPresent},
      {"cut inside the table", WithCertificateTable(image, end, 16) + sound.substr(0, 10),
       State::kUnreadable},
      {"cut in the padding", WithCertificateTable(image, end, 16) + sound.substr(0, 13),
       State::kUnreadable},
      {"a table too short for its header", WithCertificateTable(image, end, 4) + "abcd",
       State::kUnreadable},
      {"an entry longer than the table",
       WithCertificateTable(image, end, 16) + CertificateEntry(17, 0x0200, 2, der + "...") + "\0",
       State::kUnreadable},
      {"an entry of another type",
       WithCertificateTable(image, end, 16) + CertificateEntry(13, 0x0200, 1, der) + "\0\0\0",
       State::kUnreadable},
      {"a place with no size", WithCertificateTable(image, end, 0) + sound, State::kAbsent},
      {"a table, then a section table past the end",
       WithSectionCount(WithCertificateTable(image, end, 16), 0xFFFF) + sound, State::kPresent},
      {"a size with no place", WithCertificateTable(image, 0, 16) + sound, State::kUnreadable},
      {"a second entry after the signature's", WithCertificateTable(image, end, 32) + sound + sound,
       State::kPresent, "a second entry follows the signature's"},
      {"junk after the entry in the table",
       WithCertificateTable(image, end, 24) + sound + "junkjunk", State::kPresent,
       "8 bytes follow the signature's entry in the table"},
      {"the table grown over 300 MiB of junk, none of it read",
       WithCertificateTable(image, end, 16 + k300MiB) + sound, State::kPresent,
       "314572800 bytes follow the signature's entry in the table", k300MiB},
      {"junk inside the entry",
       WithCertificateTable(image, end, 24) + CertificateEntry(21, 0x0200, 2, der + "junkjunk") +
           std::string(3, '\0'),
       State::kPresent, "11 bytes follow the signature inside its entry"},
      {"padding that is not zero",
       WithCertificateTable(image, end, 16) + CertificateEntry(13, 0x0200, 2, der) +
           std::string("\0\0j", 3),
       State::kPresent, "the padding after the signature is not zero"},
      {"a table that ends inside its entry's padding",
       WithCertificateTable(image, end, 13) + CertificateEntry(13, 0x0200, 2, der), State::kPresent,
       "the table ends inside its entry's padding"},
      {"a signature that is not one DER value",
       WithCertificateTable(image, end, 16) + CertificateEntry(13, 0x0200, 2, "pkcs7") +
           std::string(3, '\0'),
       State::kPresent, "the signature is not one DER value"},
      {"data after the table", WithCertificateTable(image, end, 16) + sound + "tail",
       State::kPresent, "4 bytes follow the table"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HeadThenJunk file(c.bytes, c.junk);
    const CertificateTable table = ReadCertificateTable(file);
    EXPECT_EQ(table.state, c.expected);
    EXPECT_EQ(table.problem.empty(), c.expected != State::kUnreadable);
    if (c.excess == nullptr) {
      EXPECT_EQ(table.excess, "");
      if (c.expected == State::kPresent) {
        EXPECT_EQ(std::string(table.signature.begin(), table.signature.end()), der);
      }
    } else {
      EXPECT_EQ(table.excess,
                std::string("the certificate table must hold its signature alone and end the "
                            "file: ") +
                    c.excess);
    }
    EXPECT_LE(file.bytes_read, c.bytes.size() + 4096);
  }
}

}  // namespace
}  // namespace launcher

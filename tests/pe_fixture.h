#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace launcher {

// The bytes of the PE fixture `name` (FIXTURE_DIR/name.exe, built with mingw-w64).
inline std::string Fixture(const std::string& name) {
  std::ifstream in(std::string(FIXTURE_DIR) + "/" + name + ".exe", std::ios::binary);
  EXPECT_TRUE(in) << "missing fixture " << name;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Points the certificate table of a 32-bit image at `offset`, `size` bytes long.
inline std::string WithCertificateTable(std::string image, std::uint32_t offset,
                                        std::uint32_t size) {
  const auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, image.data() + at, 4);
    return v;
  };
  const std::size_t entry = u32(0x3C) + 24 + 96 + 8 * 4;
  std::memcpy(image.data() + entry, &offset, 4);
  std::memcpy(image.data() + entry + 4, &size, 4);
  return image;
}

// A certificate table entry of `length` bytes with its header, holding `signature`.
inline std::string CertificateEntry(std::uint32_t length, std::uint16_t revision,
                                    std::uint16_t type, const std::string& signature) {
  std::string entry(8, '\0');
  std::memcpy(entry.data(), &length, 4);
  std::memcpy(entry.data() + 4, &revision, 2);
  std::memcpy(entry.data() + 6, &type, 2);
  return entry + signature;
}

// The fixture `name` signed with `signature` (the DER a system would decode) in a certificate
// table of one entry after its last section.
inline std::string SignedFixture(const std::string& name, const std::string& signature) {
  const std::string image = Fixture(name);
  const auto length = static_cast<std::uint32_t>(8 + signature.size());
  const std::string padding((8 - length % 8) % 8, '\0');
  return WithCertificateTable(image, static_cast<std::uint32_t>(image.size()),
                              length + static_cast<std::uint32_t>(padding.size())) +
         CertificateEntry(length, 0x0200, 2, signature) + padding;
}

}  // namespace launcher

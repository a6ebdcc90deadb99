#include "core/pe/icon_file.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace launcher {
namespace {

using Bytes = std::vector<unsigned char>;

void Put(Bytes& b, std::size_t at, std::uint32_t value, int size) {
  if (b.size() < at + size) b.resize(at + size);
  for (int i = 0; i < size; ++i) b[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// An icon directory of one image of `image_size` bytes at `offset`, the image a bitmap.
Bytes OneImageIcon(std::uint32_t image_size = 40 + 1024 + 64, std::uint32_t offset = 22) {
  Bytes b;
  Put(b, 0, 0, 2);
  Put(b, 2, 1, 2);
  Put(b, 4, 1, 2);
  b[6] = 16;
  b[7] = 16;
  Put(b, 12, 8, 2);
  Put(b, 14, image_size, 4);
  Put(b, 18, offset, 4);
  Put(b, 22, 40, 4);
  b.resize(22 + 40 + 1024 + 64);
  return b;
}

// The well-formed icon with the byte at `at` set to `value`.
Bytes IconWithByte(std::size_t at, unsigned char value) {
  Bytes b = OneImageIcon();
  b[at] = value;
  return b;
}

// The well-formed icon cut to its first `size` bytes.
Bytes IconCutTo(std::size_t size) {
  Bytes b = OneImageIcon();
  b.resize(size);
  return b;
}

TEST(IconFileProblem, AcceptsBitmapAndPngImages) {
  EXPECT_EQ(IconFileProblem(OneImageIcon()), "");
  Bytes png = OneImageIcon();
  const unsigned char signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::copy(std::begin(signature), std::end(signature), png.begin() + 22);
  EXPECT_EQ(IconFileProblem(png), "");
}

TEST(IconFileProblem, NamesWhatIsWrong) {
  const struct {
    const char* name;
    Bytes bytes;
    const char* problem;
  } cases[] = {
      {"empty", {}, "too short for an icon file"},
      {"cursor", IconWithByte(2, 2), "not an icon file"},
      {"reserved", IconWithByte(0, 1), "not an icon file"},
      {"no images", IconWithByte(4, 0), "icon file holds no image"},
      {"directory cut", IconCutTo(20), "icon directory is truncated"},
      {"many entries", IconWithByte(4, 200), "icon directory is truncated"},
      {"image beyond end", OneImageIcon(5000), "icon image 1 lies outside the file"},
      {"offset beyond end", OneImageIcon(100, 0xFFFFFFF0u), "icon image 1 lies outside the file"},
      {"not a bitmap", IconWithByte(22, 12), "icon image 1 is neither a bitmap nor a PNG"},
      {"text", Bytes{'h', 'e', 'l', 'l', 'o', '\n', 'w'}, "not an icon file"},
  };
  for (const auto& c : cases) EXPECT_EQ(IconFileProblem(c.bytes), c.problem) << c.name;
}

}  // namespace
}  // namespace launcher

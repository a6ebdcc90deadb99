#pragma once

#include <gtest/gtest.h>

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

}  // namespace launcher

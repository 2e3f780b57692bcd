#pragma once

// A fresh folder per test, removed with everything in it when the test ends.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quarvel-platform-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
  }

  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }

  // Writes `contents` byte for byte to `name` inside the folder; returns the full path.
  std::string WriteFile(const std::string& name, const std::string& contents) const {
    const fs::path path = m_dir / name;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << contents;
    return path.string();
  }

  fs::path m_dir;
};

#pragma once

// Every test runs in a fresh folder of its own, with a private XDG_RUNTIME_DIR, so tests
// running in parallel processes see neither each other's logs nor each other's windows.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_home = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "quarvel-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
    m_runtime = m_dir / "run";
    ASSERT_EQ(mkdir(m_runtime.c_str(), 0700), 0);
    ASSERT_EQ(setenv("XDG_RUNTIME_DIR", m_runtime.c_str(), 1), 0);
    ASSERT_EQ(chdir(m_dir.c_str()), 0);
    umask(022);
  }

  void TearDown() override {
    if (chdir(m_home.c_str()) != 0) ADD_FAILURE() << "cannot return to " << m_home;
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }

  static std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  fs::path m_home;
  fs::path m_dir;
  fs::path m_runtime;
};

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
        std::string runtime = (fs::temp_directory_path() / "quarvel-run-XXXXXX").string();
        ASSERT_NE(mkdtemp(runtime.data()),
                  nullptr);  // mode 0700, beside the folder so listings see only the test's files
        m_runtime = runtime;
        ASSERT_EQ(setenv("XDG_RUNTIME_DIR", m_runtime.c_str(), 1), 0);
        ASSERT_EQ(chdir(m_dir.c_str()), 0);
        umask(022);
    }

    void TearDown() override {
        if (chdir(m_home.c_str()) != 0) ADD_FAILURE() << "cannot return to " << m_home;
        std::error_code ignored;
        fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add, ignored);  // a test may have locked it
        fs::remove_all(m_dir, ignored);
        fs::remove_all(m_runtime, ignored);
    }

    // Writes `contents` byte for byte to `name` inside the folder; returns the full path.
    std::string WriteFile(const std::string& name, const std::string& contents) const {
        const fs::path path = m_dir / name;
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        out << contents;
        return path.string();
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

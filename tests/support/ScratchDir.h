#pragma once

// Temporary folders for tests: ScratchDir makes one and removes it again, and with
// ScratchDirTest every test runs in a fresh folder of its own, with a private
// XDG_RUNTIME_DIR, so tests running in parallel processes see neither each other's logs
// nor each other's windows.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

// A fresh folder "<prefix>-XXXXXX" of mode 0700 in the temporary folder ($TMPDIR, else
// /tmp), removed with everything in it when the object goes. Made() is false when it
// could not be made.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix) {
        std::error_code error;
        fs::path base = fs::temp_directory_path(error);
        if (error) base = "/tmp";
        std::string pattern = (base / (prefix + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~ScratchDir() {
        if (m_path.empty()) return;
        std::error_code ignored;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);  // a test may have locked it
        fs::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool Made() const { return !m_path.empty(); }
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

// Sets the time zone (TZ) while it lives, and the one before again when it goes.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        if (const char* old = std::getenv("TZ")) m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (m_old)
            setenv("TZ", m_old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    std::optional<std::string> m_old;
};

class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_home = fs::current_path();
        ASSERT_TRUE(m_folder.emplace("quarvel-test").Made());
        m_dir = m_folder->Path();
        // Beside the folder, so that listings of it see only the test's files.
        ASSERT_TRUE(m_runtimeFolder.emplace("quarvel-run").Made());
        m_runtime = m_runtimeFolder->Path();
        ASSERT_EQ(setenv("XDG_RUNTIME_DIR", m_runtime.c_str(), 1), 0);
        ASSERT_EQ(chdir(m_dir.c_str()), 0);
        umask(022);
    }

    void TearDown() override {
        if (chdir(m_home.c_str()) != 0) ADD_FAILURE() << "cannot return to " << m_home;
        m_folder.reset();
        m_runtimeFolder.reset();
    }

    // Writes `contents` byte for byte to `name` inside the folder; returns the full path.
    std::string WriteFile(const std::string& name, const std::string& contents) const {
        const fs::path path = m_dir / name;
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        out << contents;
        return path.string();
    }

    // Runs `check` as a user without privileges meets it. Permissions do not stop root, so
    // a test running as root runs it in a child process as the user nobody (65534), with
    // the test's folders handed over to that user; any other user runs it right here.
    // The child's failures are printed as they happen and fail the test.
    void AsUnprivilegedUser(const std::function<void()>& check) const {
        if (geteuid() != 0) {
            check();
            return;
        }
        constexpr uid_t kNobody = 65534;
        for (const fs::path& folder : {m_dir, m_runtime}) {
            ASSERT_EQ(lchown(folder.c_str(), kNobody, kNobody), 0) << folder;
            for (const auto& entry : fs::recursive_directory_iterator(folder))
                ASSERT_EQ(lchown(entry.path().c_str(), kNobody, kNobody), 0) << entry.path();
        }
        std::fflush(nullptr);  // nothing buffered is printed twice
        const pid_t child = fork();
        ASSERT_GE(child, 0) << "fork: " << std::strerror(errno);
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                setresuid(kNobody, kNobody, kNobody) != 0) {
                std::fprintf(stderr, "cannot become user nobody: %s\n", std::strerror(errno));
                _exit(2);
            }
            if (access(m_dir.c_str(), R_OK | W_OK | X_OK) != 0)
                ADD_FAILURE() << "user nobody cannot use " << m_dir << ": TMPDIR must be a folder everyone may enter";
            else
                check();
            std::fflush(nullptr);
            _exit(testing::Test::HasFailure() ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "the check as user nobody failed (wait status " << status << "); its messages are above";
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

private:
    std::optional<ScratchDir> m_folder;
    std::optional<ScratchDir> m_runtimeFolder;
};

// A test in a scratch folder and in UTC: line time stamps are then the stored time less 28800 s.
class UtcTest : public ScratchDirTest {
    ZoneScope m_zone{"UTC"};
};

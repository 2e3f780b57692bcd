// The rolling log file: line layout, appending across runs, cutting, rollover and the
// folders it cannot use.

#include "ScratchDir.h"
#include "logging/LineLayout.h"
#include "logging/Logging.h"

#include <gtest/gtest.h>
#include <log4cpp/PatternLayout.hh>

#include <iterator>
#include <regex>
#include <set>
#include <vector>

#include <fcntl.h>

using namespace quarvel;

namespace {

const fs::path kLogFile = "Logs/Quarvel.log";
constexpr size_t kMaxFileSize = 5 * 1024 * 1024;

class LoggingTest : public ScratchDirTest {
protected:
    void TearDown() override {
        ShutdownLogging();
        ScratchDirTest::TearDown();
    }

    // The messages of the log's lines; fails the test on a line of another layout.
    static std::vector<std::string> Messages(const std::string& text) {
        static const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}: INFO  : (.*))");
        std::vector<std::string> messages;
        std::istringstream in(text);
        std::string current;
        std::smatch match;
        while (std::getline(in, current)) {
            if (std::regex_match(current, match, line)) {
                messages.push_back(match[1]);
            } else {
                ADD_FAILURE() << "malformed log line: " << current.substr(0, 120);
            }
        }
        return messages;
    }

    static std::vector<std::string> LogMessages() { return Messages(ReadFile(kLogFile)); }
};

TEST_F(LoggingTest, WritesInfoLinesWithTheFixedLayoutAndKeepsPercentSigns) {
    InitLogging();
    LogMessage("Quarvel Start");
    LogMessage("%s", "node_1/Log/TAG%d$X.DAT");
    LogMessage("%d files in %s", 3, "C:%s");
    LogMessage("%s", "");
    ShutdownLogging();

    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{"Quarvel Start", "node_1/Log/TAG%d$X.DAT", "3 files in C:%s", ""}));
    struct stat st {};
    ASSERT_EQ(stat(kLogFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_TRUE(fs::is_directory("Logs"));
}

// The lines are those of the library's own layout of the same pattern, byte for byte.
TEST(LineLayoutTest, WritesWhatThePatternLayoutWrites) {
    log4cpp::PatternLayout pattern;
    pattern.setConversionPattern("%d: %p %c %x: %m%n");
    LineLayout layout;
    struct Case {
        unsigned int seconds;
        unsigned int microseconds;
        const char* category;
        const char* ndc;
        int priority;
        const char* message;
    };
    for (const Case& c : {Case{0, 0, "", "", log4cpp::Priority::INFO, "Quarvel Start"},
                          Case{1765201264, 227999, "", "", log4cpp::Priority::INFO, "100% of %s \xE4\xB8\xAD"},
                          Case{1765201264, 5000, "sub", "job 1", log4cpp::Priority::ERROR, ""},
                          Case{2000000000, 999999, "a.b", "", log4cpp::Priority::NOTSET, "line\nbreak"}}) {
        log4cpp::LoggingEvent event(c.category, c.message, c.ndc, c.priority);
        event.timeStamp = log4cpp::TimeStamp(c.seconds, c.microseconds);
        EXPECT_EQ(layout.format(event), pattern.format(event)) << c.seconds << " " << c.message;
    }
}

TEST_F(LoggingTest, AppendsToEarlierRuns) {
    fs::create_directory("Logs");
    std::ofstream(kLogFile) << "2000-01-01 00:00:00,000: INFO  : earlier run\n";

    for (int run = 0; run < 2; ++run) {
        InitLogging();
        LogMessage("Quarvel Start");
        LogMessage("run %d", run);
        LogMessage("Quarvel Exit");
        ShutdownLogging();
    }
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"earlier run", "Quarvel Start", "run 0", "Quarvel Exit",
                                                       "Quarvel Start", "run 1", "Quarvel Exit"}));
}

TEST_F(LoggingTest, CutsTextAt2047Bytes) {
    const std::vector<size_t> lengths = {2046, 2047, 2048, 5000};
    InitLogging();
    std::vector<std::string> sent;
    for (size_t length : lengths) {
        std::string text;
        for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
        sent.push_back(text);
        LogMessage("%s", text.c_str());
    }
    ShutdownLogging();

    auto logged = LogMessages();
    ASSERT_EQ(logged.size(), lengths.size());
    for (size_t i = 0; i < lengths.size(); ++i) {
        SCOPED_TRACE(lengths[i]);
        EXPECT_EQ(logged[i], sent[i].substr(0, 2047));
    }
}

// Where no log can be written the program goes on silently: no crash, no message, no
// file in its way.
TEST_F(LoggingTest, RunsOnWithoutALogWhenLogsIsAPlainFile) {
    std::ofstream("Logs") << "not a folder";
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    InitLogging();
    for (int i = 0; i < 100; ++i) LogMessage("line %d", i);
    ShutdownLogging();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    EXPECT_EQ(ReadFile("Logs"), "not a folder");
    EXPECT_EQ(EnsureLogFolder(), 1);  // something of that name exists
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);  // Logs alone
}

TEST_F(LoggingTest, RunsOnWithoutALogWhenTheCurrentFolderIsGone) {
    // A removed current folder refuses new entries even to root, unlike a read-only one.
    fs::create_directory("gone");
    ASSERT_EQ(chdir("gone"), 0);
    ASSERT_EQ(rmdir((m_dir / "gone").c_str()), 0);

    EXPECT_EQ(EnsureLogFolder(), 0);
    testing::internal::CaptureStderr();
    InitLogging();
    LogMessage("Quarvel Start");
    ShutdownLogging();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(fs::exists(m_dir / "gone"));
}

TEST_F(LoggingTest, RunsOnWithoutALogInAReadOnlyFolder) {
    AsUnprivilegedUser([this] {
        ASSERT_EQ(chmod(m_dir.c_str(), 0555), 0);
        EXPECT_EQ(EnsureLogFolder(), 0);
        InitLogging();
        LogMessage("Quarvel Start");
        ShutdownLogging();
        EXPECT_FALSE(fs::exists("Logs"));
        chmod(m_dir.c_str(), 0755);
    });
}

// 22 files' worth of lines: the current file and 20 backups remain, each backup rolled
// at the limit, and together they hold the newest lines without a gap.
TEST_F(LoggingTest, RollsOverAt5MiBAndKeeps20Backups) {
    InitLogging();
    const std::string filler(2000, 'r');
    const int lines = static_cast<int>(22 * kMaxFileSize / 2048);
    for (int i = 0; i < lines; ++i) LogMessage("seq=%08d %s", i, filler.c_str());

    // The log stays out of child processes, after rollovers too.
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        fs::path target = fs::read_symlink(entry.path(), error);
        if (error || target != fs::absolute(kLogFile)) continue;
        int fd = std::stoi(entry.path().filename().string());
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    }
    ShutdownLogging();

    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator("Logs")) files.push_back(entry.path());
    ASSERT_EQ(files.size(), 21u);

    std::set<int> seen;
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        const auto size = fs::file_size(file);
        if (file == kLogFile) {
            EXPECT_LT(size, kMaxFileSize);
        } else {
            EXPECT_GE(size, kMaxFileSize);
            EXPECT_LT(size, kMaxFileSize + 2100);
        }
        for (const auto& message : Messages(ReadFile(file))) {
            ASSERT_EQ(message.rfind("seq=", 0), 0u);
            EXPECT_TRUE(seen.insert(std::stoi(message.substr(4, 8))).second);
        }
    }
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(*seen.rbegin(), lines - 1);
    EXPECT_EQ(static_cast<size_t>(*seen.rbegin() - *seen.begin() + 1), seen.size());
    EXPECT_GT(*seen.begin(), 0);  // the oldest lines were dropped
}

// Lines another process adds to the same file count towards the limit too.
TEST_F(LoggingTest, RollsOverAfterAnotherWriterFilledTheFile) {
    InitLogging();
    LogMessage("ours");
    std::ofstream(kLogFile, std::ios::app) << std::string(kMaxFileSize, 'o');
    for (int i = 0; i < 64 && !fs::exists("Logs/Quarvel.log.01"); ++i) LogMessage("line %d", i);
    EXPECT_TRUE(fs::exists("Logs/Quarvel.log.01"));
    EXPECT_LT(fs::file_size(kLogFile), 4096u);
}

}  // namespace

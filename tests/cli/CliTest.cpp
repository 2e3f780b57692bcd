// quarvel-cli as an operator or a script runs it: the real binary as a child process,
// real node folders, and a real InfluxDB server where posts must land.

#include "ChildProcess.h"
#include "FreePort.h"
#include "InfluxServer.h"
#include "Samples.h"
#include "ScratchDir.h"
#include "influx/LogSample.h"
#include "sample/SampleNode.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <numeric>
#include <sstream>
#include <vector>

using namespace quarvel;

extern char** environ;

namespace {

using testsupport::Contains;
using testsupport::CountPoints;
using testsupport::RunCli;
using testsupport::RunResult;
using testsupport::SampleAround;
using testsupport::SelectAll;
using testsupport::SummaryNumber;
using testsupport::UnreachableUrl;
using testsupport::WriteDat;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// What stands on standard error before the summary.
std::vector<std::string> ProgressLines(const std::string& err) {
    std::vector<std::string> lines;
    for (const std::string& line : Lines(err)) {
        if (line.rfind("Database:", 0) == 0) break;
        lines.push_back(line);
    }
    return lines;
}

// The names of the files converted, in the order the progress lines show them.
std::vector<std::string> FileNameLines(const std::vector<std::string>& progress) {
    std::vector<std::string> names;
    for (const std::string& line : progress)
        if (line.size() > 4 && line.ends_with(".DAT") && !Contains(line, "/")) names.push_back(line);
    return names;
}

int KindOf(const std::string& fileName) {
    const char letter = fileName[fileName.size() - 5];  // before ".DAT"
    for (int kind = 0; kind < kTableKindCount; ++kind)
        if (kKindLetter[kind] == letter) return kind;
    return -1;
}

uint64_t RecordsIn(const fs::path& file) {
    return fs::file_size(file) / (KindOf(file.filename().string()) == kRaw ? kRawSampleSize : kSummarySampleSize);
}

// Records of the data-log files in the folder's sub-folders, by kind.
std::array<uint64_t, kTableKindCount> RecordsByKind(const fs::path& folder) {
    std::array<uint64_t, kTableKindCount> counts{};
    for (const auto& group : fs::directory_iterator(folder)) {
        if (!group.is_directory()) continue;  // the node's table files lie beside the groups
        for (const auto& file : fs::directory_iterator(group.path()))
            if (const int kind = KindOf(file.path().filename().string()); kind >= 0) counts[kind] += RecordsIn(file);
    }
    return counts;
}

struct Sample {
    fs::path node;
    fs::path log;
    SampleNodeResult made;
    std::array<uint64_t, kTableKindCount> byKind{};
    uint64_t total = 0;
};

Sample MakeSample(const fs::path& node) {
    SampleNodeOptions options;
    options.tags = 2;
    options.days = 1;
    Sample sample;
    sample.node = node;
    sample.log = node / "Log";
    std::string error;
    EXPECT_TRUE(MakeSampleNode(node.string(), options, sample.made, error)) << error;
    sample.byKind = RecordsByKind(sample.log);
    sample.total = std::accumulate(sample.byKind.begin(), sample.byKind.end(), uint64_t{0});
    EXPECT_EQ(sample.byKind[kRaw], sample.made.rawRecords);
    EXPECT_EQ(sample.total, sample.made.rawRecords + sample.made.summaryRecords);
    return sample;
}

// The messages of Logs/Quarvel.log in the current folder, without date and priority.
std::vector<std::string> LoggedMessages() {
    std::vector<std::string> messages;
    std::ifstream log(fs::path("Logs") / "Quarvel.log");
    for (std::string line; std::getline(log, line);) {
        const size_t at = line.find(": INFO  : ");
        messages.push_back(at == std::string::npos ? line : line.substr(at + 10));
    }
    return messages;
}

struct TerminalRun {
    int status = -1;
    std::string shown;
};

// Runs the binary with its standard error on a terminal `columns` wide (standard output
// discarded) and returns what the terminal was sent.
TerminalRun RunOnTerminal(const std::vector<std::string>& arguments, unsigned short columns = 80) {
    TerminalRun run;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(master, 0);
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const winsize size{24, columns, 0, 0};
    EXPECT_EQ(ioctl(terminal, TIOCSWINSZ, &size), 0);
    const int nothing = open("/dev/null", O_WRONLY | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, nothing, 1);
    posix_spawn_file_actions_adddup2(&actions, terminal, 2);
    std::vector<std::string> copies = arguments;
    std::string path = QUARVEL_CLI;
    std::vector<char*> argv{path.data()};
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(terminal);
    close(nothing);
    // The master reads EIO once the child has closed its side.
    for (pollfd ready{master, POLLIN, 0}; poll(&ready, 1, 30000) == 1;) {
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        run.shown.append(buffer, static_cast<size_t>(n));
    }
    close(master);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

using CliTest = UtcTest;

class CliServerTest : public ServerTest {
protected:
    // A node folder named so that its database is new, with the database and its policies.
    std::string NewNode(bool createDatabase = true) {
        const std::string name = testsupport::UniqueDatabaseName("Node");
        if (createDatabase) AddDatabase("Ry_" + name);
        return name;
    }
};

TEST_F(CliServerTest, ConvertsANodeIntoItsDatabase) {
    const std::string name = NewNode();
    const Sample sample = MakeSample(m_dir / name);
    WriteDat(sample.log / "Group1" / "NOTE$0001Q.DAT", {SampleAround(1600000000, 1)}, kRawSampleSize);

    const RunResult run = RunCli({"convert", "--node", name, "--url", url});
    ASSERT_EQ(run.status, 0) << run.err;

    const std::string database = "Ry_" + name;
    for (int kind = 0; kind < kTableKindCount; ++kind)
        EXPECT_EQ(CountPoints(database, kRetentionPolicy[kind], kMeasurement[kind]),
                  static_cast<long>(sample.byKind[kind]))
            << kMeasurement[kind];
    EXPECT_TRUE(Contains(run.err, "Database:          " + database + "\n")) << run.err;
    EXPECT_EQ(SummaryNumber(run.err, "Files converted"), sample.made.files);
    EXPECT_EQ(SummaryNumber(run.err, "Files skipped"), 1) << "the Q file is no data-log kind";
    EXPECT_EQ(SummaryNumber(run.err, "Lines written"), static_cast<long long>(sample.total));
    EXPECT_EQ(SummaryNumber(run.err, "Batches failed"), 0);
    EXPECT_EQ(SummaryNumber(run.err, "Lines not written"), 0);
    EXPECT_TRUE(run.out.empty()) << run.out;

    const std::vector<std::string> logged = LoggedMessages();
    ASSERT_GE(logged.size(), 4u);
    EXPECT_EQ(logged.front(), "Quarvel Start");
    EXPECT_EQ(logged[1], "Start conversion");
    EXPECT_EQ(logged[logged.size() - 2], "Conversion completed");
    EXPECT_EQ(logged.back(), "Quarvel Exit");
    for (const auto& group : fs::directory_iterator(sample.log)) {
        if (!group.is_directory()) continue;
        for (const auto& file : fs::directory_iterator(group.path()))
            EXPECT_EQ(std::count(logged.begin(), logged.end(), file.path().filename().string()), 1) << file.path();
    }
}

// Compressed posts are the default for remote servers, so they must land exactly what
// plain ones do; here both are chosen by hand against the local server.
TEST_F(CliServerTest, CompressedAndPlainPostsLandTheSamePoints) {
    const std::string name = NewNode(false);
    const Sample sample = MakeSample(m_dir / name);
    for (const char* encoding : {"--gzip", "--no-gzip"}) {
        SCOPED_TRACE(encoding);
        const std::string database = testsupport::UniqueDatabaseName("Ry_enc");
        AddDatabase(database);
        const RunResult run = RunCli({"convert", "--node", name, "--database", database, "--url", url, encoding});
        ASSERT_EQ(run.status, 0) << run.err;
        for (int kind = 0; kind < kTableKindCount; ++kind)
            EXPECT_EQ(CountPoints(database, kRetentionPolicy[kind], kMeasurement[kind]),
                      static_cast<long>(sample.byKind[kind]))
                << kMeasurement[kind];
    }
}

TEST_F(CliServerTest, DataLogFolderAndDatabaseComeFromTheNodeUnlessOverridden) {
    struct Case {
        const char* what;
        const char* ini;  // sysinfo.ini text, "%s" standing for the folder it names; null: none
        bool folderOption;
        bool databaseOption;
        const char* nodeSuffix;
        const char* expectedTag;
    } cases[] = {
        {"sysinfo.ini names the folder", "[NODE_INFO]\r\nDATA_LOG_FOLDER=%s\r\n", false, false, "", "INI"},
        {"no sysinfo.ini: the Log sub-folder", nullptr, false, false, "", "LOG"},
        {"sysinfo.ini without the key", "[NODE_INFO]\r\nOTHER=%s\r\n", false, false, "", "LOG"},
        {"--folder overrides sysinfo.ini", "[NODE_INFO]\r\nDATA_LOG_FOLDER=%s\r\n", true, false, "", "OPT"},
        {"--database overrides Ry_<node>", "[NODE_INFO]\r\nDATA_LOG_FOLDER=%s\r\n", false, true, "", "INI"},
        {"node given with a trailing slash", nullptr, false, false, "/", "LOG"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = NewNode(!c.databaseOption);
        const fs::path node = m_dir / name;
        const fs::path iniFolder = m_dir / (name + "-ini");
        const fs::path optionFolder = m_dir / (name + "-opt");
        const std::vector<LogSample> two = {SampleAround(1600000000, 1), SampleAround(1600000001, 2)};
        WriteDat(node / "Log" / "G" / "LOG$0001X.DAT", two, kRawSampleSize);
        WriteDat(iniFolder / "G" / "INI$0001X.DAT", two, kRawSampleSize);
        WriteDat(optionFolder / "G" / "OPT$0001X.DAT", two, kRawSampleSize);
        if (c.ini != nullptr) {
            std::string text(c.ini);
            text.replace(text.find("%s"), 2, iniFolder.string());  // without a trailing slash
            std::ofstream(node / "sysinfo.ini", std::ios::binary) << text;
        }
        std::vector<std::string> arguments = {"convert", "--node", name + c.nodeSuffix, "--url", url};
        if (c.folderOption) arguments.insert(arguments.end(), {"--folder", optionFolder.string()});
        std::string database = "Ry_" + name;
        if (c.databaseOption) {
            database = testsupport::UniqueDatabaseName("Other");
            AddDatabase(database);
            arguments.insert(arguments.end(), {"--database", database});
        }

        const RunResult run = RunCli(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Contains(run.err, "Database:          " + database + "\n")) << run.err;
        const auto rows = SelectAll(database, "RP_Sec", "datalogX");
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0]["name"], c.expectedTag);
        EXPECT_EQ(rows[1]["name"], c.expectedTag);
    }
}

TEST_F(CliTest, UnreachableServerExitsWith3BeforeConverting) {
    MakeSample(m_dir / "Node_Off");
    const RunResult run = RunCli({"convert", "--node", "Node_Off", "--url", UnreachableUrl()});
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_TRUE(Contains(run.err, "cannot be reached")) << run.err;
    EXPECT_TRUE(Contains(run.err, "nothing was converted")) << run.err;
    EXPECT_EQ(SummaryNumber(run.err, "Lines written"), -1) << "no conversion, no summary";
    const std::vector<std::string> logged = LoggedMessages();
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back(), "Quarvel Exit");
}

TEST_F(CliServerTest, MissingDatabaseExitsWith2BeforeWriting) {
    const std::string name = NewNode(false);
    MakeSample(m_dir / name);
    const RunResult run = RunCli({"convert", "--node", name, "--url", url});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_TRUE(Contains(run.err, "add --create-database")) << run.err;
    EXPECT_EQ(SummaryNumber(run.err, "Lines written"), -1) << "no conversion, no summary";
    EXPECT_FALSE(Contains(ReadFile(m_dir / "Logs" / "Quarvel.log"), "HTTP 404"));
}

TEST_F(CliServerTest, CodePageTurnsTagNamesIntoUtf8) {
    const std::string database = testsupport::UniqueDatabaseName("Ry_cp");
    AddDatabase(database);
    WriteDat(m_dir / "Data" / "G" / "\xA4\xA4$0001X.DAT", {SampleAround(1600000000, 1)}, kRawSampleSize);
    const RunResult run =
        RunCli({"convert", "--folder", "Data", "--database", database, "--codepage", "CP950", "--url", url});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = SelectAll(database, "RP_Sec", "datalogX");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["name"], "\xE4\xB8\xAD");  // U+4E2D
}

TEST_F(CliTest, UsageErrorsExitWith2BeforeAnythingIsDone) {
    MakeSample(m_dir / "Node_U");
    fs::create_directories(m_dir / "Node_Bad");
    std::ofstream(m_dir / "Node_Bad" / "sysinfo.ini")
        << "[NODE_INFO]\nDATA_LOG_FOLDER=" << (m_dir / "gone").string() << "\n";
    std::ofstream(m_dir / "plain_file") << "not a folder";
    struct Case {
        std::vector<std::string> arguments;
        const char* says;  // part of the message on standard error
    } cases[] = {
        {{}, "subcommand"},
        {{"convert"}, "name a node (--node DIR) or a folder (--folder DIR)"},
        {{"convert", "--folder", "Node_U/Log"}, "--folder without --node needs --database NAME"},
        {{"convert", "--node", "Node_Missing"}, "does not exist"},
        {{"convert", "--node", "Node_Bad"}, "gone/ does not exist (taken from the node"},
        {{"convert", "--folder", "gone", "--database", "Ry_x"}, "does not exist"},
        {{"verify", "--folder", "gone", "--database", "Ry_x"}, "the folder gone/ does not exist"},
        {{"convert", "--node", "Node_U", "--codepage", "NO-SUCH-CP"}, "unknown code page: NO-SUCH-CP"},
        {{"convert", "--node", "Node_U", "--url", "ftp://x"}, "ftp://x is not an http or https URL"},
        {{"convert", "--node", "Node_U", "--bogus"}, "--bogus"},
        {{"convert", "--node", "Node_U", "--kind", "other"}, "--kind"},
        {{"convert", "--node", "Node_U", "--output", "no/such/dir/out.lp"}, "cannot write no/such/dir/out.lp"},
        {{"convert", "--node", "Node_U", "--gzip", "--no-gzip"}, "excludes"},
        {{"make-sample"}, "DIR"},
        {{"make-sample", "Node_T", "--tags", "0"}, "--tags"},
        {{"make-sample", "plain_file/Node_T"}, "plain_file"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.arguments) shown += a + " ";
        SCOPED_TRACE(shown);
        const RunResult run = RunCli(c.arguments);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
        EXPECT_FALSE(fs::exists(m_dir / "Logs")) << "no conversion was started";
    }
    EXPECT_FALSE(fs::exists(m_dir / "Node_T"));
}

TEST_F(CliTest, HelpAndVersion) {
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> mentions;
        std::vector<std::string> absent{};
    } cases[] = {
        {{"--help"}, {"convert", "make-sample", "--version", "exit status"}, {"130"}},
        {{"convert", "--help"},
         {"--kind", "--node", "--folder", "--database", "--url", "--codepage", "--output", "--quiet",
          "--progress-interval", "Exit status:", "130  stopped by Ctrl-C"}},
        {{"make-sample", "--help"},
         {"DIR", "--tags", "--days", "Exit status:", "output that cannot be written"},
         {"130", "server"}},
        {{"rdb", "--help"}, {"Exit status:", "output that cannot be written"}, {"130", "server"}},
        {{"rdb", "dump", "--help"}, {"time,tag_id", "output that cannot be written"}, {"130"}},
        {{"--version"}, {"1.0.0.1\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.front() + " " + c.arguments.back());
        const RunResult run = RunCli(c.arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        for (const auto& m : c.mentions) EXPECT_TRUE(Contains(run.out, m)) << m << " in:\n" << run.out;
        for (const auto& m : c.absent) EXPECT_FALSE(Contains(run.out, m)) << m << " in:\n" << run.out;
    }
    EXPECT_EQ(RunCli({"--version"}).out, "1.0.0.1\n");
}

TEST_F(CliTest, DryRunWritesTheLinesFileByFileWithoutAServer) {
    const Sample sample = MakeSample(m_dir / "Node_Dry");
    const RunResult run =
        RunCli({"convert", "--node", "Node_Dry", "--url", UnreachableUrl(), "--output", "out.lp", "--jobs", "1"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(Contains(run.err, "error:")) << "nothing was posted: " << run.err;
    EXPECT_TRUE(Contains(run.err, "Database:          Ry_Node_Dry (dry run)\n")) << run.err;
    EXPECT_EQ(SummaryNumber(run.err, "Lines written"), static_cast<long long>(sample.total));

    const std::string text = ReadFile(m_dir / "out.lp");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_TRUE(text.starts_with("# DML\n# CONTEXT-DATABASE: Ry_Node_Dry\n# CONTEXT-RETENTION-POLICY: ")) << text;
    std::vector<std::string> lines = Lines(text);
    std::erase_if(lines, [](const std::string& line) { return line.starts_with("# "); });
    ASSERT_EQ(lines.size(), sample.total);

    // Each file's lines are there under its measurement and tag name, in time order, the
    // first with the first record's time less the fixed 28800 s, in nanoseconds. (Small
    // files share posts, so the files' lines may interleave.)
    const std::vector<std::string> files = FileNameLines(ProgressLines(run.err));
    ASSERT_EQ(files.size(), static_cast<size_t>(sample.made.files));
    size_t found = 0;
    for (const std::string& file : files) {
        fs::path path = sample.log / "Group1" / file;
        if (!fs::exists(path)) path = sample.log / "Group2" / file;
        const std::string prefix =
            std::string(kMeasurement[KindOf(file)]) + ",name=" + file.substr(0, file.find('$')) + " ";
        std::vector<int64_t> times;
        for (const std::string& line : lines)
            if (line.starts_with(prefix)) times.push_back(std::stoll(line.substr(line.rfind(' ') + 1)));
        EXPECT_EQ(times.size(), RecordsIn(path)) << file;
        EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << file;
        LogSample record{};
        std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(&record), kRawSampleSize);
        ASSERT_FALSE(times.empty()) << file;
        EXPECT_EQ(times[0], (int64_t{record.time} - 28800) * 1000000000) << file;
        found += times.size();
    }
    EXPECT_EQ(found, lines.size());
}

TEST_F(CliTest, DryRunToStandardOutputWritesOnlyTheLines) {
    MakeSample(m_dir / "Node_Out");
    // One job, so that both runs write the files in the same order.
    const RunResult toFile = RunCli({"convert", "--node", "Node_Out", "--output", "out.lp", "--jobs", "1"});
    const RunResult toStdout = RunCli({"convert", "--node", "Node_Out", "--output", "-", "--jobs", "1"});
    ASSERT_EQ(toFile.status, 0) << toFile.err;
    ASSERT_EQ(toStdout.status, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, ReadFile(m_dir / "out.lp")) << "standard output holds the lines and nothing else";
    EXPECT_EQ(ProgressLines(toStdout.err), ProgressLines(toFile.err));
    EXPECT_TRUE(Contains(toStdout.err, "Lines not written: 0\n")) << toStdout.err;
}

// A plant without a network path to the historian carries the dry-run file there:
// influx -import loads it, plain or compressed, as a direct conversion would have.
TEST_F(CliTest, ADryRunFileImportedHoldsWhatADirectConversionStores) {
    QUARVEL_REQUIRE_SERVER();
    MakeSample(m_dir / "Node_Import");
    const std::string url = *testsupport::ServerUrl();
    const std::string port = url.substr(url.rfind(':') + 1);
    const std::string direct = testsupport::UniqueDatabaseName("Ry_direct");
    testsupport::CreateDatabaseWithPolicies(direct);
    ASSERT_EQ(RunCli({"convert", "--node", "Node_Import", "--url", url, "--database", direct}).status, 0);
    for (const std::string file : {"out.lp", "out.lp.gz"}) {
        SCOPED_TRACE(file);
        const std::string imported = testsupport::UniqueDatabaseName("Ry_imported");
        testsupport::CreateDatabaseWithPolicies(imported);
        const RunResult dry =
            RunCli({"convert", "--node", "Node_Import", "--database", imported, "--output", file, "--quiet"});
        ASSERT_EQ(dry.status, 0) << dry.err;
        std::vector<std::string> import = {"-host", "127.0.0.1", "-port",      port, "-import",
                                           "-path", file,        "-precision", "ns"};
        if (file.ends_with(".gz")) import.push_back("-compressed");
        const RunResult loaded = testsupport::Run("/usr/bin/influx", import);
        ASSERT_EQ(loaded.status, 0) << loaded.out << loaded.err;
        EXPECT_TRUE(Contains(loaded.out + loaded.err, "Failed 0 inserts")) << loaded.out << loaded.err;
        for (int kind = 0; kind < kTableKindCount; ++kind) {
            const auto stored = SelectAll(imported, kRetentionPolicy[kind], kMeasurement[kind]);
            EXPECT_FALSE(stored.empty()) << kRetentionPolicy[kind];
            EXPECT_EQ(stored, SelectAll(direct, kRetentionPolicy[kind], kMeasurement[kind])) << kRetentionPolicy[kind];
        }
        testsupport::DropDatabase(imported);
    }
    testsupport::DropDatabase(direct);
}

TEST_F(CliTest, DryRunIntoAFullDeviceDoesNotClaimSuccess) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full";
    const Sample sample = MakeSample(m_dir / "Node_Full");
    WriteDat(m_dir / "Small" / "G" / "ONE$0001X.DAT", {SampleAround(1600000000, 1)}, kRawSampleSize);
    struct Case {
        const char* what;
        std::vector<std::string> source;
        uint64_t lines;
    } cases[] = {
        {"less than a stdio buffer", {"--folder", "Small", "--database", "Ry_small"}, 1},
        {"many batches", {"--node", "Node_Full"}, sample.total},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> arguments = {"convert", "--output", "/dev/full", "--quiet"};
        arguments.insert(arguments.end(), c.source.begin(), c.source.end());
        const RunResult run = RunCli(arguments);
        EXPECT_NE(run.status, 0) << run.err;
        EXPECT_NE(run.status, 3) << "no server was involved";
        EXPECT_EQ(SummaryNumber(run.err, "Lines written"), 0) << run.err;
        EXPECT_EQ(SummaryNumber(run.err, "Lines not written"), static_cast<long long>(c.lines)) << run.err;
    }
}

TEST_F(CliTest, SummariesBefore1970AreLeftOutWithoutCountingAsLost) {
    // Stored 0 becomes -28800 s on the line: before 1970.
    WriteDat(m_dir / "Data" / "G" / "OLD$0001M.DAT", {SampleAround(0, 1), SampleAround(1600000000, 2)},
             kSummarySampleSize);
    const RunResult run = RunCli({"convert", "--folder", "Data", "--database", "Ry_old", "--output", "out.lp"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(SummaryNumber(run.err, "Lines written"), 1);
    EXPECT_EQ(SummaryNumber(run.err, "Lines not written"), 0);
    EXPECT_TRUE(Lines(ReadFile(m_dir / "out.lp")).back().ends_with(" 1599971200000000000"));
    EXPECT_EQ(Lines(ReadFile(m_dir / "out.lp")).size(), 4u) << "the three context lines and one line";
}

TEST_F(CliTest, ProgressOnAPipeIsPlainLinesLikeTheLog) {
    MakeSample(m_dir / "Node_Pipe");
    const RunResult run = RunCli({"convert", "--node", "Node_Pipe", "--output", "out.lp"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos);
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos);
    const std::vector<std::string> progress = ProgressLines(run.err);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), "Start conversion");
    EXPECT_EQ(progress.back(), "Conversion completed");

    // The console shows what the log records, each line once.
    std::vector<std::string> logged = LoggedMessages();
    ASSERT_GE(logged.size(), 2u);
    logged.erase(logged.begin());  // Quarvel Start
    logged.pop_back();             // Quarvel Exit
    EXPECT_EQ(progress, logged);
}

TEST_F(CliTest, QuietPrintsOnlyTheSummary) {
    MakeSample(m_dir / "Node_Quiet");
    const RunResult run = RunCli({"convert", "--node", "Node_Quiet", "--output", "out.lp", "--quiet"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = Lines(run.err);
    ASSERT_EQ(lines.size(), 7u) << run.err;
    EXPECT_TRUE(lines.front().starts_with("Database:")) << run.err;
    EXPECT_TRUE(lines.back().starts_with("Elapsed:")) << run.err;
    const std::vector<std::string> logged = LoggedMessages();
    EXPECT_EQ(std::count(logged.begin(), logged.end(), "Conversion completed"), 1) << "the log is kept as ever";
}

TEST_F(CliTest, TerminalShowsALiveStatusLineUnlessQuiet) {
    const Sample sample = MakeSample(m_dir / "Node_Tty");
    const std::string done =
        std::to_string(sample.made.files) + "/" + std::to_string(sample.made.files) + " files, 21,657 lines, ";
    ASSERT_EQ(sample.total, 21657u);
    const struct {
        const char* what;
        bool quiet;
        unsigned short columns;
    } cases[] = {{"live", false, 80}, {"--quiet", true, 80}, {"narrow", false, 24}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> arguments = {"convert", "--node", "Node_Tty", "--output", "out.lp"};
        if (c.quiet) arguments.push_back("--quiet");
        const TerminalRun run = RunOnTerminal(arguments, c.columns);
        EXPECT_EQ(run.status, 0) << run.shown;
        EXPECT_TRUE(Contains(run.shown, "Database:")) << run.shown;
        EXPECT_EQ(Contains(run.shown, done), !c.quiet && c.columns > done.size()) << run.shown;
        EXPECT_EQ(Contains(run.shown, "Start conversion"), !c.quiet) << run.shown;
        // The status line is wiped before the summary, so none of it is left in front.
        EXPECT_EQ(Contains(run.shown, "\r\x1b[KDatabase:"), !c.quiet) << run.shown;
        if (c.quiet) {
            EXPECT_EQ(run.shown.find('\x1b'), std::string::npos) << run.shown;
        }
        // Each status line fits the terminal: a wrapped one would leave its start behind.
        for (size_t at = run.shown.find("\r\x1b[K"); at != std::string::npos; at = run.shown.find("\r\x1b[K", at)) {
            at += 4;
            const size_t end = run.shown.find('\r', at);
            // A progress line of its own ends with a line break (the terminal's "\r\n").
            if (end != std::string::npos && run.shown.compare(end, 2, "\r\n") == 0) continue;
            EXPECT_LT(std::min(end, run.shown.size()) - at, c.columns) << run.shown.substr(at, end - at);
        }
    }
}

TEST_F(CliTest, MakeSampleWritesTheSameNodeAsTheLibrary) {
    const RunResult run = RunCli({"make-sample", "Node_S", "--tags", "3", "--days", "1"});
    ASSERT_EQ(run.status, 0) << run.err;

    SampleNodeOptions options;
    options.tags = 3;
    options.days = 1;
    SampleNodeResult made;
    std::string error;
    ASSERT_TRUE(MakeSampleNode((m_dir / "Lib_S").string(), options, made, error)) << error;

    std::string out = run.out;
    std::erase(out, ',');
    EXPECT_TRUE(Contains(out, "Sample node Node_S: " + std::to_string(made.files) + " files " +
                                  std::to_string(made.rawRecords) + " raw and " + std::to_string(made.summaryRecords) +
                                  " summary records"))
        << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;

    const fs::path node = fs::current_path() / "Node_S";
    EXPECT_EQ(ReadFile(node / "sysinfo.ini"),
              "[NODE_INFO]\r\nDATA_LOG_FOLDER=" + (node / "Log" / "").string() + "\r\n");
    int compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(m_dir / "Lib_S" / "Log")) {
        if (!entry.is_regular_file()) continue;
        const fs::path relative = fs::relative(entry.path(), m_dir / "Lib_S");
        EXPECT_EQ(ReadFile(node / relative), ReadFile(entry.path())) << relative;
        ++compared;
    }
    EXPECT_EQ(compared, made.files + made.tableFiles);
    EXPECT_EQ(std::distance(fs::directory_iterator(node / "Log" / "Group1"), fs::directory_iterator{}), 12);
    EXPECT_EQ(std::distance(fs::directory_iterator(node / "Log" / "Group2"), fs::directory_iterator{}), 1);
}

}  // namespace

// quarvel-cli check, convert's checks and --resume, and verify, as an operator runs them: the
// real binary as a child process, real node folders and the real InfluxDB server.

#include "ChildProcess.h"
#include "FakeHttpServer.h"
#include "PreflightSupport.h"
#include "SampleNodes.h"
#include "Samples.h"
#include "ScratchDir.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using testsupport::Contains;
using testsupport::SummaryNumber;

using preflight::AllInf;
using preflight::MakeDatabase;
using testsupport::RunCli;
using testsupport::RunResult;

// Deletes the raw points `where` selects. The server may miss points of a delete while it
// writes its cache out after a large write, so the delete is asked again until none is left.
void DeleteRaw(const std::string& where, const std::string& database) {
    const std::string left = "SELECT COUNT(\"status\") FROM \"RP_Sec\".\"datalogX\"" + where;
    for (int tries = 0; tries < 50 && testsupport::Query(left, database)["results"][0].contains("series"); ++tries) {
        testsupport::Query("DELETE FROM \"datalogX\"" + where, database);
        if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

class CheckCli : public ServerTest {
protected:
    void ServerSetUp() override {
        node = testsupport::UniqueDatabaseName("Node");
        database = "Ry_" + node;
        made = testsupport::MakeSmallSampleNode((m_dir / node).string(), 2, 1);
    }
    void TearDown() override {
        if (!database.empty()) preflight::Drop(database);  // skipped without a server
        ServerTest::TearDown();
    }
    long Points() const { return testsupport::CountAllPoints(database); }
    long Records() const { return static_cast<long>(made.rawRecords + made.summaryRecords); }
    // `command` on the node and the shared server, with more arguments.
    RunResult Cli(const std::string& command, std::vector<std::string> more = {}) const {
        std::vector<std::string> arguments = {command, "--node", (m_dir / node).string(), "--url", url};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunCli(arguments);
    }

    std::string node;
    std::string database;
    SampleNodeResult made;
};

TEST_F(CheckCli, CheckPrintsWhatItFoundAndSaysSoInItsStatus) {
    testsupport::FakeHttpServer closed(testsupport::FakeHttpServer::Refusing{});
    testsupport::FakeHttpServer unlisted([this](const testsupport::FakeRequest& request) {  // lists no database
        return request.target.starts_with("/query") ? testsupport::Answer(200, {}, R"({"results":[{}]})")
                                                    : testsupport::Forward(url);
    });
    struct Case {
        const char* what;
        std::map<std::string, std::string> policies;  // empty: no database
        std::vector<std::string> arguments;
        int status;
        std::vector<std::string> says;
    };
    const std::vector<Case> cases = {
        {"no database",
         {},
         {"--node", node},
         2,
         {"Database: " + database + " is missing", "RP_Min:   missing; oldest minute sample 2023-11-",
          "Missing:  database " + database + ", RP_Sec, RP_Min, RP_Hour and RP_Day; convert --create-database"}},
        {"all there, for ever",
         AllInf(),
         {"--node", node},
         0,
         {"InfluxDB 1.", "Database: " + database + " exists", "RP_Day:   keeps INF; oldest day sample 2023-11-"}},
        {"a short policy",
         {{"RP_Sec", "INF"}, {"RP_Min", "INF"}, {"RP_Hour", "INF"}, {"RP_Day", "3h"}},
         {"--node", node},
         1,
         {"RP_Day:   keeps 3h;", "Warning:  RP_Day keeps 3h, but the oldest day sample is "}},
        {"tables",
         AllInf(),
         {"--node", node, "--kind", "rtdb"},
         0,
         {"RP_Sec:   keeps INF; oldest raw sample 2023-11-"}},
        {"the database alone: no sample ages", AllInf(), {"--database", database}, 0, {"RP_Hour:  keeps INF\n"}},
        {"writes taken without a login, the database not listed",
         AllInf(),
         {"--node", node, "--url", unlisted.Url()},
         1,
         {"Warning:  the server accepts writes to " + database +
          " but does not list it: its retention policies were not checked\n"}},
        {"no server", AllInf(), {"--node", node, "--url", closed.Url()}, 3, {"cannot be reached"}},
        {"neither node nor database", AllInf(), {}, 2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        preflight::Drop(database);
        if (!c.policies.empty()) MakeDatabase(database, c.policies);
        std::vector<std::string> arguments = {"check"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        if (std::find(arguments.begin(), arguments.end(), "--url") == arguments.end())
            arguments.insert(arguments.end(), {"--url", url});
        const RunResult run = RunCli(arguments);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        for (const std::string& part : c.says) EXPECT_TRUE(Contains(run.out, part)) << part << " in:\n" << run.out;
    }
    EXPECT_FALSE(fs::exists(m_dir / "Logs")) << "check converts nothing and keeps no log";
}

TEST_F(CheckCli, ConvertCreatesTheDatabaseOnlyWhenTold) {
    const RunResult refused = RunCli({"convert", "--node", node, "--url", url, "--quiet"});
    EXPECT_EQ(refused.status, 2) << refused.err;
    EXPECT_TRUE(Contains(refused.err, "missing on " + url + ": database " + database)) << refused.err;
    const ServerCheck untouched = CheckServer(url, database);
    EXPECT_FALSE(untouched.databaseExists) << "nothing is created without --create-database";

    const RunResult created = RunCli({"convert", "--node", node, "--url", url, "--create-database", "--quiet"});
    ASSERT_EQ(created.status, 0) << created.err;
    EXPECT_TRUE(Contains(created.err, "Created database " + database +
                                          " with the retention policies RP_Sec, RP_Min, RP_Hour and RP_Day "
                                          "(duration INF, shard groups of 52w)\n"))
        << created.err;
    const ServerCheck after = CheckServer(url, database);
    ASSERT_TRUE(after.Complete());
    for (const RetentionPolicyState& policy : after.policies) EXPECT_EQ(policy.durationSeconds, 0);
    EXPECT_EQ(Points(), Records());
    EXPECT_TRUE(Contains(ReadFile(m_dir / "Logs" / "Quarvel.log"), "Created database " + database));
}

// Only the policies of the kinds the node holds are required.
TEST_F(CheckCli, ANodeOfRawFilesAloneNeedsRpSecAlone) {
    for (const auto& entry : fs::recursive_directory_iterator(made.dataLogFolder))
        if (entry.path().extension() == ".DAT" && !entry.path().stem().string().ends_with("X"))
            fs::remove(entry.path());
    MakeDatabase(database, {{"RP_Sec", "INF"}});
    const RunResult run = Cli("convert", {"--quiet"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Points(), static_cast<long>(made.rawRecords));
    EXPECT_EQ(Cli("check").status, 0);
    EXPECT_EQ(Cli("verify").status, 0);
    // Without the policy of a kind it holds, every point of that kind is missing.
    testsupport::Query("DROP RETENTION POLICY \"RP_Sec\" ON \"" + database + "\"");
    const RunResult lost = Cli("verify", {"--json"});
    EXPECT_EQ(lost.status, 1) << lost.out << lost.err;
    EXPECT_TRUE(Contains(lost.out, "\"points_missing\": " + std::to_string(made.rawRecords))) << lost.out;
}

TEST_F(CheckCli, ConvertWarnsOfAShortPolicyAndGoesOn) {
    MakeDatabase(database, {{"RP_Sec", "INF"}, {"RP_Min", "2h"}, {"RP_Hour", "INF"}, {"RP_Day", "INF"}});
    const RunResult run = RunCli({"convert", "--node", node, "--url", url, "--jobs", "1"});
    const size_t warning = run.err.find("Warning: RP_Min keeps 2h, but the oldest minute sample is ");
    ASSERT_NE(warning, std::string::npos) << run.err;
    EXPECT_LT(warning, run.err.find("Start conversion")) << "the warning comes before anything is written";
    EXPECT_NE(run.status, 2) << run.err;
    EXPECT_EQ(testsupport::CountPoints(database, "RP_Sec", "datalogX"), static_cast<long>(made.rawRecords));
}

TEST_F(CheckCli, ResumeSkipsWhatWasPostedAndNothingElse) {
    MakeDatabase(database, AllInf());
    const RunResult first = RunCli({"convert", "--node", node, "--url", url, "--quiet"});
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_EQ(SummaryNumber(first.err, "  already converted"), -1) << first.err;

    const RunResult again = RunCli({"convert", "--node", node, "--url", url, "--resume", "--quiet"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(SummaryNumber(again.err, "  already converted"), made.files) << again.err;
    EXPECT_EQ(SummaryNumber(again.err, "Files skipped"), made.files) << "counted once: " << again.err;
    EXPECT_EQ(SummaryNumber(again.err, "Lines written"), 0) << again.err;

    const fs::path changed = fs::path(made.dataLogFolder) / "Group1" / "FLOW_01$0001M.DAT";
    const std::string bytes = ReadFile(changed);
    std::ofstream(changed, std::ios::binary | std::ios::app) << bytes.substr(0, kSummarySampleSize);
    const RunResult third = RunCli({"convert", "--node", node, "--url", url, "--resume", "--quiet"});
    ASSERT_EQ(third.status, 0) << third.err;
    EXPECT_EQ(SummaryNumber(third.err, "Files converted"), 1) << third.err;
    EXPECT_EQ(SummaryNumber(third.err, "Lines written"), 1) << "the appended record alone: " << third.err;
    EXPECT_EQ(Points(), Records());

    const RunResult dry = RunCli({"convert", "--node", node, "--resume", "--output", "out.lp"});
    EXPECT_EQ(dry.status, 2);
    EXPECT_TRUE(Contains(dry.err, "--resume does not go with --output")) << dry.err;
}

// A pipe named as a data-log file holds up neither the age scan (a policy that drops old
// points makes it run) nor the conversion, which names it. A file that cannot be read is
// named and fails the run.
TEST_F(CheckCli, APipeIsSkippedAndAFileThatCannotBeReadFailsTheRun) {
    const fs::path group = fs::path(made.dataLogFolder) / "Group1";
    ASSERT_EQ(mkfifo((group / "PIPE$0009X.DAT").c_str(), 0600), 0);
    const fs::path locked = group / "FLOW_01$0001M.DAT";
    const auto lockedRecords = static_cast<long>(fs::file_size(locked) / kSummarySampleSize);
    MakeDatabase(database, {{"RP_Sec", "1000w"}, {"RP_Min", "INF"}, {"RP_Hour", "INF"}, {"RP_Day", "INF"}});
    AsUnprivilegedUser([&] {
        fs::permissions(locked, fs::perms::none);
        const RunResult check = Cli("check");
        EXPECT_EQ(check.status, 0) << check.out << check.err;
        EXPECT_TRUE(Contains(check.out, "/Group1/PIPE$0009X.DAT: not a regular file\n")) << check.out;
        const RunResult run = Cli("convert", {"--create-database"});
        EXPECT_EQ(run.status, 1) << run.err;
        for (const std::string& said : std::vector<std::string>{
                 "Skipped PIPE$0009X.DAT: not a regular file\n", "Skipped FLOW_01$0001M.DAT: could not be read\n",
                 "Conversion completed, but 1 file could not be read (see Logs/Quarvel.log)\n",
                 "Could not read:    " + locked.string() + "\n"})
            EXPECT_TRUE(Contains(run.err, said)) << said << " in:\n" << run.err;
        EXPECT_EQ(Points(), Records() - lockedRecords);
        // Tables alike: the export goes on without the names of an unreadable tag table.
        for (const char* table : {"Tags.rdb", "HistM.rdb"})
            fs::permissions(group.parent_path() / table, fs::perms::none);
        const RunResult tables = Cli("convert", {"--kind", "rtdb"});
        EXPECT_EQ(tables.status, 1) << tables.err;
        for (const std::string& said :
             std::vector<std::string>{"Skipped HistM.rdb: could not be read\n", "2 files could not be read",
                                      "Could not read:    " + (group.parent_path() / "Tags.rdb").string() + "\n"})
            EXPECT_TRUE(Contains(tables.err, said)) << said << " in:\n" << tables.err;
    });
}

// A run killed (SIGKILL) or stopped by Ctrl-C (SIGINT: the files under way end, then the
// summary) and resumed ends with every point, each file's lines once.
TEST_F(CheckCli, AnInterruptedRunResumedEndsWithEveryPoint) {
    preflight::Drop(database);
    node = testsupport::UniqueDatabaseName("Node");
    database = "Ry_" + node;
    made = testsupport::MakeSmallSampleNode((m_dir / node).string(), 12, 4);
    MakeDatabase(database, AllInf());
    // Slow writes, so that the run is under way for seconds.
    std::atomic<int> pings{0};
    testsupport::FakeHttpServer slow([this, &pings](const testsupport::FakeRequest& request) {
        if (request.target.starts_with("/write")) std::this_thread::sleep_for(std::chrono::milliseconds(40));
        if (request.target.starts_with("/ping")) ++pings;
        return testsupport::Forward(url);
    });
    const auto names = [](const std::string& text) {
        int count = 0;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (line.ends_with(".DAT") && line.find('/') == std::string::npos) ++count;
        return count;
    };
    struct Case {
        int signal;
        int status;
        std::function<bool(const std::string&)> ready;
    } cases[] = {
        {SIGKILL, 128 + SIGKILL, [&names](const std::string& text) { return names(text) >= 5; }},
        // Off a terminal, a plain progress line comes every interval.
        {SIGINT, 130, [&names](const std::string& text) { return Contains(text, "\nProgress: ") && names(text) >= 5; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signal);
        preflight::Drop(database);
        MakeDatabase(database, AllInf());
        fs::remove_all(m_dir / "Logs");
        testsupport::Child child = testsupport::Spawn(
            QUARVEL_CLI, {"convert", "--node", node, "--url", slow.Url(), "--jobs", "1", "--progress-interval", "1"});
        const std::string shown = testsupport::ReadUntil(child.err, c.ready, 30000);
        ASSERT_EQ(kill(child.pid, c.signal), 0);
        const std::string rest = testsupport::ReadUntil(
            child.err, [](const std::string&) { return false; }, 30000);
        ASSERT_EQ(testsupport::Finish(child), c.status) << shown << rest;
        ASSERT_LT(Points(), Records()) << "the run was stopped before its end";
        EXPECT_EQ(pings.exchange(0), 1) << "the check's ping timed the link for the writers too";
        if (c.signal == SIGINT) {
            EXPECT_TRUE(Contains(rest, "Stopping after the files under way")) << rest;
            EXPECT_GT(SummaryNumber(rest, "Files converted"), 4) << rest;
            EXPECT_TRUE(Contains(rest, "\nquarvel-cli: stopped; run again with --resume to convert the rest\n"))
                << rest;
            const std::string status = shown.substr(shown.find("\nProgress: "));
            EXPECT_TRUE(Contains(status, " lines/s, ") && Contains(status, " left\n")) << status;
        }

        const RunResult resumed = RunCli({"convert", "--node", node, "--url", url, "--resume", "--quiet"});
        ASSERT_EQ(resumed.status, 0) << resumed.err;
        // What the journal holds was stored: the resumed run ends with every point.
        const long long skipped = std::max(SummaryNumber(resumed.err, "  already converted"), 0LL);
        EXPECT_LT(skipped, made.files) << resumed.err;
        EXPECT_EQ(SummaryNumber(resumed.err, "Files converted") + skipped, made.files) << resumed.err;
        EXPECT_EQ(Points(), Records());
    }
}

// Ctrl-C during repost ends it after the batch under way with the status of a stopped run.
TEST_F(CheckCli, RepostStoppedByCtrlCSaysSoInItsStatus) {
    MakeDatabase(database, AllInf());
    for (int batch = 0; batch < 3; ++batch) {
        std::string path;
        std::string error;
        const std::string line = "datalogX,name=T value=1 " + std::to_string(1600000000 + batch) + "000000000";
        ASSERT_TRUE(AppendUnsent(kUnsentFolder, database, "RP_Sec", line, 1, path, error)) << error;
    }
    std::atomic<bool> posting{false};
    testsupport::FakeHttpServer held([this, &posting](const testsupport::FakeRequest& request) {
        if (request.target.starts_with("/write")) {
            posting = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        return testsupport::Forward(url);
    });
    testsupport::Child child = testsupport::Spawn(QUARVEL_CLI, {"repost", "--url", held.Url()});
    for (int waited = 0; !posting && waited < 10000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(posting);
    ASSERT_EQ(kill(child.pid, SIGINT), 0);
    const std::string said = testsupport::ReadUntil(
        child.err, [](const std::string&) { return false; }, 30000);
    EXPECT_EQ(testsupport::Finish(child), 130) << said;
    EXPECT_TRUE(Contains(said, "Interrupted: the batches not yet sent stay in their files")) << said;
}

// verify after a migration: points taken away, kept out by a short retention policy or
// waiting in unsent-line files.
TEST_F(CheckCli, VerifyACompleteConversionThenPointsTakenAwayFromOneTag) {
    testsupport::CreateDatabaseWithPolicies(database);
    // The first day batch is refused and waits in Logs/unsent: the repair posts it, and the run ends well.
    std::atomic<bool> refused{false};
    testsupport::FakeHttpServer front([&](const testsupport::FakeRequest& request) {
        if (request.target.find("rp=RP_Day") != std::string::npos && !refused.exchange(true))
            return testsupport::Answer(400, R"({"error":"refused once"})");
        return testsupport::Forward(url);
    });
    const testsupport::RunResult firstRun =
        RunCli({"convert", "--node", (m_dir / node).string(), "--url", front.Url(), "--verify", "--repair"});
    ASSERT_EQ(firstRun.status, 0) << firstRun.out << firstRun.err;
    EXPECT_TRUE(refused && Contains(firstRun.out, "lines of Logs/unsent posted again")) << firstRun.out;
    const testsupport::RunResult complete = Cli("verify", {"--report", (m_dir / "report.csv").string()});
    EXPECT_EQ(complete.status, 0) << complete.out << complete.err;
    EXPECT_TRUE(Contains(complete.out, "Result:   complete")) << complete.out;
    EXPECT_TRUE(Contains(complete.out, "raw (datalogX, RP_Sec): ")) << complete.out;
    const testsupport::RunResult valuesAlike = Cli("verify", {"--values"});
    EXPECT_EQ(valuesAlike.status, 0) << valuesAlike.out << valuesAlike.err;
    const std::vector<nlohmann::json> converted = testsupport::SelectAll(database, "RP_Sec", "datalogX");

    // A window of one tag's raw points goes, over midnight: it is named as one stretch with its bounds.
    const std::string where = " WHERE \"name\" = 'FLOW_01' AND time >= 1699910000s AND time < 1699930000s";
    const auto bound = [&](const char* aggregate) {
        const nlohmann::json answer = testsupport::Query(
            std::string("SELECT ") + aggregate + "(\"status\") FROM \"RP_Sec\".\"datalogX\"" + where, database);
        return answer["results"][0]["series"][0]["values"][0][0].get<int64_t>();
    };
    const std::string stretch = UtcText(bound("FIRST")) + " \u2013 " + UtcText(bound("LAST"));
    const long before = testsupport::CountPoints(database, "RP_Sec", "datalogX");
    DeleteRaw(where, database);
    const long gone = before - testsupport::CountPoints(database, "RP_Sec", "datalogX");
    ASSERT_GT(gone, 0);
    const testsupport::RunResult result = Cli("verify", {"--report", (m_dir / "report.csv").string()});
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "raw (datalogX, RP_Sec): ")) << result.out;
    EXPECT_TRUE(Contains(result.out, "1 short")) << result.out;
    const std::string missing = Thousands(static_cast<uint64_t>(gone));
    EXPECT_TRUE(Contains(result.out, "    FLOW_01: " + missing + " of ")) << result.out;
    EXPECT_TRUE(Contains(result.out, "Result:   " + missing + " points missing")) << result.out;
    EXPECT_TRUE(Contains(result.out, "      FLOW_01: " + missing + " missing in 1 stretch, " + stretch + "\n"))
        << result.out;
    const std::string csv = ReadFile(m_dir / "report.csv");
    EXPECT_TRUE(Contains(csv, "raw,datalogX,RP_Sec,FLOW_01,")) << csv;
    EXPECT_TRUE(Contains(csv, "," + stretch.substr(0, 20) + "," + stretch.substr(stretch.size() - 20) + "," +
                                  std::to_string(gone) + "\n"))
        << csv;
    const testsupport::RunResult json = Cli("verify", {"--json"});
    EXPECT_TRUE(Contains(json.out, "\"points_missing\": " + std::to_string(gone))) << json.out;
    const nlohmann::json stretches = nlohmann::json::parse(json.out)["stretches_missing"];
    ASSERT_EQ(stretches.size(), 1u) << json.out;
    EXPECT_EQ(stretches[0]["points"], gone) << json.out;

    // Another writer puts another value over one point of another tag: --values names it with both values.
    const std::string point = " WHERE \"name\" = 'PRESS_02' AND time = 1699930000s";
    const nlohmann::json row = testsupport::Query("SELECT \"value\" FROM \"RP_Sec\".\"datalogX\"" + point, database);
    const double value = row["results"][0]["series"][0]["values"][0][1].get<double>();
    testsupport::Query("SELECT \"value\" + 1 AS \"value\" INTO \"RP_Sec\".\"datalogX\" FROM \"RP_Sec\".\"datalogX\"" +
                           point + " GROUP BY *",
                       database);
    const testsupport::RunResult values = Cli("verify", {"--values", "--json"});
    EXPECT_EQ(values.status, 1) << values.out << values.err;
    const nlohmann::json differing = nlohmann::json::parse(values.out)["values_differing"];
    ASSERT_EQ(differing.size(), 1u) << values.out;
    EXPECT_EQ(differing[0]["tag"], "PRESS_02") << values.out;
    EXPECT_EQ(differing[0]["examples"][0]["time"], UtcText(1699930000)) << values.out;
    EXPECT_EQ(differing[0]["examples"][0]["node"].get<double>(), value) << values.out;
    EXPECT_EQ(differing[0]["examples"][0]["server"].get<double>(), value + 1) << values.out;

    // The repair posts the window and the point again; the raw history is then that of the whole conversion.
    // It journals the files it finds whole as a conversion would: a resumed conversion posts nothing.
    fs::remove_all(m_dir / "Logs" / "journal");
    const testsupport::RunResult repaired = Cli("verify", {"--values", "--repair"});
    EXPECT_EQ(repaired.status, 0) << repaired.out << repaired.err;
    EXPECT_TRUE(Contains(repaired.out, "Repair: raw FLOW_01: repaired (" + missing + " points posted again)"))
        << repaired.out;
    EXPECT_TRUE(Contains(repaired.out, "Repair: raw PRESS_02: repaired (1 point posted again)")) << repaired.out;
    // It read the records of the two tags' windows in their files alone.
    EXPECT_TRUE(Contains(repaired.out,
                         "Repair: read again 2 files, " + Thousands(static_cast<uint64_t>(gone + 1)) + " records\n"))
        << repaired.out;
    EXPECT_EQ(Cli("verify", {"--values"}).status, 0);
    EXPECT_EQ(testsupport::SelectAll(database, "RP_Sec", "datalogX"), converted);
    const testsupport::RunResult resumed = Cli("convert", {"--resume", "--quiet"});
    EXPECT_EQ(SummaryNumber(resumed.err, "  already converted"), made.files) << resumed.err;
    EXPECT_EQ(SummaryNumber(resumed.err, "Lines written"), 0) << resumed.err;
}

TEST_F(CheckCli, VerifyRepeatedTimesRetentionAndUnsentLinesAreNamed) {
    // A raw file whose records repeat one time: the server holds one point per time.
    const fs::path repeated = fs::path(made.dataLogFolder) / "Group1" / "TWICE$0009X.DAT";
    std::vector<LogSample> samples = {testsupport::SampleAround(1699990000, 1.0f),
                                      testsupport::SampleAround(1699990000, 2.0f),
                                      testsupport::SampleAround(1699990060, 3.0f)};
    testsupport::WriteDat(repeated, samples, kRawSampleSize);
    // The minute policy keeps an hour only: the node's minute samples are years old.
    MakeDatabase(database, {{"RP_Sec", "INF"}, {"RP_Min", "1h"}, {"RP_Hour", "INF"}, {"RP_Day", "INF"}});
    // The day files' batches meet a server that is down: they wait in Logs/unsent.
    testsupport::FakeHttpServer front([this](const testsupport::FakeRequest& request) {
        if (request.target.find("rp=RP_Day") != std::string::npos) return testsupport::Answer(503, "down");
        return testsupport::Forward(url);
    });
    const testsupport::RunResult converted =
        RunCli({"convert", "--node", (m_dir / node).string(), "--url", front.Url(), "--retry-delay-ms", "1"});
    ASSERT_NE(converted.status, 0) << converted.err;

    const testsupport::RunResult result = Cli("verify");
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_FALSE(Contains(result.out, "    TWICE")) << "two records of one time are one point\n" << result.out;
    const size_t minute = result.out.find("minute (datalogM, RP_Min)");
    const size_t day = result.out.find("day (datalogD, RP_Day)");
    ASSERT_NE(minute, std::string::npos) << result.out;
    ASSERT_NE(day, std::string::npos) << result.out;
    EXPECT_TRUE(Contains(result.out.substr(minute, day - minute), "of them beyond the retention policy: "))
        << result.out;
    EXPECT_TRUE(Contains(result.out.substr(day), "of them waiting in Logs/unsent (quarvel-cli repost): "))
        << result.out;

    // A repair posts the waiting day lines; the minute points the policy drops stay short and are not posted.
    const testsupport::RunResult repaired = Cli("verify", {"--repair"});
    EXPECT_EQ(repaired.status, 1) << repaired.out << repaired.err;
    EXPECT_TRUE(Contains(repaired.out, "Repair: 4 lines of Logs/unsent posted again")) << repaired.out;
    EXPECT_TRUE(Contains(repaired.out, "still short (0 points posted again): 1,441 older than the retention policy"))
        << repaired.out;
    EXPECT_FALSE(Contains(repaired.out, "Repair: day ")) << repaired.out;
    // The minute batches in Logs/unsent are done once the server dropped their points as too old.
    EXPECT_TRUE(Contains(repaired.out, " lines older than the retention policy keeps were dropped by the server"))
        << repaired.out;
    EXPECT_FALSE(Contains(Cli("verify", {"--repair"}).out, "lines of Logs/unsent posted again"));
    // The day files, whole now, are journaled; the minute files, short, are not.
    long minuteFiles = 0;
    for (const auto& entry : fs::recursive_directory_iterator(made.dataLogFolder))
        minuteFiles += entry.path().extension() == ".DAT" && entry.path().stem().string().ends_with("M") ? 1 : 0;
    const testsupport::RunResult resumed = Cli("convert", {"--resume", "--quiet"});
    EXPECT_EQ(SummaryNumber(resumed.err, "Files converted"), minuteFiles) << resumed.err;
    EXPECT_GT(SummaryNumber(resumed.err, "  already converted"), 0) << resumed.err;
}

TEST_F(CheckCli, VerifyTheTableExportIsVerifiedLikewise) {
    testsupport::CreateDatabaseWithPolicies(database);
    ASSERT_EQ(Cli("convert", {"--kind", "rtdb"}).status, 0);
    const testsupport::RunResult result = Cli("verify", {"--kind", "rtdb"});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "Result:   complete")) << result.out;

    // Ten minutes of every raw tag go: each is named short by that one stretch.
    const int64_t first = testsupport::Query("SELECT FIRST(\"status\") FROM \"RP_Sec\".\"datalogX\"",
                                             database)["results"][0]["series"][0]["values"][0][0];
    const std::string window =
        " time >= " + std::to_string(first + 60) + "s AND time < " + std::to_string(first + 660) + "s";
    const nlohmann::json gone =
        testsupport::Query("SELECT FIRST(\"status\") FROM \"RP_Sec\".\"datalogX\" WHERE" + window, database);
    DeleteRaw(" WHERE" + window, database);
    const testsupport::RunResult shortened = Cli("verify", {"--kind", "rtdb"});
    EXPECT_EQ(shortened.status, 1) << shortened.out << shortened.err;
    EXPECT_TRUE(Contains(shortened.out, " missing in 1 stretch, " +
                                            UtcText(gone["results"][0]["series"][0]["values"][0][0].get<int64_t>()) +
                                            " \u2013 "))
        << shortened.out;
    const testsupport::RunResult repaired = Cli("verify", {"--kind", "rtdb", "--repair"});
    EXPECT_EQ(repaired.status, 0) << repaired.out << repaired.err;
    EXPECT_TRUE(Contains(repaired.out, ": repaired (")) << repaired.out;
    EXPECT_EQ(Cli("verify", {"--kind", "rtdb"}).status, 0);
}

}  // namespace

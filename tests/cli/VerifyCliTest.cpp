// quarvel-cli verify as an operator runs it after a migration: the real binary, real node
// folders and the real server, with points taken away, kept out by a short retention policy
// or waiting in unsent-line files.

#include "ChildProcess.h"
#include "logging/Logging.h"
#include "FakeHttpServer.h"
#include "InfluxServer.h"
#include "SampleNodes.h"
#include "Samples.h"
#include "ScratchDir.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace quarvel;

namespace {

const std::string kCli = QUARVEL_CLI;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class VerifyCli : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        QUARVEL_REQUIRE_SERVER();
        url = *testsupport::ServerUrl();
        node = testsupport::UniqueDatabaseName("Node");
        database = "Ry_" + node;
        made = testsupport::MakeSmallSampleNode((m_dir / node).string(), 2, 1);
    }
    void TearDown() override {
        testsupport::DropDatabase(database);
        ScratchDirTest::TearDown();
    }

    testsupport::RunResult Cli(const std::string& command, std::vector<std::string> more = {}) const {
        std::vector<std::string> arguments = {command, "--node", (m_dir / node).string(), "--url", url};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return testsupport::Run(kCli, arguments);
    }

    std::string url;
    std::string node;
    std::string database;
    SampleNodeResult made;
};

TEST_F(VerifyCli, ACompleteConversionThenPointsTakenAwayFromOneTag) {
    testsupport::CreateDatabaseWithPolicies(database);
    ASSERT_EQ(Cli("convert", {"--verify"}).status, 0);
    const testsupport::RunResult complete = Cli("verify", {"--report", (m_dir / "report.csv").string()});
    EXPECT_EQ(complete.status, 0) << complete.out << complete.err;
    EXPECT_TRUE(Contains(complete.out, "Result:   complete")) << complete.out;
    EXPECT_TRUE(Contains(complete.out, "raw (datalogX, RP_Sec): ")) << complete.out;

    // Half a day of one tag's raw points goes.
    const long before = testsupport::CountPoints(database, "RP_Sec", "datalogX");
    testsupport::Query("DELETE FROM \"datalogX\" WHERE \"name\" = 'FLOW_01' AND time < 1699950000s", database);
    const long gone = before - testsupport::CountPoints(database, "RP_Sec", "datalogX");
    ASSERT_GT(gone, 0);
    const testsupport::RunResult result = Cli("verify", {"--report", (m_dir / "report.csv").string()});
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "raw (datalogX, RP_Sec): ")) << result.out;
    EXPECT_TRUE(Contains(result.out, "1 short")) << result.out;
    const std::string missing = Thousands(static_cast<uint64_t>(gone));
    EXPECT_TRUE(Contains(result.out, "    FLOW_01: " + missing + " of ")) << result.out;
    EXPECT_TRUE(Contains(result.out, "Result:   " + missing + " points missing")) << result.out;
    std::ifstream report(m_dir / "report.csv");
    std::string csv((std::istreambuf_iterator<char>(report)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(Contains(csv, "raw,datalogX,RP_Sec,FLOW_01,")) << csv;
    const testsupport::RunResult json = Cli("verify", {"--json"});
    EXPECT_TRUE(Contains(json.out, "\"points_missing\": " + std::to_string(gone))) << json.out;
}

TEST_F(VerifyCli, RepeatedTimesRetentionAndUnsentLinesAreNamed) {
    // A raw file whose records repeat one time: the server holds one point per time.
    const fs::path repeated = fs::path(made.dataLogFolder) / "Group1" / "TWICE$0009X.DAT";
    std::vector<LogSample> samples = {testsupport::SampleAround(1699990000, 1.0f),
                                      testsupport::SampleAround(1699990000, 2.0f),
                                      testsupport::SampleAround(1699990060, 3.0f)};
    {
        std::ofstream file(repeated, std::ios::binary);
        for (const LogSample& s : samples) file.write(reinterpret_cast<const char*>(&s), kRawSampleSize);
    }
    // The minute policy keeps an hour only: the node's minute samples are years old.
    testsupport::Query("CREATE DATABASE \"" + database + "\"");
    for (const char* policy : {"RP_Sec", "RP_Hour", "RP_Day"})
        testsupport::Query(std::string("CREATE RETENTION POLICY \"") + policy + "\" ON \"" + database +
                           "\" DURATION INF REPLICATION 1");
    testsupport::Query("CREATE RETENTION POLICY \"RP_Min\" ON \"" + database + "\" DURATION 1h REPLICATION 1");
    // The day files' batches meet a server that is down: they wait in Logs/unsent.
    testsupport::FakeHttpServer front([this](const testsupport::FakeRequest& request) {
        if (request.target.find("rp=RP_Day") != std::string::npos) return testsupport::Answer(503, "down");
        return testsupport::Forward(url);
    });
    const testsupport::RunResult converted = testsupport::Run(
        kCli, {"convert", "--node", (m_dir / node).string(), "--url", front.Url(), "--retry-delay-ms", "1"});
    ASSERT_NE(converted.status, 0) << converted.err;

    const testsupport::RunResult result = Cli("verify");
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_FALSE(Contains(result.out, "    TWICE")) << "two records of one time are one point\n" << result.out;
    const size_t minute = result.out.find("minute (datalogM, RP_Min)");
    const size_t day = result.out.find("day (datalogD, RP_Day)");
    ASSERT_NE(minute, std::string::npos) << result.out;
    ASSERT_NE(day, std::string::npos) << result.out;
    EXPECT_TRUE(Contains(result.out.substr(minute, day - minute), "of them beyond the retention policy: ")) << result.out;
    EXPECT_TRUE(Contains(result.out.substr(day), "of them waiting in Logs/unsent (quarvel-cli repost): ")) << result.out;
}

TEST_F(VerifyCli, TheTableExportIsVerifiedLikewise) {
    testsupport::CreateDatabaseWithPolicies(database);
    ASSERT_EQ(Cli("convert", {"--kind", "rtdb"}).status, 0);
    const testsupport::RunResult result = Cli("verify", {"--kind", "rtdb"});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "Result:   complete")) << result.out;
}

}  // namespace

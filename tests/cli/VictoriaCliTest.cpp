// quarvel-cli against VictoriaMetrics, the second server it knows: the private servers that
// scripts/test starts, one keeping the test nodes' history (QUARVEL_VM_URL), one with its
// default retention of a month (QUARVEL_VM_SHORT_URL).

#include "ChildProcess.h"
#include "InfluxServer.h"
#include "SampleNodes.h"
#include "Samples.h"
#include "influx/ServerClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>

namespace {

using testsupport::Contains;
using testsupport::RunCli;
using testsupport::RunResult;

class VictoriaCli : public UtcTest {
protected:
    void SetUp() override {
        UtcTest::SetUp();
        if (std::getenv("QUARVEL_VM_URL") == nullptr || std::getenv("QUARVEL_VM_SHORT_URL") == nullptr)
            GTEST_SKIP() << "needs VictoriaMetrics: run scripts/test, or set QUARVEL_VM_URL and QUARVEL_VM_SHORT_URL";
        node = testsupport::UniqueDatabaseName("Vm");
        testsupport::MakeSmallSampleNode((m_dir / node).string(), 2, 1);
    }
    RunResult Cli(const std::string& command, const char* server, std::vector<std::string> more = {}) const {
        std::vector<std::string> arguments = {command, "--node", (m_dir / node).string(), "--url", std::getenv(server)};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunCli(arguments);
    }
    std::string node;
};

TEST_F(VictoriaCli, ANodeConvertedVerifiesCompleteAndADeletedSeriesIsReported) {
    const RunResult checked = Cli("check", "QUARVEL_VM_URL");
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    EXPECT_TRUE(Contains(checked.out, "VictoriaMetrics")) << checked.out;
    EXPECT_TRUE(Contains(checked.out, "keeps 100 years")) << checked.out;

    // Values of 2^32 and more come back as decimals of about 15 digits: still the node's values.
    testsupport::WriteDat(m_dir / node / "Log" / "Group1" / "HUGE_01$0099M.DAT",
                          {testsupport::MakeSample(1699999980, 192, 3.4028235e38f, 3.4028235e38f, 5e9f, 4.2e12f)},
                          kSummarySampleSize);
    // A name that a regular expression would read otherwise is counted again as itself.
    testsupport::WriteDat(m_dir / node / "Log" / "Group1" / "P.1(x)+$0099H.DAT",
                          {testsupport::MakeSample(1699999200, 192, 1, 2, 0, 1)}, kSummarySampleSize);
    // A file without a name: its points have no name label, matched by the empty name among the others.
    testsupport::WriteDat(m_dir / node / "Log" / "Group1" / "$0098H.DAT",
                          {testsupport::MakeSample(1699999200, 192, 3, 4, 2, 3)}, kSummarySampleSize);
    const RunResult converted = Cli("convert", "QUARVEL_VM_URL");
    ASSERT_EQ(converted.status, 0) << converted.out << converted.err;
    EXPECT_FALSE(Contains(converted.err, "Warning")) << converted.err;
    const RunResult whole = Cli("verify", "QUARVEL_VM_URL");
    EXPECT_EQ(whole.status, 0) << whole.out << whole.err;
    EXPECT_TRUE(Contains(whole.out, "Result:   complete")) << whole.out;
    const RunResult valuesAlike = Cli("verify", "QUARVEL_VM_URL", {"--values"});
    EXPECT_EQ(valuesAlike.status, 0) << valuesAlike.out << valuesAlike.err;
    EXPECT_TRUE(Contains(valuesAlike.out, "with other values 0")) << valuesAlike.out;

    // Another writer puts another value at the time of a raw point: the server keeps both
    // samples, and --values names the point with the node's value and the one written last.
    quarvel::ServerClient client(quarvel::ServerClient::Use::kChecks);
    const std::string base = std::getenv("QUARVEL_VM_URL");
    const quarvel::HttpResult exported =
        client.Post(quarvel::EndpointUrl(base, "api/v1/export"),
                    quarvel::EncodeParameters({{"match[]", "{__name__=\"datalogX_value\",db=\"Ry_" + node + "\"}"}}),
                    quarvel::BodyEncoding::Identity, {});
    const nlohmann::json series = nlohmann::json::parse(exported.body.substr(0, exported.body.find('\n')));
    const std::string tag = series["metric"]["name"];
    const double value = series["values"][0];
    const int64_t time = series["timestamps"][0].get<int64_t>() / 1000;
    ASSERT_NE(value, -7.5);
    const quarvel::HttpResult rewritten =
        client.Post(quarvel::EndpointUrl(base, "write", {{"db", "Ry_" + node}}),
                    "datalogX,name=" + tag + " value=-7.5 " + std::to_string(time) + "000000000",
                    quarvel::BodyEncoding::Identity, {});
    ASSERT_TRUE(rewritten.Succeeded()) << rewritten.status << rewritten.body;
    const RunResult values = Cli("verify", "QUARVEL_VM_URL", {"--values", "--json"});
    EXPECT_EQ(values.status, 1) << values.out << values.err;
    const nlohmann::json differing = nlohmann::json::parse(values.out)["values_differing"];
    ASSERT_EQ(differing.size(), 1u) << values.out;
    EXPECT_EQ(differing[0]["tag"], tag) << values.out;
    EXPECT_EQ(differing[0]["examples"][0]["node"].get<double>(), value) << values.out;
    EXPECT_EQ(differing[0]["examples"][0]["server"].get<double>(), -7.5) << values.out;

    // The hour series of every tag go; the other kinds stay whole.
    const std::string match = "{__name__=\"datalogH_status\",db=\"Ry_" + node + "\"}";
    const quarvel::HttpResult deleted =
        client.Post(quarvel::EndpointUrl(base, "api/v1/admin/tsdb/delete_series"),
                    quarvel::EncodeParameters({{"match[]", match}}), quarvel::BodyEncoding::Identity, {});
    ASSERT_TRUE(deleted.Succeeded()) << deleted.status << deleted.body;
    const RunResult shortened = Cli("verify", "QUARVEL_VM_URL");
    EXPECT_EQ(shortened.status, 1) << shortened.out << shortened.err;
    EXPECT_TRUE(Contains(shortened.out, "hour (datalogH, RP_Hour): 0 tags complete")) << shortened.out;
    EXPECT_TRUE(Contains(shortened.out, "raw (datalogX, RP_Sec): 2 tags complete, 0 short, 0 missing"))
        << shortened.out;

    // The repair writes the hour points again, and the server counts them again.
    const RunResult repaired = Cli("verify", "QUARVEL_VM_URL", {"--repair"});
    EXPECT_EQ(repaired.status, 0) << repaired.out << repaired.err;
    const RunResult after = Cli("verify", "QUARVEL_VM_URL");
    EXPECT_TRUE(Contains(after.out, "hour (datalogH, RP_Hour): 4 tags complete, 0 short, 0 missing")) << after.out;
}

TEST_F(VictoriaCli, ADefaultRetentionStopsTheRunBeforeAnyWrite) {
    const RunResult stopped = Cli("convert", "QUARVEL_VM_SHORT_URL");
    EXPECT_EQ(stopped.status, 2) << stopped.out << stopped.err;
    EXPECT_TRUE(Contains(stopped.err, std::string("VictoriaMetrics at ") + std::getenv("QUARVEL_VM_SHORT_URL") +
                                          " keeps 1 month; the node's oldest sample is from 20"))
        << stopped.err;
    EXPECT_TRUE(Contains(stopped.err,
                         ": its points would be dropped. Start it with -retentionPeriod covering the "
                         "history, or pass --accept-drop."))
        << stopped.err;
    EXPECT_FALSE(Contains(stopped.out, "Lines written")) << stopped.out;
    EXPECT_FALSE(std::filesystem::exists(m_dir / "Logs" / "unsent")) << "nothing was sent";
}

}  // namespace

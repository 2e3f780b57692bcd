// A real InfluxDB server failing under a running conversion: killed and started again
// within the retries, down for longer than they last, its database dropped. After each,
// every line of the input is in the server or in an unsent-line file, and quarvel-cli
// repost delivers the files.

#include "ChildProcess.h"
#include "InfluxServer.h"
#include "PrivateInflux.h"
#include "RecordedProgress.h"
#include "SampleNodes.h"
#include "ScratchDir.h"
#include "datalog/DataLogConverter.h"
#include "influx/Repost.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <set>
#include <thread>

using namespace quarvel;

namespace {

using testsupport::Contains;
using testsupport::SummaryNumber;

const std::string kDatabase = "Ry_Node_F";

// A short schedule, and one long enough for the server to come back within it (at least
// 0.2 + 0.4 + 0.8 + 1.6 s of waiting).
constexpr RetryPolicy kBrief{5, std::chrono::milliseconds(5), 2.0, 0.25};
constexpr RetryPolicy kPatient{5, std::chrono::milliseconds(250), 2.0, 0.2};

class ServerFault : public UtcTest {
protected:
    void SetUp() override {
        UtcTest::SetUp();
        if (!testsupport::HaveInfluxd()) GTEST_SKIP() << "needs influxd on the PATH";
        std::string error;
        ASSERT_TRUE(server.Start(error)) << error;
        // The support library's queries go to this server.
        setenv(testsupport::kServerUrlVariable, server.Url().c_str(), 1);
        testsupport::CreateDatabaseWithPolicies(kDatabase);
        made = testsupport::MakeSmallSampleNode((m_dir / "Node_F").string(), 2, 2);
        input = made.rawRecords + made.summaryRecords;
        InitLogging();
    }
    void TearDown() override {
        if (restart.joinable()) restart.join();
        ShutdownLogging();
        UtcTest::TearDown();
    }

    // Converts the node file by file; `beforeTry` runs before each try of each post, with
    // its number (1, 2, ...).
    ConversionTotals Convert(const RetryPolicy& retry, const std::function<void(int)>& beforeTry) {
        InfluxTarget target;
        target.baseUrl = server.Url();
        target.moreUrls = moreNodes;
        target.unsentFolder = kUnsentFolder;
        target.retry = retry;
        target.post = [this, beforeTry](const std::string& url, const std::string& body) {
            beforeTry(++tries);
            HttpResult result = HttpPost(url, body);
            (result.Succeeded() ? stored : failed).insert(body);
            return result;
        };
        list.onEnded = [this](const std::string& text) { closing = text; };
        DataLogConverter converter(made.dataLogFolder, kDatabase, list, target);
        converter.ConvertAll();
        return converter.Totals();
    }

    static uint64_t InServer() {
        uint64_t points = 0;
        for (int kind = 0; kind < kTableKindCount; ++kind)
            points +=
                static_cast<uint64_t>(testsupport::CountPoints(kDatabase, kRetentionPolicy[kind], kMeasurement[kind]));
        return points;
    }

    // Lines of the unsent-line files, checked whole.
    static uint64_t InUnsentFiles(std::vector<std::string>* bodies = nullptr) {
        uint64_t lines = 0;
        for (const std::string& path : ListUnsentFiles(kUnsentFolder)) {
            UnsentFile file;
            std::string error;
            EXPECT_TRUE(file.Read(path, error)) << error;
            EXPECT_EQ(file.Database(), kDatabase);
            EXPECT_EQ(file.DamagedBytes(), 0u) << path;
            for (const auto& batch : file.Batches()) {
                lines += static_cast<uint64_t>(batch.lines);
                if (bodies != nullptr) bodies->emplace_back(batch.body);
            }
        }
        return lines;
    }

    testsupport::RunResult Repost() const {
        return testsupport::RunCli({"repost", "--url", server.Url(), "--retry-delay-ms", "5"});
    }

    bool Shown(const std::string& part) {
        for (const std::string& line : list.Lines())
            if (Contains(line, part)) return true;
        return false;
    }

    void Report(const std::string& fault, const std::string& counts) {
        std::cout << "[ counts   ] " << fault << ": " << counts << std::endl;
        RecordProperty("counts", counts);
    }

    testsupport::PrivateInflux server;
    std::vector<std::string> moreNodes;  // of a cluster or relay pair, beside the server
    SampleNodeResult made;
    uint64_t input = 0;
    testsupport::RecordedProgress list;
    std::string closing;
    int tries = 0;
    std::set<std::string> stored;  // bodies the server took
    std::set<std::string> failed;  // bodies it did not, at least once
    std::thread restart;
};

TEST_F(ServerFault, KilledAndStartedAgainWithinTheRetriesLosesNothing) {
    const ConversionTotals totals = Convert(kPatient, [this](int attempt) {
        if (attempt != 3) return;
        server.Kill();
        restart = std::thread([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            std::string error;
            EXPECT_TRUE(server.Start(error)) << error;
        });
    });
    restart.join();

    const uint64_t inServer = InServer();
    const uint64_t unsent = InUnsentFiles();
    Report("killed and started again", "input " + std::to_string(input) + " lines, in the server " +
                                           std::to_string(inServer) + ", unsent " + std::to_string(unsent) +
                                           ", tries " + std::to_string(tries));
    EXPECT_EQ(inServer, input);
    EXPECT_EQ(unsent, 0u);
    EXPECT_FALSE(fs::exists(kUnsentFolder));
    EXPECT_EQ(totals.writes.linesWritten, input);
    EXPECT_EQ(totals.writes.batchesFailed, 0u);
    EXPECT_GT(tries, static_cast<int>(stored.size())) << "the post under the kill was tried again";
    EXPECT_TRUE(Shown("Server not answering, retrying in")) << "the progress line says the server is retried";
    EXPECT_EQ(closing, "Conversion completed");
}

TEST_F(ServerFault, OneNodeOfTwoKilledLosesNothingAndWaitsForNothing) {
    testsupport::PrivateInflux other;
    std::string error;
    ASSERT_TRUE(other.Start(error)) << error;
    other.CreateDatabase(kDatabase);
    moreNodes = {other.Url()};
    const ConversionTotals totals = Convert(kPatient, [&other](int attempt) {
        if (attempt == 3) other.Kill();
    });
    ASSERT_TRUE(other.Start(error)) << error;  // to count what it took before it went down

    const uint64_t onFirst = InServer();
    const auto onSecond = static_cast<uint64_t>(other.CountPoints(kDatabase));
    Report("one node of two killed", "input " + std::to_string(input) + " lines, on the node that stayed " +
                                         std::to_string(onFirst) + ", on the killed one " + std::to_string(onSecond) +
                                         ", tries " + std::to_string(tries));
    EXPECT_EQ(onFirst + onSecond, input) << "each batch is stored on one node";
    EXPECT_GT(onSecond, 0u) << "batches were spread before the kill";
    EXPECT_EQ(totals.writes.linesWritten, input);
    EXPECT_FALSE(fs::exists(kUnsentFolder));
    EXPECT_FALSE(Shown("retrying in")) << "the other node answered: no wait";
}

TEST_F(ServerFault, DownLongerThanTheRetriesSavesTheRestAndRepostCompletesIt) {
    const ConversionTotals totals = Convert(kBrief, [this](int attempt) {
        if (attempt == 3) server.Kill();
    });
    const int batches = static_cast<int>(stored.size() + totals.writes.batchesSaved);

    // Against the dead server repost keeps every batch and says it could not reach it.
    const testsupport::RunResult unreachable = Repost();
    EXPECT_EQ(unreachable.status, 3) << unreachable.err;
    EXPECT_EQ(SummaryNumber(unreachable.err, "Batches delivered"), 0) << unreachable.err;
    EXPECT_EQ(SummaryNumber(unreachable.err, "Batches left"), static_cast<long long>(totals.writes.batchesSaved));

    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    const uint64_t inServer = InServer();
    const uint64_t unsent = InUnsentFiles();
    // A Ctrl-C while the first batch is on its way: that batch is delivered and leaves its file.
    std::atomic<bool> interrupted{false};
    InfluxTarget target;
    target.baseUrl = server.Url();
    target.post = [&interrupted](const std::string& url, const std::string& body) {
        interrupted = true;
        return HttpPost(url, body);
    };
    const auto quiet = [](const std::string&) {};
    const RepostTally stopped = quarvel::Repost(ListUnsentFiles(kUnsentFolder), target, interrupted, quiet, quiet);
    EXPECT_EQ(stopped.batchesDelivered, 1u);
    EXPECT_EQ(InUnsentFiles(), stopped.linesLeft);
    const testsupport::RunResult repost = Repost();
    const uint64_t afterRepost = InServer();
    Report("down longer than the retries",
           "input " + std::to_string(input) + " lines, in the server " + std::to_string(inServer) + ", unsent " +
               std::to_string(unsent) + ", after repost " + std::to_string(afterRepost) + " in the server, tries " +
               std::to_string(tries) + " for " + std::to_string(batches) + " batches");

    EXPECT_EQ(inServer + unsent, input);
    EXPECT_EQ(inServer, totals.writes.linesWritten);
    EXPECT_EQ(unsent, totals.writes.linesSaved);
    EXPECT_EQ(totals.writes.linesNotWritten, unsent);
    EXPECT_GT(totals.writes.batchesUnanswered, 0u);
    // The first batch met the dead server with all its tries, the later ones with one each.
    EXPECT_EQ(tries, 2 + kBrief.tries + (batches - 3));
    EXPECT_EQ(closing, "Conversion completed, but " + std::to_string(unsent) +
                           " lines were not written; they are saved in Logs/unsent/ (quarvel-cli repost sends them)");
    EXPECT_EQ(list.Lines().front(), closing);

    EXPECT_EQ(repost.status, 0) << repost.err;
    EXPECT_EQ(SummaryNumber(repost.err, "Lines delivered"), static_cast<long long>(stopped.linesLeft)) << repost.err;
    EXPECT_EQ(SummaryNumber(repost.err, "Lines left"), 0) << repost.err;
    EXPECT_EQ(afterRepost, input);
    EXPECT_TRUE(ListUnsentFiles(kUnsentFolder).empty());
}

TEST_F(ServerFault, DroppedDatabaseIsNotRetriedAndItsBatchesAreSavedAsPosted) {
    const ConversionTotals totals = Convert(kBrief, [](int attempt) {
        if (attempt == 3) testsupport::DropDatabase(kDatabase);
    });
    const int batches = static_cast<int>(stored.size() + totals.writes.batchesSaved);
    std::vector<std::string> bodies;
    const uint64_t unsent = InUnsentFiles(&bodies);
    const uint64_t written = totals.writes.linesWritten;

    // While the database is missing, repost keeps every batch and says the server refused them.
    const testsupport::RunResult refusedAgain = Repost();
    EXPECT_EQ(refusedAgain.status, 1) << refusedAgain.err;
    EXPECT_EQ(SummaryNumber(refusedAgain.err, "Lines left"), static_cast<long long>(unsent)) << refusedAgain.err;

    // The lines posted before the drop went with the database; the rest wait in the files.
    testsupport::CreateDatabaseWithPolicies(kDatabase);
    const testsupport::RunResult repost = Repost();
    const uint64_t afterRepost = InServer();
    Report("database dropped", "input " + std::to_string(input) + " lines, written before the drop " +
                                   std::to_string(written) + ", unsent " + std::to_string(unsent) + ", after repost " +
                                   std::to_string(afterRepost) + " in the server");

    EXPECT_EQ(tries, batches) << "a 404 is not tried again";
    EXPECT_EQ(written + unsent, input);
    EXPECT_EQ(totals.writes.batchesUnanswered, 0u);
    EXPECT_EQ(totals.writes.batchesSaved, bodies.size());
    for (const std::string& body : bodies) EXPECT_TRUE(failed.contains(body)) << "saved exactly as posted";
    EXPECT_TRUE(Contains(ReadFile("Logs/Quarvel.log"), "failed: HTTP 404 database not found"));

    EXPECT_EQ(repost.status, 0) << repost.err;
    EXPECT_EQ(afterRepost, unsent);
    EXPECT_TRUE(ListUnsentFiles(kUnsentFolder).empty());
}

}  // namespace

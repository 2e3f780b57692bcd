// quarvel-cli follow against a node that make-sample --live keeps writing: it catches up,
// follows appended records and a new sub-folder, survives kill -9 and a server that goes
// away, and a SIGTERM leaves the journal holding all it stored.

#include "ChildProcess.h"
#include "FakeHttpServer.h"
#include "InfluxServer.h"
#include "ScratchDir.h"
#include "influx/Unsent.h"

#include <gtest/gtest.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

using namespace quarvel;

namespace {

using testsupport::Child;
using testsupport::Contains;
using testsupport::RunCli;
using testsupport::RunResult;

// Polls `done` with a generous deadline: how soon it holds is no part of the test.
bool Eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return true;
}

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class FollowCli : public ServerTest {
protected:
    void ServerSetUp() override {
        node = testsupport::UniqueDatabaseName("Live");
        AddDatabase("Ry_" + node);
        const RunResult made = RunCli({"make-sample", node, "--tags", "2", "--days", "1", "--raw-step", "1"});
        ASSERT_EQ(made.status, 0) << made.err;
    }

    // Follows through the proxy, which loses every request while `down` holds.
    Child StartFollow() {
        return testsupport::Spawn(QUARVEL_CLI,
                                  {"follow", "--node", node, "--url", proxy.Url(), "--latency", "1", "--rescan", "2",
                                   "--progress-interval", "1", "--metrics", "follow.prom", "--retry-delay-ms", "20"});
    }
    // A figure of follow's metrics file; -1 while it has none.
    double Metric(const std::string& name) const {
        const std::string text = ReadFile("follow.prom");
        const std::string key = name + "{database=\"Ry_" + node + "\"} ";
        const size_t at = text.find(key);
        return at == std::string::npos ? -1 : std::stod(text.substr(at + key.size()));
    }
    // Every record is stored and follow has no change in hand.
    bool CaughtUp() const {
        return Metric("quarvel_follow_lag_seconds") == 0 &&
               RunCli({"verify", "--node", node, "--url", url}).status == 0;
    }

    std::string node;
    std::atomic<bool> down{false};
    std::atomic<bool> refuseDays{false};  // every post of day summaries answered 400
    testsupport::FakeHttpServer proxy{[this](const testsupport::FakeRequest& request) {
        if (refuseDays && Contains(request.target, "rp=RP_Day"))
            return testsupport::Answer(400, "unable to parse 'datalogD,name=T': bad timestamp");
        return down ? testsupport::FakeReply{} : testsupport::Forward(url);
    }};
};

TEST_F(FollowCli, FollowsALiveNodeThroughKillsAndOutagesAndStopsWithTheJournalWhole) {
    enum class Mishap { kNone, kKill9, kServerAway };
    for (const Mishap mishap : {Mishap::kNone, Mishap::kKill9, Mishap::kServerAway}) {
        SCOPED_TRACE(static_cast<int>(mishap));
        Child writer = testsupport::Spawn(QUARVEL_CLI, {"make-sample", node, "--raw-step", "1", "--live", "6"});
        Child follow = StartFollow();
        Pause(2500);
        if (mishap == Mishap::kKill9) {
            ASSERT_EQ(kill(follow.pid, SIGKILL), 0);
            ASSERT_EQ(testsupport::Finish(follow), 128 + SIGKILL);
            follow = StartFollow();
        } else if (mishap == Mishap::kServerAway) {
            down = true;
            Pause(3000);
            down = false;
        }
        const std::string written = testsupport::ReadUntil(writer.out, testsupport::HasLine, 30000);
        ASSERT_EQ(testsupport::Finish(writer), 0) << written;
        // The new tag's files began half-way, in a sub-folder of their own; verify holds them too.
        ASSERT_TRUE(Contains(written, "new tag ")) << written;
        Pause(1500);  // past the latency, so that the writer's last records are in hand
        EXPECT_TRUE(Eventually([this] { return CaughtUp(); }));
        EXPECT_TRUE(Eventually([] { return ListUnsentFiles(kUnsentFolder).empty(); }));

        ASSERT_EQ(kill(follow.pid, SIGTERM), 0);
        const std::string told = testsupport::ReadUntil(
            follow.err, [](const std::string&) { return false; }, 30000);
        ASSERT_EQ(testsupport::Finish(follow), 0) << told;
        EXPECT_TRUE(Contains(told, "Health: lag ")) << told;
        // The outage's batches were kept aside and posted again once the server answered.
        EXPECT_EQ(Contains(told, "The server answers again"), mishap == Mishap::kServerAway) << told;
        // The journal holds every file as it was stored: nothing is left to post.
        const RunResult resumed = RunCli({"convert", "--node", node, "--url", url, "--resume", "--quiet"});
        EXPECT_EQ(resumed.status, 0) << resumed.err;
        EXPECT_EQ(testsupport::SummaryNumber(resumed.err, "Lines written"), 0) << resumed.err;
    }
}

// Lines the server refuses at once stay aside: follow goes on with the rest of the node
// instead of probing a server that answers for ever, and its rescans keep them only once.
TEST_F(FollowCli, LinesTheServerRefusesStayAsideWhileTheRestIsFollowed) {
    refuseDays = true;
    Child follow = StartFollow();
    Child writer = testsupport::Spawn(QUARVEL_CLI, {"make-sample", node, "--raw-step", "1", "--live", "4"});
    const std::string written = testsupport::ReadUntil(writer.out, testsupport::HasLine, 30000);
    ASSERT_EQ(testsupport::Finish(writer), 0) << written;
    Pause(1500);  // past the latency
    ASSERT_TRUE(Eventually([this] {
        return Metric("quarvel_follow_lag_seconds") == 0 && Metric("quarvel_follow_server_up") == 1 &&
               Metric("quarvel_follow_unsent_lines") > 0;
    }));
    const double kept = Metric("quarvel_follow_unsent_lines");
    Pause(5000);  // two rescans
    EXPECT_EQ(Metric("quarvel_follow_unsent_lines"), kept);

    ASSERT_EQ(kill(follow.pid, SIGTERM), 0);
    const std::string told = testsupport::ReadUntil(
        follow.err, [](const std::string&) { return false; }, 30000);
    EXPECT_EQ(testsupport::Finish(follow), 0) << told;
    EXPECT_TRUE(Contains(told, "lines the server refused went to Logs/unsent; follow goes on")) << told;
    EXPECT_FALSE(Contains(told, "the server is probed")) << told;
    // Once the server takes them, the node is whole in it: nothing was lost or left unread.
    refuseDays = false;
    EXPECT_EQ(RunCli({"repost", "--url", proxy.Url()}).status, 0);
    const RunResult verified = RunCli({"verify", "--node", node, "--url", url});
    EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
}

// Without a journal every cycle would post the whole node again: follow ends at once.
TEST_F(FollowCli, EndsAtOnceWithoutAJournal) {
    fs::create_directories("Logs");
    std::ofstream("Logs/journal");  // a file where the journals' folder goes
    Child follow = StartFollow();
    const std::string told = testsupport::ReadUntil(
        follow.err, [](const std::string&) { return false; }, 10000);
    kill(follow.pid, SIGKILL);  // still following: the fault
    EXPECT_EQ(testsupport::Finish(follow), 2) << told;
    EXPECT_TRUE(Contains(told, "every cycle would post the whole node again; follow ends")) << told;
}

// A dropped database refuses the next records for good: follow ends with 1, not probing for ever.
// How many batches the new records make depends on where follow's cycles fall, so the node
// goes on writing, as a live node does, until three in a row were refused.
TEST_F(FollowCli, EndsWithStatusOneOnceTheServerRefusesForGood) {
    Child follow = StartFollow();
    ASSERT_TRUE(Eventually([this] { return CaughtUp(); }));
    testsupport::Query("DROP DATABASE \"Ry_" + node + "\"");
    std::string told;
    const auto ended = [&told](const std::string& text) { return Contains(told + text, "follow ends"); };
    for (int writes = 0; writes < 5 && !ended(""); ++writes) {
        ASSERT_EQ(RunCli({"make-sample", node, "--raw-step", "1", "--live", "2"}).status, 0);
        told += testsupport::ReadUntil(follow.err, ended, 5000);
    }
    told += testsupport::ReadUntil(
        follow.err, [](const std::string&) { return false; }, 30000);  // to its end
    kill(follow.pid, SIGKILL);                                         // still probing: the fault
    EXPECT_EQ(testsupport::Finish(follow), 1) << told;
    EXPECT_TRUE(Contains(told, "The server refuses for good (HTTP 404")) << told;
}

}  // namespace

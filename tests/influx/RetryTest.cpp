// The writer against the faults a real server cannot be made to show on cue: which are
// tried again and how often, what is counted, and what goes to the unsent-line file.

#include "FakeHttpServer.h"
#include "FreePort.h"
#include "Samples.h"
#include "ScratchDir.h"
#include "influx/RyInfluxDB.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace quarvel;

namespace {

using Reply = testsupport::FakeReply;
using Request = testsupport::FakeRequest;
using testsupport::Answer;
using testsupport::FakeHttpServer;

constexpr RetryPolicy kBrief{5, std::chrono::milliseconds(5), 2.0, 0.25};

struct Outcome {
    WriteCounts counts;
    int tries = 0;
    std::vector<RetryNotice> notices;
    std::vector<std::string> posted;  // bodies as the writer posted them, every try
};

class WriterFaults : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        InitLogging();
    }
    void TearDown() override {
        ShutdownLogging();
        ScratchDirTest::TearDown();
    }

    // `lines` raw lines of about 70 bytes each, posted in one batch to `url`.
    static Outcome Write(const std::string& url, int lines, InfluxTarget target = {}) {
        Outcome outcome;
        target.baseUrl = url;
        target.retry = kBrief;
        target.unsentFolder = kUnsentFolder;
        target.onRetry = [&outcome](const RetryNotice& notice) { outcome.notices.push_back(notice); };
        target.post = [&outcome](const std::string& to, const std::string& body) {
            ++outcome.tries;
            outcome.posted.push_back(body);
            return HttpPost(to, body, HttpTimeouts{1, 1});
        };
        RyInfluxDB writer("Ry_Faults", target);
        for (int i = 0; i < lines; ++i) {
            const LogSample s = testsupport::SampleAround(1600000000 + i, static_cast<float>(i));
            writer.AddRawSample("PUMP_1", &s);
        }
        writer.FlushAll();
        outcome.counts = writer.Counts();
        return outcome;
    }

    static std::vector<std::string> SavedBodies() {
        std::vector<std::string> bodies;
        for (const auto& path : ListUnsentFiles(kUnsentFolder)) {
            UnsentFile file;
            std::string error;
            EXPECT_TRUE(file.Read(path, error)) << error;
            EXPECT_EQ(file.Database(), "Ry_Faults");
            EXPECT_EQ(file.RetentionPolicy(), "RP_Sec");
            for (const auto& batch : file.Batches()) bodies.emplace_back(batch.body);
        }
        return bodies;
    }
};

TEST_F(WriterFaults, EachFaultIsTriedAgainOrSavedAsItDeserves) {
    const Reply silent{.kind = Reply::kSilent};
    const Reply reset{.kind = Reply::kReset};
    const Reply busy = Answer(503, "service unavailable");
    struct Case {
        const char* name;
        std::vector<Reply> replies;  // by request; 204 after them
        int tries;
        uint64_t written;
        uint64_t saved;
        bool unanswered;
        const char* logged;  // part of the log
    } cases[] = {
        {"500 passes on the second try", {Answer(500, "timeout")}, 2, 10, 0, false, "failed (try 1 of 5): HTTP 500"},
        {"429 passes on the second try", {Answer(429, "too many requests")}, 2, 10, 0, false, "HTTP 429"},
        {"503 five times is saved", {busy, busy, busy, busy, busy}, 5, 0, 10, false, "failed: HTTP 503"},
        {"an answer that never comes", {silent}, 2, 10, 0, false, "failed (try 1 of 5): "},
        {"a reset while the body is on its way", {reset, reset}, 3, 10, 0, false, "failed (try 2 of 5): "},
        {"500 retention policy not found is not retried",
         {Answer(500, "retention policy not found: RP_Sec")},
         1,
         0,
         10,
         false,
         "failed: HTTP 500 retention policy not found"},
        {"404 is not retried", {Answer(404, "database not found: Ry_Faults")}, 1, 0, 10, false, "HTTP 404"},
        {"400 partial write keeps what the server took and saves the batch",
         {Answer(400, "partial write: points beyond retention policy dropped=3")},
         1,
         7,
         10,
         false,
         "(3 lines counted as dropped): partial write: points beyond retention policy dropped=3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(kUnsentFolder);
        FakeHttpServer server([&c](const Request& request) {
            const auto index = static_cast<size_t>(request.index);
            return index < c.replies.size() ? c.replies[index] : Answer(204);
        });
        const Outcome outcome = Write(server.Url(), 10);

        EXPECT_EQ(outcome.tries, c.tries);
        EXPECT_EQ(outcome.notices.size(), static_cast<size_t>(c.tries - 1));
        EXPECT_EQ(outcome.counts.linesWritten, c.written);
        EXPECT_EQ(outcome.counts.linesNotWritten, 10 - c.written);
        EXPECT_EQ(outcome.counts.linesSaved, c.saved);
        EXPECT_EQ(outcome.counts.batchesUnanswered, c.unanswered ? 1u : 0u);
        // What is saved is the batch exactly as it was posted.
        const auto saved = SavedBodies();
        EXPECT_EQ(saved, c.saved > 0 ? std::vector<std::string>{outcome.posted.front()} : std::vector<std::string>{});
        EXPECT_NE(ReadFile("Logs/Quarvel.log").find(c.logged), std::string::npos) << ReadFile("Logs/Quarvel.log");
    }
}

TEST_F(WriterFaults, RetriesBackOffAndTellTheProgressLine) {
    FakeHttpServer server([](const Request& request) { return request.index < 4 ? Answer(503, "busy") : Answer(204); });
    InfluxTarget target;
    std::vector<long long> waits;
    target.wait = [&waits](std::chrono::milliseconds delay) { waits.push_back(delay.count()); };
    const Outcome outcome = Write(server.Url(), 3, target);
    EXPECT_EQ(outcome.counts.linesWritten, 3u);
    ASSERT_EQ(waits.size(), 4u);
    // 5, 10, 20, 40 ms, each within a quarter either way.
    for (size_t i = 0; i < waits.size(); ++i) {
        const double base = 5.0 * (1 << i);
        EXPECT_GE(static_cast<double>(waits[i]), std::floor(base * 0.75)) << i;
        EXPECT_LE(static_cast<double>(waits[i]), std::ceil(base * 1.25)) << i;
    }
    ASSERT_EQ(outcome.notices.size(), 4u);
    EXPECT_EQ(RetryText(outcome.notices[3]),
              "Server busy (HTTP 503), retrying in " + std::to_string(waits[3]) + " ms (try 5 of 5)");
    const RetryNotice silent{3, 5, std::chrono::milliseconds(8400), 0, "Connection refused"};
    EXPECT_EQ(RetryText(silent), "Server not answering, retrying in 8 s (try 3 of 5)");
}

TEST_F(WriterFaults, TooLargeBatchesAreHalvedUntilTheyPass) {
    struct Case {
        const char* name;
        size_t limit;  // bodies longer than this get 413
        uint64_t written;
        size_t savedRecords;
    } cases[] = {
        {"halves pass", 500, 10, 0},
        {"even one line is too large: each is saved on its own", 20, 0, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(kUnsentFolder);
        FakeHttpServer server([&c](const Request& request) {
            return request.bodyLength > c.limit ? Answer(413, "Request Entity Too Large") : Answer(204);
        });
        const Outcome outcome = Write(server.Url(), 10);
        EXPECT_EQ(outcome.counts.linesWritten, c.written);
        EXPECT_EQ(outcome.counts.linesSaved, 10 - c.written);
        EXPECT_EQ(outcome.counts.batchesFailed, c.written == 10 ? 0u : 1u);
        const auto saved = SavedBodies();
        EXPECT_EQ(saved.size(), c.savedRecords);
        // Whatever passed and whatever was saved make up the batch, line for line.
        std::vector<std::string> parts = server.Bodies();
        parts.erase(std::remove_if(parts.begin(), parts.end(), [&c](const auto& b) { return b.size() > c.limit; }),
                    parts.end());
        parts.insert(parts.end(), saved.begin(), saved.end());
        std::string joined;
        for (const auto& part : parts) joined += part + "\n";
        std::string whole = outcome.posted.front() + "\n";
        auto sorted = [](const std::string& text) {
            std::vector<std::string> lines;
            for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
                lines.push_back(text.substr(at, end - at));
            std::sort(lines.begin(), lines.end());
            return lines;
        };
        EXPECT_EQ(sorted(joined), sorted(whole));
    }
}

TEST_F(WriterFaults, AfterOneBatchFoundTheServerSilentTheNextTryOnce) {
    InfluxTarget target;
    target.baseUrl = testsupport::UnreachableUrl();
    target.retry = kBrief;
    target.unsentFolder = kUnsentFolder;
    int tries = 0;
    target.post = [&tries](const std::string& url, const std::string& body) {
        ++tries;
        return HttpPost(url, body, HttpTimeouts{1, 1});
    };
    {
        RyInfluxDB first("Ry_Faults", target);
        const LogSample s = testsupport::SampleAround(1600000000, 1.0f);
        first.AddRawSample("T", &s);
        first.AddSummarySample(kMinute, "T", &s);
        first.FlushAll();
        EXPECT_EQ(first.Counts().batchesUnanswered, 2u);
        EXPECT_EQ(first.Counts().linesSaved, 2u);
    }
    EXPECT_EQ(tries, kBrief.tries + 1);
    EXPECT_EQ(ListUnsentFiles(kUnsentFolder).size(), 2u) << "one file per retention policy";

    // A server that answers again gets every try once more.
    FakeHttpServer server(
        [](const Request& request) { return request.index == 0 ? Answer(503, "busy") : Answer(204); });
    target.baseUrl = server.Url();
    RyInfluxDB second("Ry_Faults", target);
    const LogSample s = testsupport::SampleAround(1600000000, 1.0f);
    second.AddRawSample("T", &s);
    second.FlushAll();
    EXPECT_EQ(second.Counts().linesWritten, 1u);
}

// Two nodes, one of them down: its batches go to the other at once, with no wait for a retry,
// and every post carries the write consistency.
TEST_F(WriterFaults, ANodeThatDoesNotAnswerHandsItsBatchesToTheNext) {
    FakeHttpServer down(FakeHttpServer::Refusing{});
    FakeHttpServer up([](const Request&) { return Answer(204); });
    InfluxTarget target;
    target.moreUrls = {up.Url()};
    target.consistency = "quorum";
    const Outcome outcome = Write(down.Url(), 25000, target);
    EXPECT_EQ(outcome.counts.linesWritten, 25000u);
    EXPECT_TRUE(outcome.notices.empty()) << "no retry wait while a node answers";
    EXPECT_EQ(outcome.tries, 5) << "the batches start at each node in turn";
    ASSERT_EQ(up.Requests().size(), 3u);
    for (const std::string& request : up.Requests())
        EXPECT_EQ(request.rfind("POST /write?db=Ry_Faults&rp=RP_Sec&consistency=quorum HTTP/1.1\r\n", 0), 0u)
            << request;
}

TEST(Classify, WhatMayPassLaterIsTriedAgain) {
    struct Case {
        int curlCode;
        long status;
        const char* error;
        Verdict verdict;
    } cases[] = {
        {7, 0, "Failed to connect", Verdict::kRetry},
        {28, 0, "Operation timed out", Verdict::kRetry},
        {56, 0, "Connection reset by peer", Verdict::kRetry},
        {3, 0, "URL using bad/illegal format", Verdict::kRefused},
        {60, 0, "SSL certificate problem: self-signed certificate", Verdict::kRefused},
        {0, 204, "", Verdict::kStored},
        {0, 400, "unable to parse 'x': missing fields", Verdict::kRefused},
        {0, 400, "partial write: field type conflict dropped=2", Verdict::kPartial},
        {0, 401, "authorization failed", Verdict::kRefused},
        {0, 404, "database not found: \"Ry_X\"", Verdict::kRefused},
        {0, 413, "Request Entity Too Large", Verdict::kTooLarge},
        {0, 429, "", Verdict::kRetry},
        {0, 500, "timeout", Verdict::kRetry},
        {0, 500, "retention policy not found: RP_Sec", Verdict::kRefused},
        {0, 502, "Bad Gateway", Verdict::kRetry},
        {0, 503, "", Verdict::kRetry},
    };
    for (const auto& c : cases) {
        HttpResult result;
        result.curlCode = c.curlCode;
        result.status = c.status;
        result.error = c.error;
        EXPECT_EQ(Classify(result), c.verdict) << c.status << " " << c.error;
    }

    EXPECT_EQ(DroppedCount("partial write: points beyond retention policy dropped=12"), 12);
    EXPECT_EQ(DroppedCount("partial write: unable to parse 'a dropped=5': bad dropped=0"), 0);
    EXPECT_EQ(DroppedCount("partial write: something else"), -1);
}

}  // namespace

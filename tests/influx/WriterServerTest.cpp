// The writer against a real InfluxDB 1.x server: what it posts is read back whole.

#include "FakeHttpServer.h"
#include "InfluxServer.h"
#include "Samples.h"
#include "ScratchDir.h"
#include "SnprintfFormat.h"
#include "influx/RyInfluxDB.h"
#include "logging/Logging.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

using namespace quarvel;

namespace {

using testsupport::CountPoints;
using testsupport::MakeSample;
using testsupport::SelectAll;

class WriterServer : public ServerTest {
protected:
    void ServerSetUp() override {
        database = NewDatabase("Ry_writer");
        target.baseUrl = url;
    }

    // Posts lines as given, bypassing the writer.
    HttpResult PostRaw(const std::string& body, int kind) {
        return HttpPost(WriteUrl(target.baseUrl, database, kind), body);
    }

    std::string database;
    InfluxTarget target;
};

TEST_F(WriterServer, EveryKindLandsInItsMeasurementAndPolicy) {
    {
        RyInfluxDB writer(database.c_str(), target);
        const LogSample raw = MakeSample(1500028800, 192, 12.5f, 0, 0, 0);
        writer.AddRawSample("T1", &raw);
        for (int kind : {kMinute, kHour, kDay}) {
            const LogSample summary = MakeSample(1500028800 + kind, 65535, 1.25f, 2.5f, -0.5f, 1.0f);
            std::lock_guard lock(writer.m_batchLock[kind]);
            writer.AddSummarySample(kind, "T1", &summary);
        }
        writer.FlushAll();
        EXPECT_EQ(writer.Counts().linesWritten, 4u);
        EXPECT_EQ(writer.Counts().batchesFailed, 0u);
    }
    auto raw = SelectAll(database, "RP_Sec", "datalogX");
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(raw[0]["name"], "T1");
    EXPECT_EQ(raw[0]["time"], 1500000000);
    EXPECT_EQ(raw[0]["value"], 12.5);
    EXPECT_EQ(raw[0]["status"], 192);
    EXPECT_EQ(raw[0]["quality"], 0);

    const char* policies[] = {"RP_Sec", "RP_Min", "RP_Hour", "RP_Day"};
    for (int kind : {kMinute, kHour, kDay}) {
        auto rows = SelectAll(database, policies[kind], kMeasurement[kind]);
        ASSERT_EQ(rows.size(), 1u) << kMeasurement[kind];
        EXPECT_EQ(rows[0]["time"], 1500000000 + kind);
        EXPECT_EQ(rows[0]["last_value"], 1.25);
        EXPECT_EQ(rows[0]["max_value"], 2.5);
        EXPECT_EQ(rows[0]["min_value"], -0.5);
        EXPECT_EQ(rows[0]["mean_value"], 1.0);
        EXPECT_EQ(rows[0]["status"], 65535);
        // Databases written by earlier versions hold float fields; so must ours.
        for (const auto& [field, type] : testsupport::FieldTypes(database, policies[kind], kMeasurement[kind]))
            EXPECT_EQ(type, "float") << field;
    }
    // Each kind went to its own policy only.
    EXPECT_EQ(CountPoints(database, "RP_Min", "datalogX"), 0);
    EXPECT_EQ(CountPoints(database, "RP_Sec", "datalogM"), 0);
}

TEST_F(WriterServer, BatchBoundaryPostsTwiceAndLosesNothing) {
    int posts = 0;
    target.post = [&posts](const std::string& address, const std::string& body) {
        ++posts;
        return HttpPost(address, body);
    };
    {
        RyInfluxDB writer(database.c_str(), target);
        for (int i = 0; i <= kBatchLines; ++i) {
            const LogSample s = MakeSample(1500028800 + i, 1, static_cast<float>(i), 0, 0, 0);
            std::lock_guard lock(writer.m_batchLock[kRaw]);
            writer.AddRawSample("T", &s);
        }
        EXPECT_EQ(posts, 1);
    }
    EXPECT_EQ(posts, 2);
    EXPECT_EQ(CountPoints(database, "RP_Sec", "datalogX"), kBatchLines + 1);
}

// Posts in flight against a slow server, the second post slower than the third: the third
// rewrites the times of the second with new values, and must still land last. A target
// with a wait of its own (a window's event loop) is served on the adding thread alone, while
// the posting thread sleeps out the retry of a busy answer.
TEST_F(WriterServer, PostsInFlightStoreWhatPostsOneAfterTheOtherStore) {
    const std::string sequential = NewDatabase("Ry_writer");
    const std::string served = NewDatabase("Ry_writer");
    for (const auto& [into, maxInFlight] : {std::pair{sequential, 1}, std::pair{database, 8}, std::pair{served, 8}}) {
        InfluxTarget slow = target;
        slow.maxInFlight = maxInFlight;
        slow.retry.firstDelay = std::chrono::milliseconds(20);
        auto posts = std::make_shared<std::atomic<int>>(0);
        slow.post = [posts, busyFirst = into == served](const std::string& address, const std::string& body) {
            const int post = ++*posts;
            if (busyFirst && post == 1) return HttpResult{0, 503, {}, "busy"};
            std::this_thread::sleep_for(std::chrono::milliseconds(post % 2 == 0 ? 80 : 10));
            return HttpPost(address, body);
        };
        std::vector<std::pair<std::thread::id, std::chrono::milliseconds>> waits;
        std::mutex waitsMutex;
        if (into == served)
            slow.wait = [&](std::chrono::milliseconds delay) {
                std::lock_guard lock(waitsMutex);
                waits.emplace_back(std::this_thread::get_id(), delay);
            };
        RyInfluxDB writer(into.c_str(), slow);
        const auto add = [&writer](int from, int to, float offset) {
            std::lock_guard lock(writer.m_batchLock[kRaw]);
            for (int i = from; i < to; ++i)
                for (const char* name : {"A", "B"}) {
                    const LogSample s = MakeSample(1500028800 + i, 1, offset + static_cast<float>(i), 0, 0, 0);
                    writer.AddRawSample(name, &s);
                }
        };
        add(0, kBatchLines, 0);                   // two batches
        add(kBatchLines / 2, kBatchLines, 0.5f);  // the second batch's times again
        writer.FlushAll();
        EXPECT_EQ(writer.Counts().linesWritten, 3u * kBatchLines);
        EXPECT_EQ(*posts, into == served ? 4 : 3);
        if (into != served) continue;
        // The wait for the slower post alone spans several turns of the caller's events.
        std::lock_guard lock(waitsMutex);
        EXPECT_GE(waits.size(), 2u);
        for (const auto& [thread, delay] : waits) {
            EXPECT_EQ(thread, std::this_thread::get_id());
            EXPECT_EQ(delay.count(), 0);
        }
    }
    const auto rows = SelectAll(database, "RP_Sec", "datalogX");
    ASSERT_EQ(rows.size(), 2u * kBatchLines);
    EXPECT_EQ(rows.back()["value"], kBatchLines - 0.5);
    EXPECT_EQ(rows, SelectAll(sequential, "RP_Sec", "datalogX"));
    EXPECT_EQ(rows, SelectAll(served, "RP_Sec", "datalogX"));
}

// A writer's first post waits for a measure of the link: through a front that holds every
// request 30 ms, the posts go out on posting threads, more than one under way; next to the
// server they go one after the other on the writer's own thread. Both store every line.
TEST_F(WriterServer, TheLinksRoundTripSetsThePostsInFlight) {
    testsupport::FakeHttpServer front([this](const testsupport::FakeRequest&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return testsupport::Forward(url);
    });
    for (const bool far : {true, false}) {
        const std::string into = NewDatabase("Ry_writer");
        InfluxTarget linked = target;
        linked.baseUrl = far ? front.Url() : url;
        linked.maxInFlight = 8;
        linked.watch = std::make_shared<ServerWatch>();
        // Next to the server the link holds no post; a ping timed on a loaded machine may say
        // otherwise, so that link is given rather than measured.
        if (!far) linked.watch->posts.roundTripNs = 0;
        {
            RyInfluxDB writer(into.c_str(), linked);
            std::lock_guard lock(writer.m_batchLock[kRaw]);
            for (int i = 0; i < 4 * kBatchLines; ++i) {
                const LogSample s = MakeSample(1500028800 + i, 1, static_cast<float>(i), 0, 0, 0);
                writer.AddRawSample("T", &s);
            }
            writer.FlushAll();
            EXPECT_EQ(writer.Counts().linesWritten, 4u * kBatchLines) << far;
        }
        EXPECT_EQ(CountPoints(into, "RP_Sec", "datalogX"), 4 * kBatchLines) << far;
        const PostsShared& posts = linked.watch->posts;
        if (far) {
            EXPECT_GE(posts.roundTripNs, 30'000'000);
            EXPECT_GT(posts.window, 1);
        } else {
            EXPECT_EQ(posts.window, 1);
        }
    }
}

// Each case is a sample whose plain snprintf line (the name unescaped, NaN and infinity as
// text) the server refuses; the writer's line lands.
TEST_F(WriterServer, SamplesWhosePlainLinesAreRefusedArrive) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        const char* name;
        LogSample sample;
    } cases[] = {
        {"blank in the name", "PUMP 1", MakeSample(1500028800, 1, 1.0f, 0, 0, 0)},
        {"comma in the name", "A,B", MakeSample(1500028801, 1, 1.0f, 0, 0, 0)},
        {"equals sign in the name", "A=B", MakeSample(1500028802, 1, 1.0f, 0, 0, 0)},
        {"empty name", "", MakeSample(1500028803, 1, 1.0f, 0, 0, 0)},
        {"NaN value", "NAN_TAG", MakeSample(1500028804, 1, nan, 0, 0, 0)},
        {"infinite value", "INF_TAG", MakeSample(1500028805, 1, -std::numeric_limits<float>::infinity(), 0, 0, 0)},
    };
    for (const auto& c : cases) {
        std::string plain;
        testsupport::AppendSnprintfRawLine(plain, c.name, c.sample, c.sample.time - 28800);
        const HttpResult refused = PostRaw(plain, kRaw);
        EXPECT_EQ(refused.status, 400) << c.what << ": the server took " << plain;
    }
    {
        RyInfluxDB writer(database.c_str(), target);
        for (const auto& c : cases) writer.AddRawSample(c.name, &c.sample);
        writer.FlushAll();
        EXPECT_EQ(writer.Counts().linesWritten, std::size(cases));
    }
    auto rows = SelectAll(database, "RP_Sec", "datalogX");
    ASSERT_EQ(rows.size(), std::size(cases));
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i]["time"], cases[i].sample.time - 28800);
        if (*cases[i].name != '\0')
            EXPECT_EQ(rows[i]["name"], cases[i].name) << cases[i].what;
        else
            EXPECT_TRUE(rows[i]["name"].is_null()) << cases[i].what;
        EXPECT_EQ(rows[i]["status"], 1) << cases[i].what;
    }
    EXPECT_TRUE(rows[4]["value"].is_null());
}

TEST_F(WriterServer, SmallValuesKeepEveryDigit) {
    const float values[] = {1e-10f,       4e-7f,     1.0f + 1.1920929e-7f,
                            0.123456789f, -3.4e-38f, std::numeric_limits<float>::denorm_min()};
    {
        RyInfluxDB writer(database.c_str(), target);
        int32_t time = 1500028800;
        for (float v : values) {
            const LogSample s = MakeSample(time++, 0, v, v, v, v);
            writer.AddSummarySample(kMinute, "SMALL", &s);
        }
    }
    auto rows = SelectAll(database, "RP_Min", "datalogM");
    ASSERT_EQ(rows.size(), std::size(values));
    for (size_t i = 0; i < rows.size(); ++i) {
        for (const char* field : {"last_value", "max_value", "min_value", "mean_value"})
            EXPECT_EQ(static_cast<float>(rows[i][field].get<double>()), values[i]) << field << " " << values[i];
    }
}

TEST_F(WriterServer, DatabaseNameCannotRedirectTheWrite) {
    const std::string tricky = database + "&rp=autogen";
    testsupport::CreateDatabaseWithPolicies(tricky);
    {
        RyInfluxDB writer(tricky.c_str(), target);
        const LogSample s = MakeSample(1500028800, 1, 1.0f, 0, 0, 0);
        writer.AddRawSample("T", &s);
    }
    EXPECT_EQ(CountPoints(tricky, "RP_Sec", "datalogX"), 1);
    EXPECT_EQ(CountPoints(database, "RP_Sec", "datalogX"), 0);
    EXPECT_EQ(CountPoints(database, "autogen", "datalogX"), 0);
    testsupport::DropDatabase(tricky);
}

TEST_F(WriterServer, MissingDatabaseIsCountedAndLogged) {
    const std::string missing = database + "_missing";
    InitLogging();
    {
        RyInfluxDB writer(missing.c_str(), target);
        const LogSample s = MakeSample(1500028800, 1, 1.0f, 0, 0, 0);
        writer.AddRawSample("T", &s);
        writer.FlushAll();
        EXPECT_EQ(writer.Counts().batchesFailed, 1u);
        EXPECT_EQ(writer.Counts().linesNotWritten, 1u);
        EXPECT_EQ(writer.Counts().linesWritten, 0u);
    }
    ShutdownLogging();
    EXPECT_NE(ReadFile("Logs/Quarvel.log")
                  .find("Post of 1 lines to database " + missing +
                        ", retention policy RP_Sec failed: HTTP 404 database not found: \"" + missing + "\""),
              std::string::npos)
        << ReadFile("Logs/Quarvel.log");
}

TEST_F(WriterServer, NameWithALineBreakIsNeitherPostedNorSplit) {
    const LogSample s = MakeSample(1500028800, 1, 1.0f, 0, 0, 0);
    std::string plain;
    testsupport::AppendSnprintfRawLine(plain, "BAD\nNAME", s, s.time - 28800);
    EXPECT_EQ(PostRaw(plain, kRaw).status, 400) << "the line breaks in two at the server";
    {
        RyInfluxDB writer(database.c_str(), target);
        writer.AddRawSample("BAD\nNAME", &s);
        writer.AddRawSample("GOOD", &s);
        writer.FlushAll();
        EXPECT_EQ(writer.Counts().linesWritten, 1u);
        EXPECT_EQ(writer.Counts().linesNotWritten, 1u);
    }
    auto rows = SelectAll(database, "RP_Sec", "datalogX");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["name"], "GOOD");
}

}  // namespace

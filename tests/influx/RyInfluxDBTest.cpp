#include "Samples.h"
#include "ScratchDir.h"
#include "influx/PostsInFlight.h"
#include "influx/RyInfluxDB.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace quarvel;

namespace {

using testsupport::SampleAround;

struct Post {
    std::string url;
    std::string body;
};

// A transport that keeps what it is given and answers with a chosen status.
InfluxTarget Capturing(std::vector<Post>& posts, long status = 204) {
    InfluxTarget target;
    target.post = [&posts, status](const std::string& url, const std::string& body) {
        posts.push_back({url, body});
        HttpResult result;
        result.status = status;
        if (status >= 300) result.error = "database not found: \"x\"";
        return result;
    };
    return target;
}

size_t LineCount(const std::string& body) {
    return static_cast<size_t>(std::count(body.begin(), body.end(), '\n')) + 1;
}

TEST(Writer, TenThousandthLinePostsAFullBatch) {
    ZoneScope zone("UTC");
    std::vector<Post> posts;
    RyInfluxDB writer("Ry_Plant1", Capturing(posts));
    for (int i = 0; i < kBatchLines; ++i) {
        const LogSample s = SampleAround(1600000000 + i, 1.5f);
        std::lock_guard lock(writer.m_batchLock[kHour]);
        writer.AddSummarySample(kHour, "T1", &s);
        if (i < kBatchLines - 1) {
            ASSERT_TRUE(posts.empty());
        }
    }
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].url, "http://127.0.0.1:8086/write?db=Ry_Plant1&rp=RP_Hour");
    EXPECT_EQ(LineCount(posts[0].body), 10000u);
    EXPECT_NE(posts[0].body.back(), '\n');
    EXPECT_EQ(posts[0].body.substr(0, posts[0].body.find('\n')),
              "datalogH,name=T1 last_value=1.500000,max_value=2.500000,min_value=0.500000,mean_value=1.500000,"
              "status=192,quality=0 1599971200000000000");
    writer.FlushAll();
    EXPECT_EQ(posts.size(), 1u) << "the batch was emptied by the post";
    EXPECT_EQ(writer.Counts().linesWritten, 10000u);
}

// A ceiling on the rate holds over the writers that share it: each batch waits until the
// lines before it, at the ceiling, have had their time since the first batch went. (The
// waits are recorded, not slept; each is held against the time it was asked at.)
TEST(Writer, ARateCeilingSharedByWritersSpacesTheirBatches) {
    using Clock = std::chrono::steady_clock;
    std::vector<Post> posts;
    std::vector<Clock::time_point> starts;  // when each wait would end
    InfluxTarget target = Capturing(posts);
    const auto capture = target.post;
    Clock::time_point firstPost{};
    target.post = [&](const std::string& url, const std::string& body) {
        if (posts.empty()) firstPost = Clock::now();
        return capture(url, body);
    };
    target.rate = std::make_shared<LineRate>(10000);
    target.wait = [&starts](std::chrono::milliseconds delay) { starts.push_back(Clock::now() + delay); };
    RyInfluxDB first("Ry_Plant1", target);
    RyInfluxDB second("Ry_Plant1", target);
    const auto add = [](RyInfluxDB& writer, int lines) {
        for (int i = 0; i < lines; ++i) {
            const LogSample s = SampleAround(1600000000 + i, 1.5f);
            std::lock_guard lock(writer.m_batchLock[kRaw]);
            writer.AddRawSample("T1", &s);
        }
        writer.FlushAll();
    };
    add(first, kBatchLines);  // at once
    add(second, 5000);        // after the first's 10000 lines: 1 s
    add(first, kBatchLines);  // after 15000: 1.5 s
    ASSERT_EQ(posts.size(), 3u);
    ASSERT_EQ(starts.size(), 2u);
    const auto after = [&firstPost](Clock::time_point t) {
        return static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(t - firstPost).count());
    };
    EXPECT_NEAR(after(starts[0]), 1000, 5);
    EXPECT_NEAR(after(starts[1]), 1500, 5);
}

TEST(Writer, DestructionPostsWhatIsLeftInKindOrder) {
    std::vector<Post> posts;
    {
        RyInfluxDB writer("Ry_Plant1", Capturing(posts));
        for (int i = 0; i < 5; ++i) {
            const LogSample s = SampleAround(1600000000 + i, 2.0f);
            writer.AddSummarySample(kDay, "D1", &s);
        }
        for (int i = 0; i < 3; ++i) {
            const LogSample s = SampleAround(1600000000 + i, 1.0f);
            writer.AddRawSample("X1", &s);
        }
        EXPECT_TRUE(posts.empty());
    }
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].url, "http://127.0.0.1:8086/write?db=Ry_Plant1&rp=RP_Sec");
    EXPECT_EQ(LineCount(posts[0].body), 3u);
    EXPECT_EQ(posts[1].url, "http://127.0.0.1:8086/write?db=Ry_Plant1&rp=RP_Day");
    EXPECT_EQ(LineCount(posts[1].body), 5u);
}

TEST(Writer, TimeStampsUseTheStandardZoneOffset) {
    struct Case {
        const char* zone;
        int32_t time;
        const char* stamp;
    } cases[] = {
        {"Asia/Taipei", 1500057600, " 1500000000000000000"},
        {"UTC", 1500057600, " 1500028800000000000"},
        {"America/Bogota", 1500057600, " 1500046800000000000"},
        // Daylight saving plays no part, whatever the season.
        {"Europe/Berlin", 1500057600, " 1500025200000000000"},
    };
    for (const auto& c : cases) {
        ZoneScope zone(c.zone);
        std::vector<Post> posts;
        {
            RyInfluxDB writer("Ry_Z", Capturing(posts));
            const LogSample s = SampleAround(c.time, 1.0f);
            writer.AddRawSample("T", &s);
        }
        ASSERT_EQ(posts.size(), 1u);
        EXPECT_TRUE(posts[0].body.ends_with(c.stamp)) << c.zone << ": " << posts[0].body;
    }
}

TEST(Writer, NegativeTimeStampDropsSummariesButNotRawSamples) {
    ZoneScope zone("UTC");
    std::vector<Post> posts;
    RyInfluxDB writer("Ry_Z", Capturing(posts));
    const LogSample s = SampleAround(28799, 1.0f);  // time stamp -1
    writer.AddSummarySample(kMinute, "T", &s);
    writer.AddRawSample("T", &s);
    writer.FlushAll();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_TRUE(posts[0].body.ends_with(" -1000000000")) << posts[0].body;
    EXPECT_EQ(writer.Counts().summariesBefore1970, 1u);
    EXPECT_EQ(writer.Counts().linesWritten, 1u);
}

TEST(Writer, WriteUrlEncodesDatabaseAndPolicy) {
    struct Case {
        const char* base;
        const char* database;
        int kind;
        const char* url;
    } cases[] = {
        {"http://127.0.0.1:8086", "Ry_Plant1", kMinute, "http://127.0.0.1:8086/write?db=Ry_Plant1&rp=RP_Min"},
        {"http://127.0.0.1:8086/", "Ry_A_1&rp=autogen", kRaw,
         "http://127.0.0.1:8086/write?db=Ry_A_1%26rp%3Dautogen&rp=RP_Sec"},
        {"http://h:1", "Ry_a b#c", kDay, "http://h:1/write?db=Ry_a%20b%23c&rp=RP_Day"},
        {"http://h:1", "Ry_\xE4\xB8\xAD", kHour, "http://h:1/write?db=Ry_%E4%B8%AD&rp=RP_Hour"},
        {"http://h:1", "Ry_1+1/2~%", kRaw, "http://h:1/write?db=Ry_1%2B1%2F2~%25&rp=RP_Sec"},
    };
    for (const auto& c : cases) EXPECT_EQ(WriteUrl(c.base, c.database, c.kind), c.url);
}

TEST(Writer, FailedPostsAreCounted) {
    std::vector<Post> posts;
    RyInfluxDB writer("Ry_Missing", Capturing(posts, 404));
    for (int i = 0; i < kBatchLines + 7; ++i) {
        const LogSample s = SampleAround(1600000000 + i, 1.0f);
        writer.AddRawSample("T", &s);
    }
    writer.FlushAll();
    EXPECT_EQ(posts.size(), 2u);
    EXPECT_EQ(writer.Counts().batchesFailed, 2u);
    EXPECT_EQ(writer.Counts().linesNotWritten, static_cast<uint64_t>(kBatchLines + 7));
    EXPECT_EQ(writer.Counts().linesWritten, 0u);
}

TEST(Writer, AnErrorWhilePostingDropsOnlyThatBatchAndCountsIt) {
    InfluxTarget target;
    int calls = 0;
    target.post = [&calls](const std::string&, const std::string&) -> HttpResult {
        if (++calls == 1) throw std::runtime_error("out of memory");
        return HttpResult{0, 204, {}, {}};
    };
    RyInfluxDB writer("Ry_Z", target);
    for (int i = 0; i < kBatchLines + 3; ++i) {
        const LogSample s = SampleAround(1600000000 + i, 1.0f);
        writer.AddRawSample("T", &s);
    }
    writer.FlushAll();
    EXPECT_EQ(writer.Counts().linesNotWritten, static_cast<uint64_t>(kBatchLines));
    EXPECT_EQ(writer.Counts().linesWritten, 3u);
}

TEST(Writer, NamesWithLineBreaksAreNotPosted) {
    std::vector<Post> posts;
    RyInfluxDB writer("Ry_Z", Capturing(posts));
    const LogSample s = SampleAround(1600000000, 1.0f);
    writer.AddRawSample("BAD\nNAME", &s);
    writer.AddRawSample("GOOD", &s);
    writer.AddRawSample("BAD\nNAME", &s);
    writer.FlushAll();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(LineCount(posts[0].body), 1u);
    EXPECT_TRUE(posts[0].body.starts_with("datalogX,name=GOOD "));
    EXPECT_EQ(writer.Counts().linesNotWritten, 2u);
    EXPECT_EQ(writer.Counts().linesWritten, 1u);
}

// A caller may hand the same buffer with another name in it, or a name that begins
// another: each sample's line carries the name as it is at that call.
TEST(Writer, EachSampleTakesItsNameAsItIsThen) {
    std::vector<Post> posts;
    RyInfluxDB writer("Ry_Z", Capturing(posts));
    const LogSample s = SampleAround(1600000000, 1.0f);
    char name[8];
    for (const char* text : {"T1", "T10", "T1", "T", "T1"}) {
        std::strcpy(name, text);
        writer.AddRawSample(name, &s);
    }
    writer.FlushAll();
    ASSERT_EQ(posts.size(), 1u);
    std::vector<std::string> names;
    std::istringstream lines(posts[0].body);
    for (std::string line; std::getline(lines, line);) names.push_back(line.substr(14, line.find(' ') - 14));
    EXPECT_EQ(names, (std::vector<std::string>{"T1", "T10", "T1", "T", "T1"}));
}

TEST(Writer, NamesAreConvertedFromTheirCodePage) {
    struct Case {
        const char* text;
        const char* codePage;
        const char* utf8;
    } cases[] = {
        {"FLOW", "CP950", "FLOW"},
        {"\xA4\xA4\xA4\xE5", "CP950", "\xE4\xB8\xAD\xE6\x96\x87"},
        {"\xE9t\xE9", "ISO-8859-1", "\xC3\xA9t\xC3\xA9"},
        {"\xE4\xB8\xAD", "UTF-8", "\xE4\xB8\xAD"},
        {"A\xFF", "UTF-8", "A\xEF\xBF\xBD"},  // an undecodable byte is marked, not dropped
        {"\xA4\xA4", "NO-SUCH-CODE-PAGE", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ToUtf8(c.text, c.codePage), c.utf8) << c.codePage;

    std::vector<Post> posts;
    InfluxTarget target = Capturing(posts);
    target.codePage = "CP950";
    {
        RyInfluxDB writer("Ry_\xA4\xA4", target);
        const LogSample s = SampleAround(1600000000, 1.0f);
        writer.AddRawSample("\xA4\xA4\xA4\xE5", &s);
    }
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].url, "http://127.0.0.1:8086/write?db=Ry_%E4%B8%AD&rp=RP_Sec");
    EXPECT_TRUE(posts[0].body.starts_with("datalogX,name=\xE4\xB8\xAD\xE6\x96\x87 value=")) << posts[0].body;
}

// The posts in flight follow the link: posts that each wait out a round trip of their own
// earn places; posts a server takes one at a time over a link of no length go one after the
// other on the writer's own thread, since more would only wait there.
TEST(PostsInFlightWindow, GrowsOverALongLinkAndStaysAtOneNextToTheServer) {
    std::mutex serving;
    struct Seen {
        int window;
        int postedHere;
    };
    const auto run = [&serving](bool oneAtATime) {
        PostsShared shared;
        shared.roundTripNs = oneAtATime ? 100'000 : 20'000'000;  // as pings measured it
        int postedHere = 0;
        {
            PostsInFlight posts(8, &shared);
            for (int i = 0; i < 60; ++i)
                posts.Start(
                    [&](bool here) {
                        const auto start = std::chrono::steady_clock::now();
                        if (here) ++postedHere;  // only the starting thread runs a post here
                        std::unique_lock served(serving, std::defer_lock);
                        if (oneAtATime) served.lock();
                        std::this_thread::sleep_for(std::chrono::milliseconds(oneAtATime ? 4 : 20));
                        return PostsInFlight::Outcome{std::chrono::steady_clock::now() - start, true, false};
                    },
                    false);
        }
        return Seen{shared.window.load(), postedHere};
    };
    PostsShared unlearnt;
    unlearnt.roundTripNs = 20'000'000;
    { PostsInFlight none(8, &unlearnt); }
    EXPECT_EQ(unlearnt.window, 2) << "before any post has ended, a long link holds one";
    const Seen link = run(false);
    EXPECT_GE(link.window, 6) << "a long link";
    EXPECT_LE(link.postedHere, 5) << "a long link";
    const Seen server = run(true);
    EXPECT_EQ(server.window, 1) << "next to the server";
    EXPECT_EQ(server.postedHere, 60) << "next to the server";
}

}  // namespace

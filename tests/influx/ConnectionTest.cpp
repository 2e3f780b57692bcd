// Reused connections and compressed bodies: what the server sees of them, and that the
// real server takes them.

#include "FakeHttpServer.h"
#include "InfluxServer.h"
#include "Samples.h"
#include "influx/HttpPost.h"
#include "influx/RyInfluxDB.h"

#define ZLIB_CONST
#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <random>
#include <thread>

using namespace quarvel;

using testing::ElementsAre;
using testing::HasSubstr;
using testsupport::FakeHttpServer;
using testsupport::FakeReply;

namespace {

const std::string kNoContent = "HTTP/1.1 204 No Content\r\n\r\n";

// A 204 that keeps the connection for the next request.
FakeReply KeptNoContent() {
    return {kNoContent, false, true};
}

std::string BodyOf(const std::string& request) {
    const size_t headEnd = request.find("\r\n\r\n");
    return headEnd == std::string::npos ? std::string() : request.substr(headEnd + 4);
}

// The value of a request header, by case-insensitive name; nothing when absent.
std::optional<std::string> HeaderOf(const std::string& request, std::string name) {
    std::string head = request.substr(0, request.find("\r\n\r\n") + 2);
    const auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return text;
    };
    const std::string key = "\r\n" + lower(name) + ":";
    const size_t at = lower(head).find(key);
    if (at == std::string::npos) return std::nullopt;
    const size_t start = head.find_first_not_of(' ', at + key.size());
    return head.substr(start, head.find("\r\n", start) - start);
}

// The content of exactly one gzip stream with nothing after it; nothing when the bytes
// are anything else.
std::optional<std::string> Gunzip(const std::string& data) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return std::nullopt;
    stream.next_in = reinterpret_cast<const Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char chunk[65536];
    int code = Z_OK;
    while (code == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        code = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - stream.avail_out);
    }
    const bool whole = code == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!whole) return std::nullopt;
    return out;
}

std::string Lines(const std::string& name, int count, long long firstSecond) {
    std::string body;
    for (int i = 0; i < count; ++i) {
        if (i > 0) body += '\n';
        body += "datalogX,name=" + name + " value=" + std::to_string(i) + ",status=192i,quality=0i " +
                std::to_string(firstSecond + i) + "000000000";
    }
    return body;
}

TEST(HttpPostConnection, OneThreadsPostsShareOneConnection) {
    FakeHttpServer server({KeptNoContent(), KeptNoContent(), {kNoContent}});
    std::vector<long> opened;
    for (int i = 0; i < 3; ++i) {
        const HttpResult result = HttpPost(server.Url("/write"), "m value=" + std::to_string(i));
        EXPECT_TRUE(result.Succeeded()) << result.error;
        opened.push_back(result.newConnections);
    }
    EXPECT_THAT(opened, ElementsAre(1, 0, 0));
    EXPECT_THAT(server.Connections(), ElementsAre(1, 1, 1));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(BodyOf(requests[i]), "m value=" + std::to_string(i));
}

// A server may close an idle connection whenever it likes: between two posts, or just
// as the next request arrives. The post then goes again over a new connection, without
// a failure or an "error:" line. (A batch the server did write before it hung up is
// written again: a point with the same series and time replaces itself.)
TEST(HttpPostConnection, AClosedConnectionIsReplacedWithoutAFailure) {
    FakeHttpServer server({
        {kNoContent},     // answers, then closes
        KeptNoContent(),  // on a new connection
        {""},             // the next request on it: hung up without an answer
        KeptNoContent(),  // the same request on a third connection
        {kNoContent},
    });
    const std::string url = server.Url("/write");
    testing::internal::CaptureStderr();
    const HttpResult results[] = {HttpPost(url, "a value=1"), HttpPost(url, "b value=2"), HttpPost(url, "c value=3"),
                                  HttpPost(url, "d value=4")};
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    for (const auto& result : results) EXPECT_TRUE(result.Succeeded()) << result.error;
    EXPECT_EQ(results[0].newConnections, 1);
    EXPECT_EQ(results[1].newConnections, 1);
    EXPECT_EQ(results[2].newConnections, 1);
    EXPECT_EQ(results[3].newConnections, 0);
    EXPECT_THAT(server.Connections(), ElementsAre(1, 2, 2, 3, 3));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(BodyOf(requests[2]), "c value=3");
    EXPECT_EQ(requests[3], requests[2]);  // sent again whole
    EXPECT_EQ(BodyOf(requests[4]), "d value=4");
}

// A transfer that failed leaves the thread's handle fit for the next post.
TEST(HttpPostConnection, AfterATransferFailureTheNextPostSucceeds) {
    FakeHttpServer silent({{"", true}});
    FakeHttpServer answering({{kNoContent}});
    testing::internal::CaptureStderr();
    const HttpResult failed = HttpPost(silent.Url("/write"), "x value=1", HttpTimeouts{1, 1});
    const std::string errText = testing::internal::GetCapturedStderr();
    EXPECT_EQ(failed.curlCode, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(errText, "error:" + failed.error + "\n");

    const HttpResult next = HttpPost(answering.Url("/write"), "y value=2");
    EXPECT_TRUE(next.Succeeded()) << next.error;
    EXPECT_EQ(next.error, "");
    ASSERT_EQ(answering.Requests().size(), 1u);
    EXPECT_EQ(BodyOf(answering.Requests()[0]), "y value=2");
}

// Every handle reads the cookie file before each post and writes it after, so a cookie
// one thread receives goes out with the next post of any other, as when every post had
// a handle of its own; a cookie gone from the file is gone. A thread's end writes
// nothing more. (Other tests of this process
// may have left cookies of their own.)
TEST(HttpPostCookies, ACookieOneThreadReceivesGoesOutWithAnotherThreadsNextPost) {
    FakeHttpServer server({
        {kNoContent},
        {"HTTP/1.1 204 No Content\r\nSet-Cookie: shared=yes; Path=/\r\n\r\n"},
        {kNoContent},
        {kNoContent},
    });
    const std::string url = server.Url("/write");
    std::promise<HttpResult> firstOfOther;
    std::promise<HttpResult> secondOfOther;
    std::promise<void> cookieSet;
    std::promise<void> jarRemoved;
    std::thread other([&] {
        firstOfOther.set_value(HttpPost(url, "before"));
        cookieSet.get_future().wait();
        secondOfOther.set_value(HttpPost(url, "after"));
        jarRemoved.get_future().wait();
    });
    EXPECT_TRUE(firstOfOther.get_future().get().Succeeded());

    const HttpResult setting = HttpPost(url, "set");
    EXPECT_TRUE(setting.Succeeded()) << setting.error;
    std::ifstream jar("cookies.txt");
    const std::string jarText((std::istreambuf_iterator<char>(jar)), std::istreambuf_iterator<char>());
    EXPECT_THAT(jarText, HasSubstr("shared\tyes"));  // written at once, not when the thread ends

    cookieSet.set_value();
    EXPECT_TRUE(secondOfOther.get_future().get().Succeeded());
    std::filesystem::remove("cookies.txt");
    jarRemoved.set_value();
    other.join();
    EXPECT_FALSE(std::filesystem::exists("cookies.txt"));
    EXPECT_TRUE(HttpPost(url, "forgotten").Succeeded());   // the file, not memory, holds the cookies
    EXPECT_FALSE(std::filesystem::exists("cookies.txt"));  // nor is a jar with nothing in it written

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_THAT(HeaderOf(requests[0], "Cookie").value_or(""), testing::Not(HasSubstr("shared=yes")));
    EXPECT_THAT(HeaderOf(requests[2], "Cookie"), testing::Optional(HasSubstr("shared=yes")));
    EXPECT_EQ(BodyOf(requests[2]), "after");
    EXPECT_EQ(HeaderOf(requests[3], "Cookie"), std::nullopt);
}

// Opens of the cookie file in the current directory since the last call.
class CookieFileOpens {
public:
    CookieFileOpens() : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        // Closes keep the opens apart: the kernel folds identical events in a row into one.
        if (m_fd >= 0) inotify_add_watch(m_fd, ".", IN_OPEN | IN_CLOSE);
    }
    ~CookieFileOpens() {
        if (m_fd >= 0) close(m_fd);
    }
    CookieFileOpens(const CookieFileOpens&) = delete;
    CookieFileOpens& operator=(const CookieFileOpens&) = delete;
    bool Ready() const { return m_fd >= 0; }

    int Take() {
        int opens = 0;
        alignas(inotify_event) char buffer[16384];
        ssize_t got;
        while ((got = read(m_fd, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if ((event->mask & IN_OPEN) != 0 && event->len > 0 && std::string(event->name) == "cookies.txt")
                    ++opens;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return opens;
    }

private:
    int m_fd;
};

// However many posts a handle has made, the cookie file costs each the same few reads
// and writes; work that grows with the count makes a long conversion slower and slower.
TEST(HttpPostCookies, EveryPostOpensTheCookieFileEquallyOften) {
    constexpr int kPosts = 60;
    constexpr int kMeasured = 10;
    std::vector<FakeReply> replies(kPosts, KeptNoContent());
    replies[0].bytes = "HTTP/1.1 204 No Content\r\nSet-Cookie: kept=yes; Path=/\r\n\r\n";
    FakeHttpServer server(replies);
    CookieFileOpens opens;
    ASSERT_TRUE(opens.Ready());
    int first = 0;
    int last = 0;
    bool allSucceeded = true;
    std::thread worker([&] {
        for (int i = 0; i < kPosts; ++i) {
            if (i == 1) opens.Take();  // the handle's first post may differ
            if (i == 1 + kMeasured) first = opens.Take();
            if (i == kPosts - kMeasured) opens.Take();
            allSucceeded = HttpPost(server.Url("/write"), "m value=1").Succeeded() && allSucceeded;
        }
        last = opens.Take();
    });
    worker.join();
    EXPECT_TRUE(allSucceeded);
    EXPECT_GT(first, 0);  // the file is read and written at all
    EXPECT_EQ(last, first);
}

// Bodies of over a megabyte go at once, plain or compressed: waiting for a "100 Continue"
// first would cost a round trip per batch.
TEST(HttpPostRequest, LargeBodiesGoWithoutWaitingForAContinue) {
    std::mt19937 random(11);
    std::string noise(1500000, '\0');  // stays over a megabyte when compressed
    for (char& c : noise) c = static_cast<char>(random());
    FakeHttpServer server({KeptNoContent(), {kNoContent}});
    EXPECT_TRUE(HttpPost(server.Url("/write"), noise).Succeeded());
    EXPECT_TRUE(HttpPost(server.Url("/write"), noise, {}, BodyEncoding::Gzip).Succeeded());

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        EXPECT_EQ(HeaderOf(request, "Expect"), std::nullopt);
        EXPECT_GT(BodyOf(request).size(), 1u << 20);
    }
    EXPECT_EQ(HeaderOf(requests[1], "Content-Encoding"), "gzip");
}

// A compressed body is one gzip stream of exactly the given bytes, announced by its
// header and counted by its compressed length; a plain post after it on the same
// connection carries no such header.
TEST(HttpPostGzip, BodiesTravelAsOneGzipStreamOfTheGivenBytes) {
    std::mt19937 random(7);
    std::string noise(600000, '\0');  // incompressible: the stream outgrows the body
    for (char& c : noise) c = static_cast<char>(random());
    struct Case {
        const char* name;
        std::string body;
    };
    const Case cases[] = {
        {"lines", Lines("PUMP_1", 10000, 1500000000)},
        {"empty", ""},
        {"bytes with NUL", std::string("a\0b\r\n\xff", 6)},
        {"incompressible", noise},
    };
    std::vector<FakeReply> replies(std::size(cases), KeptNoContent());
    replies.push_back({kNoContent});
    FakeHttpServer server(replies);

    for (const auto& c : cases) {
        const HttpResult result = HttpPost(server.Url("/write"), c.body, {}, BodyEncoding::Gzip);
        EXPECT_TRUE(result.Succeeded()) << c.name << ": " << result.error;
    }
    EXPECT_TRUE(HttpPost(server.Url("/write"), "plain value=1").Succeeded());

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const std::string sent = BodyOf(requests[i]);
        EXPECT_EQ(HeaderOf(requests[i], "Content-Encoding"), "gzip");
        EXPECT_EQ(HeaderOf(requests[i], "Content-Length"), std::to_string(sent.size()));
        EXPECT_EQ(Gunzip(sent), cases[i].body);
    }
    EXPECT_LT(BodyOf(requests[0]).size(), cases[0].body.size() / 5);
    EXPECT_EQ(HeaderOf(requests.back(), "Content-Encoding"), std::nullopt);
    EXPECT_EQ(BodyOf(requests.back()), "plain value=1");
    EXPECT_THAT(server.Connections(), testing::Each(1));
}

// The writer's own transport compresses when its target asks for it, and the lines
// are the ones a plain writer sends.
TEST(HttpPostGzip, AWriterWithGzipPostsItsLinesCompressed) {
    FakeHttpServer server({KeptNoContent(), {kNoContent}});
    const LogSample samples[] = {testsupport::MakeSample(1500000000, 192, 1.5f),
                                 testsupport::MakeSample(1500000001, 0, -2.25f)};
    std::vector<uint64_t> written;
    for (const bool gzip : {false, true}) {
        InfluxTarget target;
        target.baseUrl = server.Url("");
        target.gzip = gzip;
        RyInfluxDB writer("Ry_N", target);
        for (const auto& sample : samples) writer.AddRawSample("PUMP_1", &sample);
        writer.FlushAll();
        written.push_back(writer.Counts().linesWritten);
    }
    EXPECT_THAT(written, ElementsAre(2, 2));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(HeaderOf(requests[0], "Content-Encoding"), std::nullopt);
    EXPECT_EQ(HeaderOf(requests[1], "Content-Encoding"), "gzip");
    EXPECT_THAT(BodyOf(requests[0]), HasSubstr("datalogX,name=PUMP_1 value=1.5"));
    EXPECT_EQ(Gunzip(BodyOf(requests[1])), BodyOf(requests[0]));
}

class HttpPostServer : public ServerTest {
protected:
    void ServerSetUp() override { m_database = NewDatabase("http_keep"); }
    std::string m_database;
};

// Full batches, plain and compressed by turns, from a thread of their own: the server
// takes every line of each, and one connection carries them all.
TEST_F(HttpPostServer, PlainAndGzipBatchesOfOneThreadLandOverOneConnection) {
    const std::string write = url + "/write?db=" + m_database + "&rp=RP_Sec";
    constexpr int kPosts = 4;
    std::vector<HttpResult> results;
    std::thread worker([&] {
        for (int i = 0; i < kPosts; ++i)
            results.push_back(HttpPost(write, Lines("TAG_" + std::to_string(i), kBatchLines, 1500000000), {},
                                       i % 2 == 1 ? BodyEncoding::Gzip : BodyEncoding::Identity));
    });
    worker.join();

    ASSERT_EQ(results.size(), size_t{kPosts});
    for (int i = 0; i < kPosts; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(results[i].Succeeded()) << results[i].error;
        EXPECT_EQ(results[i].status, 204);
        EXPECT_EQ(results[i].newConnections, i == 0 ? 1 : 0);
    }
    EXPECT_EQ(testsupport::CountPoints(m_database, "RP_Sec", "datalogX"), kPosts * kBatchLines);
    const nlohmann::json answer =
        testsupport::Query("SELECT sum(\"value\") FROM \"RP_Sec\".\"datalogX\" WHERE \"name\" = 'TAG_3'", m_database);
    EXPECT_EQ(answer["results"][0]["series"][0]["values"][0][1], (kBatchLines - 1) * kBatchLines / 2.0);
}

}  // namespace

// The server checks against the real InfluxDB server, and the sample ages they compare
// with the retention policies, from real data-log and table files.

#include "PreflightSupport.h"
#include "Samples.h"
#include "ScratchDir.h"
#include "TableRows.h"
#include "influx/RyInfluxDB.h"
#include "session/Session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

using namespace quarvel;

namespace {

using preflight::AllInf;
using preflight::MakeDatabase;
using testsupport::SampleAround;
using testsupport::WriteDat;

constexpr int64_t kOneDay = 86400;

// Samples at the times.
std::vector<LogSample> At(std::initializer_list<int32_t> times) {
    std::vector<LogSample> samples;
    for (int32_t time : times) samples.push_back(SampleAround(time, 1));
    return samples;
}

TEST(ServerDuration, ReadsWhatTheServerPrints) {
    const struct {
        const char* text;
        std::optional<int64_t> seconds;
    } cases[] = {
        {"0s", 0},
        {"168h0m0s", 7 * kOneDay},
        {"1h30m", 5400},
        {"1.5h", 5400},
        {"24h0m0s", kOneDay},
        {"500ms", 0},
        {"90s", 90},
        {"2m3s", 123},
        {"", {}},
        {"5x", {}},
        {"h", {}},
        {"10", {}},
        {"1h-1m", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseServerDuration(c.text), c.seconds) << c.text;
}

TEST(RetentionPeriod, AsVictoriaMetricsTakesIt) {
    const struct {
        const char* text;
        std::optional<int64_t> seconds;
        const char* words;
    } cases[] = {
        {"1", 31 * kOneDay, "1 month"},
        {"3", 93 * kOneDay, "3 months"},
        {"100y", 36500 * kOneDay, "100 years"},
        {"2w", 14 * kOneDay, "2 weeks"},
        {"24h", kOneDay, "24 hours"},
        {"", {}, ""},
        {"y", {}, ""},
        {"5x", {}, ""},
        {"1.5", {}, ""},
    };
    for (const auto& c : cases) {
        std::string words;
        EXPECT_EQ(ParseRetentionPeriod(c.text, words), c.seconds) << c.text;
        EXPECT_EQ(words, c.words) << c.text;
    }
}

TEST(RetentionWarnings, OnlyWhenAPolicyKeepsLessThanItsOldestSample) {
    const int64_t now = 1800000000;
    ServerCheck found;
    found.outcome = ServerCheck::Outcome::kChecked;
    found.databaseExists = true;
    found.policies = {RetentionPolicyState{true, 0}, RetentionPolicyState{true, 7 * kOneDay},
                      RetentionPolicyState{true, 3600}, RetentionPolicyState{false, 0}};
    const std::optional<int64_t> none;
    const struct {
        const char* what;
        OldestLineTimes oldest;
        std::vector<std::string> warnings;
    } cases[] = {
        {"INF keeps everything", {{now - 40 * 365 * kOneDay, none, none, none}}, {}},
        {"exactly as old as the policy", {{none, now - 7 * kOneDay, now - 3600, none}}, {}},
        {"no samples of the kind", {}, {}},
        {"a missing policy is no warning", {{none, none, none, now - 10 * 365 * kOneDay}}, {}},
        {"older than the policy",
         {{none, now - 3 * 365 * kOneDay - 5, now - 3601, none}},
         {"RP_Min keeps 7d, but the oldest minute sample is 3 years old: the server will drop older points",
          "RP_Hour keeps 1h, but the oldest hour sample is 1 hour old: the server will drop older points"}},
    };
    for (const auto& c : cases) EXPECT_EQ(RetentionWarnings(found, c.oldest, now), c.warnings) << c.what;

    EXPECT_EQ(DurationText(kOneDay + 12 * 3600), "1d12h");
    EXPECT_EQ(DurationText(90), "1m30s");
    EXPECT_EQ(AgeText(40 * kOneDay), "40 days");
    EXPECT_EQ(AgeText(59), "59 seconds");
}

class ServerCheckTest : public ServerTest {
protected:
    void TearDown() override {
        for (const auto& database : databases) preflight::Drop(database);
        ServerTest::TearDown();
    }
    // Dropped by a query that quotes any name.
    std::string NewName(const std::string& prefix = "Ry_pf") {
        databases.push_back(testsupport::UniqueDatabaseName(prefix));
        return databases.back();
    }

    std::vector<std::string> databases;
};

TEST_F(ServerCheckTest, MissingPartsAreFoundAndCreatedWithDurationInf) {
    struct Case {
        const char* what;
        bool database;
        std::map<std::string, std::string> policies;  // before
        std::vector<std::string> missing;             // without the database's name
        const char* created;
        std::array<bool, kTableKindCount> needed = {true, true, true, true};
        std::string shard = kDefaultShardDuration;
        const char* shardShown = "8736h0m0s";
    };
    const std::vector<Case> cases = {
        {"no database", false, {}, {"RP_Sec", "RP_Min", "RP_Hour", "RP_Day"}, "database"},
        {"database alone", true, {}, {"RP_Sec", "RP_Min", "RP_Hour", "RP_Day"}, "policies"},
        {"one policy missing",
         true,
         {{"RP_Sec", "INF"}, {"RP_Hour", "INF"}, {"RP_Day", "2h"}},
         {"RP_Min"},
         "policy RP_Min on"},
        // A node of raw and day files needs neither RP_Min nor RP_Hour.
        {"raw and day files alone",
         false,
         {},
         {"RP_Sec", "RP_Day"},
         "with the retention policies RP_Sec and RP_Day (duration INF, shard groups of 30d)",
         {true, false, false, true},
         "30d",
         "720h0m0s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string database = NewName();
        if (c.database) MakeDatabase(database, c.policies);

        ServerCheck before = CheckServer(url, database);
        before.needed = c.needed;
        ASSERT_TRUE(before.Checked()) << before.error;
        EXPECT_FALSE(before.version.empty());
        EXPECT_EQ(before.databaseExists, c.database);
        std::vector<std::string> missing = c.missing;
        if (!c.database) missing.insert(missing.begin(), "database " + database);
        EXPECT_EQ(before.Missing(database), missing);

        std::string error;
        ASSERT_TRUE(CreateDatabase(url, database, before, error, {}, {}, c.shard)) << error;
        const std::string text = CreationText(database, before, c.shard);
        EXPECT_NE(text.find(c.created), std::string::npos) << text;
        ServerCheck after = CheckServer(url, database);
        after.needed = c.needed;
        ASSERT_TRUE(after.Complete()) << after.error;
        // What was created keeps for ever in groups of the shard duration; what was there
        // is left as it was, and what is not needed is not made.
        const nlohmann::json shown = testsupport::Query("SHOW RETENTION POLICIES ON " + QuoteIdentifier(database));
        for (int kind = 0; kind < kTableKindCount; ++kind) {
            const auto given = c.policies.find(kRetentionPolicy[kind]);
            EXPECT_EQ(after.policies[kind].exists, c.needed[kind] || given != c.policies.end());
            const int64_t expected = given != c.policies.end() && given->second == "2h" ? 7200 : 0;
            EXPECT_EQ(after.policies[kind].durationSeconds, expected) << kRetentionPolicy[kind];
            for (const nlohmann::json& row : shown["results"][0]["series"][0]["values"]) {
                if (row[0] == kRetentionPolicy[kind] && given == c.policies.end()) {
                    EXPECT_EQ(row[2], c.shardShown) << kRetentionPolicy[kind];
                }
            }
        }
    }
}

TEST_F(ServerCheckTest, NamesWithQuotesAndBlanksAreQuoted) {
    const std::string database = NewName("Ry_a\"b c,d");
    const ServerCheck before = CheckServer(url, database);
    ASSERT_TRUE(before.Checked()) << before.error;
    ASSERT_FALSE(before.databaseExists);
    std::string error;
    ASSERT_TRUE(CreateDatabase(url, database, before, error)) << error;
    EXPECT_TRUE(CheckServer(url, database).Complete());
    EXPECT_FALSE(CheckServer(url, "Ry_a").databaseExists) << "nothing was made under a name cut at the quote";

    // The server takes no backslash in a name; its refusal is what the operator reads.
    const std::string refused = NewName("Ry_back\\slash");
    EXPECT_FALSE(CreateDatabase(url, refused, CheckServer(url, refused), error));
    EXPECT_NE(error.find("invalid name"), std::string::npos) << error;
}

// Other spellings of the same server's base: trailing slashes, and a query that every
// request carries (the server, its authentication off, ignores the credentials). The check,
// the creation and a write all reach it.
TEST_F(ServerCheckTest, EverySpellingOfTheBaseReachesTheServer) {
    for (const std::string& base : {url + "/", url + "//", url + "/?u=quarvel&p=a%20b"}) {
        SCOPED_TRACE(base);
        const std::string database = NewName();
        const ServerCheck before = CheckServer(base, database);
        ASSERT_TRUE(before.Checked()) << before.error;
        EXPECT_FALSE(before.version.empty());
        std::string error;
        ASSERT_TRUE(CreateDatabase(base, database, before, error)) << error;
        EXPECT_TRUE(CheckServer(base, database).Complete());
        const HttpResult written = HttpPost(WriteUrl(base, database, kMinute), "datalogM,name=T status=0i 1");
        EXPECT_TRUE(written.Succeeded()) << written.error;
        EXPECT_EQ(testsupport::CountPoints(database, "RP_Min", "datalogM"), 1);
    }
}

TEST_F(ServerCheckTest, WithoutAnInfluxDbAnsweringNothingIsKnown) {
    testsupport::FakeHttpServer closed(testsupport::FakeHttpServer::Refusing{});
    testsupport::FakeHttpServer silent(std::vector<testsupport::FakeReply>{});  // accepts no connection
    // Answers every request 204 with no body, as a web server that is no InfluxDB might.
    testsupport::FakeHttpServer other([](const testsupport::FakeRequest&) { return testsupport::Answer(204); });
    using Outcome = ServerCheck::Outcome;
    const struct {
        const char* what;
        std::string url;
        Outcome outcome;
        const char* error;
    } cases[] = {
        {"nothing listens", closed.Url(), Outcome::kUnreachable, "onnect"},
        {"a path where no server answers /ping", url + "/elsewhere", Outcome::kUnreachable, "HTTP 404"},
        {"accepts and never answers", silent.Url(), Outcome::kUnreachable, "imed out"},
        {"answers the ping and takes writes, but no query", other.Url(), Outcome::kUnknownServer, "neither"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto start = std::chrono::steady_clock::now();
        const ServerCheck found = CheckServer(c.url, "Ry_any", PreflightTimeouts{1, 2});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "the time-outs hold";
        EXPECT_EQ(found.outcome, c.outcome);
        EXPECT_NE(found.error.find(c.error), std::string::npos) << found.error;
        EXPECT_FALSE(found.Complete());
        EXPECT_TRUE(found.Missing("Ry_any").empty()) << "nothing is known, so nothing is missing";
    }
}

// The check's ping times the link, the making of its connection left out: the writers'
// posts in flight are sized by it.
TEST_F(ServerCheckTest, ThePingTimesTheLink) {
    testsupport::FakeHttpServer far([this](const testsupport::FakeRequest&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return testsupport::Forward(url);
    });
    EXPECT_GE(CheckServer(far.Url(), "Ry_any").roundTrip, std::chrono::milliseconds(30));
    EXPECT_GT(CheckServer(url, "Ry_any").roundTrip, std::chrono::microseconds::zero());
}

TEST_F(ServerCheckTest, AShortPolicyAgainstOldDataLogFilesWarns) {
    const std::string database = NewName();
    MakeDatabase(database, {{"RP_Sec", "INF"}, {"RP_Min", "INF"}, {"RP_Hour", "2h"}, {"RP_Day", "INF"}});
    WriteDat(m_dir / "Log" / "G" / "A$0001H.DAT", At({1600000000, 1600003600}), kSummarySampleSize);
    const ServerCheck found = CheckServer(url, database);
    ASSERT_TRUE(found.Complete()) << found.error;
    const int64_t now = time(nullptr);
    const std::vector<std::string> warnings =
        RetentionWarnings(found, OldestSamples((m_dir / "Log").string(), SourceKind::kDataLog), now);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "RP_Hour keeps 2h, but the oldest hour sample is " + AgeText(now - (1600000000 - 28800)) +
                               " old: the server will drop older points");
}

TEST_F(UtcTest, OldestSamplesFollowTheWalkAndTheWriterRules) {
    const fs::path log = m_dir / "Log";
    WriteDat(log / "G1" / "A$0001X.DAT", At({1600000000, 1500000000}), kRawSampleSize);  // the first record counts
    WriteDat(log / "G2" / "B$0002X.DAT", At({1550000000}), kRawSampleSize);
    WriteDat(log / "G1" / "C$0003M.DAT", At({0, 1400000000}), kSummarySampleSize);  // before 1970: left out
    WriteDat(log / "G1" / "D$0004M.DAT", At({1450000000}), kSummarySampleSize);
    WriteDat(log / "G1" / "E$0005Q.DAT", At({100000000}), kRawSampleSize);        // no data-log kind
    WriteDat(log / "G1" / "NODOLLARD.DAT", At({100000000}), kSummarySampleSize);  // unusable name
    WriteDat(log / "F$0006H.DAT", At({100000000}), kSummarySampleSize);           // not in a sub-folder
    WriteDat(log / "G1" / "G$0007D.DAT", At({}), kSummarySampleSize);             // empty
    fs::create_directories(log / "G1" / "H$0008D.DAT");                           // a folder of that name
    const OldestLineTimes oldest = OldestSamples(log.string(), SourceKind::kDataLog);
    EXPECT_EQ(oldest[kRaw], 1550000000 - 28800);
    EXPECT_EQ(oldest[kMinute], 1450000000 - 28800);
    EXPECT_EQ(oldest[kHour], std::nullopt);
    EXPECT_EQ(oldest[kDay], std::nullopt);

    using namespace tablerows;
    const fs::path tables = m_dir / "Tables";
    WriteTable(tables / "Tags.rdb", 'T', std::vector<TagRow>{Tag(1, "A")});
    WriteTable(tables / "HistX.rdb", 'X', std::vector<RawRow>{Raw(1300000000, 1, 1, {5}), Raw(1200000000, 1, 1)});
    WriteTable(tables / "Hist1.rdb", 'M', std::vector<SummaryRow>{Summary(1250000000, 1, 1)});
    WriteTable(tables / "HistD.rdb", 'D', std::vector<SummaryRow>{});
    WriteTable(tables / "MixedD.rdb", 'H', std::vector<SummaryRow>{Summary(1100000000, 1, 1)});  // the export: no D
    WriteBytes(tables / "BadH.rdb", "not a table file, but long enough for a header");
    const OldestLineTimes rows = OldestSamples(tables.string(), SourceKind::kTables);
    EXPECT_EQ(rows[kRaw], 1300000000 - 28800);
    EXPECT_EQ(rows[kMinute], 1250000000 - 28800);
    EXPECT_EQ(rows[kHour], std::nullopt);
    EXPECT_EQ(rows[kDay], std::nullopt);
}

}  // namespace

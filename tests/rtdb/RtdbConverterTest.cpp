// The table export against a real InfluxDB server and real table files, in a zone with
// daylight-saving time.

#include "InfluxServer.h"
#include "RecordedProgress.h"
#include "SampleNodes.h"
#include "ScratchDir.h"
#include "TableRows.h"
#include "logging/Logging.h"
#include "platform/FindFile.h"
#include "rtdb/RtdbConverter.h"
#include "sample/SampleNode.h"

#include <gtest/gtest.h>

#include <atomic>

#include <algorithm>
#include <ctime>
#include <functional>
#include <optional>
#include <set>

using namespace quarvel;

namespace {

using tablerows::Raw;
using tablerows::Summary;
using tablerows::Tag;
using tablerows::WriteTable;
using testsupport::CountPoints;
using testsupport::SelectAll;

// Europe/Berlin: one hour east of UTC; daylight-saving time began 2023-03-26 01:00 UTC.
constexpr int32_t kDaylightSavingStart = 1679792400;
constexpr int32_t kStandardOffset = 3600;
// What the server shows for a stored time: less the zone's standard offset and 8 hours.
int64_t ServerTime(int32_t stored) {
    return int64_t{stored} - kStandardOffset - 28800;
}

class RtdbConversion : public ServerTest {
protected:
    void ServerSetUp() override {
        database = NewDatabase("Ry_rtdb");
        target.baseUrl = url;
        target.post = [this](const std::string& address, const std::string& body) {
            ++posts;
            return HttpPost(address, body);
        };
        folder = m_dir / "Tables";
        fs::create_directories(folder);
        SetTableCallObserver([this](std::string_view call) { calls.emplace_back(call); });
    }
    void TearDown() override {
        SetTableCallObserver(nullptr);
        ServerTest::TearDown();
    }

    ConversionTotals Convert() {
        RtdbConverter converter(folder.string(), database, list, target);
        converter.ConvertAll();
        return converter.Totals();
    }

    // The times the server holds for a tag, ascending.
    std::vector<int64_t> Times(const char* policy, const char* measurement, const std::string& name) {
        std::vector<int64_t> times;
        for (const auto& row : SelectAll(database, policy, measurement))
            if (row.value("name", "") == name) times.push_back(row["time"].get<int64_t>());
        return times;
    }

    ZoneScope zone{"Europe/Berlin"};
    std::string database;
    InfluxTarget target;
    std::atomic<int> posts{0};
    fs::path folder;
    testsupport::RecordedProgress list{testsupport::RecordedProgress::Order::kInOrder};
    std::vector<std::string> calls;
};

TEST_F(RtdbConversion, EachSampleIsAdjustedForDaylightSavingOnItsOwnTime) {
    const int32_t t = kDaylightSavingStart - 2;
    WriteTable(folder / "Tags.rdb", 'T', std::vector<TagRow>{Tag(1, "EDGE"), Tag(2, "SUMMER")});
    WriteTable(folder / "ChangeX.rdb", 'X', std::vector<RawRow>{Raw(t, 1, 0.5f, {1, 5})});
    WriteTable(folder / "ChangeM.rdb", 'M', std::vector<SummaryRow>{Summary(kDaylightSavingStart + 60, 2, 1.0f)});
    Convert();

    // t and t + 1 are standard time; t + 5 is in daylight-saving time and loses an hour.
    EXPECT_EQ(Times("RP_Sec", "datalogX", "EDGE"),
              (std::vector<int64_t>{ServerTime(t + 5) - 3600, ServerTime(t), ServerTime(t + 1)}));
    EXPECT_EQ(Times("RP_Min", "datalogM", "SUMMER"),
              std::vector<int64_t>{ServerTime(kDaylightSavingStart + 60) - 3600});
}

TEST_F(RtdbConversion, TimesBefore1970AreExportedUnadjusted) {
    ZoneScope newYork("America/New_York");  // daylight-saving time in the summer of 1969 too
    const int32_t july1969 = -15897600;
    const time_t probe = july1969;
    struct tm local {};
    ASSERT_NE(localtime_r(&probe, &local), nullptr);
    ASSERT_GT(local.tm_isdst, 0) << "the zone data must know the 1969 daylight-saving time";
    WriteTable(folder / "OldX.rdb", 'X', std::vector<RawRow>{Raw(july1969, 1, 1.0f, {10})});
    Convert();

    auto rows = SelectAll(database, "RP_Sec", "datalogX");
    ASSERT_EQ(rows.size(), 2u);
    const int64_t standardOffset = -18000;
    EXPECT_EQ(rows[0]["time"], july1969 - standardOffset - 28800);
    EXPECT_EQ(rows[1]["time"], july1969 + 10 - standardOffset - 28800);
}

TEST_F(RtdbConversion, FollowOnEntriesEndAtTheFirstOffsetThatIsNotPositive) {
    std::initializer_list<int> all32 = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                        17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
    struct Case {
        const char* name;
        RawRow row;
        std::vector<int64_t> offsets;  // of the samples the row yields
    };
    const int32_t t = 1580000000;  // winter: no daylight-saving time
    const std::vector<Case> cases = {
        {"FIRST_ZERO", Raw(t, 1, 0, {0, 1, 2}), {0}},
        {"ALL_32", Raw(t, 2, 0, all32), {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                         17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32}},
        {"ENDS_AT_0x80", Raw(t, 3, 0, {1, 2, 0x80, 3}), {0, 1, 2}},
        {"ENDS_AT_0xFF", Raw(t, 4, 0, {7, 0xFF, 8}), {0, 7}},
        {"UP_TO_127", Raw(t, 5, 0, {127}), {0, 127}},
    };
    std::vector<TagRow> tags;
    std::vector<RawRow> rows;
    for (const Case& c : cases) {
        tags.push_back(Tag(c.row.tagId, c.name));
        rows.push_back(c.row);
    }
    WriteTable(folder / "Tags.rdb", 'T', tags);
    WriteTable(folder / "EntriesX.rdb", 'X', rows);
    const ConversionTotals totals = Convert();

    uint64_t samples = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int64_t> expected;
        for (int64_t offset : c.offsets) expected.push_back(ServerTime(t) + offset);
        EXPECT_EQ(Times("RP_Sec", "datalogX", c.name), expected);
        samples += c.offsets.size();
    }
    EXPECT_EQ(totals.records, samples);
    // Each follow-on carries its own value: entry i has i + 1.
    for (const auto& row : SelectAll(database, "RP_Sec", "datalogX")) {
        if (row.value("name", "") == "ALL_32") {
            EXPECT_EQ(row["value"], row["time"].get<int64_t>() - ServerTime(t));
        }
    }
}

// The lines a file adds to the progress, in the order of the listing.
std::vector<std::string> LinesOf(const std::string& name, const std::string& path, bool named, bool exported) {
    if (named) return {name};
    if (!exported) return {name, path, path};
    return {name, path, path, path};
}

TEST_F(RtdbConversion, KindLettersNamesAndProgressLines) {
    struct File {
        std::string name;
        char kind;
        int rows;
        bool exported;
    };
    const std::vector<File> files = {
        {"Day1.rdb", 'M', 1, true},        {"Day2.rdb", 'M', 2, true},     {"HourH.RDB", 'H', 1, true},
        {"LowerCasex.rdb", 'X', 1, false}, {"OldTags.rdb", 'T', 1, false}, {"TAGS.RDB", 'T', 1, false},
        {"EmptyD.rdb", 'D', 0, true},
    };
    int32_t time = 1580000000;  // a minute apart, so that no two samples make the same point
    for (const File& f : files) {
        if (f.kind == 'T') WriteTable(folder / f.name, 'T', std::vector<TagRow>{Tag(1, "NAMED")});
        if (f.kind == 'X') WriteTable(folder / f.name, 'X', std::vector<RawRow>{Raw(time, 1, 1)});
        std::vector<SummaryRow> rows;
        for (int i = 0; i < f.rows; ++i) rows.push_back(Summary(time += 60, 1, 1.0f));
        if (f.kind != 'T' && f.kind != 'X') WriteTable(folder / f.name, f.kind, rows);
    }
    const ConversionTotals totals = Convert();
    const std::vector<std::string> shown = list.Told();

    // No "Tags.rdb" (on this file system TAGS.RDB is another name): every sample goes
    // out without the name tag.
    EXPECT_EQ(CountPoints(database, "RP_Min", "datalogM"), 3);
    EXPECT_EQ(CountPoints(database, "RP_Hour", "datalogH"), 1);
    EXPECT_EQ(CountPoints(database, "RP_Sec", "datalogX"), 0);
    for (const auto& row : SelectAll(database, "RP_Min", "datalogM")) EXPECT_FALSE(row.contains("name")) << row;
    EXPECT_EQ(totals.filesConverted, 4);
    EXPECT_EQ(totals.filesSkipped, 2);
    EXPECT_EQ(posts, 3) << "the empty table posts nothing";

    const std::string root = folder.string() + "/";
    std::vector<std::string> expected = {root + "Tags.rdb", root + "*.rdb"};
    platform::FindFile listing;
    platform::FindData entry;
    for (bool more = listing.First(root + "*.rdb", entry); more; more = listing.Next(entry)) {
        const auto f = std::find_if(files.begin(), files.end(), [&](const File& x) { return x.name == entry.name; });
        ASSERT_NE(f, files.end()) << entry.name;
        for (auto& line : LinesOf(f->name, root + f->name, f->name == "TAGS.RDB", f->exported))
            expected.push_back(line);
    }
    EXPECT_EQ(shown, expected) << "no closing line when every line was written";
}

TEST_F(RtdbConversion, FolderWithoutTablesShowsError) {
    for (const fs::path& where : {folder, m_dir / "nowhere"}) {
        SCOPED_TRACE(where);
        folder = where;
        testsupport::RecordedProgress fresh(testsupport::RecordedProgress::Order::kInOrder);
        RtdbConverter converter(folder.string(), database, fresh, target);
        converter.ConvertAll();
        const std::string root = folder.string() + "/";
        EXPECT_EQ(fresh.Lines(), (std::vector<std::string>{root + "Tags.rdb", root + "*.rdb", "Error"}));
    }
    EXPECT_EQ(posts, 0);
}

struct Boom {};  // no std::exception: the clean-up must not depend on the type

TEST_F(RtdbConversion, LibrariesConnectAndDisconnectInOrderAlsoWhenAnExceptionLeaves) {
    WriteTable(folder / "Tags.rdb", 'T', std::vector<TagRow>{Tag(1, "ONE")});
    WriteTable(folder / "OneX.rdb", 'X', std::vector<RawRow>{Raw(1600000000, 1, 1)});
    // The tag table is closed before the table file is opened; one table is open at a time.
    const std::vector<std::string> expected = {
        "RyConnectTDB",    "RyConnectXDB",    "RyConnectMDB",    "RyConnectHDB",    "RyConnectDDB",
        "RyOpenTagTable",  "RyCloseTagTable", "RyOpenXTable",    "RyCloseXTable",   "RyDisconnectTDB",
        "RyDisconnectXDB", "RyDisconnectMDB", "RyDisconnectHDB", "RyDisconnectDDB",
    };
    struct Case {
        const char* what;
        bool postThrows;
        bool fileDoneThrows;
    };
    for (const Case& c : {Case{"no exception", false, false}, Case{"a throwing post", true, false},
                          Case{"from the file-done callback", false, true}}) {
        SCOPED_TRACE(c.what);
        calls.clear();
        InfluxTarget used = target;
        if (c.postThrows) used.post = [](const std::string&, const std::string&) -> HttpResult { throw Boom(); };
        const auto run = [&] {
            RtdbConverter converter(folder.string(), database, list, used);
            list.onFileDone = nullptr;
            if (c.fileDoneThrows) list.onFileDone = [](const std::string&, const ConversionTotals&) { throw Boom(); };
            converter.ConvertAll();
        };
        // A post that throws counts its lines as not written and leaves nothing to catch.
        if (c.fileDoneThrows)
            EXPECT_THROW(run(), Boom);
        else
            run();
        EXPECT_EQ(calls, expected);
        ASSERT_EQ(RyConnectXDB(), 0);
        EXPECT_EQ(RyDisconnectXDB(), 0);
        EXPECT_EQ(RyDisconnectXDB(), kRyNotConnected) << "nothing stays connected";
    }
}

TEST_F(RtdbConversion, TagCatalogueKeepsTheLaterNameAndEntersUnknownIds) {
    WriteTable(folder / "Tags.rdb", 'T', std::vector<TagRow>{Tag(7, "FIRST"), Tag(8, ""), Tag(7, "LATER")});
    RtdbConverter converter(folder.string(), database, list, target);
    converter.LoadTagTable();
    EXPECT_EQ(converter.TagName(7), "LATER");
    EXPECT_EQ(converter.TagName(8), "");
    const std::string& unknown = converter.TagName(99);
    EXPECT_EQ(unknown, "");
    EXPECT_EQ(&converter.TagName(99), &unknown) << "entered once, then found again";

    WriteTable(folder / "Tags.rdb", 'T', std::vector<TagRow>{});
    calls.clear();
    RtdbConverter empty(folder.string(), database, list, target);
    empty.LoadTagTable();
    EXPECT_EQ(empty.TagName(7), "");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "RyCloseTagTable"), 1) << "an empty tag table is closed";
}

TEST_F(RtdbConversion, LostLinesAreReportedAtTheEnd) {
    WriteTable(folder / "LostX.rdb", 'X', std::vector<RawRow>{Raw(1600000000, 1, 1, {1, 2})});
    WriteTable(folder / "LostH.rdb", 'H', std::vector<SummaryRow>{Summary(1600000000, 1, 1)});
    testsupport::DropDatabase(database);
    InitLogging();
    const ConversionTotals totals = Convert();
    ShutdownLogging();
    database.clear();

    EXPECT_EQ(totals.writes.linesNotWritten, 4u);
    EXPECT_EQ(totals.filesWithLoss, 2);
    EXPECT_EQ(list.Lines().back(), "Conversion completed, but 4 lines were not written (see Logs/Quarvel.log)");
    const std::string log = ReadFile(m_dir / "Logs" / "Quarvel.log");
    EXPECT_NE(log.find("LostX.rdb: 3 lines not written"), std::string::npos) << log;
    EXPECT_NE(log.find("LostH.rdb: 1 lines not written"), std::string::npos) << log;
}

TEST_F(RtdbConversion, AStopRequestEndsTheExportAfterTheCurrentFile) {
    for (const char* name : {"AX.rdb", "BX.rdb", "CX.rdb"})
        WriteTable(folder / name, 'X', std::vector<RawRow>{Raw(1600000000, 1, 1, {1})});
    RtdbConverter converter(folder.string(), database, list, target);
    list.onFileDone = [&converter](const std::string&, const ConversionTotals&) { converter.RequestStop(); };
    converter.ConvertAll();
    EXPECT_TRUE(converter.Stopped());
    EXPECT_EQ(converter.Totals().filesConverted, 1);
    EXPECT_EQ(CountPoints(database, "RP_Sec", "datalogX"), 2);
    EXPECT_EQ(list.Lines().back(), "Conversion stopped after 1 files");
}

// A table cut under the export after its first post: the rows read are written, and the
// table is named as not read whole instead of being taken for a whole one.
TEST_F(RtdbConversion, ATableCutUnderTheExportIsNotTakenForAWholeOne) {
    std::vector<RawRow> rows;  // 32 samples a row: the first post comes within the first read block
    for (int i = 0; i < 1000; ++i) {
        RawRow& row = rows.emplace_back(Raw(1600000000 + 60 * i, 1, static_cast<float>(i)));
        for (int k = 0; k + 1 < kFollowOnEntries; ++k) row.followOn[k] = FollowOn{static_cast<int8_t>(k + 1), 1.0f};
    }
    const fs::path table = folder / "BigX.rdb";
    WriteTable(table, 'X', rows);
    bool cut = false;
    target.post = [&cut, &table, post = target.post](const std::string& address, const std::string& body) {
        if (!std::exchange(cut, true)) fs::resize_file(table, rtdb::kHeaderSize + 500 * sizeof(RawRow));
        return post(address, body);
    };
    const ConversionTotals totals = Convert();
    EXPECT_EQ(totals.unreadable, std::vector<std::string>{table.string()});
    const std::vector<std::string> lines = list.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Could not read all of BigX.rdb"), lines.end());
    EXPECT_EQ(CountPoints(database, "RP_Sec", "datalogX"), 500 * 32);
}

TEST_F(RtdbConversion, SampleNodeTablesAreExportedWhole) {
    const SampleNodeResult made = testsupport::MakeSmallSampleNode((m_dir / "Node_T").string());
    folder = made.dataLogFolder;
    const ConversionTotals totals = Convert();

    EXPECT_EQ(totals.filesConverted, 4);
    EXPECT_EQ(totals.writes.linesNotWritten, 0u);
    uint64_t samples = 0;
    for (int kind = 0; kind < kTableKindCount; ++kind) {
        EXPECT_EQ(CountPoints(database, kRetentionPolicy[kind], kMeasurement[kind]),
                  static_cast<long>(made.tableSamples[kind]))
            << kMeasurement[kind];
        samples += made.tableSamples[kind];
    }
    EXPECT_EQ(totals.records, samples);
    std::set<std::string> names;
    for (const auto& row : SelectAll(database, "RP_Min", "datalogM")) names.insert(row["name"].get<std::string>());
    EXPECT_EQ(names, (std::set<std::string>{"FLOW_01", "PRESS_02", "TEMP_03"}));

    // Three writers at once, a tag always through the same one, store what one stores.
    const std::string oneWriter = database;
    database = testsupport::UniqueDatabaseName("Ry_lanes");
    testsupport::CreateDatabaseWithPolicies(database);
    RtdbConverter lanes(folder.string(), database, list, target);
    lanes.SetJobs(3);
    lanes.ConvertAll();
    EXPECT_EQ(lanes.Totals().writes.linesWritten, totals.writes.linesWritten);
    for (int kind = 0; kind < kTableKindCount; ++kind)
        EXPECT_EQ(SelectAll(database, kRetentionPolicy[kind], kMeasurement[kind]),
                  SelectAll(oneWriter, kRetentionPolicy[kind], kMeasurement[kind]))
            << kMeasurement[kind];
    testsupport::DropDatabase(oneWriter);
}

}  // namespace

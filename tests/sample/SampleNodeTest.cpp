#include "ScratchDir.h"
#include "sample/SampleNode.h"

#include "influx/LogSample.h"
#include "rtdb/TableFile.h"
#include "rtdb/TableLibrary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace quarvel;

namespace fs = std::filesystem;

namespace {

struct DatFile {
    fs::path path;
    std::string group;
    std::string tag;
    char kind = 0;
    uintmax_t size = 0;
    std::vector<LogSample> records;
};

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int RecordSize(char kind) {
    return kind == 'X' ? kRawSampleSize : kSummarySampleSize;
}

// Reads every file of every group the way the converter does: name up to '$' is the
// tag, the letter before the last '.' the kind, records copied out of the file bytes.
std::vector<DatFile> ReadLog(const fs::path& log) {
    std::vector<DatFile> files;
    for (const auto& group : fs::directory_iterator(log)) {
        if (!group.is_directory()) continue;
        for (const auto& entry : fs::directory_iterator(group.path())) {
            DatFile f;
            f.path = entry.path();
            f.group = group.path().filename().string();
            const std::string name = f.path.filename().string();
            f.tag = name.substr(0, name.find('$'));
            f.kind = name[name.rfind('.') - 1];
            const std::string bytes = ReadBytes(f.path);
            f.size = bytes.size();
            const size_t size = static_cast<size_t>(RecordSize(f.kind));
            for (size_t at = 0; at + size <= bytes.size(); at += size) {
                LogSample s{};
                std::memcpy(&s, bytes.data() + at, size);
                f.records.push_back(s);
            }
            files.push_back(std::move(f));
        }
    }
    return files;
}

// TAG$nnnnK.DAT: an upper-case type, '_' and a number, four digits, a kind letter.
bool WellFormedName(const std::string& name) {
    const size_t dollar = name.find('$');
    const size_t underscore = name.find('_');
    if (dollar == std::string::npos || underscore == std::string::npos || underscore == 0 || dollar > 31) return false;
    const auto all = [&](size_t from, size_t to, int (*is)(int)) {
        for (size_t i = from; i < to; ++i)
            if (!is(static_cast<unsigned char>(name[i]))) return false;
        return to > from;
    };
    return all(0, underscore, isupper) && all(underscore + 1, dollar, isdigit) && name.size() == dollar + 10 &&
           all(dollar + 1, dollar + 5, isdigit) && std::string("XMHD").find(name[dollar + 5]) != std::string::npos &&
           name.substr(dollar + 6) == ".DAT";
}

const DatFile* Find(const std::vector<DatFile>& files, const std::string& tag, char kind) {
    for (const auto& f : files)
        if (f.tag == tag && f.kind == kind) return &f;
    return nullptr;
}

class SampleNodeTest : public ScratchDirTest {
protected:
    SampleNodeResult Make(const fs::path& node, const SampleNodeOptions& options) {
        SampleNodeResult result;
        std::string error;
        EXPECT_TRUE(MakeSampleNode(node.string(), options, result, error)) << error;
        EXPECT_EQ(error, "");
        return result;
    }
};

TEST_F(SampleNodeTest, WritesNodeFolderWithSettingsAndTwoGroups) {
    SampleNodeOptions options;
    options.tags = 6;
    options.days = 1;
    const fs::path node = m_dir / "node_A";
    const SampleNodeResult result = Make(node, options);

    const std::string log = (node / "Log" / "").string();
    EXPECT_EQ(result.dataLogFolder, log);
    EXPECT_EQ(log.back(), '/');
    EXPECT_TRUE(fs::path(log).is_absolute());
    EXPECT_EQ(ReadBytes(node / "sysinfo.ini"), "[NODE_INFO]\r\nDATA_LOG_FOLDER=" + log + "\r\n");

    std::set<std::string> groups;
    std::set<std::string> tables;
    for (const auto& entry : fs::directory_iterator(node / "Log"))
        (entry.is_directory() ? groups : tables).insert(entry.path().filename().string());
    EXPECT_EQ(groups, (std::set<std::string>{"Group1", "Group2"}));
    EXPECT_EQ(tables, (std::set<std::string>{"Tags.rdb", "HistX.rdb", "HistM.rdb", "HistH.rdb", "HistD.rdb"}));
    EXPECT_EQ(result.tableFiles, 5);

    const auto files = ReadLog(node / "Log");
    std::map<std::string, std::string> kindsOfTag;
    std::vector<const DatFile*> second;
    for (const auto& f : files) {
        EXPECT_TRUE(WellFormedName(f.path.filename().string())) << f.path;
        if (f.group == "Group1") kindsOfTag[f.tag] += f.kind;
        if (f.group == "Group2") second.push_back(&f);
    }
    ASSERT_EQ(kindsOfTag.size(), 6u);
    for (auto& [tag, kinds] : kindsOfTag) {
        std::sort(kinds.begin(), kinds.end());
        EXPECT_EQ(kinds, "DHMX") << tag;
    }
    // The types cycle, so tags of different types are all present.
    for (const char* tag : {"FLOW_01", "PRESS_02", "TEMP_03", "LEVEL_04"}) EXPECT_EQ(kindsOfTag.count(tag), 1u) << tag;
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0]->kind, 'M');
    EXPECT_EQ(kindsOfTag.count(second[0]->tag), 0u) << "the second group holds a tag of its own";
    EXPECT_FALSE(second[0]->records.empty());
    EXPECT_EQ(result.files, 6 * 4 + 1);
    EXPECT_EQ(static_cast<int>(files.size()), result.files);

    // Raw files alone, and two hours in the raw table.
    options.kinds = "X";
    options.rawTableHours = 2;
    const SampleNodeResult raw = Make(m_dir / "node_R", options);
    EXPECT_EQ(raw.files, 6 + 1);
    EXPECT_EQ(raw.tableRows[kRaw], 6u * 720u);
}

template <typename Row>
std::vector<Row> ReadTable(const fs::path& path, char kind) {
    rtdb::TableReader table;
    EXPECT_EQ(table.Open(path.string()), rtdb::TableStatus::kOk) << path;
    EXPECT_EQ(table.Kind(), kind) << path;
    std::vector<Row> rows(table.RowCount());
    for (Row& row : rows) EXPECT_TRUE(table.Next(&row)) << path;
    return rows;
}

// The tables name the same tags as the data-log files, hold the same summaries, and a
// last hour of raw samples, one a second, in rows that carry their follow-on entries.
TEST_F(SampleNodeTest, TablesMatchTheDataLogFiles) {
    SampleNodeOptions options;
    options.tags = 3;
    options.days = 1;
    const fs::path node = m_dir / "node_T";
    const SampleNodeResult result = Make(node, options);
    const fs::path log = node / "Log";
    const auto files = ReadLog(log);

    std::map<int32_t, std::string> tagOfId;
    for (const TagRow& row : ReadTable<TagRow>(log / "Tags.rdb", 'T')) {
        EXPECT_EQ(row.unused, 0);
        EXPECT_TRUE(tagOfId.emplace(row.tagId, std::string(row.name, strnlen(row.name, sizeof row.name))).second);
    }
    EXPECT_EQ(result.tagRows, 4u);
    ASSERT_EQ(tagOfId.size(), 4u);
    for (const auto& f : files) {
        const int id = std::stoi(f.path.filename().string().substr(f.tag.size() + 1, 4));
        EXPECT_EQ(tagOfId[id], f.tag) << f.path;
    }

    for (const char kind : {'M', 'H', 'D'}) {
        SCOPED_TRACE(std::string(1, kind));
        const auto rows = ReadTable<SummaryRow>(log / (std::string("Hist") + kind + ".rdb"), kind);
        size_t at = 0;
        for (const auto& [id, tag] : tagOfId) {
            const DatFile* file = Find(files, tag, kind);
            if (file == nullptr) continue;
            for (const LogSample& s : file->records) {
                ASSERT_LT(at, rows.size());
                const SummaryRow& row = rows[at++];
                EXPECT_EQ(row.tagId, id);
                EXPECT_EQ(row.time, s.time);
                EXPECT_EQ(row.status, s.status);
                EXPECT_EQ(std::memcmp(&row.last, &s.value, 16), 0) << "at " << s.time;
            }
        }
        EXPECT_EQ(at, rows.size());
        const TableKind k = kind == 'M' ? kMinute : kind == 'H' ? kHour : kDay;
        EXPECT_EQ(result.tableRows[k], rows.size());
        EXPECT_EQ(result.tableSamples[k], rows.size());
    }

    const auto raw = ReadTable<RawRow>(log / "HistX.rdb", 'X');
    ASSERT_EQ(raw.size(), 3u * 360u);
    EXPECT_EQ(result.tableRows[kRaw], raw.size());
    std::map<int32_t, std::set<int64_t>> secondsOfTag;
    uint64_t samples = 0;
    int noValue = 0;
    for (const RawRow& row : raw) {
        std::set<int64_t>& seconds = secondsOfTag[row.tagId];
        seconds.insert(row.time);
        noValue += HasNoValue(LogSample{row.time, row.status, row.value, 0, 0, 0});
        int entries = 0;
        while (entries < kFollowOnEntries && row.followOn[entries].offset > 0) {
            EXPECT_EQ(row.followOn[entries].offset, entries + 1);
            EXPECT_TRUE(std::isfinite(row.followOn[entries].value));
            seconds.insert(int64_t{row.time} + row.followOn[entries].offset);
            ++entries;
        }
        EXPECT_TRUE(entries == 9 || entries == 4) << entries;
        samples += 1 + static_cast<uint64_t>(entries);
    }
    EXPECT_EQ(samples, result.tableSamples[kRaw]);
    EXPECT_EQ(noValue, 3);
    for (const auto& [id, seconds] : secondsOfTag) {
        EXPECT_EQ(*seconds.rbegin(), options.endTime) << id;
        EXPECT_GT(*seconds.begin(), options.endTime - 3600) << id;
        EXPECT_GT(seconds.size(), 3500u) << "one sample a second, a few rows end early";
    }
}

struct RecordCase {
    int tags;
    int days;
    int step;
    int64_t endTime;
};

void PrintTo(const RecordCase& c, std::ostream* os) {
    *os << c.tags << " tags, " << c.days << " days, step " << c.step << " s, end " << c.endTime;
}

class SampleRecordsTest : public SampleNodeTest, public ::testing::WithParamInterface<RecordCase> {};

// Steps that divide a minute, that do not, and that are longer than a minute.
INSTANTIATE_TEST_SUITE_P(Steps, SampleRecordsTest,
                         ::testing::Values(RecordCase{3, 2, 10, 1700000000}, RecordCase{2, 1, 7, 1600000033},
                                           RecordCase{2, 1, 90, 1234567890}, RecordCase{1, 3, 3600, 86400 * 3}),
                         [](const auto& p) { return "Step" + std::to_string(p.param.step); });

TEST_P(SampleRecordsTest, RecordsAreOrderedFiniteAndCounted) {
    const RecordCase c = GetParam();
    SampleNodeOptions options;
    options.tags = c.tags;
    options.days = c.days;
    options.rawStepSeconds = c.step;
    options.endTime = c.endTime;
    const SampleNodeResult result = Make(m_dir / "node_B", options);
    const auto files = ReadLog(m_dir / "node_B" / "Log");

    const int64_t rawPerTag = int64_t{c.days} * 86400 / c.step;
    uint64_t raw = 0, summary = 0, noValue = 0;
    std::set<int32_t> noValueBits;
    std::set<uint16_t> statuses;
    for (const auto& f : files) {
        SCOPED_TRACE(f.path.string());
        EXPECT_EQ(f.size % static_cast<uintmax_t>(RecordSize(f.kind)), 0u);
        ASSERT_FALSE(f.records.empty());
        (f.kind == 'X' ? raw : summary) += f.records.size();
        int fileNoValue = 0;
        for (size_t i = 0; i < f.records.size(); ++i) {
            const LogSample& s = f.records[i];
            if (i > 0) {
                EXPECT_LT(f.records[i - 1].time, s.time) << "record " << i;
            }
            if (HasNoValue(s)) {
                ++fileNoValue;
                noValueBits.insert(ValueBits(s));
                continue;
            }
            statuses.insert(s.status);
            EXPECT_TRUE(std::isfinite(s.value)) << "record " << i;
            if (f.kind == 'X') continue;
            EXPECT_TRUE(std::isfinite(s.max) && std::isfinite(s.min) && std::isfinite(s.mean)) << "record " << i;
            EXPECT_LE(s.min, s.mean) << "record " << i;
            EXPECT_LE(s.mean, s.max) << "record " << i;
            EXPECT_LE(s.min, s.value) << "record " << i;
            EXPECT_LE(s.value, s.max) << "record " << i;
        }
        noValue += static_cast<uint64_t>(fileNoValue);
        if (f.kind == 'X') {
            EXPECT_EQ(static_cast<int64_t>(f.records.size()), rawPerTag);
            EXPECT_EQ(f.records.back().time, c.endTime);
            EXPECT_EQ(f.records.front().time, c.endTime - (rawPerTag - 1) * c.step);
            // One no-value sample in every 5000 or so.
            EXPECT_GE(fileNoValue, rawPerTag / 5000);
            EXPECT_LE(fileNoValue, rawPerTag / 5000 + 1);
        }
        if (f.kind == 'M') {
            EXPECT_GE(fileNoValue, 2);
        }
    }
    EXPECT_EQ(raw, result.rawRecords);
    EXPECT_EQ(summary, result.summaryRecords);
    EXPECT_EQ(noValue, result.noValueRecords);
    EXPECT_EQ(raw, static_cast<uint64_t>(rawPerTag * c.tags));
    EXPECT_EQ(noValueBits, (std::set<int32_t>{-1, -2}));
    EXPECT_EQ(statuses.count(192), 1u);
    // Now and then a status other than good.
    if (raw > 20000) {
        EXPECT_GE(statuses.size(), 2u);
    }
}

// Every summary must describe exactly the raw samples of its period: this catches
// periods cut at the wrong boundary or stamped with the wrong time.
TEST_P(SampleRecordsTest, SummariesDescribeTheRawSamplesOfTheirPeriod) {
    const RecordCase c = GetParam();
    SampleNodeOptions options;
    options.tags = 1;
    options.days = c.days;
    options.rawStepSeconds = c.step;
    options.endTime = c.endTime;
    Make(m_dir / "node_C", options);
    const auto files = ReadLog(m_dir / "node_C" / "Log");
    const DatFile* raw = Find(files, "FLOW_01", 'X');
    ASSERT_NE(raw, nullptr);

    for (const auto& [kind, seconds] : std::vector<std::pair<char, int64_t>>{{'M', 60}, {'H', 3600}, {'D', 86400}}) {
        SCOPED_TRACE(std::string(1, kind));
        const DatFile* sum = Find(files, "FLOW_01", kind);
        ASSERT_NE(sum, nullptr);
        std::map<int64_t, std::vector<float>> periods;  // start -> valued raw values in order
        for (const LogSample& s : raw->records) {
            auto& values = periods[s.time / seconds * seconds];
            if (!HasNoValue(s)) values.push_back(s.value);
        }
        ASSERT_EQ(sum->records.size(), periods.size());
        auto period = periods.begin();
        int checked = 0;
        for (const LogSample& s : sum->records) {
            const auto& [start, values] = *period++;
            ASSERT_EQ(s.time, start);
            if (HasNoValue(s)) continue;
            ASSERT_FALSE(values.empty()) << "valued summary for a period without values at " << s.time;
            double total = 0;
            for (float v : values) total += v;
            EXPECT_EQ(s.value, values.back()) << s.time;
            EXPECT_EQ(s.max, *std::max_element(values.begin(), values.end())) << s.time;
            EXPECT_EQ(s.min, *std::min_element(values.begin(), values.end())) << s.time;
            EXPECT_NEAR(s.mean, total / static_cast<double>(values.size()), 1e-4 * std::fabs(s.mean)) << s.time;
            ++checked;
        }
        EXPECT_GT(checked, 0);
    }
}

TEST_F(SampleNodeTest, SignalsAreSmoothWithNoise) {
    SampleNodeOptions options;
    options.tags = 1;
    options.days = 1;
    Make(m_dir / "node_S", options);
    const auto files = ReadLog(m_dir / "node_S" / "Log");
    const DatFile* raw = Find(files, "FLOW_01", 'X');
    ASSERT_NE(raw, nullptr);
    // Over a day the signal swings widely, yet neighbouring samples stay close and differ.
    float lo = raw->records[0].value, hi = lo;
    float largestStep = 0;
    int changes = 0;
    const LogSample* previous = nullptr;
    for (const LogSample& s : raw->records) {
        if (HasNoValue(s)) continue;
        lo = std::min(lo, s.value);
        hi = std::max(hi, s.value);
        if (previous) {
            largestStep = std::max(largestStep, std::fabs(s.value - previous->value));
            changes += s.value != previous->value;
        }
        previous = &s;
    }
    EXPECT_GT(hi - lo, 20 * largestStep);
    EXPECT_GT(changes, static_cast<int>(raw->records.size()) * 9 / 10);
}

TEST_F(SampleNodeTest, SameOptionsGiveSameBytes) {
    SampleNodeOptions options;
    options.tags = 3;
    options.days = 1;
    Make(m_dir / "one_1", options);
    Make(m_dir / "two_2", options);
    int compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(m_dir / "one_1" / "Log")) {
        if (!entry.is_regular_file()) continue;
        const fs::path relative = fs::relative(entry.path(), m_dir / "one_1");
        EXPECT_EQ(ReadBytes(entry.path()), ReadBytes(m_dir / "two_2" / relative)) << relative;
        ++compared;
    }
    EXPECT_EQ(compared, 3 * 4 + 1 + 5);
}

TEST_F(SampleNodeTest, RewritesIntoAnExistingFolderAndKeepsOtherFiles) {
    const fs::path node = m_dir / "node_R";
    SampleNodeOptions options;
    options.tags = 2;
    options.days = 2;
    Make(node, options);
    std::ofstream(node / "notes.txt") << "keep";
    std::ofstream(node / "Log" / "Group1" / "OTHER$0099X.DAT") << "keep too";

    options.days = 1;
    const SampleNodeResult second = Make(node, options);
    EXPECT_EQ(ReadBytes(node / "notes.txt"), "keep");
    EXPECT_EQ(ReadBytes(node / "Log" / "Group1" / "OTHER$0099X.DAT"), "keep too");
    // The longer files of the first run are cut to the new length.
    EXPECT_EQ(fs::file_size(node / "Log" / "Group1" / "FLOW_01$0001X.DAT"), 8640u * kRawSampleSize);
    EXPECT_EQ(second.rawRecords, 2u * 8640u);
    EXPECT_EQ(second.files, 2 * 4 + 1);
}

struct BadOptions {
    const char* what;
    std::function<void(SampleNodeOptions&)> change;
};

TEST_F(SampleNodeTest, RejectsOptionsItCannotWriteAndCreatesNothing) {
    const std::vector<BadOptions> cases = {
        {"no tags", [](SampleNodeOptions& o) { o.tags = 0; }},
        {"too many tags for four digits", [](SampleNodeOptions& o) { o.tags = 9999; }},
        {"no days", [](SampleNodeOptions& o) { o.days = 0; }},
        {"no step", [](SampleNodeOptions& o) { o.rawStepSeconds = 0; }},
        {"no kinds", [](SampleNodeOptions& o) { o.kinds.clear(); }},
        {"a letter of no kind", [](SampleNodeOptions& o) { o.kinds = "XQ"; }},
        {"no hours in the raw table", [](SampleNodeOptions& o) { o.rawTableHours = 0; }},
        {"step longer than the history",
         [](SampleNodeOptions& o) {
             o.days = 1;
             o.rawStepSeconds = 86401;
         }},
        {"end beyond 32-bit seconds", [](SampleNodeOptions& o) { o.endTime = int64_t{1} << 31; }},
        {"start before 32-bit seconds", [](SampleNodeOptions& o) { o.endTime = -(int64_t{1} << 31) + 3600; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SampleNodeOptions options;
        c.change(options);
        SampleNodeResult result;
        std::string error;
        EXPECT_FALSE(MakeSampleNode((m_dir / "node_X").string(), options, result, error));
        EXPECT_NE(error, "");
        EXPECT_FALSE(fs::exists(m_dir / "node_X"));
    }
    SampleNodeResult result;
    std::string error;
    EXPECT_FALSE(MakeSampleNode("", SampleNodeOptions{}, result, error));
    EXPECT_NE(error, "");
}

struct Obstacle {
    const char* what;
    std::function<void(const fs::path& node)> place;
    std::string blocked;  // the path the error must name, relative to the node
};

TEST_F(SampleNodeTest, ReportsPlacesItCannotWrite) {
    const auto file = [](const fs::path& p) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << "x";
    };
    const auto folder = [](const fs::path& p) { fs::create_directories(p); };
    const std::vector<Obstacle> cases = {
        {"node under a file", [&](const fs::path& n) { file(n.parent_path()); }, ""},
        {"Log is a file", [&](const fs::path& n) { file(n / "Log"); }, "Log"},
        {"second group is a file", [&](const fs::path& n) { file(n / "Log" / "Group2"); }, "Log/Group2"},
        {"settings file is a folder", [&](const fs::path& n) { folder(n / "sysinfo.ini"); }, "sysinfo.ini"},
        {"data file is a folder", [&](const fs::path& n) { folder(n / "Log/Group1/PRESS_02$0002H.DAT"); },
         "Log/Group1/PRESS_02$0002H.DAT"},
        {"disk full",
         [&](const fs::path& n) {
             folder(n / "Log" / "Group1");
             fs::create_symlink("/dev/full", n / "Log/Group1/FLOW_01$0001X.DAT");
         },
         "Log/Group1/FLOW_01$0001X.DAT"},
        {"table file is a folder", [&](const fs::path& n) { folder(n / "Log/HistM.rdb"); }, "Log/HistM.rdb"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path node = m_dir / std::to_string(index++) / "node_E";
        c.place(node);
        SampleNodeOptions options;
        options.tags = 2;
        options.days = 1;
        SampleNodeResult result;
        std::string error;
        EXPECT_FALSE(MakeSampleNode(node.string(), options, result, error));
        EXPECT_NE(error.find(c.blocked.empty() ? node.string() : (node / c.blocked).string()), std::string::npos)
            << error;
    }
}

TEST_F(SampleNodeTest, ReportsAFolderWithoutWriteAccess) {
    AsUnprivilegedUser([this] {
        const fs::path parent = m_dir / "locked";
        fs::create_directories(parent);
        fs::permissions(parent, fs::perms::owner_read | fs::perms::owner_exec);
        SampleNodeResult result;
        std::string error;
        EXPECT_FALSE(MakeSampleNode((parent / "node_L").string(), SampleNodeOptions{}, result, error));
        EXPECT_NE(error.find((parent / "node_L").string()), std::string::npos) << error;
    });
}

// The benchmark's data set: 24 tags over 10 days at 10 s.
TEST_F(SampleNodeTest, BenchmarkSizeGivesMillionsOfLines) {
    SampleNodeOptions options;
    options.tags = 24;
    options.days = 10;
    const auto start = std::chrono::steady_clock::now();
    const SampleNodeResult result = Make(m_dir / "bench_node", options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    RecordProperty("write_seconds", std::to_string(seconds));

    EXPECT_GE(result.rawRecords, 2'000'000u);
    EXPECT_GE(result.summaryRecords, 200'000u);
    uintmax_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(m_dir / "bench_node" / "Log"))
        if (entry.path().extension() == ".DAT") bytes += entry.file_size();
    EXPECT_EQ(bytes, result.rawRecords * kRawSampleSize + result.summaryRecords * kSummarySampleSize);
    EXPECT_LT(seconds, 10.0) << "files must be written in large blocks";
}

}  // namespace

#include "sample/SampleNode.h"

#include "influx/LineFormat.h"
#include "influx/LogSample.h"
#include "influx/RyInfluxDB.h"
#include "platform/Files.h"
#include "rtdb/TableFile.h"
#include "rtdb/TableLibrary.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

namespace quarvel {

namespace fs = std::filesystem;

namespace {

// The number in a file name has four digits, and the extra tag takes one more.
constexpr int kMaxTags = 9998;
constexpr int64_t kSecondsPerDay = 86400;
constexpr uint16_t kGoodStatus = 192;
constexpr uint16_t kBadStatus = 0;                           // goes with no-value records
constexpr std::array<uint16_t, 2> kOtherStatus = {64, 216};  // uncertain, good but overridden
constexpr uint32_t kOtherStatusOneIn = 1500;
constexpr int64_t kNoValueRawOneIn = 5000;
constexpr std::array<uint32_t, 2> kNoValueBits = {0xFFFFFFFFu, 0xFFFFFFFEu};
constexpr uint32_t kSeed = 0x51A7u;
// Records are gathered and written in blocks of this size, never one by one.
constexpr size_t kWriteBlock = size_t{1} << 20;
// The raw table: a row every 10 s over the last hours, each carrying the nine seconds
// after it as follow-on entries; one row in 40 stops after four.
constexpr int64_t kRawTableRowsPerHour = 360;
constexpr int64_t kRawTableRowStep = 10;
constexpr int kRawTableFollowOns = 9;
constexpr int64_t kShortRowOneIn = 40;
constexpr int kShortRowFollowOns = 4;

struct SignalShape {
    const char* name;
    double base;
    double amplitude;
    double periodSeconds;
    double noise;
};

constexpr SignalShape kShapes[] = {
    {"FLOW", 120.0, 35.0, 86400.0, 1.5},   {"PRESS", 6.2, 0.8, 8 * 3600.0, 0.05},     {"TEMP", 45.0, 6.0, 86400.0, 0.2},
    {"LEVEL", 3.5, 1.2, 6 * 3600.0, 0.02}, {"POWER", 850.0, 200.0, 12 * 3600.0, 8.0},
};
constexpr int kShapeCount = static_cast<int>(std::size(kShapes));

struct PeriodKind {
    TableKind kind;
    int64_t seconds;
};
constexpr std::array<PeriodKind, 3> kPeriods = {{{kMinute, 60}, {kHour, 3600}, {kDay, kSecondsPerDay}}};

std::string TagName(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "%s_%02d", kShapes[index % kShapeCount].name, index + 1);
    return name;
}

std::string FileName(int index, TableKind kind) {
    char number[24];
    std::snprintf(number, sizeof number, "$%04d%c.DAT", index + 1, kKindLetter[kind]);
    return TagName(index) + number;
}

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

float NoValue(int which) {
    return std::bit_cast<float>(kNoValueBits[static_cast<size_t>(which) % 2]);
}

// A smooth daily-ish wave with a faster ripple and a little noise. Seeded per tag, so a
// tag's values do not depend on how many other tags are written.
class Signal {
public:
    explicit Signal(int tagIndex)
        : m_shape(kShapes[tagIndex % kShapeCount]),
          m_rng(kSeed + static_cast<uint32_t>(tagIndex)),
          m_phase(Phase(tagIndex)) {}

    static double Phase(int tagIndex) { return 0.7 * tagIndex; }

    float At(int64_t t) {
        // mt19937's output is fixed by the standard, unlike the library's distributions,
        // so the same options give the same bytes everywhere.
        const double noise = Unit() + Unit() - 1.0;
        return static_cast<float>(Wave(m_shape, m_phase, t) + m_shape.noise * noise);
    }

    // The shape's wave without its noise.
    static double Wave(const SignalShape& shape, double phase, int64_t t) {
        const double x = 2.0 * std::numbers::pi * static_cast<double>(t) / shape.periodSeconds + phase;
        return shape.base + shape.amplitude * std::sin(x) + 0.15 * shape.amplitude * std::sin(3.7 * x + 1.3);
    }

    uint16_t Status() {
        const auto r = static_cast<uint32_t>(m_rng());
        return r % kOtherStatusOneIn == 0 ? kOtherStatus[(r / kOtherStatusOneIn) % kOtherStatus.size()] : kGoodStatus;
    }

private:
    double Unit() { return static_cast<double>(m_rng()) / 4294967296.0; }

    const SignalShape& m_shape;
    std::mt19937 m_rng;
    double m_phase;
};

std::string ErrnoText(int err) {
    return std::error_code(err, std::generic_category()).message();
}

// Collects records and writes them in large blocks; the first failure sticks and is
// reported by Close.
class RecordFile {
public:
    RecordFile() = default;
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;
    ~RecordFile() {
        if (m_file) std::fclose(m_file);
    }

    bool Open(const fs::path& path, std::string& error) {
        m_path = path;
        m_file = std::fopen(path.c_str(), "wb");
        if (!m_file) {
            error = "cannot create " + path.string() + ": " + ErrnoText(errno);
            return false;
        }
        m_buffer.reserve(kWriteBlock + sizeof(LogSample));
        return true;
    }

    void Put(const void* bytes, size_t size) {
        const auto* p = static_cast<const char*>(bytes);
        m_buffer.insert(m_buffer.end(), p, p + size);
        if (m_buffer.size() >= kWriteBlock) Flush();
    }

    bool Close(std::string& error) {
        Flush();
        if (m_file && std::fclose(m_file) != 0 && m_errno == 0) m_errno = errno ? errno : EIO;
        m_file = nullptr;
        if (m_errno != 0) {
            error = "cannot write " + m_path.string() + ": " + ErrnoText(m_errno);
            return false;
        }
        return true;
    }

private:
    void Flush() {
        if (m_buffer.empty() || !m_file || m_errno != 0) {
            m_buffer.clear();
            return;
        }
        if (std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_file) != m_buffer.size()) m_errno = errno ? errno : EIO;
        m_buffer.clear();
    }

    fs::path m_path;
    std::FILE* m_file = nullptr;
    std::vector<char> m_buffer;
    int m_errno = 0;
};

// Gathers the raw values of one summary period.
struct PeriodAccumulator {
    int64_t seconds = 0;
    int64_t key = 0;
    bool open = false;
    int64_t valued = 0;
    double sum = 0;
    float last = 0, max = 0, min = 0;

    void Add(int64_t time, bool hasValue, float v, std::vector<LogSample>& out) {
        const int64_t k = FloorDiv(time, seconds);
        if (open && k != key) Emit(out);
        if (!open) {
            open = true;
            key = k;
            valued = 0;
            sum = 0;
        }
        if (!hasValue) return;
        if (valued == 0) {
            max = min = v;
        } else {
            max = std::max(max, v);
            min = std::min(min, v);
        }
        last = v;
        sum += v;
        ++valued;
    }

    void Emit(std::vector<LogSample>& out) {
        if (!open) return;
        open = false;
        LogSample s{};
        s.time = static_cast<int32_t>(key * seconds);  // stamped with the period's start
        if (valued == 0) {
            // Only no-value raw samples fell in this period.
            s.status = kBadStatus;
            s.value = NoValue(0);
        } else {
            s.status = kGoodStatus;
            s.value = last;
            s.max = max;
            s.min = min;
            // The mean of floats lies between their min and max, and so does its rounding.
            s.mean = static_cast<float>(sum / static_cast<double>(valued));
        }
        out.push_back(s);
    }
};

struct TagFiles {
    fs::path folder;
    bool kinds[kTableKindCount] = {};
};

// The rows of the node's tables, gathered while the data-log files are written.
struct NodeTables {
    std::vector<TagRow> tags;
    std::vector<RawRow> raw;
    std::array<std::vector<SummaryRow>, kTableKindCount> summaries;  // minute, hour and day
};

int32_t TagId(int index) {
    return index + 1;  // the number in the tag's file names
}

void AddTagRow(int index, NodeTables& tables) {
    TagRow row{};
    row.tagId = TagId(index);
    const std::string name = TagName(index);
    std::memcpy(row.name, name.c_str(), std::min(name.size(), sizeof row.name - 1));
    tables.tags.push_back(row);
}

void AddRawTableRows(int index, int64_t endTime, int64_t rows, NodeTables& tables, SampleNodeResult& result) {
    Signal signal(index);  // a generator of its own: the data-log files stay as they are
    const int64_t first = endTime - kRawTableFollowOns - (rows - 1) * kRawTableRowStep;
    for (int64_t k = 0; k < rows; ++k) {
        const int64_t t = first + k * kRawTableRowStep;
        RawRow row{};
        row.time = static_cast<int32_t>(t);
        row.tagId = TagId(index);
        row.status = signal.Status();
        row.value = signal.At(t);
        if (k == rows / 2) {
            row.value = NoValue(index);
            row.status = kBadStatus;
        }
        const int followOns = k % kShortRowOneIn == kShortRowOneIn / 2 ? kShortRowFollowOns : kRawTableFollowOns;
        for (int j = 0; j < followOns; ++j) {
            row.followOn[j].offset = static_cast<int8_t>(j + 1);
            row.followOn[j].value = signal.At(t + j + 1);
        }
        tables.raw.push_back(row);
        result.tableSamples[kRaw] += static_cast<uint64_t>(1 + followOns);
    }
    result.tableRows[kRaw] += static_cast<uint64_t>(rows);
}

void AddSummaryRows(int index, TableKind kind, const std::vector<LogSample>& records, NodeTables& tables,
                    SampleNodeResult& result) {
    for (const LogSample& s : records)
        tables.summaries[kind].push_back(SummaryRow{s.time, TagId(index), s.status, s.value, s.max, s.min, s.mean});
    result.tableRows[kind] += records.size();
    result.tableSamples[kind] += records.size();
}

bool WriteSummaries(const fs::path& path, const std::vector<LogSample>& records, SampleNodeResult& result,
                    std::string& error) {
    RecordFile file;
    if (!file.Open(path, error)) return false;
    for (const LogSample& s : records) {
        file.Put(&s, kSummarySampleSize);
        if (HasNoValue(s)) ++result.noValueRecords;
    }
    if (!file.Close(error)) return false;
    result.summaryRecords += records.size();
    ++result.files;
    return true;
}

bool WriteTag(int index, const TagFiles& target, int64_t firstTime, int64_t rawCount, const SampleNodeOptions& options,
              NodeTables& tables, SampleNodeResult& result, std::string& error) {
    const int64_t step = options.rawStepSeconds;
    const int64_t tableHours = options.rawTableHours;
    Signal signal(index);
    RecordFile raw;
    const bool writeRaw = target.kinds[kRaw];
    if (writeRaw && !raw.Open(target.folder / FileName(index, kRaw), error)) return false;

    std::array<PeriodAccumulator, kPeriods.size()> periods;
    std::array<std::vector<LogSample>, kPeriods.size()> summaries;
    for (size_t p = 0; p < kPeriods.size(); ++p) {
        periods[p].seconds = kPeriods[p].seconds;
        summaries[p].reserve(static_cast<size_t>(rawCount * step / kPeriods[p].seconds + 2));
    }

    // Spread the no-value samples so that tags do not all miss the same instant.
    const int64_t noValueOffset = (static_cast<int64_t>(index) * 977) % kNoValueRawOneIn;
    uint64_t noValueRaw = 0;
    for (int64_t i = 0; i < rawCount; ++i) {
        const int64_t t = firstTime + i * step;
        LogSample s{};
        s.time = static_cast<int32_t>(t);
        const float value = signal.At(t);
        s.value = value;
        s.status = signal.Status();
        const bool noValue = (i + noValueOffset) % kNoValueRawOneIn == kNoValueRawOneIn - 1;
        if (noValue) {
            s.value = NoValue(static_cast<int>(noValueRaw++));
            s.status = kBadStatus;
        }
        if (writeRaw) raw.Put(&s, kRawSampleSize);
        for (size_t p = 0; p < kPeriods.size(); ++p) periods[p].Add(t, !noValue, value, summaries[p]);
    }
    if (writeRaw) {
        if (!raw.Close(error)) return false;
        result.rawRecords += static_cast<uint64_t>(rawCount);
        result.noValueRecords += noValueRaw;
        ++result.files;
        AddRawTableRows(index, firstTime + (rawCount - 1) * step, tableHours * kRawTableRowsPerHour, tables, result);
    }

    for (size_t p = 0; p < kPeriods.size(); ++p) {
        periods[p].Emit(summaries[p]);
        const TableKind kind = kPeriods[p].kind;
        if (!target.kinds[kind]) continue;
        auto& records = summaries[p];
        if (kind == kMinute) {
            // A couple of minutes that lost their value, one of each pattern.
            const size_t n = records.size();
            const size_t at[2] = {n / 3, 2 * n / 3};
            for (int j = 0; j < 2; ++j) {
                if (at[j] >= n || (j == 1 && at[1] == at[0])) continue;
                records[at[j]].value = NoValue(j);
                records[at[j]].status = kBadStatus;
            }
        }
        if (!WriteSummaries(target.folder / FileName(index, kind), records, result, error)) return false;
        AddSummaryRows(index, kind, records, tables, result);
    }
    AddTagRow(index, tables);
    return true;
}

bool CheckOptions(const SampleNodeOptions& o, int64_t& rawCount, int64_t& firstTime, std::string& error) {
    if (o.tags < 1 || o.tags > kMaxTags) {
        error = "tag count must be between 1 and " + std::to_string(kMaxTags) + ", got " + std::to_string(o.tags);
        return false;
    }
    if (o.days < 1) {
        error = "days must be at least 1, got " + std::to_string(o.days);
        return false;
    }
    if (o.kinds.empty() || o.kinds.find_first_not_of("XMHD") != std::string::npos) {
        error = "kinds are letters of X, M, H and D, not \"" + o.kinds + "\"";
        return false;
    }
    if (o.rawTableHours < 1) {
        error = "raw table hours must be at least 1, got " + std::to_string(o.rawTableHours);
        return false;
    }
    if (o.rawStepSeconds < 1) {
        error = "raw step must be at least 1 second, got " + std::to_string(o.rawStepSeconds);
        return false;
    }
    rawCount = static_cast<int64_t>(o.days) * kSecondsPerDay / o.rawStepSeconds;
    if (rawCount < 1) {
        error = "raw step of " + std::to_string(o.rawStepSeconds) + " s is longer than the history";
        return false;
    }
    firstTime = o.endTime - (rawCount - 1) * o.rawStepSeconds;
    // Summary periods start at or before the first sample; a day's start must fit too.
    const int64_t earliest = FloorDiv(firstTime, kSecondsPerDay) * kSecondsPerDay;
    if (o.endTime > std::numeric_limits<int32_t>::max() || earliest < std::numeric_limits<int32_t>::min()) {
        error = "times from " + std::to_string(firstTime) + " to " + std::to_string(o.endTime) +
                " do not fit in 32-bit seconds";
        return false;
    }
    return true;
}

bool WriteText(const fs::path& path, const std::string& text, std::string& error) {
    RecordFile file;
    if (!file.Open(path, error)) return false;
    file.Put(text.data(), text.size());
    return file.Close(error);
}

template <typename Row>
bool WriteTable(const fs::path& path, char kind, const std::vector<Row>& rows, SampleNodeResult& result,
                std::string& error) {
    if (!platform::ReplaceFile(path.string(), {rtdb::TableImage(kind, rows.data(), rows.size())}, error)) return false;
    ++result.tableFiles;
    return true;
}

bool WriteTables(const fs::path& log, const NodeTables& tables, SampleNodeResult& result, std::string& error) {
    result.tagRows = tables.tags.size();
    if (!WriteTable(log / "Tags.rdb", 'T', tables.tags, result, error)) return false;
    if (!WriteTable(log / "HistX.rdb", 'X', tables.raw, result, error)) return false;
    for (const TableKind kind : {kMinute, kHour, kDay}) {
        const std::string name = std::string("Hist") + kKindLetter[kind] + ".rdb";
        if (!WriteTable(log / name, kKindLetter[kind], tables.summaries[kind], result, error)) return false;
    }
    return true;
}

bool MakeFolder(const fs::path& path, std::string& error) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec || !fs::is_directory(path)) {
        error = "cannot create folder " + path.string() + ": " + (ec ? ec.message() : "not a folder");
        return false;
    }
    return true;
}

}  // namespace

bool MakeSampleNode(const std::string& nodeFolder, const SampleNodeOptions& options, SampleNodeResult& result,
                    std::string& error) {
    result = SampleNodeResult{};
    error.clear();
    if (nodeFolder.empty()) {
        error = "no node folder given";
        return false;
    }
    int64_t rawCount = 0;
    int64_t firstTime = 0;
    if (!CheckOptions(options, rawCount, firstTime, error)) return false;

    std::error_code ec;
    const fs::path node = fs::absolute(nodeFolder, ec).lexically_normal();
    if (ec) {
        error = "cannot resolve " + nodeFolder + ": " + ec.message();
        return false;
    }
    const fs::path log = node / "Log";
    const fs::path group1 = log / "Group1";
    const fs::path group2 = log / "Group2";
    if (!MakeFolder(group1, error) || !MakeFolder(group2, error)) return false;

    result.dataLogFolder = (log / "").string();
    if (!WriteText(node / "sysinfo.ini", "[NODE_INFO]\r\nDATA_LOG_FOLDER=" + result.dataLogFolder + "\r\n", error))
        return false;

    NodeTables tables;
    TagFiles all{group1, {}};
    for (int kind = 0; kind < kTableKindCount; ++kind)
        all.kinds[kind] = options.kinds.find(kKindLetter[kind]) != std::string::npos;
    for (int i = 0; i < options.tags; ++i)
        if (!WriteTag(i, all, firstTime, rawCount, options, tables, result, error)) return false;

    // One more tag, minutes only, in a second group.
    TagFiles extra{group2, {false, true, false, false}};
    if (!WriteTag(options.tags, extra, firstTime, rawCount, options, tables, result, error)) return false;
    return WriteTables(log, tables, result, error);
}

int64_t StoredNow() {
    return static_cast<int64_t>(time(nullptr)) + StandardZoneOffset() + kFixedOffset;
}

namespace {

constexpr auto kLiveTick = std::chrono::milliseconds(200);
constexpr auto kRollEvery = std::chrono::seconds(30);

// A value of the tag at `t` that follows from the two alone: its wave and a little noise
// hashed from them, so that a node written again holds the same records.
float LiveValue(int index, int64_t t) {
    const SignalShape& shape = kShapes[index % kShapeCount];
    uint64_t mix = (static_cast<uint64_t>(index) << 40) ^ static_cast<uint64_t>(t);
    mix = (mix ^ (mix >> 33)) * 0xff51afd7ed558ccdULL;
    mix = (mix ^ (mix >> 33)) * 0xc4ceb9fe1a85ec53ULL;
    mix ^= mix >> 33;
    const double noise = static_cast<double>(mix % 20001) / 10000.0 - 1.0;
    return static_cast<float>(Signal::Wave(shape, Signal::Phase(index), t) + shape.noise * noise);
}

int64_t PeriodOf(TableKind kind, int64_t rawStep) {
    for (const PeriodKind& period : kPeriods)
        if (period.kind == kind) return period.seconds;
    return rawStep;
}

struct LiveFile {
    fs::path path;
    int index = 0;
    TableKind kind = kRaw;
    int64_t last = 0;  // the stored time of its last record
};

// A data-log file of the sample's naming, "<tag>$<nnnn><K>.DAT", with the time of its last
// record, or of the period before `now` when that is later.
std::optional<LiveFile> LiveFileOf(const fs::path& path, int64_t now, int64_t rawStep) {
    const std::string name = path.filename().string();
    const size_t dollar = name.rfind('$');
    if (!name.ends_with(".DAT") || dollar == std::string::npos || name.size() != dollar + 10) return std::nullopt;
    LiveFile file{path, std::atoi(name.c_str() + dollar + 1) - 1, kRaw, 0};
    const auto letter = std::find(std::begin(kKindLetter), std::end(kKindLetter), name[dollar + 5]);
    if (letter == std::end(kKindLetter) || file.index < 0) return std::nullopt;
    file.kind = static_cast<TableKind>(letter - std::begin(kKindLetter));
    const int64_t period = PeriodOf(file.kind, rawStep);
    file.last = FloorDiv(now, period) * period - period;
    const uint64_t size = file.kind == kRaw ? kRawSampleSize : kSummarySampleSize;
    std::error_code ec;
    const uint64_t bytes = fs::file_size(path, ec);
    std::FILE* stream = ec || bytes < size ? nullptr : std::fopen(path.c_str(), "rb");
    int32_t time = 0;
    if (stream && std::fseek(stream, static_cast<long>(bytes / size * size - size), SEEK_SET) == 0 &&
        std::fread(&time, sizeof time, 1, stream) == 1)
        file.last = std::max<int64_t>(time, file.last);  // a node that stood still leaves a gap
    if (stream) std::fclose(stream);
    return file;
}

// Appends the records due by `now`; summaries also go to `rows` for the next roll of the tables.
bool AppendDue(LiveFile& file, int64_t now, int64_t step, std::array<std::vector<SummaryRow>, kTableKindCount>& rows,
               LiveSampleResult& result, std::string& error) {
    std::vector<LogSample> records;
    if (file.kind == kRaw) {
        for (int64_t t = file.last + step; t <= now; t += step)
            records.push_back(LogSample{static_cast<int32_t>(t), kGoodStatus, LiveValue(file.index, t), 0, 0, 0});
    } else {
        const int64_t period = PeriodOf(file.kind, step);
        for (int64_t start = file.last + period; start + period <= now; start += period) {
            PeriodAccumulator summary{.seconds = period};
            for (int64_t t = (FloorDiv(start - 1, step) + 1) * step; t < start + period; t += step)
                summary.Add(t, true, LiveValue(file.index, t), records);
            summary.Emit(records);
        }
        for (const LogSample& s : records)
            rows[file.kind].push_back(SummaryRow{s.time, TagId(file.index), s.status, s.value, s.max, s.min, s.mean});
    }
    if (records.empty()) return true;
    std::string bytes;
    const size_t size = file.kind == kRaw ? kRawSampleSize : kSummarySampleSize;
    for (const LogSample& s : records) bytes.append(reinterpret_cast<const char*>(&s), size);
    // One write, so that a reader meets whole records but for the last one being written.
    std::FILE* stream = std::fopen(file.path.c_str(), "ab");
    const bool written = stream && std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
    if ((stream && std::fclose(stream) != 0) || !written) {
        error = "cannot append to " + file.path.string() + ": " + ErrnoText(errno);
        return false;
    }
    file.last = records.back().time;
    result.records += records.size();
    return true;
}

// Each tag's raw rows over the last hours up to its last raw record, a row every 10 s on
// the same seconds roll after roll.
void AddLiveRawRows(const LiveFile& file, int64_t hours, NodeTables& tables) {
    const int64_t rows = hours * kRawTableRowsPerHour;
    const int64_t last = FloorDiv(file.last - kRawTableFollowOns, kRawTableRowStep) * kRawTableRowStep;
    for (int64_t t = last - (rows - 1) * kRawTableRowStep; t <= last; t += kRawTableRowStep) {
        RawRow row{};
        row.time = static_cast<int32_t>(t);
        row.tagId = TagId(file.index);
        row.status = kGoodStatus;
        row.value = LiveValue(file.index, t);
        for (int j = 0; j < kRawTableFollowOns; ++j) {
            row.followOn[j].offset = static_cast<int8_t>(j + 1);
            row.followOn[j].value = LiveValue(file.index, t + j + 1);
        }
        tables.raw.push_back(row);
    }
}

// Rewrites the tables: every tag, the raw rows of the last hours, and the summary tables
// with the summaries written since the roll before.
bool RollTables(const fs::path& log, const std::vector<LiveFile>& files, int64_t rawTableHours,
                std::array<std::vector<SummaryRow>, kTableKindCount>& newRows, std::string& error) {
    NodeTables tables;
    std::set<int> tags;
    for (const LiveFile& file : files) {
        if (tags.insert(file.index).second) AddTagRow(file.index, tables);
        if (file.kind == kRaw) AddLiveRawRows(file, rawTableHours, tables);
    }
    for (const TableKind kind : {kMinute, kHour, kDay}) {
        rtdb::TableReader reader;
        SummaryRow row{};
        if (reader.Open((log / (std::string("Hist") + kKindLetter[kind] + ".rdb")).string()) == rtdb::TableStatus::kOk)
            while (reader.Next(&row)) tables.summaries[kind].push_back(row);
        tables.summaries[kind].insert(tables.summaries[kind].end(), newRows[kind].begin(), newRows[kind].end());
        newRows[kind].clear();
    }
    SampleNodeResult ignored;
    return WriteTables(log, tables, ignored, error);
}

}  // namespace

bool RunLiveSampleNode(const std::string& nodeFolder, const SampleNodeOptions& options, int seconds,
                       const std::atomic<bool>& stop, LiveSampleResult& result, std::string& error) {
    result = LiveSampleResult{};
    const int64_t step = options.rawStepSeconds;
    std::error_code ec;
    const fs::path node = fs::absolute(nodeFolder, ec).lexically_normal();
    const fs::path log = node / "Log";
    if (!fs::exists(node / "sysinfo.ini")) {
        SampleNodeOptions first = options;
        first.endTime = FloorDiv(StoredNow(), step) * step;
        SampleNodeResult made;
        if (!MakeSampleNode(nodeFolder, first, made, error)) return false;
    }
    std::vector<LiveFile> files;
    int groups = 0;
    for (const auto& group : fs::directory_iterator(log, ec)) {
        if (!group.is_directory()) continue;
        ++groups;
        for (const auto& entry : fs::directory_iterator(group.path(), ec))
            if (auto file = LiveFileOf(entry.path(), StoredNow(), step)) files.push_back(std::move(*file));
    }
    if (files.empty()) {
        error = "no data-log files of a sample node in " + log.string();
        return false;
    }

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto nextRoll = start + kRollEvery;
    bool tagAdded = false;
    std::array<std::vector<SummaryRow>, kTableKindCount> newRows;
    for (;;) {
        const bool last = stop || Clock::now() >= start + std::chrono::seconds(seconds);
        const int64_t now = StoredNow();
        bool roll = last || Clock::now() >= nextRoll;
        if (!tagAdded && Clock::now() >= start + std::chrono::seconds(seconds) / 2) {
            // The new tag's files begin empty in a sub-folder of their own.
            tagAdded = roll = true;
            const int index = std::max_element(files.begin(), files.end(),
                                               [](const LiveFile& a, const LiveFile& b) { return a.index < b.index; })
                                  ->index +
                              1;
            const fs::path group = log / ("Group" + std::to_string(groups + 1));
            if (index >= kMaxTags + 1 || !MakeFolder(group, error)) return false;
            for (const TableKind kind : {kRaw, kMinute}) {
                const int64_t period = PeriodOf(kind, step);
                files.push_back(LiveFile{group / FileName(index, kind), index, kind, FloorDiv(now, period) * period});
                if (!WriteText(files.back().path, "", error)) return false;
            }
            result.newTag = TagName(index);
        }
        for (LiveFile& file : files)
            if (!AppendDue(file, now, step, newRows, result, error)) return false;
        if (roll) {
            if (!RollTables(log, files, options.rawTableHours, newRows, error)) return false;
            ++result.tableRolls;
            nextRoll = Clock::now() + kRollEvery;
        }
        if (last) break;
        std::this_thread::sleep_for(kLiveTick);
    }
    result.files = static_cast<int>(files.size());
    return true;
}

}  // namespace quarvel

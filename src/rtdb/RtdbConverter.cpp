#include "rtdb/RtdbConverter.h"

#include "platform/FindFile.h"
#include "rtdb/TableFile.h"
#include "rtdb/TableLibrary.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace quarvel {

namespace {

constexpr const char* kTagTableName = "Tags.rdb";
constexpr int32_t kDaylightSaving = 3600;
constexpr uint64_t kRowsPerTelling = 4096;  // the export tells how far into a table it is read

// The calls of the libraries whose rows are summaries, by TableKind.
struct SummaryLibrary {
    int (*open)(const char*);
    int (*selectAll)(int);
    int (*selectNext)(int, int, SummaryRow*);
    int (*close)(int);
};
constexpr SummaryLibrary kSummaryLibraries[kTableKindCount] = {
    {},
    {RyOpenMTable, RySelectMAll, RySelectMNext, RyCloseMTable},
    {RyOpenHTable, RySelectHAll, RySelectHNext, RyCloseHTable},
    {RyOpenDTable, RySelectDAll, RySelectDNext, RyCloseDTable},
};

// Closes an open table also when an exception leaves the export.
class OpenTable {
public:
    OpenTable(int (*close)(int), int handle) : m_close(close), m_handle(handle) {}
    ~OpenTable() { m_close(m_handle); }
    OpenTable(const OpenTable&) = delete;
    OpenTable& operator=(const OpenTable&) = delete;

private:
    int (*m_close)(int);
    int m_handle;
};

// The stored time less an hour when the local zone keeps daylight-saving time at it.
// Local time is looked up once per hour of stored time: an hour whose first and last
// seconds agree has one answer for every second of it; only an hour with a change in it
// is looked up second by second.
class DaylightSaving {
public:
    int32_t Adjusted(int32_t time) {
        // Local time is looked up for times from 1970 on; an earlier sample goes out as
        // stored, without adjustment.
        if (time < 0) return time;
        const int64_t hour = time / kSecondsPerHour;
        if (hour != m_hour) {
            m_hour = hour;
            m_kept = Kept(hour * kSecondsPerHour);
            m_uniform = m_kept == Kept(hour * kSecondsPerHour + kSecondsPerHour - 1);
        }
        const bool kept = m_uniform ? m_kept : Kept(time);
        return kept ? time - kDaylightSaving : time;
    }

private:
    static constexpr int64_t kSecondsPerHour = 3600;

    static bool Kept(int64_t time) {
        const auto seconds = static_cast<time_t>(time);
        struct tm local {};
        return localtime_r(&seconds, &local) != nullptr && local.tm_isdst > 0;
    }

    int64_t m_hour = -1;
    bool m_kept = false;
    bool m_uniform = false;
};

// A follow-on's stored time: the row's time plus its offset, taken modulo 2^32 as a
// signed 32-bit number.
int32_t FollowOnTime(int32_t rowTime, int8_t offset) {
    return static_cast<int32_t>(static_cast<uint32_t>(rowTime) + static_cast<uint32_t>(offset));
}

// Each tag's newest stored sample of a table: a resumed export posts only later ones, and
// the journal gets the newest of all once they are stored.
class NewestByTag {
public:
    struct Tag {
        int64_t stored = INT64_MIN;
        int32_t newest = INT32_MIN;
        bool seen = false;
        // True when a sample at `time` is later than the stored ones.
        bool Later(int32_t time) {
            newest = seen ? std::max(newest, time) : time;
            seen = true;
            return time > stored;
        }
    };

    explicit NewestByTag(const std::optional<JournalEntry>& known) {
        if (known && known->form == JournalEntry::Form::kNewest)
            for (const auto& [tag, time] : known->newest) m_tags[tag] = Tag{time, time, true};
    }
    Tag& Of(int32_t tag) { return m_tags[tag]; }

    JournalEntry Entry() const {
        JournalEntry entry;
        entry.form = JournalEntry::Form::kNewest;
        for (const auto& [tag, times] : m_tags)
            if (times.seen) entry.newest.emplace_back(tag, times.newest);
        std::sort(entry.newest.begin(), entry.newest.end());
        return entry;
    }

private:
    std::unordered_map<int32_t, Tag> m_tags;
};

bool IsTagTable(const std::string& name) {
    return strcasecmp(name.c_str(), kTagTableName) == 0;
}

}  // namespace

// Tables' samples through several writers at once, each on a thread of its own. The
// reader hands each lane its samples in chunks; a lane holds a few chunks at most, so
// the reader waits for a lane that falls behind. One lane writes on the reader's thread.
// Each table is a source of every lane's writer: the writers tell when its lines are
// posted, so that the lanes may go on with the next table while its posts are under way.
class TableLanes {
public:
    TableLanes(int lanes, const std::string& database, const InfluxTarget& target, const RyInfluxDB::SourceDone& done) {
        for (int i = 0; i < lanes; ++i) {
            m_lanes.push_back(std::make_unique<Lane>(database, target));
            m_lanes.back()->writer.OnSourceDone(done);
        }
        if (lanes > 1)
            for (auto& lane : m_lanes) lane->thread = std::thread([&lane = *lane] { Drain(lane); });
    }
    ~TableLanes() { Finish(); }
    TableLanes(const TableLanes&) = delete;
    TableLanes& operator=(const TableLanes&) = delete;

    int Count() const { return static_cast<int>(m_lanes.size()); }

    // The samples added from now on are the table `source`'s, of `kind`; the earlier
    // table's end in every lane.
    void Begin(int kind, uint64_t source) {
        m_kind = kind;
        m_lastLane = nullptr;
        for (auto& lane : m_lanes) {
            if (!lane->thread.joinable()) {
                if (m_begun) lane->writer.EndSource();
                lane->writer.BeginSource(source);
                continue;
            }
            if (m_begun) Hand(*lane);  // empty or not: the lane learns of the table's end
            lane->filling.kind = kind;
            lane->filling.source = source;
        }
        m_begun = true;
    }

    // `name` stays valid until Finish.
    void Add(int32_t tagId, const std::string& name, const LogSample& sample) {
        // A row's samples follow each other: its lane is found once.
        if (tagId != m_lastTag || m_lastLane == nullptr) {
            m_lastTag = tagId;
            m_lastLane = m_lanes[static_cast<uint32_t>(tagId) % m_lanes.size()].get();
        }
        Lane& lane = *m_lastLane;
        if (m_lanes.size() == 1) {
            std::lock_guard lock(lane.writer.m_batchLock[m_kind]);
            Write(lane, m_kind, {&name, sample});
            return;
        }
        lane.filling.samples.push_back({&name, sample});
        if (lane.filling.samples.size() >= kChunk) Hand(lane);
    }

    // Every sample posted; every table told.
    void Finish() {
        if (m_finished) return;
        m_finished = true;
        for (auto& lane : m_lanes) {
            if (!lane->thread.joinable()) {
                if (m_begun) lane->writer.EndSource();
                continue;
            }
            if (m_begun) Hand(*lane);
            {
                std::lock_guard lock(lane->mutex);
                lane->ended = true;
            }
            lane->changed.notify_all();
            lane->thread.join();
        }
        for (auto& lane : m_lanes) lane->writer.FlushAll();
    }

private:
    static constexpr size_t kChunk = 4096;  // samples handed over at once
    static constexpr size_t kChunksHeld = 4;

    struct Sample {
        const std::string* name;
        LogSample sample;
    };
    struct Chunk {
        int kind = kRaw;
        uint64_t source = 0;
        std::vector<Sample> samples;
    };
    struct Lane {
        Lane(const std::string& database, const InfluxTarget& target) : writer(database.c_str(), target) {
            drained.reserve(kChunksHeld + 2);  // every chunk's storage: held, filling and draining
        }
        RyInfluxDB writer;
        // The writer's names by the reader's, so that a name is looked up once: the
        // samples of a row follow each other, the rows of many tags take turns.
        std::unordered_map<const std::string*, const RyInfluxDB::LineName*> names;
        const std::string* lastName = nullptr;
        const RyInfluxDB::LineName* lastLineName = nullptr;
        // The reader's, on cache lines of its own: the lane's thread writes the lines above
        // as it works.
        alignas(64) Chunk filling;
        alignas(64) std::mutex mutex;
        std::condition_variable changed;
        std::deque<Chunk> chunks;
        // Storage of drained chunks for the next ones: a chunk is larger than the allocator
        // keeps at hand, and fresh storage costs a fault for each of its pages.
        std::vector<std::vector<Sample>> drained;
        bool ended = false;
        std::thread thread;
    };

    // Under the writer's lock of the kind.
    static void Write(Lane& lane, int kind, const Sample& s) {
        if (s.name != lane.lastName) {
            const RyInfluxDB::LineName*& name = lane.names[s.name];
            if (name == nullptr) name = &lane.writer.NameOf(s.name->c_str());
            lane.lastName = s.name;
            lane.lastLineName = name;
        }
        if (kind == kRaw)
            lane.writer.AddRawSample(*lane.lastLineName, s.sample);
        else
            lane.writer.AddSummarySample(kind, *lane.lastLineName, s.sample);
    }

    static void Hand(Lane& lane) {
        std::unique_lock lock(lane.mutex);
        lane.changed.wait(lock, [&lane] { return lane.chunks.size() < kChunksHeld; });
        lane.chunks.push_back(std::move(lane.filling));
        lane.filling = {lane.chunks.back().kind, lane.chunks.back().source, {}};
        if (lane.drained.empty()) {
            lane.filling.samples.reserve(kChunk);
        } else {
            lane.filling.samples = std::move(lane.drained.back());
            lane.drained.pop_back();
        }
        lock.unlock();
        lane.changed.notify_all();
    }

    static void Drain(Lane& lane) {
        bool begun = false;
        uint64_t source = 0;
        Chunk chunk;
        for (;;) {
            {
                std::unique_lock lock(lane.mutex);
                if (chunk.samples.capacity() > 0) {
                    chunk.samples.clear();
                    lane.drained.push_back(std::move(chunk.samples));
                }
                lane.changed.wait(lock, [&lane] { return !lane.chunks.empty() || lane.ended; });
                if (lane.chunks.empty()) break;
                chunk = std::move(lane.chunks.front());
                lane.chunks.pop_front();
            }
            lane.changed.notify_all();
            if (!begun || chunk.source != source) {
                if (begun) lane.writer.EndSource();
                lane.writer.BeginSource(chunk.source);
                begun = true;
                source = chunk.source;
            }
            std::lock_guard lock(lane.writer.m_batchLock[chunk.kind]);
            for (const Sample& s : chunk.samples) Write(lane, chunk.kind, s);
        }
        if (begun) lane.writer.EndSource();
    }

    int m_kind = kRaw;
    std::vector<std::unique_ptr<Lane>> m_lanes;
    int32_t m_lastTag = 0;
    Lane* m_lastLane = nullptr;
    bool m_begun = false;
    bool m_finished = false;
};

int TableKindOfPath(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot == 0) return -1;
    switch (path[dot - 1]) {
        case 'X':
            return kRaw;
        case 'M':
        case '1':
        case '2':
            return kMinute;
        case 'H':
            return kHour;
        case 'D':
            return kDay;
        default:
            return -1;
    }
}

std::vector<std::string> TableFilesOf(const std::string& folderPath) {
    const std::string folder = platform::WithSeparator(folderPath);
    std::vector<std::string> paths;
    platform::FindFile listing;
    platform::FindData entry;
    for (bool more = listing.First(folder + "*.rdb", entry); more; more = listing.Next(entry))
        if (!IsTagTable(entry.name)) paths.push_back(folder + entry.name);
    return paths;
}

SourceSize TableFilesIn(const std::string& folderPath) {
    SourceSize size;
    for (const std::string& path : TableFilesOf(folderPath)) size.Add(path, TableKindOfPath(path));
    return size;
}

std::optional<int32_t> FirstSampleTime(const std::string& path) {
    const int kind = TableKindOfPath(path);
    rtdb::TableReader reader;
    // The export reads a table through the library of its name's kind, which takes only
    // tables of that kind.
    if (kind < 0 || reader.Open(path) != rtdb::TableStatus::kOk || reader.Kind() != kKindLetter[kind])
        return std::nullopt;
    RawRow row{};  // the longest row; every kind starts with the time of its first sample
    if (!reader.Next(&row)) return std::nullopt;
    return DaylightSaving().Adjusted(row.time);
}

RtdbConverter::RtdbConverter(const std::string& folderPath_, const std::string& databaseName_, Progress& progress_,
                             InfluxTarget target)
    : Converter(folderPath_, databaseName_, progress_, std::move(target)) {
    RyConnectTDB();
    RyConnectXDB();
    RyConnectMDB();
    RyConnectHDB();
    RyConnectDDB();
}

RtdbConverter::~RtdbConverter() {
    RyDisconnectTDB();
    RyDisconnectXDB();
    RyDisconnectMDB();
    RyDisconnectHDB();
    RyDisconnectDDB();
}

// The lanes tell their retries on their own threads.
void RtdbConverter::Tell(const std::string& text) {
    std::lock_guard lock(m_mutex);
    progress.Line(text);
}

const std::string& RtdbConverter::TagName(int32_t id) {
    return tagNames[id];
}

void RtdbConverter::LoadTagTable() {
    const std::string path = folderPath + kTagTableName;
    Tell(path);
    const int handle = RyOpenTagTable(path.c_str());
    if (handle == kRyCannotRead && FileBytes(path) > 0) NameUnreadable(path);  // a regular file, no right to read it
    if (handle < 0) return;
    OpenTable open(RyCloseTagTable, handle);
    const int selection = RySelectTagAll(handle);
    TagRow row{};
    int got = 0;
    while ((got = RySelectTagNext(handle, selection, &row)) > 0)
        tagNames[row.tagId].assign(row.name, strnlen(row.name, sizeof row.name));
    if (got < 0) NameUnreadable(path);  // the tags after the failed read stay unknown
}

void RtdbConverter::ConvertAll() {
    LoadTagTable();
    const std::string pattern = folderPath + "*.rdb";
    Tell(pattern);
    platform::FindFile listing;
    platform::FindData entry;
    if (!listing.First(pattern, entry)) {
        Tell("Error");
        return;
    }
    // With posts in flight a table's last posts are still under way while the next
    // table's lines go out; a table whose posts go one after the other ends before the next.
    if (m_target.maxInFlight > 1) m_lanes = MakeLanes();
    do {
        if (Stopped()) break;
        Tell(entry.name);
        if (IsTagTable(entry.name)) continue;
        const std::string path = folderPath + entry.name;
        Tell(path);
        ConvertListedTable(path);
    } while (listing.Next(entry));
    listing.Close();
    if (m_lanes) {
        m_lanes->Finish();
        m_lanes.reset();
        TellStored();
    }

    // An export that wrote every line and read every table ends without a closing line.
    if (!TellIfStopped() && (m_totals.writes.linesNotWritten > 0 || !m_totals.unreadable.empty()))
        Tell(CompletionText(m_totals));
}

std::unique_ptr<TableLanes> RtdbConverter::MakeLanes() {
    // A caller that waits in an event loop of its own adds every line on its thread: one lane.
    return std::make_unique<TableLanes>(
        m_target.wait ? 1 : m_jobs, databaseName, m_target,
        [this](const std::vector<RyInfluxDB::SourceOutcome>& done) { TablesStored(done); });
}

void RtdbConverter::ConvertListedTable(const std::string& path) {
    // Without the run's lanes, the table has lanes of its own and ends before the next.
    const std::unique_ptr<TableLanes> own = m_lanes ? nullptr : MakeLanes();
    const bool handed = ConvertTable(path, m_lanes ? *m_lanes : *own);
    if (own) own->Finish();
    TellStored();
    if (!handed) FileDone(path, FileBytes(path));
}

// On a lane's or a posting thread: the tables wait there for the reader's thread to tell them.
void RtdbConverter::TablesStored(const std::vector<RyInfluxDB::SourceOutcome>& done) {
    std::lock_guard lock(m_mutex);
    for (const RyInfluxDB::SourceOutcome& outcome : done) {
        const auto it = m_pending.find(outcome.source);
        if (it == m_pending.end()) continue;
        PendingSource& table = it->second.source;
        table.counts += outcome.counts;
        table.allStored = table.allStored && outcome.allStored;
        table.allKept = table.allKept && outcome.allKept;
        if (--it->second.lanesLeft > 0) continue;
        m_stored.push_back(std::move(table));
        m_pending.erase(it);
    }
}

// Every lane has posted these tables' lines.
void RtdbConverter::TellStored() {
    std::vector<PendingSource> stored;
    {
        std::lock_guard lock(m_mutex);
        stored.swap(m_stored);
    }
    for (PendingSource& table : stored) table.bytes = FileBytes(table.path);
    Stored(std::move(stored));
}

bool RtdbConverter::ConvertTable(const std::string& path, TableLanes& lanes) {
    Tell(path);
    const int kind = TableKindOfPath(path);
    if (kind < 0) {
        Skip(path);
        return false;
    }
    std::optional<FileStamp> stamp;
    std::optional<JournalEntry> known;
    if (Resumed(path, stamp, known)) return false;
    Tell(path);

    const SummaryLibrary& summaries = kSummaryLibraries[kind];
    const int handle = kind == kRaw ? RyOpenXTable(path.c_str()) : summaries.open(path.c_str());
    if (handle == kRyCannotRead) {
        SkipUnopened(path);
        return false;
    }
    if (handle < 0) {
        Skip(path);
        return false;
    }
    const uint64_t source = m_nextSource++;
    lanes.Begin(kind, source);
    uint64_t samples = 0;
    DaylightSaving daylight;
    NewestByTag newest(known);
    uint64_t rows = 0;
    const auto rowRead = [this, &rows](uint64_t rowBytes) {
        if (++rows % kRowsPerTelling == 0) TellRead(rows * rowBytes);
    };
    int got = 0;  // of the last Select-Next: below 0 when the rows ended before the table's end
    {
        OpenTable open(kind == kRaw ? RyCloseXTable : summaries.close, handle);
        LogSample sample{};
        if (kind == kRaw) {
            const int selection = RySelectXAll(handle);
            RawRow row{};
            while ((got = RySelectXNext(handle, selection, &row)) > 0) {
                rowRead(sizeof row);
                const std::string& name = TagName(row.tagId);
                NewestByTag::Tag& tag = newest.Of(row.tagId);
                sample.status = row.status;
                sample.time = daylight.Adjusted(row.time);
                sample.value = row.value;
                if (tag.Later(sample.time)) {
                    lanes.Add(row.tagId, name, sample);
                    ++samples;
                }
                for (const FollowOn& entry : row.followOn) {
                    const int8_t offset = entry.offset;
                    if (offset <= 0) break;
                    // Each sample is adjusted on its own stored time, never the row's adjusted one.
                    sample.time = daylight.Adjusted(FollowOnTime(row.time, offset));
                    sample.value = entry.value;
                    if (!tag.Later(sample.time)) continue;
                    lanes.Add(row.tagId, name, sample);
                    ++samples;
                }
            }
        } else {
            const int selection = summaries.selectAll(handle);
            SummaryRow row{};
            while ((got = summaries.selectNext(handle, selection, &row)) > 0) {
                rowRead(sizeof row);
                sample.time = daylight.Adjusted(row.time);
                if (!newest.Of(row.tagId).Later(sample.time)) continue;
                sample.status = row.status;
                sample.value = row.last;
                sample.max = row.max;
                sample.min = row.min;
                sample.mean = row.mean;
                lanes.Add(row.tagId, TagName(row.tagId), sample);
                ++samples;
            }
        }
    }
    if (got < 0) ReadInPart(path, stamp);  // exported again in full by a later run
    // The lanes tell of the table once they begin the next one or finish.
    std::lock_guard lock(m_mutex);
    m_pending[source] = {{path, samples, 0, stamp, newest.Entry(), {}, true}, lanes.Count()};
    return true;
}

}  // namespace quarvel

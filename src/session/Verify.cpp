#include "session/Verify.h"

#include "datalog/DataLogConverter.h"
#include "influx/Delivery.h"
#include "influx/HttpPost.h"
#include "influx/Preflight.h"
#include "influx/StoredPoints.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"
#include "rtdb/RtdbConverter.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <ctime>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

namespace quarvel {

namespace {

// Counts spans of at most this much time in one query: a month of raw samples, a year of summaries.
constexpr int64_t kWindowSeconds[kTableKindCount] = {31 * kDaySeconds, 366 * kDaySeconds, 366 * kDaySeconds,
                                                     366 * kDaySeconds};

// Time stamps per kind and name.
using TimesByTag = std::map<std::pair<int, std::string>, std::vector<int64_t>>;

// The first second of the UTC day of `seconds`.
int64_t DayOf(int64_t seconds) {
    return seconds - ((seconds % kDaySeconds) + kDaySeconds) % kDaySeconds;
}

// The days looked at point by point, per kind and name.
using LookedDays = std::set<std::tuple<int, std::string, int64_t>>;
using TagKeys = std::set<std::pair<int, std::string>>;

// Points with their fields per kind and name.
using PointsByTag = std::map<std::pair<int, std::string>, std::vector<StoredPoint>>;

// Adds the time stamps of every line of ours in `body`; with `only`, of the days it holds;
// with `points`, the points with their fields too.
void CollectTimes(std::string_view body, TimesByTag& times, const LookedDays* only = nullptr,
                  PointsByTag* points = nullptr) {
    for (size_t at = 0; at <= body.size();) {
        const size_t end = std::min(body.find('\n', at), body.size());
        const std::string_view text = body.substr(at, end - at);
        PostedLine line;
        if (ReadPostedLine(text, line) &&
            (only == nullptr || only->contains({line.kind, line.name, DayOf(line.seconds)}))) {
            std::pair key{line.kind, std::move(line.name)};
            if (points != nullptr) {
                StoredPoint& point = (*points)[key].emplace_back();
                point.time = line.seconds;
                ReadPostedFields(text, point.fields);
            }
            times[std::move(key)].push_back(line.seconds);
        }
        at = end + 1;
    }
}

// Sorts `points` by time and leaves each time once, with the fields the server keeps of
// lines of one time: each field as the last line that has it gave it.
void MergeByTime(std::vector<StoredPoint>& points) {
    std::stable_sort(points.begin(), points.end(),
                     [](const StoredPoint& a, const StoredPoint& b) { return a.time < b.time; });
    size_t kept = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        if (kept > 0 && points[kept - 1].time == points[i].time) {
            for (int f = 0; f < kFieldCount; ++f)
                if (points[i].fields.Has(f)) points[kept - 1].fields.Set(f, points[i].fields.value[f]);
        } else {
            points[kept++] = points[i];
        }
    }
    points.resize(kept);
}

// Whether the server's aggregates of a day are the node's: counts, minima and maxima
// exactly; sums within what adding the same values in another order may change.
bool SameAggregates(const FieldAggregates& node, const FieldAggregates& server) {
    for (size_t f = 0; f < kFieldCount; ++f) {
        if (node.count[f] != server.count[f]) return false;
        if (node.count[f] == 0) continue;
        const double drift = 2.0 * static_cast<double>(node.count[f]) * DBL_EPSILON * node.magnitude[f];
        if (node.min[f] != server.min[f] || node.max[f] != server.max[f] ||
            std::fabs(node.sum[f] - server.sum[f]) > drift)
            return false;
    }
    return true;
}

// The first field in which a stored point is not the node's; -1 when there is none.
int FirstDifference(const FieldValues& node, const FieldValues& server) {
    for (int f = 0; f < kFieldCount; ++f)
        if (node.Has(f) != server.Has(f) || (node.Has(f) && node.value[f] != server.value[f])) return f;
    return -1;
}

// Sorts `times` and leaves each once.
void KeepDistinct(std::vector<int64_t>& times) {
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
}

// The time stamps of the file under way, per kind and name; folded into the tag records
// when the file is done. Once told the days to look at, it keeps the time stamps of those
// days of every file read instead.
class NodeReader : public Progress {
public:
    NodeReader(Verification& result, const std::array<int64_t, kTableKindCount>& oldestKept)
        : m_result(result), m_oldestKept(oldestKept) {}

    void LookAt(const LookedDays& days) { m_looked = &days; }
    TimesByTag& Looked() { return m_file; }
    PointsByTag& LookedPoints() { return m_points; }
    const std::vector<std::string>& Files() const { return m_files; }

    HttpResult Post(const std::string& body) {
        std::lock_guard lock(m_mutex);
        CollectTimes(body, m_file, m_looked, m_result.values ? &m_points : nullptr);
        HttpResult stored;
        stored.status = 204;
        return stored;
    }

    void Line(const std::string&) override {}
    void FileDone(const std::string& path, const ConversionTotals&) override {
        std::lock_guard lock(m_mutex);
        if (m_looked != nullptr) return;
        m_files.push_back(path);
        for (auto& [key, times] : m_file) {
            KeepDistinct(times);
            TagCheck& tag = m_result.kinds[key.first].tags[key.second];
            if (!tag.inNode) {
                tag.first = times.front();
                tag.last = times.back();
            }
            tag.inNode = true;
            tag.first = std::min(tag.first, times.front());
            tag.last = std::max(tag.last, times.back());
            tag.expected += times.size();
            const int64_t oldest = m_oldestKept[key.first];
            tag.expectedOld +=
                static_cast<uint64_t>(std::lower_bound(times.begin(), times.end(), oldest) - times.begin());
            for (const int64_t time : times) ++tag.days[DayOf(time)].expected;
        }
        m_file.clear();
        for (auto& [key, points] : m_points) {
            MergeByTime(points);
            TagCheck& tag = m_result.kinds[key.first].tags[key.second];
            for (const StoredPoint& point : points) tag.values[DayOf(point.time)].Add(point.fields);
        }
        m_points.clear();
    }
    void Ended(const std::string&) override {}

private:
    Verification& m_result;
    const std::array<int64_t, kTableKindCount> m_oldestKept;
    std::mutex m_mutex;
    TimesByTag m_file;
    PointsByTag m_points;              // with the values: the points of the file under way
    std::vector<std::string> m_files;  // done, in order
    const LookedDays* m_looked = nullptr;
};

// Of `files`, those that hold a tag of `tags`: a data-log file by the kind and tag of its
// name, a table by its kind.
std::vector<std::string> FilesOf(const TagKeys& tags, const std::vector<std::string>& files,
                                 const SessionOptions& options) {
    std::set<int> kinds;
    for (const auto& [kind, name] : tags) kinds.insert(kind);
    std::vector<std::string> holding;
    for (const std::string& path : files) {
        if (options.kind == SourceKind::kTables) {
            if (kinds.contains(TableKindOfPath(path))) holding.push_back(path);
            continue;
        }
        const DatFileName parsed = ParseDatFileName(path);
        if (parsed.problem == nullptr &&
            tags.contains({parsed.kind, ToUtf8(parsed.tagName.c_str(), options.target.codePage)}))
            holding.push_back(path);
    }
    return holding;
}

// The stretches of `tag`: its node time stamps `times` (distinct, ascending) of the days
// looked at, each day held against the server's. A stretch goes on over the next day
// looked at only when the node holds nothing between. With `points` (the node's, of the
// same times), the points stored with other values are found too.
bool FindStretches(const std::string& url, const ServerAccess& access, const std::string& database, int kind,
                   const std::string& name, const std::vector<int64_t>& times, const std::vector<StoredPoint>* points,
                   TagCheck& tag, std::string& error, long& status) {
    constexpr size_t kExamples = 5;
    const bool values = points != nullptr && points->size() == times.size();
    bool open = false;
    std::vector<StoredPoint> stored;
    for (auto at = times.begin(); at != times.end();) {
        const int64_t day = DayOf(*at);
        const auto dayEnd = std::lower_bound(at, times.end(), day + kDaySeconds);
        if (open) {
            const auto between =
                std::find_if(tag.days.upper_bound(DayOf(tag.stretches.back().last)), tag.days.lower_bound(day),
                             [](const auto& entry) { return entry.second.expected > 0; });
            open = between == tag.days.lower_bound(day);
        }
        stored.clear();
        if (tag.days[day].stored > 0 &&
            !StoredPointsOf(url, access, database, kRetentionPolicy[kind], kMeasurement[kind], name, day,
                            day + kDaySeconds - 1, values, stored, error, status))
            return false;
        const auto earlier = [](const StoredPoint& point, int64_t time) { return point.time < time; };
        std::sort(stored.begin(), stored.end(), [](const auto& a, const auto& b) { return a.time < b.time; });
        bool differing = false;  // the run of points with other values goes on
        for (; at != dayEnd; ++at) {
            const auto found = std::lower_bound(stored.begin(), stored.end(), *at, earlier);
            if (found != stored.end() && found->time == *at) {
                open = false;
                const size_t index = static_cast<size_t>(at - times.begin());
                const int field = values ? FirstDifference((*points)[index].fields, found->fields) : -1;
                if (field < 0) {
                    differing = false;
                    continue;
                }
                const FieldValues& node = (*points)[index].fields;
                if (differing) {
                    tag.differing.back().last = *at;
                    ++tag.differing.back().points;
                } else {
                    tag.differing.push_back({*at, *at, 1});
                    differing = true;
                }
                if (tag.examples.size() < kExamples)
                    tag.examples.push_back({*at, field, node.Get(field), found->fields.Get(field)});
                continue;
            }
            differing = false;
            if (open) {
                tag.stretches.back().last = *at;
                ++tag.stretches.back().points;
            } else {
                tag.stretches.push_back({*at, *at, 1});
                open = true;
            }
        }
    }
    return true;
}

std::string Unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == ',' || text[i + 1] == '='))
            ++i;
        out += text[i];
    }
    return out;
}

// The lines of the database's unsent-line files, per kind and tag, distinct by time.
void CountWaiting(const std::string& database, Verification& result) {
    for (const std::string& path : ListUnsentFiles(kUnsentFolder)) {
        UnsentFile file;
        std::string error;
        if (!file.Read(path, error) || file.Database() != database) continue;
        TimesByTag times;
        for (const UnsentFile::Batch& batch : file.Batches()) CollectTimes(batch.body, times);
        for (auto& [key, list] : times) {
            KeepDistinct(list);
            result.kinds[key.first].tags[key.second].waiting += list.size();
        }
    }
}

void Summarize(KindCheck& kind) {
    for (const auto& [name, tag] : kind.tags) {
        if (!tag.inNode) {
            ++kind.extraTags;
            continue;
        }
        kind.expected += tag.expected;
        kind.stored += std::min(tag.stored, tag.expected);
        kind.missing += tag.Missing();
        kind.beyondRetention += tag.BeyondRetention();
        kind.waiting += tag.Waiting();
        kind.differing += tag.Differing();
        if (tag.Missing() == 0)
            ++kind.complete;
        else if (tag.stored == 0)
            ++kind.missingTags;
        else
            ++kind.shortTags;
    }
}

}  // namespace

uint64_t TagCheck::Differing() const {
    uint64_t points = 0;
    for (const Stretch& run : differing) points += run.points;
    return points;
}

uint64_t Verification::Missing() const {
    uint64_t missing = 0;
    for (const KindCheck& kind : kinds) missing += kind.missing;
    return missing;
}

uint64_t Verification::Differing() const {
    uint64_t differing = 0;
    for (const KindCheck& kind : kinds) differing += kind.differing;
    return differing;
}

bool ReadPostedLine(std::string_view line, PostedLine& read) {
    read = PostedLine{};
    for (int kind = 0; kind < kTableKindCount; ++kind) {
        const std::string_view measurement = kMeasurement[kind];
        if (line.starts_with(measurement) && line.size() > measurement.size() &&
            (line[measurement.size()] == ',' || line[measurement.size()] == ' '))
            read.kind = kind;
    }
    if (read.kind < 0) return false;
    std::string_view rest = line.substr(std::string_view(kMeasurement[read.kind]).size());
    if (rest.starts_with(",name=")) {
        rest.remove_prefix(6);
        size_t end = 0;
        while (end < rest.size() && !(rest[end] == ' ' && (end == 0 || rest[end - 1] != '\\'))) ++end;
        read.name = Unescape(rest.substr(0, end));
    }
    const size_t space = line.rfind(' ');
    if (space == std::string_view::npos) return false;
    const std::string_view stamp = line.substr(space + 1);
    if (stamp.size() < 10 || stamp.substr(stamp.size() - 9) != "000000000") return false;
    int64_t seconds = 0;
    bool negative = false;
    for (size_t i = 0; i + 9 < stamp.size(); ++i) {
        if (i == 0 && stamp[i] == '-') {
            negative = true;
            continue;
        }
        if (stamp[i] < '0' || stamp[i] > '9') return false;
        seconds = seconds * 10 + (stamp[i] - '0');
    }
    read.seconds = negative ? -seconds : seconds;
    return true;
}

bool ReadPostedFields(std::string_view line, FieldValues& fields) {
    fields = FieldValues{};
    // The fields lie between the last two blanks: a name's blanks are escaped, numbers have none.
    const size_t stamp = line.rfind(' ');
    const size_t start =
        stamp == std::string_view::npos || stamp == 0 ? std::string_view::npos : line.rfind(' ', stamp - 1);
    if (start == std::string_view::npos) return false;
    for (std::string_view rest = line.substr(start + 1, stamp - start - 1); !rest.empty();) {
        const size_t comma = std::min(rest.find(','), rest.size());
        const std::string_view field = rest.substr(0, comma);
        rest.remove_prefix(std::min(comma + 1, rest.size()));
        const size_t equals = field.find('=');
        const int index = equals == std::string_view::npos ? -1 : FieldIndex(field.substr(0, equals));
        double value = 0;
        // from_chars rounds to nearest as the server's parser does, whatever the locale.
        const auto [end, problem] = std::from_chars(field.data() + equals + 1, field.data() + field.size(), value);
        if (index < 0 || problem != std::errc() || end != field.data() + field.size()) return false;
        fields.Set(index, value);
    }
    return true;
}

int Verify(const SessionOptions& options, Verification& result, std::string& error, bool values,
           const std::vector<std::string>* only) {
    result = Verification{};
    result.values = values;
    SessionOptions reading = options;
    reading.dryRun = true;
    reading.jobs = 1;  // one file at a time: its time stamps are folded in when it is done
    reading.resume = false;
    std::optional<NodeReader> reader;  // made once the server has told its retention policies
    reading.target.post = [&reader](const std::string&, const std::string& body) { return reader->Post(body); };
    Session session(reading);
    if (!session.FolderExists()) {
        error = "the folder " + session.Folder() + " does not exist";
        return kUsageError;
    }
    result.database = session.DatabaseUtf8();
    const std::string& url = session.Url();
    ServerAccess access = session.Access();

    const ServerCheck found = CheckServer(url, result.database, {}, access);
    access.kind = found.serverKind;  // the points are counted in the server's own queries
    if (!found.Checked()) {
        error = UnusableText(found, result.database, access, UnusableDetail::kHints);
        return found.outcome == ServerCheck::Outcome::kLoginRefused ? kUsageError : kServerUnreachable;
    }
    if (!found.databaseExists) {
        error = "the database " + result.database + " does not exist on " + url;
        return kUsageError;
    }
    const auto now = static_cast<int64_t>(time(nullptr));
    std::array<int64_t, kTableKindCount> oldestKept{};
    for (int kind = 0; kind < kTableKindCount; ++kind) {
        result.kinds[kind].retentionSeconds = found.policies[kind].durationSeconds;
        oldestKept[kind] =
            found.policies[kind].durationSeconds > 0 ? now - found.policies[kind].durationSeconds : INT64_MIN;
    }

    reader.emplace(result, oldestKept);
    session.HoldEntries();
    session.Run(*reader, only);
    for (auto& [path, entry] : session.TakeEntries()) result.entries.emplace(std::move(path), std::move(entry));
    result.summariesBefore1970 = session.Totals().writes.summariesBefore1970;
    result.namesNotCarried = session.Totals().writes.linesNotWritten;

    for (int kind = 0; kind < kTableKindCount; ++kind) {
        if (found.readable && !found.policies[kind].exists) continue;  // it holds none: all missing
        KindCheck& check = result.kinds[kind];
        int64_t from = INT64_MAX;
        int64_t to = INT64_MIN;
        for (const auto& [name, tag] : check.tags) {
            from = std::min(from, tag.first);
            to = std::max(to, tag.last);
        }
        if (from > to) from = to = now;  // nothing expected: only what the server holds of its own
        StoredTags stored;
        long status = 0;
        if (!CountStoredPoints(url, access, result.database, kRetentionPolicy[kind], kMeasurement[kind], from, to,
                               kWindowSeconds[kind], stored, error, status, values)) {
            error = "the server did not count the points of " + std::string(kMeasurement[kind]) + ": " + error;
            return status == 401 || status == 403 ? kUsageError : kServerUnreachable;
        }
        for (const auto& [name, tag] : stored) {
            if (only != nullptr && !check.tags.contains(name)) continue;  // of files not read
            TagCheck& mine = check.tags[name];
            mine.inServer = true;
            mine.stored = tag.points;
            mine.storedFirst = tag.first;
            mine.storedLast = tag.last;
            for (const auto& [day, points] : tag.days) mine.days[day].stored = points;
            for (const auto& [day, aggregates] : tag.aggregates) {
                const auto node = mine.values.find(day);
                if (node != mine.values.end() && !SameAggregates(node->second, aggregates))
                    mine.days[day].valuesDiffer = true;
            }
        }
    }

    // The days short of points, looked at point by point in the files that hold their tags.
    LookedDays looked;
    for (int kind = 0; kind < kTableKindCount; ++kind)
        for (const auto& [name, tag] : result.kinds[kind].tags)
            for (const auto& [day, count] : tag.days)
                if (count.expected > count.stored || count.valuesDiffer) looked.insert({kind, name, day});
    result.files = reader->Files();
    if (!looked.empty()) {
        TagKeys tags;
        for (const auto& [kind, name, day] : looked) tags.insert({kind, name});
        const std::vector<std::string> files = FilesOf(tags, result.files, options);
        reader->LookAt(looked);
        session.Run(*reader, &files);
        for (auto& [key, times] : reader->Looked()) {
            KeepDistinct(times);
            std::vector<StoredPoint>& points = reader->LookedPoints()[key];
            MergeByTime(points);
            long status = 0;
            if (!FindStretches(url, access, result.database, key.first, key.second, times, values ? &points : nullptr,
                               result.kinds[key.first].tags[key.second], error, status)) {
                error = "the server did not give the points of " + std::string(kMeasurement[key.first]) + ": " + error;
                return status == 401 || status == 403 ? kUsageError : kServerUnreachable;
            }
            times = {};
            points = {};
        }
    }
    CountWaiting(result.database, result);
    for (KindCheck& kind : result.kinds) Summarize(kind);
    return result.Missing() > 0 || result.Differing() > 0 ? kLinesNotWritten : kAllWritten;
}

namespace {

// The stretches of a tag's points to post again, ascending and apart.
using Windows = std::map<std::pair<int, std::string>, std::vector<Stretch>>;

bool Wanted(const Windows& windows, const PostedLine& line) {
    const auto tag = windows.find({line.kind, line.name});
    if (tag == windows.end()) return false;
    const auto after = std::upper_bound(tag->second.begin(), tag->second.end(), line.seconds,
                                        [](int64_t time, const Stretch& window) { return time < window.first; });
    return after != tag->second.begin() && line.seconds <= std::prev(after)->last;
}

bool Whole(const TagCheck& tag) {
    return tag.Missing() == 0 && tag.Differing() == 0;
}

// The files of `read` whose points are all stored get the journal entry a conversion records,
// so that a resumed conversion leaves them alone: those of no tag short or differing in
// `read` unless `after` finds it whole now, and unchanged since they were read.
void JournalStored(const SessionOptions& options, const Verification& read, const Verification& after) {
    TagKeys lacking;
    for (int kind = 0; kind < kTableKindCount; ++kind)
        for (const auto& [name, tag] : read.kinds[kind].tags) {
            const auto now = after.kinds[kind].tags.find(name);
            if (!Whole(tag) && (now == after.kinds[kind].tags.end() || !Whole(now->second)))
                lacking.insert({kind, name});
        }
    const std::vector<std::string> held = FilesOf(lacking, read.files, options);
    const std::set<std::string> lackingFiles(held.begin(), held.end());
    Journal journal;
    std::string error;
    if (!journal.Open(read.database, true, error)) return LogMessage("Journal: %s", error.c_str());
    for (const std::string& path : read.files) {
        const std::optional<FileStamp> stamp = lackingFiles.contains(path) ? std::nullopt : FileStamp::Of(path);
        const auto entry = stamp ? read.entries.find(stamp->path) : read.entries.end();
        if (entry == read.entries.end() || !entry->second.Stamped(*stamp)) continue;
        const std::optional<JournalEntry> known = journal.Find(stamp->path);
        if (!known || !known->Stamped(*stamp)) journal.Record(*stamp, entry->second);
    }
}

class Unheard : public Progress {
public:
    void Line(const std::string&) override {}
    void FileDone(const std::string&, const ConversionTotals&) override {}
    void Ended(const std::string&) override {}
};

}  // namespace

int Repair(const SessionOptions& options, bool values, Verification& result, Repairing& repairing, std::string& error) {
    repairing = Repairing{};
    InfluxTarget target = options.target;
    target.gzip = options.gzip.value_or(GzipByDefault(target.baseUrl));
    const std::string database = Session(options).DatabaseUtf8();

    // The lines of the database waiting in Logs/unsent go first: they may be all that is missing.
    std::vector<std::string> unsent;
    for (const std::string& path : ListUnsentFiles(kUnsentFolder))
        if (UnsentFile file; file.Read(path, error) && file.Database() == database) unsent.push_back(path);
    error.clear();
    const std::atomic<bool> interrupted{false};
    const auto log = [](const std::string& line) { LogMessage("%s", line.c_str()); };
    repairing.unsent = Repost(unsent, target, interrupted, log, log);

    const int status = Verify(options, result, error, values);
    if (status == kAllWritten) JournalStored(options, result, result);
    if (status != kLinesNotWritten) return status;
    const Verification read = result;

    // The windows of the points to post again; a policy drops points older than it keeps at once.
    const auto now = static_cast<int64_t>(time(nullptr));
    Windows windows;
    TagKeys concerned;
    for (int kind = 0; kind < kTableKindCount; ++kind) {
        const int64_t seconds = result.kinds[kind].retentionSeconds;
        const int64_t oldest = seconds > 0 ? now - seconds : INT64_MIN;
        for (const auto& [name, tag] : result.kinds[kind].tags) {
            if (!tag.inNode || (tag.Missing() == 0 && tag.Differing() == 0)) continue;
            concerned.insert({kind, name});
            repairing.tags[{kind, name}] = {tag.Missing(), tag.Differing(), 0, {}};
            std::vector<Stretch> wanted;
            for (const auto* runs : {&tag.stretches, &tag.differing})
                for (Stretch window : *runs)
                    if (window.last >= oldest) wanted.push_back({std::max(window.first, oldest), window.last, 0});
            std::sort(wanted.begin(), wanted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
            if (!wanted.empty()) windows[{kind, name}] = std::move(wanted);
        }
    }
    const std::vector<std::string> files = FilesOf(concerned, result.files, options);
    // Data-log files give only the records of their windows; tables are read whole (their
    // rows are not in time order), and only the lines wanted are posted of either.
    TagKeys wantedTags;
    for (const auto& [key, wanted] : windows) wantedTags.insert(key);
    const std::vector<std::string> reading = FilesOf(wantedTags, result.files, options);
    FileWindows records;
    if (options.kind == SourceKind::kDataLog)
        for (const std::string& path : reading) {
            const DatFileName parsed = ParseDatFileName(path);
            TimeWindows& spans = records[path];
            for (const Stretch& window :
                 windows.at({parsed.kind, ToUtf8(parsed.tagName.c_str(), options.target.codePage)}))
                spans.emplace_back(window.first, window.last);
        }

    if (!windows.empty()) {
        // The conversion's writer makes the lines of the files concerned; only those of the
        // points wanted go to the server, and those it does not store wait in Logs/unsent.
        // The writer itself posts nowhere, so it keeps no other line.
        SessionOptions posting = options;
        posting.dryRun = true;
        posting.resume = false;
        std::mutex mutex;
        posting.target.post = [&](const std::string& url, const std::string& body) {
            std::string kept;
            int lines = 0;
            int kind = -1;
            std::map<std::pair<int, std::string>, uint64_t> perTag;
            for (size_t at = 0; at < body.size();) {
                const size_t end = std::min(body.find('\n', at), body.size());
                const std::string_view text = std::string_view(body).substr(at, end - at);
                if (PostedLine line; ReadPostedLine(text, line) && Wanted(windows, line)) {
                    kept.append(text).push_back('\n');
                    ++lines;
                    kind = line.kind;
                    ++perTag[{line.kind, std::move(line.name)}];
                }
                at = end + 1;
            }
            HttpResult answer;
            answer.status = 204;
            if (lines == 0) return answer;
            const std::string where = "database " + database + ", retention policy " + kRetentionPolicy[kind];
            const DeliveryResult delivered = Deliver(target, {url}, kept, lines, where);
            std::lock_guard lock(mutex);
            for (const auto& [key, count] : perTag) {
                TagRepair& tag = repairing.tags[key];
                if (delivered.Complete())
                    tag.posted += count;
                else
                    tag.refused = !delivered.refusedForGood.empty() ? delivered.refusedForGood
                                  : delivered.unanswered            ? "the server did not answer"
                                                                    : "the server refused the lines";
            }
            for (const DeliveryResult::Piece& piece : delivered.notStoredWhole) {
                std::string path;
                std::string problem;
                if (!AppendUnsent(kUnsentFolder, database, kRetentionPolicy[kind],
                                  std::string_view(kept).substr(piece.offset, piece.size), piece.lines, path, problem))
                    LogMessage("%d lines for %s could not be saved, they are lost: %s", piece.lines, where.c_str(),
                               problem.c_str());
            }
            return answer;
        };
        Session session(posting);
        Unheard unheard;
        session.Run(unheard, &reading, &records);
    }
    const int after = Verify(options, result, error, values, &files);
    if (after == kAllWritten || after == kLinesNotWritten) JournalStored(options, read, result);
    return after;
}

}  // namespace quarvel

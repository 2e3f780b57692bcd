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
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace quarvel {

namespace {

// Counts spans of at most this much time in one query: a month of raw samples, a year of summaries.
constexpr int64_t kWindowSeconds[kTableKindCount] = {31 * kDaySeconds, 366 * kDaySeconds, 366 * kDaySeconds,
                                                     366 * kDaySeconds};
// Tags counted again after a repair are named in the queries up to this many; more are counted with all the others.
constexpr size_t kNamedTags = 100;

// The lines of one tag read back: their time stamps, and with the values their points.
struct TagLines {
    std::vector<int64_t> times;
    std::vector<StoredPoint> points;
};
// Per kind and name.
using LinesByTag = std::map<std::pair<int, std::string>, TagLines>;

// The days looked at point by point, per kind and name.
using LookedDays = std::map<std::pair<int, std::string>, std::set<int64_t>>;
using TagKeys = std::set<std::pair<int, std::string>>;

// The time stamp that ends a line of ours, in whole seconds, and where the blank before it
// is; false when it is none.
bool ReadStamp(std::string_view line, int64_t& seconds, size_t& space) {
    space = line.rfind(' ');
    if (space == std::string_view::npos) return false;
    const std::string_view stamp = line.substr(space + 1);
    if (stamp.size() < 10 || stamp.substr(stamp.size() - 9) != "000000000") return false;
    const bool negative = stamp[0] == '-';
    // At most 19 digits, as StampToEnd reads: no line is sent with more, and they would not fit.
    if (stamp.size() - (negative ? 1 : 0) > 19) return false;
    seconds = 0;
    for (size_t i = negative ? 1 : 0; i + 9 < stamp.size(); ++i) {
        if (stamp[i] < '0' || stamp[i] > '9') return false;
        seconds = seconds * 10 + (stamp[i] - '0');
    }
    if (negative) seconds = -seconds;
    return true;
}

// The time stamp at `from` of `body` when nothing else follows it on its line, in whole
// seconds (as ReadStamp reads it), and where its line ends; false otherwise.
bool StampToEnd(std::string_view body, size_t from, int64_t& seconds, size_t& end) {
    const bool negative = from < body.size() && body[from] == '-';
    uint64_t value = 0;
    for (end = from + (negative ? 1 : 0); end < body.size() && body[end] >= '0' && body[end] <= '9'; ++end)
        value = value * 10 + static_cast<uint64_t>(body[end] - '0');
    const size_t digits = end - from - (negative ? 1 : 0);
    if ((end < body.size() && body[end] != '\n') || digits < 10 || digits > 19 || value % 1000000000 != 0) return false;
    seconds = static_cast<int64_t>(value / 1000000000) * (negative ? -1 : 1);
    return true;
}

// The fields of a line: `text` is what lies between its tags and its time stamp. False when
// a field is none of ours or its value is no number; `fields` is to start empty.
bool ReadFields(std::string_view text, FieldValues& fields) {
    for (std::string_view rest = text; !rest.empty();) {
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

// Sorts lines of ours by kind and tag: their time stamps, with `fields` their points too;
// with `only`, of the days it holds alone. A writer's lines come in runs of one tag (a
// file's records are its tag's), so a line that starts with the measurement and tags of
// the one before is read by its time alone, without a name made or a map searched.
class LineSorter {
public:
    LineSorter(LinesByTag& lines, bool fields) : m_lines(lines), m_fields(fields) {}

    void Keep(const LookedDays* only) {
        m_only = only;
        Forget();
    }
    // The lines were taken away: the next line is looked up again.
    void Forget() {
        m_prefix.clear();
        m_tag = nullptr;
        m_days = nullptr;
    }
    // Keeps the storage of `times`, done with, for the next tag's, while it is the largest
    // kept: the time stamps of a file then fill pages touched before, not fresh ones.
    void Spare(std::vector<int64_t>&& times) {
        if (times.capacity() <= m_spare.capacity()) return;
        times.clear();
        m_spare = std::move(times);
    }

    void Add(std::string_view body) {
        const auto keep = [this](int64_t seconds) {
            if (m_tag == nullptr || (m_days != nullptr && !m_days->contains(DayOf(seconds)))) return false;
            m_tag->times.push_back(seconds);
            return true;
        };
        for (size_t at = 0; at <= body.size();) {
            int64_t seconds = 0;
            // A line of the tag under way without fields is read in one pass, to its end.
            if (size_t end = 0; !m_fields && !m_prefix.empty() && body.substr(at).starts_with(m_prefix) &&
                                StampToEnd(body, at + m_prefix.size(), seconds, end)) {
                at = end + 1;
                keep(seconds);
                continue;
            }
            const size_t end = std::min(body.find('\n', at), body.size());
            const std::string_view text = body.substr(at, end - at);
            at = end + 1;
            size_t stamp = 0;
            const bool same = !m_prefix.empty() && text.starts_with(m_prefix);
            if (same ? !ReadStamp(text, seconds, stamp) : !Start(text, seconds)) continue;
            if (!keep(seconds) || !m_fields) continue;
            StoredPoint& point = m_tag->points.emplace_back();
            point.time = seconds;
            // The fields lie between the tags and the time stamp.
            if (!same)
                ReadPostedFields(text, point.fields);
            else if (stamp > m_prefix.size())
                ReadFields(text.substr(m_prefix.size(), stamp - m_prefix.size()), point.fields);
        }
    }

private:
    // Reads `text` whole and makes its tag the one under way.
    bool Start(std::string_view text, int64_t& seconds) {
        Forget();
        PostedLine line;
        if (!ReadPostedLine(text, line)) return false;
        seconds = line.seconds;
        std::pair key{line.kind, std::move(line.name)};
        if (m_only == nullptr) {
            m_tag = &m_lines[std::move(key)];
        } else if (const auto looked = m_only->find(key); looked != m_only->end()) {
            m_days = &looked->second;
            m_tag = &m_lines[std::move(key)];
        }
        if (m_tag != nullptr && m_tag->times.capacity() == 0) m_tag->times.swap(m_spare);
        // The measurement and tags end at the first blank not escaped.
        for (size_t i = 0; i < text.size(); ++i)
            if (text[i] == ' ' && (i == 0 || text[i - 1] != '\\')) {
                m_prefix.assign(text.substr(0, i + 1));
                break;
            }
        return true;
    }

    LinesByTag& m_lines;
    const bool m_fields;
    const LookedDays* m_only = nullptr;
    std::string m_prefix;       // of the tag under way; empty: none
    TagLines* m_tag = nullptr;  // none: its lines are passed over
    const std::set<int64_t>* m_days = nullptr;
    std::vector<int64_t> m_spare;
};

// Sorts `points` by time and leaves each time once, with the fields the server keeps of
// lines of one time: each field as the last line that has it gave it.
void MergeByTime(std::vector<StoredPoint>& points) {
    const auto earlier = [](const StoredPoint& a, const StoredPoint& b) { return a.time < b.time; };
    if (!std::is_sorted(points.begin(), points.end(), earlier)) std::stable_sort(points.begin(), points.end(), earlier);
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

// How far apart a stored value may be from the node's and still be the same: the float the
// server reads from the text a conversion sends is kept exactly by InfluxDB, while
// VictoriaMetrics keeps a decimal of about 15 significant digits.
double Precision(const ServerAccess& access) {
    return access.kind == ServerKind::kVictoriaMetrics ? 1e-14 : 0.0;
}

bool SameValue(double node, double server, double precision) {
    return node == server || std::fabs(node - server) <= precision * std::max(std::fabs(node), std::fabs(server));
}

// Whether the server's aggregates of a day are the node's: counts exactly, minima and maxima
// as values are; sums within what adding the same values in another order may change.
bool SameAggregates(const FieldAggregates& node, const FieldAggregates& server, double precision) {
    for (size_t f = 0; f < kFieldCount; ++f) {
        if (node.count[f] != server.count[f]) return false;
        if (node.count[f] == 0) continue;
        const double drift = (2.0 * static_cast<double>(node.count[f]) * DBL_EPSILON + precision) * node.magnitude[f];
        if (!SameValue(node.min[f], server.min[f], precision) || !SameValue(node.max[f], server.max[f], precision) ||
            std::fabs(node.sum[f] - server.sum[f]) > drift)
            return false;
    }
    return true;
}

// The first field in which a stored point is not the node's; -1 when there is none.
int FirstDifference(const FieldValues& node, const FieldValues& server, double precision) {
    for (int f = 0; f < kFieldCount; ++f)
        if (node.Has(f) != server.Has(f) || (node.Has(f) && !SameValue(node.value[f], server.value[f], precision)))
            return f;
    return -1;
}

// Sorts `times` and leaves each once.
void KeepDistinct(std::vector<int64_t>& times) {
    if (!std::is_sorted(times.begin(), times.end())) std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
}

// The time stamps (with the values, the points) of the file under way, per kind and name;
// folded into the tag records when the file is done. Once told the days to look at, it
// keeps the lines of those days alone, until they are taken.
class NodeReader : public Progress {
public:
    NodeReader(Verification& result, const std::array<int64_t, kTableKindCount>& oldestKept)
        : m_result(result), m_oldestKept(oldestKept), m_sorter(m_file, result.values) {}

    void LookAt(const LookedDays& days) {
        m_looking = true;
        m_sorter.Keep(&days);
    }
    // The lines of the days looked at read since the last call.
    LinesByTag Take() {
        std::lock_guard lock(m_mutex);
        m_sorter.Forget();
        return std::exchange(m_file, {});
    }
    const std::vector<std::string>& Files() const { return m_files; }

    HttpResult Post(const std::string& body) {
        std::lock_guard lock(m_mutex);
        m_sorter.Add(body);
        HttpResult stored;
        stored.status = 204;
        return stored;
    }

    void Line(const std::string&) override {}
    void FileDone(const std::string& path, const ConversionTotals&) override {
        std::lock_guard lock(m_mutex);
        if (m_looking) return;
        m_files.push_back(path);
        for (auto& [key, lines] : m_file) {
            Fold(m_result.kinds[key.first].tags[key.second], key.first, lines);
            m_sorter.Spare(std::move(lines.times));
        }
        m_file.clear();
        m_sorter.Forget();
    }
    void Ended(const std::string&) override {}

private:
    void Fold(TagCheck& tag, int kind, TagLines& lines) {
        std::vector<int64_t>& times = lines.times;
        KeepDistinct(times);
        if (times.empty()) return;
        if (!tag.inNode) {
            tag.first = times.front();
            tag.last = times.back();
        }
        tag.inNode = true;
        tag.first = std::min(tag.first, times.front());
        tag.last = std::max(tag.last, times.back());
        tag.expected += times.size();
        tag.expectedOld +=
            static_cast<uint64_t>(std::lower_bound(times.begin(), times.end(), m_oldestKept[kind]) - times.begin());
        // A day at a time: the times are in order.
        for (auto at = times.begin(); at != times.end();) {
            const int64_t day = DayOf(*at);
            const auto next = std::lower_bound(at, times.end(), day + kDaySeconds);
            tag.days[day].expected += static_cast<uint64_t>(next - at);
            at = next;
        }
        if (!m_result.values) return;
        MergeByTime(lines.points);
        auto day = tag.values.end();
        for (const StoredPoint& point : lines.points) {
            if (day == tag.values.end() || day->first != DayOf(point.time))
                day = tag.values.try_emplace(DayOf(point.time)).first;
            day->second.Add(point.fields);
        }
    }

    Verification& m_result;
    const std::array<int64_t, kTableKindCount> m_oldestKept;
    std::mutex m_mutex;
    LinesByTag m_file;
    LineSorter m_sorter;
    std::vector<std::string> m_files;  // done, in order
    bool m_looking = false;
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

// The stretches of `tag`: its node time stamps `times` (distinct, ascending) of days
// looked at, each day held against the server's; the tag's days come in time order over
// the calls. A stretch goes on over the next day looked at only when the node holds
// nothing between; `open` says whether the last one found is open. With `points` (the
// node's, of the same times), the points stored with other values are found too.
bool FindStretches(const std::string& url, const ServerAccess& access, const std::string& database, int kind,
                   const std::string& name, const std::vector<int64_t>& times, const std::vector<StoredPoint>* points,
                   TagCheck& tag, bool& open, std::string& error, long& status) {
    constexpr size_t kExamples = 5;
    const bool values = points != nullptr && points->size() == times.size();
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
                const int field =
                    values ? FirstDifference((*points)[index].fields, found->fields, Precision(access)) : -1;
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
        LinesByTag lines;
        LineSorter sorter(lines, false);
        for (const UnsentFile::Batch& batch : file.Batches()) sorter.Add(batch.body);
        for (auto& [key, tag] : lines) {
            KeepDistinct(tag.times);
            result.kinds[key.first].tags[key.second].waiting += tag.times.size();
        }
    }
}

// What the server holds of one kind, per tag and day.
struct KindCount {
    StoredTags tags;
    std::string error;
    long status = 0;
    bool counted = false;
    bool spanUnknown = false;  // the server told no tag's first and last time: to be counted over the node's span
};

// Counts the points of `kind` over the days the server holds them: the node's own span is
// known only once it is read, so the first and last time of each tag are asked for first.
// With `span`, over those seconds alone, and of the tags of `names` alone unless it is empty.
KindCount CountKind(const std::string& url, const ServerAccess& access, const std::string& database, int kind,
                    bool values, std::optional<std::pair<int64_t, int64_t>> span,
                    const std::set<std::string>& names = {}) {
    KindCount count;
    const auto ask = [&](int64_t from, int64_t to, bool ends) {
        return CountStoredPoints(url, access, database, kRetentionPolicy[kind], kMeasurement[kind], from, to,
                                 kWindowSeconds[kind], count.tags, count.error, count.status, values, {ends, names});
    };
    if (span) {
        count.counted = ask(span->first, span->second, true);
        return count;
    }
    if (!ask(0, -1, true)) return count;  // an empty span: the first and last times alone
    int64_t from = INT64_MAX;
    int64_t to = INT64_MIN;
    for (const auto& [name, tag] : count.tags) {
        from = std::min(from, tag.first);
        to = std::max(to, tag.last);
    }
    count.spanUnknown = from > to;
    count.counted = !count.spanUnknown && ask(from, to, false);
    return count;
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
    size_t stamp = 0;
    return ReadStamp(line, read.seconds, stamp);
}

bool ReadPostedFields(std::string_view line, FieldValues& fields) {
    fields = FieldValues{};
    // The fields lie between the last two blanks: a name's blanks are escaped, numbers have none.
    const size_t stamp = line.rfind(' ');
    const size_t start =
        stamp == std::string_view::npos || stamp == 0 ? std::string_view::npos : line.rfind(' ', stamp - 1);
    return start != std::string_view::npos && ReadFields(line.substr(start + 1, stamp - start - 1), fields);
}

int Verify(const SessionOptions& options, Verification& result, std::string& error, bool values,
           const std::vector<std::string>* only, const Verification* before) {
    result = Verification{};
    result.values = values;
    SessionOptions reading = options;
    reading.dryRun = true;
    reading.jobs = 1;  // one file at a time: its time stamps are folded in when it is done
    reading.resume = false;
    std::optional<NodeReader> reader;  // made once the server has told its retention policies
    reading.target.post = [&reader](const std::string&, const std::string& body) { return reader->Post(body); };
    reading.target.stampsOnly = !values;  // without the values, the points are counted by their time stamps
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

    // The server counts while the node is read: each kind it has a policy of (a missing
    // policy holds none of the kind: all missing).
    // After `before`, only the days it looked at are counted again, of the kinds it found short,
    // and of the tags it found short while they are few enough to be named in a query.
    std::array<std::optional<std::pair<int64_t, int64_t>>, kTableKindCount> spans;
    std::array<std::set<std::string>, kTableKindCount> recounted;  // empty: every tag
    if (before != nullptr)
        for (int kind = 0; kind < kTableKindCount; ++kind) {
            for (const auto& [name, tag] : before->kinds[kind].tags)
                for (const auto& [day, count] : tag.days) {
                    if (count.expected <= count.stored && !count.valuesDiffer) continue;
                    auto& span = spans[kind];
                    span = {std::min(span ? span->first : day, day),
                            std::max(span ? span->second : day, day + kDaySeconds - 1)};
                    recounted[kind].insert(name);
                }
            if (recounted[kind].size() > kNamedTags) recounted[kind].clear();
        }
    std::array<std::future<KindCount>, kTableKindCount> counting;
    for (int kind = 0; kind < kTableKindCount; ++kind)
        if ((!found.readable || found.policies[kind].exists) && (before == nullptr || spans[kind]))
            counting[kind] = std::async(std::launch::async, CountKind, url, access, result.database, kind, values,
                                        spans[kind], recounted[kind]);
    reader.emplace(result, oldestKept);
    session.HoldEntries();
    session.Run(*reader, only);
    for (auto& [path, entry] : session.TakeEntries()) result.entries.emplace(std::move(path), std::move(entry));
    result.summariesBefore1970 = session.Totals().writes.summariesBefore1970;
    result.namesNotCarried = session.Totals().writes.linesNotWritten;

    for (int kind = 0; kind < kTableKindCount; ++kind) {
        KindCheck& check = result.kinds[kind];
        const auto& span = spans[kind];
        const auto counted = [&span, &names = recounted[kind]](const std::string& name, int64_t day) {
            return span && day >= span->first && day <= span->second && (names.empty() || names.contains(name));
        };
        int64_t from = INT64_MAX;
        int64_t to = INT64_MIN;
        for (auto& [name, tag] : check.tags) {
            from = std::min(from, DayOf(tag.first));
            to = std::max(to, tag.last);
            // The days not counted again are as `before` found them.
            const auto was = before == nullptr ? check.tags.end() : before->kinds[kind].tags.find(name);
            if (before == nullptr || was == before->kinds[kind].tags.end()) continue;
            tag.inServer = was->second.inServer;
            tag.storedFirst = was->second.storedFirst;
            tag.storedLast = was->second.storedLast;
            for (const auto& [day, count] : was->second.days)
                if (count.stored > 0 && !counted(name, day)) {
                    tag.stored += count.stored;
                    tag.days[day].stored = count.stored;
                }
        }
        if (!counting[kind].valid()) continue;
        KindCount count = counting[kind].get();
        if (count.spanUnknown)
            count = CountKind(url, access, result.database, kind, values,
                              from <= to ? std::pair(from, to) : std::pair(now, now));
        if (!count.counted) {
            error = "the server did not count the points of " + std::string(kMeasurement[kind]) + ": " + count.error;
            return count.status == 401 || count.status == 403 ? kUsageError : kServerUnreachable;
        }
        // Of the server's days, those of the node's span.
        for (const auto& [name, tag] : count.tags) {
            if (only != nullptr && !check.tags.contains(name)) continue;  // of files not read
            TagCheck& mine = check.tags[name];
            mine.inServer = true;
            mine.storedFirst = tag.first;
            mine.storedLast = tag.last;
            for (auto day = tag.days.lower_bound(from); day != tag.days.end() && day->first <= to; ++day) {
                mine.stored += day->second;
                mine.days[day->first].stored = day->second;
            }
            for (const auto& [day, aggregates] : tag.aggregates) {
                const auto node = mine.values.find(day);
                if (node != mine.values.end() && !SameAggregates(node->second, aggregates, Precision(access)))
                    mine.days[day].valuesDiffer = true;
            }
        }
    }

    // The days short of points (or with other values) are looked at point by point.
    LookedDays looked;
    for (int kind = 0; kind < kTableKindCount; ++kind)
        for (const auto& [name, tag] : result.kinds[kind].tags)
            for (const auto& [day, count] : tag.days)
                if (count.expected > count.stored || count.valuesDiffer) looked[{kind, name}].insert(day);
    result.files = reader->Files();
    reader->LookAt(looked);
    std::map<std::pair<int, std::string>, bool> open;  // per tag: its last stretch found goes on
    long status = 0;
    const auto lookAt = [&](const std::vector<std::string>& files, const FileWindows* windows) {
        session.Run(*reader, &files, windows);
        for (auto& [key, lines] : reader->Take()) {
            KeepDistinct(lines.times);
            MergeByTime(lines.points);
            if (!FindStretches(url, access, result.database, key.first, key.second, lines.times,
                               values ? &lines.points : nullptr, result.kinds[key.first].tags[key.second], open[key],
                               error, status)) {
                error = "the server did not give the points of " + std::string(kMeasurement[key.first]) + ": " + error;
                return false;
            }
        }
        return true;
    };
    // The lines held are those of one day of one tag: a data-log file gives the records of
    // that day alone. A table is read whole, for all its tags at once: its rows are not in
    // time order.
    bool given = true;
    if (options.kind == SourceKind::kTables) {
        TagKeys tags;
        for (const auto& [key, days] : looked) tags.insert(key);
        for (const std::string& path : FilesOf(tags, result.files, options)) given = given && lookAt({path}, nullptr);
    } else {
        std::map<std::pair<int, std::string>, std::vector<std::string>> filesOf;
        for (const std::string& path : result.files) {
            const DatFileName parsed = ParseDatFileName(path);
            const std::pair key{parsed.kind, ToUtf8(parsed.tagName.c_str(), options.target.codePage)};
            if (parsed.problem == nullptr && looked.contains(key)) filesOf[key].push_back(path);
        }
        for (const auto& [key, files] : filesOf)
            for (auto day = looked[key].begin(); given && day != looked[key].end(); ++day) {
                FileWindows windows;
                for (const std::string& path : files) windows[path] = {{*day, *day + kDaySeconds - 1}};
                given = lookAt(files, &windows);
            }
    }
    if (!given) return status == 401 || status == 403 ? kUsageError : kServerUnreachable;
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
        repairing.filesRead = session.Totals().filesConverted;
        repairing.recordsRead = session.Totals().records;
    }
    const int after = Verify(options, result, error, values, &files, &read);
    if (after == kAllWritten || after == kLinesNotWritten) JournalStored(options, read, result);
    return after;
}

}  // namespace quarvel

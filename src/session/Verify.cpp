#include "session/Verify.h"

#include "datalog/DataLogConverter.h"
#include "influx/Preflight.h"
#include "influx/StoredPoints.h"
#include "influx/Unsent.h"
#include "rtdb/RtdbConverter.h"

#include <algorithm>
#include <climits>
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

// Adds the time stamps of every line of ours in `body`; with `only`, of the days it holds.
void CollectTimes(std::string_view body, TimesByTag& times, const LookedDays* only = nullptr) {
    for (size_t at = 0; at <= body.size();) {
        const size_t end = std::min(body.find('\n', at), body.size());
        PostedLine line;
        if (ReadPostedLine(body.substr(at, end - at), line) &&
            (only == nullptr || only->contains({line.kind, line.name, DayOf(line.seconds)})))
            times[{line.kind, line.name}].push_back(line.seconds);
        at = end + 1;
    }
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
    const std::vector<std::string>& Files() const { return m_files; }

    HttpResult Post(const std::string& body) {
        std::lock_guard lock(m_mutex);
        CollectTimes(body, m_file, m_looked);
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
    }
    void Ended(const std::string&) override {}

private:
    Verification& m_result;
    const std::array<int64_t, kTableKindCount> m_oldestKept;
    std::mutex m_mutex;
    TimesByTag m_file;
    std::vector<std::string> m_files;  // done, in order
    const LookedDays* m_looked = nullptr;
};

// Of `files`, those that hold a tag of `looked`: a data-log file by the kind and tag of its
// name, a table by its kind.
std::vector<std::string> FilesOf(const LookedDays& looked, const std::vector<std::string>& files,
                                 const SessionOptions& options) {
    std::set<std::pair<int, std::string>> tags;
    std::set<int> kinds;
    for (const auto& [kind, name, day] : looked) {
        tags.insert({kind, name});
        kinds.insert(kind);
    }
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
// looked at only when the node holds nothing between.
bool FindStretches(const std::string& url, const ServerAccess& access, const std::string& database, int kind,
                   const std::string& name, const std::vector<int64_t>& times, TagCheck& tag, std::string& error,
                   long& status) {
    bool open = false;
    std::vector<int64_t> stored;
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
        if (tag.days[day].stored > 0 && !StoredTimes(url, access, database, kRetentionPolicy[kind], kMeasurement[kind],
                                                     name, day, day + kDaySeconds - 1, stored, error, status))
            return false;
        std::sort(stored.begin(), stored.end());
        for (; at != dayEnd; ++at) {
            if (std::binary_search(stored.begin(), stored.end(), *at)) {
                open = false;
            } else if (open) {
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
        if (tag.Missing() == 0)
            ++kind.complete;
        else if (tag.stored == 0)
            ++kind.missingTags;
        else
            ++kind.shortTags;
    }
}

}  // namespace

uint64_t Verification::Missing() const {
    uint64_t missing = 0;
    for (const KindCheck& kind : kinds) missing += kind.missing;
    return missing;
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

int Verify(const SessionOptions& options, Verification& result, std::string& error) {
    result = Verification{};
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
    session.Run(*reader);
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
                               kWindowSeconds[kind], stored, error, status)) {
            error = "the server did not count the points of " + std::string(kMeasurement[kind]) + ": " + error;
            return status == 401 || status == 403 ? kUsageError : kServerUnreachable;
        }
        for (const auto& [name, tag] : stored) {
            TagCheck& mine = check.tags[name];
            mine.inServer = true;
            mine.stored = tag.points;
            mine.storedFirst = tag.first;
            mine.storedLast = tag.last;
            for (const auto& [day, points] : tag.days) mine.days[day].stored = points;
        }
    }

    // The days short of points, looked at point by point in the files that hold their tags.
    LookedDays looked;
    for (int kind = 0; kind < kTableKindCount; ++kind)
        for (const auto& [name, tag] : result.kinds[kind].tags)
            for (const auto& [day, count] : tag.days)
                if (count.expected > count.stored) looked.insert({kind, name, day});
    if (!looked.empty()) {
        const std::vector<std::string> files = FilesOf(looked, reader->Files(), options);
        reader->LookAt(looked);
        session.Run(*reader, &files);
        for (auto& [key, times] : reader->Looked()) {
            KeepDistinct(times);
            long status = 0;
            if (!FindStretches(url, access, result.database, key.first, key.second, times,
                               result.kinds[key.first].tags[key.second], error, status)) {
                error = "the server did not give the points of " + std::string(kMeasurement[key.first]) + ": " + error;
                return status == 401 || status == 403 ? kUsageError : kServerUnreachable;
            }
            times = {};
        }
    }
    CountWaiting(result.database, result);
    for (KindCheck& kind : result.kinds) Summarize(kind);
    return result.Missing() > 0 ? kLinesNotWritten : kAllWritten;
}

}  // namespace quarvel

#include "influx/StoredPoints.h"

#include "influx/Preflight.h"
#include "influx/Query.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace quarvel {

namespace {

// One measurement to count: where it is, the span and windows to count it in (as
// CountStoredPoints counts them), and what the server holds of it.
struct StoredCount {
    std::string retentionPolicy;
    std::string measurement;
    int64_t from = 0;  // seconds since 1970, UTC
    int64_t to = 0;
    int64_t windowSeconds = kDaySeconds;
    CountScope scope{};
    StoredTags tags{};
    std::string error{};  // why the server did not count it
    long status = 0;      // the HTTP status of that refusal
};

constexpr size_t kStatusField = 5;
static_assert(std::string_view(kFieldName[kStatusField]) == "status");

std::string Source(const std::string& database, const std::string& retentionPolicy, const std::string& measurement) {
    return QuoteIdentifier(database) + "." + QuoteIdentifier(retentionPolicy) + "." + QuoteIdentifier(measurement);
}

std::string Window(int64_t from, int64_t to) {
    return " WHERE time >= " + std::to_string(from) + "s AND time <= " + std::to_string(to) + "s";
}

// The condition that keeps the tags of `names` alone; empty for every tag.
std::string NamesCondition(const std::set<std::string>& names) {
    std::string condition;
    for (const std::string& name : names)
        condition += (condition.empty() ? "\"name\" = " : " OR \"name\" = ") + QuoteIdentifier(name, '\'');
    return condition;
}

// Runs `statement` (times in seconds) and hands each row of each series, with its name tag
// ("" without one) and its time, to `each`.
template <typename Each>
bool AskRows(ServerClient& client, const std::string& baseUrl, const ServerAccess& access, const std::string& statement,
             std::string& error, long& status, Each each) {
    const QueryAnswer answer = Query(client, baseUrl, statement, HttpTimeouts{10, 0, 300}, access, {{"epoch", "s"}});
    status = answer.status;
    error = answer.error;
    for (const QuerySeries& series : answer.series) {
        const auto name = series.tags.find("name");
        for (const nlohmann::json& row : series.rows) {
            if (!row.contains("time")) continue;
            const nlohmann::json& time = row["time"];
            each(name == series.tags.end() ? std::string() : name->second,
                 time.is_number_integer() ? time.get<int64_t>() : 0, row);
        }
    }
    return answer.Ran();
}

// As AskRows, with the row's `column` as a number; rows without it are passed over.
template <typename Each>
bool Ask(ServerClient& client, const std::string& baseUrl, const ServerAccess& access, const std::string& statement,
         const char* column, std::string& error, long& status, Each each) {
    return AskRows(client, baseUrl, access, statement, error, status,
                   [&](const std::string& name, int64_t time, const nlohmann::json& row) {
                       if (!row.contains(column)) return;
                       const nlohmann::json& value = row[column];
                       each(name, time, value.is_number() ? value.get<double>() : 0.0);
                   });
}

// The number in `row` under `column`; false when there is none.
bool NumberOf(const nlohmann::json& row, const std::string& column, double& number) {
    const auto found = row.find(column);
    if (found == row.end() || !found->is_number()) return false;
    number = found->get<double>();
    return true;
}

// The aggregates of a row of COUNT, MIN, MAX and SUM, each named as COUNT(*) and the others
// name it: count_<field> and so on.
FieldAggregates AggregatesOf(const nlohmann::json& row) {
    FieldAggregates read;
    for (size_t f = 0; f < kFieldCount; ++f) {
        double count = 0;
        if (!NumberOf(row, std::string("count_") + kFieldName[f], count) || count <= 0) continue;
        read.count[f] = static_cast<uint64_t>(count);
        NumberOf(row, std::string("min_") + kFieldName[f], read.min[f]);
        NumberOf(row, std::string("max_") + kFieldName[f], read.max[f]);
        NumberOf(row, std::string("sum_") + kFieldName[f], read.sum[f]);
    }
    return read;
}

// VictoriaMetrics keeps each field of a line as a series <measurement>_<field>, labelled
// with the line's tags and the database (db); the policy is not kept. The series of `field`,
// of the tags of `names` alone unless it is empty: a regular expression of them, each quoted.
std::string Series(const std::string& database, const std::string& measurement, size_t field,
                   const std::set<std::string>& names = {}) {
    std::string any;
    for (const std::string& name : names) {
        // The empty name (points without one) is an alternative too: it sorts first.
        if (&name != &*names.begin()) any += '|';
        for (const char c : name) {
            if (std::string_view("\\.+*?()|[]{}^$").find(c) != std::string_view::npos) any += '\\';
            any += c;
        }
    }
    return measurement + "_" + kFieldName[field] + "{db=" + QuoteIdentifier(database) +
           (names.empty() ? "" : ",name=~" + QuoteIdentifier(any)) + "}";
}

// Posts `form` to one of VictoriaMetrics' endpoints; false with `error` (and the HTTP status
// in `status`) when no answer came or the server refused it.
bool PostVictoria(ServerClient& client, const std::string& baseUrl, const ServerAccess& access, const char* endpoint,
                  std::initializer_list<UrlParameter> form, HttpResult& http, std::string& error, long& status) {
    http = client.Post(EndpointUrl(baseUrl, endpoint), EncodeParameters(form), BodyEncoding::Identity,
                       HttpTimeouts{10, 0, 300}, access);
    status = http.status;
    if (http.Succeeded()) return true;
    error = http.curlCode != 0 ? http.error : "HTTP " + std::to_string(http.status);
    return false;
}

// The label `key` of a series' labels `metric`; "" without one.
std::string LabelOf(const nlohmann::json& metric, const char* key) {
    const nlohmann::json label = metric.is_object() ? metric.value(key, nlohmann::json()) : nlohmann::json();
    return label.is_string() ? label.get<std::string>() : std::string();
}

// Runs one of VictoriaMetrics' Prometheus queries (at /api/v1/query or /api/v1/query_range)
// and hands each value, with its series' labels and its time, to `each`.
template <typename Each>
bool AskVictoria(ServerClient& client, const std::string& baseUrl, const ServerAccess& access, const char* endpoint,
                 std::initializer_list<UrlParameter> form, std::string& error, long& status, Each each) {
    HttpResult http;
    const bool posted = PostVictoria(client, baseUrl, access, endpoint, form, http, error, status);
    const nlohmann::json answer = nlohmann::json::parse(http.body, nullptr, false);
    if (!posted || !answer.is_object() || answer.value("status", nlohmann::json()) != "success") {
        if (posted) error = "HTTP " + std::to_string(http.status);
        if (answer.is_object() && answer.contains("error") && answer["error"].is_string())
            error += ": " + answer["error"].get<std::string>();
        return false;
    }
    const nlohmann::json data = answer.value("data", nlohmann::json());
    const nlohmann::json result = data.is_object() ? data.value("result", nlohmann::json()) : nlohmann::json();
    for (const nlohmann::json& series : result.is_array() ? result : nlohmann::json::array()) {
        if (!series.is_object()) continue;
        const nlohmann::json metric = series.value("metric", nlohmann::json());
        nlohmann::json values = series.value("values", nlohmann::json::array());
        if (series.contains("value")) values.push_back(series["value"]);
        for (const nlohmann::json& pair : values)
            if (pair.is_array() && pair.size() == 2 && pair[0].is_number() && pair[1].is_string())
                each(metric, pair[0].get<int64_t>(), std::strtod(pair[1].get<std::string>().c_str(), nullptr));
    }
    return true;
}

// Connections the counts are asked on at once: a query takes the server about a core, and
// a piece more than the connections only adds the cost of its start to a busy server.
constexpr size_t kConnections = 2;

// One query of a count, asked on whichever connection is free; what it reads goes into its
// count under the merging lock.
struct CountJob {
    StoredCount* count;
    std::function<bool(ServerClient&, std::string& error, long& status)> ask;
};

// Asks `jobs` on up to kConnections connections at once, in their order; false once one
// failed, with its error and status in its count. The jobs not begun by then are not asked.
bool AskAtOnce(const std::vector<CountJob>& jobs, std::mutex& merging) {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        ServerClient client(ServerClient::Use::kChecks);
        for (size_t at = next++; at < jobs.size() && !failed; at = next++) {
            std::string error;
            long status = 0;
            if (jobs[at].ask(client, error, status)) continue;
            const std::lock_guard lock(merging);
            if (failed.exchange(true)) continue;
            jobs[at].count->error = error;
            jobs[at].count->status = status;
        }
    };
    std::vector<std::thread> helpers;
    for (size_t more = 1; more < std::min(kConnections, jobs.size()); ++more) helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers) helper.join();
    return !failed;
}

// The pieces [first, last] of [from, to] that a count is asked in: whole UTC days (the first
// from the start of its day), at most `windowSeconds` long, and one per connection while
// there are days enough, so that the connections share the work.
std::vector<std::pair<int64_t, int64_t>> Pieces(int64_t from, int64_t to, int64_t windowSeconds) {
    std::vector<std::pair<int64_t, int64_t>> pieces;
    if (from > to) return pieces;
    const int64_t firstDay = DayOf(from);
    const int64_t days = (to - firstDay) / kDaySeconds + 1;
    const auto share = static_cast<int64_t>(kConnections);
    const int64_t step =
        std::clamp<int64_t>((days + share - 1) / share, 1, std::max<int64_t>(windowSeconds / kDaySeconds, 1)) *
        kDaySeconds;
    for (int64_t start = firstDay; start <= to; start += step) {
        pieces.emplace_back(start, std::min(to, start + step - 1));
        if (to - start < step) break;  // the next start would pass the end of time
    }
    return pieces;
}

// The queries of one count from InfluxDB: the first and last time of each tag, and the
// counts (with `values` the aggregates of every field) per tag and day, a piece each.
void InfluxJobs(const ServerAccess& access, const std::string& baseUrl, const std::string& database, bool values,
                StoredCount& count, std::mutex& merging, std::vector<CountJob>& jobs) {
    const std::string source = Source(database, count.retentionPolicy, count.measurement);
    const std::string names = NamesCondition(count.scope.names);
    StoredTags& tags = count.tags;
    // The status field is on every line a conversion writes.
    for (const char* end : {"first", "last"}) {
        if (!count.scope.ends) break;
        const std::string statement = std::string("SELECT ") + (end[0] == 'f' ? "FIRST" : "LAST") +
                                      "(\"status\") FROM " + source + (names.empty() ? "" : " WHERE " + names) +
                                      " GROUP BY \"name\"";
        jobs.push_back({&count, [=, &access, &tags, &merging](ServerClient& client, std::string& error, long& status) {
                            return Ask(client, baseUrl, access, statement, end, error, status,
                                       [&](const std::string& name, int64_t time, double) {
                                           const std::lock_guard lock(merging);
                                           (end[0] == 'f' ? tags[name].first : tags[name].last) = time;
                                       });
                        }});
    }
    for (const auto& [first, last] : Pieces(count.from, count.to, count.windowSeconds)) {
        const std::string window = Window(first, last) + (names.empty() ? "" : " AND (" + names + ")") +
                                   " GROUP BY time(1d), \"name\" fill(none)";
        if (!values) {
            jobs.push_back(
                {&count, [=, &access, &tags, &merging](ServerClient& client, std::string& error, long& status) {
                     return Ask(client, baseUrl, access, "SELECT COUNT(\"status\") FROM " + source + window, "count",
                                error, status, [&](const std::string& name, int64_t day, double points) {
                                    const std::lock_guard lock(merging);
                                    StoredTag& tag = tags[name];
                                    tag.points += static_cast<uint64_t>(points);
                                    tag.days[day] += static_cast<uint64_t>(points);
                                });
                 }});
            continue;
        }
        // With the values, a query per field: the server scans a field once per aggregate, and
        // queries of their own let its cores share the scans of a piece. A field the
        // measurement lacks costs its planning alone. The status field's count is the day's points.
        for (size_t field = 0; field < kFieldCount; ++field) {
            const std::string quoted = QuoteIdentifier(kFieldName[field]);
            std::string statement;
            for (const auto& [call, column] :
                 {std::pair{"COUNT", "count_"}, {"MIN", "min_"}, {"MAX", "max_"}, {"SUM", "sum_"}})
                statement += std::string(statement.empty() ? "SELECT " : ", ") + call + "(" + quoted + ") AS " +
                             QuoteIdentifier(column + std::string(kFieldName[field]));
            statement += " FROM " + source + window;
            jobs.push_back(
                {&count, [=, &access, &tags, &merging](ServerClient& client, std::string& error, long& status) {
                     return AskRows(client, baseUrl, access, statement, error, status,
                                    [&](const std::string& name, int64_t day, const nlohmann::json& row) {
                                        const FieldAggregates read = AggregatesOf(row);
                                        const std::lock_guard lock(merging);
                                        StoredTag& tag = tags[name];
                                        FieldAggregates& into = tag.aggregates[day];
                                        into.count[field] = read.count[field];
                                        into.min[field] = read.min[field];
                                        into.max[field] = read.max[field];
                                        into.sum[field] = read.sum[field];
                                        if (field != kStatusField || read.count[field] == 0) return;
                                        tag.points += read.count[field];
                                        tag.days[day] += read.count[field];
                                    });
                 }});
        }
    }
}

// The queries of one count from VictoriaMetrics, as InfluxJobs. A day is told at its end:
// the window of [1d] offset 1s there takes the day's first second and not the next day's.
// With `values`, the four aggregates of a field come from one aggr_over_time query. A point
// written twice counts twice.
void VictoriaJobs(const ServerAccess& access, const std::string& baseUrl, const std::string& database, bool values,
                  StoredCount& count, std::mutex& merging, std::vector<CountJob>& jobs) {
    StoredTags& tags = count.tags;
    const std::string status = Series(database, count.measurement, kStatusField, count.scope.names);
    for (const char* end : {"tfirst_over_time", "tlast_over_time"})
        if (count.scope.ends)
            jobs.push_back(
                {&count, [=, &access, &tags, &merging](ServerClient& client, std::string& error, long& code) {
                     const int64_t now = time(nullptr);
                     const std::string all = "[" + std::to_string(now - 1) + "s])";  // back to 1970
                     return AskVictoria(client, baseUrl, access, "api/v1/query",
                                        {{"query", end + ("(" + status + all)}, {"time", std::to_string(now)}}, error,
                                        code, [&](const nlohmann::json& metric, int64_t, double time) {
                                            const std::lock_guard lock(merging);
                                            StoredTag& tag = tags[LabelOf(metric, "name")];
                                            (end[1] == 'f' ? tag.first : tag.last) = static_cast<int64_t>(time);
                                        });
                 }});
    for (const auto& [first, last] : Pieces(count.from, count.to, count.windowSeconds))
        for (size_t field = values ? 0 : kStatusField; field < (values ? kFieldCount : kStatusField + 1); ++field) {
            const std::string series = Series(database, count.measurement, field, count.scope.names);
            const std::string query =
                values ? R"(aggr_over_time(("count_over_time","min_over_time","max_over_time","sum_over_time"),)" +
                             series + "[1d] offset 1s)"
                       : "count_over_time(" + series + "[1d] offset 1s)";
            const std::string after = std::to_string(first + kDaySeconds);
            const std::string until = std::to_string(DayOf(last) + kDaySeconds);
            jobs.push_back(
                {&count, [=, &access, &tags, &merging](ServerClient& client, std::string& error, long& code) {
                     return AskVictoria(
                         client, baseUrl, access, "api/v1/query_range",
                         {{"query", query}, {"start", after}, {"end", until}, {"step", "1d"}, {"nocache", "1"}}, error,
                         code, [&](const nlohmann::json& metric, int64_t dayEnd, double read) {
                             const std::string rollup = values ? LabelOf(metric, "rollup") : "count_over_time";
                             const std::lock_guard lock(merging);
                             StoredTag& tag = tags[LabelOf(metric, "name")];
                             const int64_t day = dayEnd - kDaySeconds;
                             if (rollup == "count_over_time" && field == kStatusField) {
                                 tag.points += static_cast<uint64_t>(read);
                                 tag.days[day] += static_cast<uint64_t>(read);
                             }
                             if (!values) return;
                             FieldAggregates& aggregates = tag.aggregates[day];
                             if (rollup == "count_over_time") aggregates.count[field] = static_cast<uint64_t>(read);
                             if (rollup == "min_over_time") aggregates.min[field] = read;
                             if (rollup == "max_over_time") aggregates.max[field] = read;
                             if (rollup == "sum_over_time") aggregates.sum[field] = read;
                         });
                 }});
        }
}

// What arrived a moment ago is searched only once it is flushed, and right after a
// conversion a flush has been seen to leave whole series unsearched for a moment: flushes
// until the database's points stay the same over a fifth of a second (two seconds at most).
void AwaitSearchable(const std::string& baseUrl, const ServerAccess& access, const std::string& database) {
    ServerClient client(ServerClient::Use::kChecks);
    const std::string points = "sum(count_over_time({__name__=~\".+_status\",db=" + QuoteIdentifier(database) + "}[";
    double before = -1;
    for (int round = 0; round < 10; ++round) {
        if (round > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        client.Get(EndpointUrl(baseUrl, "internal/force_flush"), HttpTimeouts{10, 0, 60}, access);
        const int64_t now = time(nullptr);
        double counted = 0;
        std::string error;
        long status = 0;
        if (!AskVictoria(client, baseUrl, access, "api/v1/query",
                         {{"query", points + std::to_string(now - 1) + "s]))"}, {"time", std::to_string(now)}}, error,
                         status, [&counted](const nlohmann::json&, int64_t, double read) { counted = read; }) ||
            counted == before)
            return;
        before = counted;
    }
}

// The points of one name from VictoriaMetrics' export, a line of JSON per series (a field
// each, <measurement>_<field>), its times in milliseconds: the status series alone, or with
// `values` every field's. A time written twice with other values keeps both samples, in the
// order written: the later one stands for the point, as InfluxDB would hold it.
bool VictoriaPoints(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                    const std::string& measurement, const std::string& name, int64_t from, int64_t to, bool values,
                    std::vector<StoredPoint>& points, std::string& error, long& status) {
    ServerClient client(ServerClient::Use::kChecks);
    const std::string series = values ? "__name__=~" + QuoteIdentifier(measurement + "_.+")
                                      : "__name__=" + QuoteIdentifier(measurement + "_status");
    const std::string match =
        "{" + series + ",db=" + QuoteIdentifier(database) + ",name=" + QuoteIdentifier(name) + "}";
    const std::string start = std::to_string(from);
    const std::string until = std::to_string(to);
    HttpResult http;
    if (!PostVictoria(client, baseUrl, access, "api/v1/export", {{"match[]", match}, {"start", start}, {"end", until}},
                      http, error, status))
        return false;
    std::map<int64_t, FieldValues> byTime;
    for (size_t at = 0; at < http.body.size();) {
        const size_t end = std::min(http.body.find('\n', at), http.body.size());
        const nlohmann::json line = nlohmann::json::parse(http.body.substr(at, end - at), nullptr, false);
        at = end + 1;
        if (!line.is_object() || !line.contains("timestamps") || !line["timestamps"].is_array()) continue;
        const nlohmann::json metric = line.value("metric", nlohmann::json());
        const std::string prefix = measurement + "_";
        const std::string seriesName = LabelOf(metric, "__name__");
        const int f =
            seriesName.starts_with(prefix) ? FieldIndex(std::string_view(seriesName).substr(prefix.size())) : -1;
        const nlohmann::json& stamps = line["timestamps"];
        const nlohmann::json read = line.value("values", nlohmann::json::array());
        for (size_t i = 0; i < stamps.size(); ++i) {
            if (!stamps[i].is_number_integer()) continue;
            FieldValues& point = byTime[stamps[i].get<int64_t>() / 1000];
            if (f >= 0 && i < read.size() && read[i].is_number()) point.Set(f, read[i].get<double>());
        }
    }
    for (const auto& [time, fields] : byTime) points.push_back({time, fields});
    return true;
}

}  // namespace

int FieldIndex(std::string_view name) {
    for (int f = 0; f < kFieldCount; ++f)
        if (name == kFieldName[f]) return f;
    return -1;
}

void FieldAggregates::Add(const FieldValues& point) {
    for (size_t f = 0; f < kFieldCount; ++f) {
        if (!point.Has(static_cast<int>(f))) continue;
        const double value = point.value[f];
        min[f] = count[f] == 0 ? value : std::min(min[f], value);
        max[f] = count[f] == 0 ? value : std::max(max[f], value);
        sum[f] += value;
        magnitude[f] += std::fabs(value);
        ++count[f];
    }
}

namespace {

// Every one of `counts` at once: their day-aligned pieces are asked for on a few connections
// side by side, each day whole in one piece. False when the server refused any; the error and
// status are then those of the count it refused.
bool CountAtOnce(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                 std::vector<StoredCount>& counts, bool values) {
    std::mutex merging;
    std::vector<CountJob> jobs;
    for (StoredCount& count : counts)
        (access.kind == ServerKind::kVictoriaMetrics ? VictoriaJobs : InfluxJobs)(access, baseUrl, database, values,
                                                                                  count, merging, jobs);
    // Counts whose first and last times were asked a moment ago were searchable then.
    if (access.kind == ServerKind::kVictoriaMetrics &&
        std::any_of(counts.begin(), counts.end(), [](const StoredCount& count) { return count.scope.ends; }))
        AwaitSearchable(baseUrl, access, database);
    return AskAtOnce(jobs, merging);
}

}  // namespace

bool CountStoredPoints(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                       const std::string& retentionPolicy, const std::string& measurement, int64_t from, int64_t to,
                       int64_t windowSeconds, StoredTags& tags, std::string& error, long& status, bool values,
                       const CountScope& scope) {
    std::vector<StoredCount> counts{{retentionPolicy, measurement, from, to, windowSeconds, scope, std::move(tags)}};
    const bool counted = CountAtOnce(baseUrl, access, database, counts, values);
    tags = std::move(counts.front().tags);
    error = counts.front().error;
    status = counts.front().status;
    return counted;
}

bool StoredPointsOf(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                    const std::string& retentionPolicy, const std::string& measurement, const std::string& name,
                    int64_t from, int64_t to, bool values, std::vector<StoredPoint>& points, std::string& error,
                    long& status) {
    points.clear();
    if (access.kind == ServerKind::kVictoriaMetrics)
        return VictoriaPoints(baseUrl, access, database, measurement, name, from, to, values, points, error, status);
    ServerClient client(ServerClient::Use::kChecks);
    return AskRows(client, baseUrl, access,
                   std::string(values ? "SELECT *" : "SELECT \"status\"") + " FROM " +
                       Source(database, retentionPolicy, measurement) + Window(from, to) +
                       " AND \"name\" = " + QuoteIdentifier(name, '\''),
                   error, status, [&points](const std::string&, int64_t time, const nlohmann::json& row) {
                       StoredPoint& point = points.emplace_back();
                       point.time = time;
                       for (int f = 0; f < kFieldCount; ++f)
                           if (double value = 0; NumberOf(row, kFieldName[f], value)) point.fields.Set(f, value);
                   });
}

}  // namespace quarvel

#include "influx/StoredPoints.h"

#include "influx/Preflight.h"
#include "influx/Query.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>

namespace quarvel {

namespace {

std::string Source(const std::string& database, const std::string& retentionPolicy, const std::string& measurement) {
    return QuoteIdentifier(database) + "." + QuoteIdentifier(retentionPolicy) + "." + QuoteIdentifier(measurement);
}

std::string Window(int64_t from, int64_t to) {
    return " WHERE time >= " + std::to_string(from) + "s AND time <= " + std::to_string(to) + "s";
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

// The aggregates of a row of COUNT(*), MIN(*), MAX(*), SUM(*).
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
// with the line's tags and the database (db); the policy is not kept.
std::string Series(const std::string& database, const std::string& measurement) {
    return measurement + "_status{db=" + QuoteIdentifier(database) + "}";
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

// Runs one of VictoriaMetrics' Prometheus queries (at /api/v1/query or /api/v1/query_range)
// and hands each value, with its series' name label and its time, to `each`.
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
        const nlohmann::json label = metric.is_object() ? metric.value("name", nlohmann::json()) : nlohmann::json();
        const std::string name = label.is_string() ? label.get<std::string>() : std::string();
        nlohmann::json values = series.value("values", nlohmann::json::array());
        if (series.contains("value")) values.push_back(series["value"]);
        for (const nlohmann::json& pair : values)
            if (pair.is_array() && pair.size() == 2 && pair[0].is_number() && pair[1].is_string())
                each(name, pair[0].get<int64_t>(), std::strtod(pair[1].get<std::string>().c_str(), nullptr));
    }
    return true;
}

// The counts per name and UTC day, as CountStoredPoints. count_over_time over a day is told
// at the day's end: its window takes the day's first second and not the next day's, with
// the offset of a second. A point written twice counts twice.
bool CountVictoria(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                   const std::string& measurement, int64_t from, int64_t to, int64_t windowSeconds, StoredTags& tags,
                   std::string& error, long& status) {
    ServerClient client(ServerClient::Use::kChecks);
    // What arrived a moment ago is searched only once it is flushed.
    client.Get(EndpointUrl(baseUrl, "internal/force_flush"), HttpTimeouts{10, 0, 60}, access);
    const std::string series = Series(database, measurement);
    const std::string now = std::to_string(time(nullptr));
    const std::string all = "[" + std::to_string(time(nullptr) - 1) + "s])";  // back to 1970
    if (!AskVictoria(client, baseUrl, access, "api/v1/query",
                     {{"query", "tfirst_over_time(" + series + all}, {"time", now}}, error, status,
                     [&tags](const std::string& name, int64_t, double first) {
                         tags[name].first = static_cast<int64_t>(first);
                     }) ||
        !AskVictoria(
            client, baseUrl, access, "api/v1/query", {{"query", "tlast_over_time(" + series + all}, {"time", now}},
            error, status,
            [&tags](const std::string& name, int64_t, double last) { tags[name].last = static_cast<int64_t>(last); }))
        return false;
    const std::string query = "count_over_time(" + series + "[1d] offset 1s)";
    const int64_t step = std::max<int64_t>(windowSeconds / kDaySeconds, 1) * kDaySeconds;
    const int64_t firstDay = from - ((from % kDaySeconds) + kDaySeconds) % kDaySeconds;
    for (int64_t start = firstDay; start <= to; start += step) {
        const int64_t end = std::min(to, start + step - 1);
        const std::string after = std::to_string(start + kDaySeconds);
        const std::string until = std::to_string(end - ((end % kDaySeconds) + kDaySeconds) % kDaySeconds + kDaySeconds);
        if (!AskVictoria(client, baseUrl, access, "api/v1/query_range",
                         {{"query", query}, {"start", after}, {"end", until}, {"step", "1d"}, {"nocache", "1"}}, error,
                         status, [&tags](const std::string& name, int64_t dayEnd, double count) {
                             StoredTag& tag = tags[name];
                             tag.points += static_cast<uint64_t>(count);
                             tag.days[dayEnd - kDaySeconds] += static_cast<uint64_t>(count);
                         }))
            return false;
        if (end == to) break;
    }
    return true;
}

// The points of one name from VictoriaMetrics' export, a line of JSON per series (a field
// each, <measurement>_<field>), its times in milliseconds: the status series alone, or with
// `values` every field's.
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
        const nlohmann::json label = metric.is_object() ? metric.value("__name__", nlohmann::json()) : nlohmann::json();
        const std::string prefix = measurement + "_";
        const std::string seriesName = label.is_string() ? label.get<std::string>() : std::string();
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

bool CountStoredPoints(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                       const std::string& retentionPolicy, const std::string& measurement, int64_t from, int64_t to,
                       int64_t windowSeconds, StoredTags& tags, std::string& error, long& status, bool values) {
    if (access.kind == ServerKind::kVictoriaMetrics && values) {
        error = "VictoriaMetrics is compared by its points' times alone: verify it without --values";
        return false;
    }
    if (access.kind == ServerKind::kVictoriaMetrics)
        return CountVictoria(baseUrl, access, database, measurement, from, to, windowSeconds, tags, error, status);
    ServerClient client(ServerClient::Use::kChecks);
    const std::string source = Source(database, retentionPolicy, measurement);
    // The status field is on every line a conversion writes.
    const bool firstAndLast =
        Ask(client, baseUrl, access, "SELECT FIRST(\"status\") FROM " + source + " GROUP BY \"name\"", "first", error,
            status, [&tags](const std::string& name, int64_t time, double) { tags[name].first = time; }) &&
        Ask(client, baseUrl, access, "SELECT LAST(\"status\") FROM " + source + " GROUP BY \"name\"", "last", error,
            status, [&tags](const std::string& name, int64_t time, double) { tags[name].last = time; });
    if (!firstAndLast) return false;
    // Windows of whole UTC days: a day's count comes in one piece.
    const int64_t step = std::max<int64_t>(windowSeconds / kDaySeconds, 1) * kDaySeconds;
    const int64_t firstDay = from - ((from % kDaySeconds) + kDaySeconds) % kDaySeconds;
    for (int64_t start = firstDay; start <= to; start += step) {
        const int64_t end = std::min(to, start + step - 1);
        const std::string window = Window(start, end) + " GROUP BY time(1d), \"name\" fill(none)";
        // With the values, the status field's count is the day's points.
        const bool counted =
            values ? AskRows(client, baseUrl, access, "SELECT COUNT(*), MIN(*), MAX(*), SUM(*) FROM " + source + window,
                             error, status,
                             [&tags](const std::string& name, int64_t day, const nlohmann::json& row) {
                                 StoredTag& tag = tags[name];
                                 const FieldAggregates& read = tag.aggregates[day] = AggregatesOf(row);
                                 const uint64_t points = read.count[static_cast<size_t>(FieldIndex("status"))];
                                 tag.points += points;
                                 if (points > 0) tag.days[day] += points;
                             })
                   : Ask(client, baseUrl, access, "SELECT COUNT(\"status\") FROM " + source + window, "count", error,
                         status, [&tags](const std::string& name, int64_t day, double count) {
                             StoredTag& tag = tags[name];
                             tag.points += static_cast<uint64_t>(count);
                             tag.days[day] += static_cast<uint64_t>(count);
                         });
        if (!counted) return false;
        if (end == to) break;
    }
    return true;
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

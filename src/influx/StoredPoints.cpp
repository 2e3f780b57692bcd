#include "influx/StoredPoints.h"

#include "influx/Preflight.h"
#include "influx/Query.h"

#include <algorithm>
#include <ctime>

namespace quarvel {

namespace {

std::string Source(const std::string& database, const std::string& retentionPolicy, const std::string& measurement) {
    return QuoteIdentifier(database) + "." + QuoteIdentifier(retentionPolicy) + "." + QuoteIdentifier(measurement);
}

std::string Window(int64_t from, int64_t to) {
    return " WHERE time >= " + std::to_string(from) + "s AND time <= " + std::to_string(to) + "s";
}

// Runs `statement` (times in seconds) and hands each row of each series, with its name tag
// ("" without one), its time and its `column` as a number, to `each`.
template <typename Each>
bool Ask(ServerClient& client, const std::string& baseUrl, const ServerAccess& access, const std::string& statement,
         const char* column, std::string& error, long& status, Each each) {
    const QueryAnswer answer = Query(client, baseUrl, statement, HttpTimeouts{10, 0, 300}, access, {{"epoch", "s"}});
    status = answer.status;
    error = answer.error;
    for (const QuerySeries& series : answer.series) {
        const auto name = series.tags.find("name");
        for (const nlohmann::json& row : series.rows) {
            if (!row.contains(column) || !row.contains("time")) continue;
            const nlohmann::json& time = row["time"];
            const nlohmann::json& value = row[column];
            each(name == series.tags.end() ? std::string() : name->second,
                 time.is_number_integer() ? time.get<int64_t>() : 0, value.is_number() ? value.get<double>() : 0.0);
        }
    }
    return answer.Ran();
}

// VictoriaMetrics keeps each field of a line as a series <measurement>_<field>, labelled
// with the line's tags and the database (db); the policy is not kept.
std::string Series(const std::string& database, const std::string& measurement) {
    return measurement + "_status{db=" + QuoteIdentifier(database) + "}";
}

// Runs one of VictoriaMetrics' Prometheus queries (at /api/v1/query or /api/v1/query_range)
// and hands each value, with its series' name label and its time, to `each`.
template <typename Each>
bool AskVictoria(ServerClient& client, const std::string& baseUrl, const ServerAccess& access, const char* endpoint,
                 std::initializer_list<UrlParameter> form, std::string& error, long& status, Each each) {
    const HttpResult http = client.Post(EndpointUrl(baseUrl, endpoint), EncodeParameters(form), BodyEncoding::Identity,
                                        HttpTimeouts{10, 0, 300}, access);
    status = http.status;
    const nlohmann::json answer = nlohmann::json::parse(http.body, nullptr, false);
    if (!http.Succeeded() || !answer.is_object() || answer.value("status", nlohmann::json()) != "success") {
        error = http.curlCode != 0 ? http.error : "HTTP " + std::to_string(http.status);
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

// The time stamps of one name's points from VictoriaMetrics' export: a line of JSON per
// series, its times in milliseconds.
bool VictoriaTimes(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                   const std::string& measurement, const std::string& name, int64_t from, int64_t to,
                   std::vector<int64_t>& times, std::string& error, long& status) {
    ServerClient client(ServerClient::Use::kChecks);
    const std::string match = "{__name__=" + QuoteIdentifier(measurement + "_status") +
                              ",db=" + QuoteIdentifier(database) + ",name=" + QuoteIdentifier(name) + "}";
    const std::string start = std::to_string(from);
    const std::string until = std::to_string(to);
    const HttpResult http = client.Post(EndpointUrl(baseUrl, "api/v1/export"),
                                        EncodeParameters({{"match[]", match}, {"start", start}, {"end", until}}),
                                        BodyEncoding::Identity, HttpTimeouts{10, 0, 300}, access);
    status = http.status;
    if (!http.Succeeded()) {
        error = http.curlCode != 0 ? http.error : "HTTP " + std::to_string(http.status);
        return false;
    }
    for (size_t at = 0; at < http.body.size();) {
        const size_t end = std::min(http.body.find('\n', at), http.body.size());
        const nlohmann::json line = nlohmann::json::parse(http.body.substr(at, end - at), nullptr, false);
        at = end + 1;
        if (!line.is_object() || !line.contains("timestamps") || !line["timestamps"].is_array()) continue;
        for (const nlohmann::json& stamp : line["timestamps"])
            if (stamp.is_number_integer()) times.push_back(stamp.get<int64_t>() / 1000);
    }
    return true;
}

}  // namespace

bool CountStoredPoints(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                       const std::string& retentionPolicy, const std::string& measurement, int64_t from, int64_t to,
                       int64_t windowSeconds, StoredTags& tags, std::string& error, long& status) {
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
        if (!Ask(client, baseUrl, access,
                 "SELECT COUNT(\"status\") FROM " + source + Window(start, end) +
                     " GROUP BY time(1d), \"name\" fill(none)",
                 "count", error, status, [&tags](const std::string& name, int64_t day, double count) {
                     StoredTag& tag = tags[name];
                     tag.points += static_cast<uint64_t>(count);
                     tag.days[day] += static_cast<uint64_t>(count);
                 }))
            return false;
        if (end == to) break;
    }
    return true;
}

bool StoredTimes(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                 const std::string& retentionPolicy, const std::string& measurement, const std::string& name,
                 int64_t from, int64_t to, std::vector<int64_t>& times, std::string& error, long& status) {
    times.clear();
    if (access.kind == ServerKind::kVictoriaMetrics)
        return VictoriaTimes(baseUrl, access, database, measurement, name, from, to, times, error, status);
    ServerClient client(ServerClient::Use::kChecks);
    return Ask(client, baseUrl, access,
               "SELECT \"status\" FROM " + Source(database, retentionPolicy, measurement) + Window(from, to) +
                   " AND \"name\" = " + QuoteIdentifier(name, '\''),
               "status", error, status, [&times](const std::string&, int64_t time, double) { times.push_back(time); });
}

}  // namespace quarvel

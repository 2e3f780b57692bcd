#include "influx/StoredPoints.h"

#include "influx/Preflight.h"
#include "influx/Query.h"

#include <algorithm>

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

}  // namespace

bool CountStoredPoints(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                       const std::string& retentionPolicy, const std::string& measurement, int64_t from, int64_t to,
                       int64_t windowSeconds, StoredTags& tags, std::string& error, long& status) {
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
    ServerClient client(ServerClient::Use::kChecks);
    times.clear();
    return Ask(client, baseUrl, access,
               "SELECT \"status\" FROM " + Source(database, retentionPolicy, measurement) + Window(from, to) +
                   " AND \"name\" = " + QuoteIdentifier(name, '\''),
               "status", error, status, [&times](const std::string&, int64_t time, double) { times.push_back(time); });
}

}  // namespace quarvel

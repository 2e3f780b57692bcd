#include "influx/StoredPoints.h"

#include "influx/Preflight.h"
#include "influx/Query.h"

#include <algorithm>
#include <cmath>

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
    ServerClient client(ServerClient::Use::kChecks);
    points.clear();
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

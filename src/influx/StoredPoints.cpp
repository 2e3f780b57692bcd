#include "influx/StoredPoints.h"

#include "influx/Preflight.h"
#include "influx/Query.h"

#include <algorithm>

namespace quarvel {

bool CountStoredPoints(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                       const std::string& retentionPolicy, const std::string& measurement, int64_t from, int64_t to,
                       int64_t windowSeconds, StoredTags& tags, std::string& error, long& status) {
    ServerClient client(ServerClient::Use::kChecks);
    const std::string source =
        QuoteIdentifier(database) + "." + QuoteIdentifier(retentionPolicy) + "." + QuoteIdentifier(measurement);
    // Each series of a GROUP BY "name" answer: its name tag, and the time and `column` of its
    // first row. The status field is on every line a conversion writes.
    const auto ask = [&](const std::string& statement, const char* column, auto each) {
        const QueryAnswer answer =
            Query(client, baseUrl, statement, HttpTimeouts{10, 0, 300}, access, {{"epoch", "s"}});
        status = answer.status;
        error = answer.error;
        for (const QuerySeries& series : answer.series) {
            if (series.rows.empty() || !series.rows[0].contains(column) || !series.rows[0].contains("time")) continue;
            const nlohmann::json& time = series.rows[0]["time"];
            const nlohmann::json& value = series.rows[0][column];
            const auto name = series.tags.find("name");
            each(name == series.tags.end() ? std::string() : name->second,
                 time.is_number_integer() ? time.get<int64_t>() : 0, value.is_number() ? value.get<double>() : 0.0);
        }
        return answer.Ran();
    };
    const bool firstAndLast =
        ask("SELECT FIRST(\"status\") FROM " + source + " GROUP BY \"name\"", "first",
            [&tags](const std::string& name, int64_t time, double) { tags[name].first = time; }) &&
        ask("SELECT LAST(\"status\") FROM " + source + " GROUP BY \"name\"", "last",
            [&tags](const std::string& name, int64_t time, double) { tags[name].last = time; });
    if (!firstAndLast) return false;
    for (int64_t start = from; start <= to; start += std::max<int64_t>(windowSeconds, 1)) {
        const int64_t end = std::min(to, start + std::max<int64_t>(windowSeconds, 1) - 1);
        const std::string window =
            " WHERE time >= " + std::to_string(start) + "s AND time <= " + std::to_string(end) + "s";
        if (!ask("SELECT COUNT(\"status\") FROM " + source + window + " GROUP BY \"name\"", "count",
                 [&tags](const std::string& name, int64_t, double count) {
                     tags[name].points += static_cast<uint64_t>(count);
                 }))
            return false;
        if (end == to) break;
    }
    return true;
}

}  // namespace quarvel

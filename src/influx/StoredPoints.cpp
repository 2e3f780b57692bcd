#include "influx/StoredPoints.h"

#include "influx/Preflight.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace quarvel {

namespace {

// Each series of a GROUP BY "name" result: its name tag and its first row's `column`.
template <typename SeriesFunction>
bool ForEachSeries(const std::string& answer, const char* column, SeriesFunction each, std::string& error) {
    const nlohmann::json parsed = nlohmann::json::parse(answer, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("results") || !parsed["results"].is_array() ||
        parsed["results"].empty()) {
        error = "the answer is not what an InfluxDB 1.x server sends";
        return false;
    }
    const nlohmann::json& result = parsed["results"][0];
    if (result.contains("error")) {
        error = result["error"].is_string() ? result["error"].get<std::string>() : result["error"].dump();
        return false;
    }
    if (!result.contains("series")) return true;  // no points at all
    for (const nlohmann::json& series : result["series"]) {
        std::string name;
        if (series.contains("tags") && series["tags"].contains("name") && series["tags"]["name"].is_string())
            name = series["tags"]["name"].get<std::string>();
        const nlohmann::json& columns = series.value("columns", nlohmann::json::array());
        const nlohmann::json& values = series.value("values", nlohmann::json::array());
        if (values.empty()) continue;
        const auto at = std::find(columns.begin(), columns.end(), column);
        const auto timeAt = std::find(columns.begin(), columns.end(), "time");
        if (at == columns.end() || timeAt == columns.end()) continue;
        const nlohmann::json& row = values[0];
        const auto index = static_cast<size_t>(at - columns.begin());
        const auto timeIndex = static_cast<size_t>(timeAt - columns.begin());
        if (row.size() <= std::max(index, timeIndex)) continue;
        each(name, row[timeIndex].is_number_integer() ? row[timeIndex].get<int64_t>() : 0,
             row[index].is_number() ? row[index].get<double>() : 0.0);
    }
    return true;
}

}  // namespace

bool CountStoredPoints(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                       const std::string& retentionPolicy, const std::string& measurement, int64_t from, int64_t to,
                       int64_t windowSeconds, StoredTags& tags, std::string& error, long& status) {
    ServerClient client(ServerClient::Use::kChecks);
    const std::string source =
        QuoteIdentifier(database) + "." + QuoteIdentifier(retentionPolicy) + "." + QuoteIdentifier(measurement);
    // The status field is on every line a conversion writes.
    const auto ask = [&](const std::string& statement, const char* column, auto each) {
        const HttpResult answer =
            client.Post(EndpointUrl(baseUrl, "query", {{"epoch", "s"}}), EncodeParameters({{"q", statement}}),
                        BodyEncoding::Identity, HttpTimeouts{10, 0, 300}, access);
        status = answer.status;
        if (!answer.Succeeded()) {
            error = answer.curlCode != 0 ? answer.error : "HTTP " + std::to_string(answer.status) + " " + answer.error;
            return false;
        }
        return ForEachSeries(answer.body, column, each, error);
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

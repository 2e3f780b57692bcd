#include "influx/Query.h"

#include <algorithm>

namespace quarvel {

const nlohmann::json* QuerySeries::Value(const nlohmann::json& row, std::string_view column) const {
    const auto at = std::find(columns.begin(), columns.end(), column);
    const auto index = static_cast<size_t>(at - columns.begin());
    return at != columns.end() && row.is_array() && index < row.size() ? &row[index] : nullptr;
}

QueryAnswer Query(ServerClient& client, const std::string& baseUrl, const std::string& statement,
                  const HttpTimeouts& timeouts, const ServerAccess& access,
                  std::initializer_list<UrlParameter> parameters) {
    const HttpResult http = client.Post(EndpointUrl(baseUrl, "query", parameters), EncodeParameters({{"q", statement}}),
                                        BodyEncoding::Identity, timeouts, access);
    QueryAnswer answer;
    answer.status = http.status;
    if (http.curlCode != 0) {
        answer.error = http.error;
        return answer;
    }
    const nlohmann::json parsed = nlohmann::json::parse(http.body, nullptr, false);
    if (http.status != 200) {
        answer.error = "HTTP " + std::to_string(http.status);
        if (!http.serverError.empty())
            answer.error += ": " + http.serverError;
        else if (parsed.is_object() && parsed.contains("error") && parsed["error"].is_string())
            answer.error += ": " + parsed["error"].get<std::string>();
        return answer;
    }
    if (!parsed.is_object() || !parsed.contains("results") || !parsed["results"].is_array() ||
        parsed["results"].empty() || !parsed["results"][0].is_object()) {
        answer.error = "the answer to \"" + statement + "\" is not what an InfluxDB 1.x server sends";
        return answer;
    }
    const nlohmann::json& result = parsed["results"][0];
    if (result.contains("error")) {
        answer.error = result["error"].is_string() ? result["error"].get<std::string>() : result["error"].dump();
        return answer;
    }
    if (!result.contains("series") || !result["series"].is_array()) return answer;
    for (const nlohmann::json& series : result["series"]) {
        if (!series.is_object()) continue;
        QuerySeries& read = answer.series.emplace_back();
        if (series.contains("tags") && series["tags"].is_object())
            for (const auto& [name, value] : series["tags"].items())
                if (value.is_string()) read.tags[name] = value.get<std::string>();
        if (series.contains("columns") && series["columns"].is_array())
            for (const nlohmann::json& column : series["columns"])
                read.columns.push_back(column.is_string() ? column.get<std::string>() : std::string());
        if (series.contains("values") && series["values"].is_array()) read.rows = series["values"];
    }
    return answer;
}

}  // namespace quarvel

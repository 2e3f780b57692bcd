#include "influx/Query.h"

namespace quarvel {

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
    for (const nlohmann::json& each : parsed["results"]) {
        if (!each.is_object() || !each.contains("error")) continue;
        answer.error = each["error"].is_string() ? each["error"].get<std::string>() : each["error"].dump();
        return answer;
    }
    const nlohmann::json& result = parsed["results"][0];
    if (!result.contains("series") || !result["series"].is_array()) return answer;
    for (const nlohmann::json& series : result["series"]) {
        if (!series.is_object() || !series.contains("columns") || !series.contains("values")) continue;
        QuerySeries& read = answer.series.emplace_back();
        if (series.contains("tags") && series["tags"].is_object())
            for (const auto& [name, value] : series["tags"].items())
                if (value.is_string()) read.tags[name] = value.get<std::string>();
        const nlohmann::json& columns = series["columns"];
        for (const nlohmann::json& values : series["values"]) {
            nlohmann::json& row = read.rows.emplace_back(nlohmann::json::object());
            for (size_t i = 0; columns.is_array() && values.is_array() && i < columns.size() && i < values.size(); ++i)
                if (columns[i].is_string()) row[columns[i].get<std::string>()] = values[i];
        }
    }
    return answer;
}

}  // namespace quarvel

#include "InfluxServer.h"

#include <curl/curl.h>

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace testsupport {

namespace {

size_t Collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

std::string UrlEncode(CURL* curl, const std::string& text) {
    char* escaped = curl_easy_escape(curl, text.c_str(), static_cast<int>(text.size()));
    std::string result(escaped);
    curl_free(escaped);
    return result;
}

}  // namespace

std::optional<std::string> ServerUrl() {
    const char* url = std::getenv(kServerUrlVariable);
    if (url == nullptr || *url == '\0') return std::nullopt;
    return std::string(url);
}

nlohmann::json Query(const std::string& statement, const std::string& database) {
    auto base = ServerUrl();
    if (!base) throw std::runtime_error("no InfluxDB server configured");
    CURL* curl = curl_easy_init();
    if (curl == nullptr) throw std::runtime_error("curl_easy_init failed");
    std::string form = "epoch=s&q=" + UrlEncode(curl, statement);
    if (!database.empty()) form += "&db=" + UrlEncode(curl, database);
    std::string url = *base + "/query";
    std::string answer;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK || status != 200)
        throw std::runtime_error("query failed (" + std::to_string(status) + "): " + statement + ": " + answer);
    return nlohmann::json::parse(answer);
}

std::string UniqueDatabaseName(const std::string& prefix) {
    static std::atomic<int> sequence{0};
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(now % 1000000007) + "_" +
           std::to_string(sequence++);
}

void CreateDatabaseWithPolicies(const std::string& database) {
    Query("CREATE DATABASE \"" + database + "\"");
    for (const char* rp : {"RP_Sec", "RP_Min", "RP_Hour", "RP_Day"})
        Query(std::string("CREATE RETENTION POLICY \"") + rp + "\" ON \"" + database + "\" DURATION INF REPLICATION 1");
}

void DropDatabase(const std::string& database) {
    Query("DROP DATABASE \"" + database + "\"");
}

std::vector<nlohmann::json> SelectAll(const std::string& database, const std::string& retentionPolicy,
                                      const std::string& measurement) {
    auto answer = Query("SELECT * FROM \"" + retentionPolicy + "\".\"" + measurement + "\"", database);
    std::vector<nlohmann::json> rows;
    const auto& result = answer.at("results").at(0);
    if (!result.contains("series")) return rows;
    for (const auto& series : result.at("series")) {
        const auto& columns = series.at("columns");
        for (const auto& values : series.at("values")) {
            nlohmann::json row;
            for (size_t i = 0; i < columns.size(); ++i) row[columns[i].get<std::string>()] = values[i];
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

long CountPoints(const std::string& database, const std::string& retentionPolicy, const std::string& measurement) {
    auto answer = Query("SELECT COUNT(status) FROM \"" + retentionPolicy + "\".\"" + measurement + "\"", database);
    const auto& result = answer.at("results").at(0);
    if (!result.contains("series")) return 0;
    return result.at("series").at(0).at("values").at(0).at(1).get<long>();
}

std::map<std::string, std::string> FieldTypes(const std::string& database, const std::string& retentionPolicy,
                                              const std::string& measurement) {
    auto answer = Query("SHOW FIELD KEYS FROM \"" + retentionPolicy + "\".\"" + measurement + "\"", database);
    std::map<std::string, std::string> types;
    const auto& result = answer.at("results").at(0);
    if (!result.contains("series")) return types;
    for (const auto& values : result.at("series").at(0).at("values"))
        types[values.at(0).get<std::string>()] = values.at(1).get<std::string>();
    return types;
}

}  // namespace testsupport

#pragma once

// POST /query with the login: one statement, or several separated by ";", and the server's
// answer read into the series of its first result, or the reason the transport or the
// server gives.

#include "influx/ServerClient.h"

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace quarvel {

struct QuerySeries {
    std::map<std::string, std::string> tags;  // of a GROUP BY
    std::vector<nlohmann::json> rows;         // each an object of column and value
};

struct QueryAnswer {
    long status = 0;    // the HTTP status; 0 when no answer arrived
    std::string error;  // why the statement (of several, the first refused) did not run; empty when all did
    std::vector<QuerySeries> series;
    bool Ran() const { return error.empty(); }
};

// The server reports a refused statement with status 200 and an "error" member in its result;
// any other status than 200 is a refusal too.
QueryAnswer Query(ServerClient& client, const std::string& baseUrl, const std::string& statement,
                  const HttpTimeouts& timeouts, const ServerAccess& access,
                  std::initializer_list<UrlParameter> parameters = {});

}  // namespace quarvel

#pragma once

// What the server-check tests share: databases with chosen retention policies, and the
// fake server for addresses where no InfluxDB answers.

#include "FakeHttpServer.h"
#include "InfluxServer.h"
#include "influx/LogSample.h"
#include "influx/Preflight.h"

#include <map>
#include <string>

using namespace quarvel;

namespace preflight {

// The database with the policies named, each "INF" or a duration such as "2h".
inline void MakeDatabase(const std::string& database, const std::map<std::string, std::string>& policies) {
    testsupport::Query("CREATE DATABASE " + QuoteIdentifier(database));
    for (const auto& [name, duration] : policies) {
        const std::string shard = duration == "INF" ? "" : " SHARD DURATION 1h";
        testsupport::Query("CREATE RETENTION POLICY " + QuoteIdentifier(name) + " ON " + QuoteIdentifier(database) +
                           " DURATION " + duration + " REPLICATION 1" + shard);
    }
}

inline std::map<std::string, std::string> AllInf() {
    return {{"RP_Sec", "INF"}, {"RP_Min", "INF"}, {"RP_Hour", "INF"}, {"RP_Day", "INF"}};
}

inline void Drop(const std::string& database) {
    testsupport::Query("DROP DATABASE " + QuoteIdentifier(database));
}

}  // namespace preflight

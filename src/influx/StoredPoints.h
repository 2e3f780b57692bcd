#pragma once

// What the server holds of one kind, per tag: the points and the first and last time of
// each, and the points of each day, for comparing a node with its database.

#include "influx/ServerClient.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quarvel {

constexpr int64_t kDaySeconds = 86400;

struct StoredTag {
    uint64_t points = 0;
    int64_t first = 0;  // seconds since 1970, UTC
    int64_t last = 0;
    std::map<int64_t, uint64_t> days;  // points by the first second of their UTC day; days without none
};

// By the value of the name tag; points without one are the group "".
using StoredTags = std::map<std::string, StoredTag>;

// Counts the points of `measurement` in `retentionPolicy` of `database` per name tag and
// UTC day. The counts are asked for in windows of `windowSeconds` (whole days) from `from`
// up to `to` (seconds), so that no query has to scan years of raw history at once; points
// outside that span are not counted, but their tags and first and last times are found.
// False with `error` (and the HTTP status in `status`) when the server refuses a query.
// With `access.kind` VictoriaMetrics, its own query and export APIs are asked instead of
// InfluxQL: the series <measurement>_status labelled db and name.
bool CountStoredPoints(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                       const std::string& retentionPolicy, const std::string& measurement, int64_t from, int64_t to,
                       int64_t windowSeconds, StoredTags& tags, std::string& error, long& status);

// The time stamps (seconds, ascending) of the points of tag `name` in [from, to]; false as above.
bool StoredTimes(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                 const std::string& retentionPolicy, const std::string& measurement, const std::string& name,
                 int64_t from, int64_t to, std::vector<int64_t>& times, std::string& error, long& status);

}  // namespace quarvel

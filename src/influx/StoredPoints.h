#pragma once

// What the server holds of one kind, per tag: the points and the first and last time of
// each, for comparing a node with its database.

#include "influx/ServerClient.h"

#include <cstdint>
#include <map>
#include <string>

namespace quarvel {

struct StoredTag {
    uint64_t points = 0;
    int64_t first = 0;  // seconds since 1970, UTC
    int64_t last = 0;
};

// By the value of the name tag; points without one are the group "".
using StoredTags = std::map<std::string, StoredTag>;

// Counts the points of `measurement` in `retentionPolicy` of `database` per name tag. The
// counts are asked for in windows of `windowSeconds` from `from` up to `to` (seconds), so
// that no query has to scan years of raw history at once; points outside that span are not
// counted, but their tags and first and last times are found. False with `error` (and the
// HTTP status in `status`) when the server refuses a query.
bool CountStoredPoints(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                       const std::string& retentionPolicy, const std::string& measurement, int64_t from, int64_t to,
                       int64_t windowSeconds, StoredTags& tags, std::string& error, long& status);

}  // namespace quarvel

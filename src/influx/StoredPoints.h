#pragma once

// What the server holds of one kind, per tag: the points and the first and last time of
// each, and the points of each day, for comparing a node with its database.

#include "influx/ServerClient.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quarvel {

constexpr int64_t kDaySeconds = 86400;

// The first second of the UTC day of `seconds`, before 1970 too.
constexpr int64_t DayOf(int64_t seconds) {
    return seconds - ((seconds % kDaySeconds) + kDaySeconds) % kDaySeconds;
}

// The fields a conversion writes: a raw line has value, status and quality, a summary the
// four values, status and quality. All are floats to the server.
constexpr int kFieldCount = 7;
constexpr const char* kFieldName[kFieldCount] = {"value",      "last_value", "max_value", "min_value",
                                                 "mean_value", "status",     "quality"};
int FieldIndex(std::string_view name);  // -1 for none of ours

// The fields of one point, each as the server holds it: the float its text reads as.
struct FieldValues {
    std::array<double, kFieldCount> value{};
    uint8_t present = 0;  // bit i: field i is there
    bool Has(int field) const { return (present >> field & 1) != 0; }
    std::optional<double> Get(int field) const {
        return Has(field) ? std::optional(value[static_cast<size_t>(field)]) : std::nullopt;
    }
    void Set(int field, double v) {
        value[static_cast<size_t>(field)] = v;
        present = static_cast<uint8_t>(present | 1 << field);
    }
};

struct StoredPoint {
    int64_t time = 0;  // seconds since 1970, UTC
    FieldValues fields;
};

// Count, minimum, maximum and sum of each field over a span of points.
struct FieldAggregates {
    std::array<uint64_t, kFieldCount> count{};
    std::array<double, kFieldCount> min{};
    std::array<double, kFieldCount> max{};
    std::array<double, kFieldCount> sum{};
    std::array<double, kFieldCount> magnitude{};  // the sum of the absolute values, as far as it is kept
    void Add(const FieldValues& point);
};

struct StoredTag {
    uint64_t points = 0;
    int64_t first = 0;  // seconds since 1970, UTC
    int64_t last = 0;
    std::map<int64_t, uint64_t> days;               // points by the first second of their UTC day; days without none
    std::map<int64_t, FieldAggregates> aggregates;  // by day, when asked for
};

// By the value of the name tag; points without one are the group "".
using StoredTags = std::map<std::string, StoredTag>;

// What of a measurement a count asks for.
struct CountScope {
    bool ends = true;               // the first and last time of each tag; false: known already
    std::set<std::string> names{};  // these tags alone; empty: every tag
};

// Counts the points of `measurement` in `retentionPolicy` of `database` per name tag and
// UTC day, of the tags and with the first and last times `scope` asks for, adding them to
// `tags`; with `values`, the aggregates of every field per day too. The counts are asked for in windows of
// `windowSeconds` (whole days) from `from` up to `to` (seconds), so that no query has to scan years of raw history at
// once; points outside that span are not counted, but their tags and first and last times are found. False with `error`
// (and the HTTP status in `status`) when the server refuses a query. With `access.kind` VictoriaMetrics, its own query
// and export APIs are asked instead of InfluxQL: the series <measurement>_<field> labelled db and name.
bool CountStoredPoints(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                       const std::string& retentionPolicy, const std::string& measurement, int64_t from, int64_t to,
                       int64_t windowSeconds, StoredTags& tags, std::string& error, long& status, bool values = false,
                       const CountScope& scope = {});

// The points of tag `name` in [from, to], ascending: their time stamps, with `values` their
// fields too; false as above.
bool StoredPointsOf(const std::string& baseUrl, const ServerAccess& access, const std::string& database,
                    const std::string& retentionPolicy, const std::string& measurement, const std::string& name,
                    int64_t from, int64_t to, bool values, std::vector<StoredPoint>& points, std::string& error,
                    long& status);

}  // namespace quarvel

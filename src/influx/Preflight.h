#pragma once

// Checks of the server before a conversion writes: is it there, which server is it, do the
// database and the four retention policies exist, and will a policy's duration drop old
// samples. Creating what is missing is a separate call, so that it is always the operator's
// choice. VictoriaMetrics has neither databases nor policies: the database is a label, and
// one retention period (its -retentionPeriod) covers every kind.

#include "influx/LogSample.h"
#include "influx/ServerClient.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quarvel {

// Short limits: the window runs the checks on its own thread.
struct PreflightTimeouts {
    long connectSeconds = 3;
    long totalSeconds = 10;
};

struct RetentionPolicyState {
    bool exists = false;
    int64_t durationSeconds = 0;  // 0: INF, the server keeps points for ever
};

struct ServerCheck {
    enum class Outcome {
        kUnreachable,    // no answer to /ping, or not an InfluxDB 1.x answer
        kRefused,        // it answered the ping but not the queries (error says why)
        kLoginRefused,   // 401: the login is wrong, or the server needs one
        kWriteRefused,   // 403 to an empty write: the login may not write to the database
        kUnknownServer,  // it takes /write, but is neither InfluxDB 1.x nor VictoriaMetrics
        kChecked,
    };
    Outcome outcome = Outcome::kUnreachable;
    std::string url;                               // the base URL checked
    ServerKind serverKind = ServerKind::kUnknown;  // the server found, or as the operator named it
    std::string version;                           // as the server tells it; empty when not told
    std::string keeps;  // VictoriaMetrics: its retention period in words ("1 month"); empty when not read
    std::string error;
    std::string certificateProblem;  // why the server's certificate is not trusted, if it is not
    bool databaseExists = false;
    // False when the login may write but not read: the database showed only through the
    // empty write, and its retention policies could not be seen (they count as existing).
    bool readable = true;
    std::array<RetentionPolicyState, kTableKindCount> policies{};  // by TableKind
    // The kinds the node holds: only their policies are required and created.
    std::array<bool, kTableKindCount> needed{true, true, true, true};
    // The link's round trip as the ping timed it without the making of the connection.
    std::chrono::microseconds roundTrip{};

    bool Checked() const { return outcome == Outcome::kChecked; }
    bool Complete() const;  // checked, with the database and every needed policy
    // As a check after CreateDatabase would find it: the database, and each needed policy
    // that was missing keeping points for ever.
    void Created();
    // The needed policies that are missing, in kind order.
    std::vector<std::string> MissingPolicies() const;
    // The kind's policy is needed and missing: CreateDatabase makes it.
    bool PolicyMissing(int kind) const { return needed[kind] && (!databaseExists || !policies[kind].exists); }
    // "database Ry_X" and the missing policies' names, in kind order.
    std::vector<std::string> Missing(const std::string& database) const;
};

// GET /ping, and unless its answer names an InfluxDB version, /health and the version
// endpoint of VictoriaMetrics; with `access.kind` told, what it names is taken. On
// VictoriaMetrics its /flags give the retention period; on InfluxDB, SHOW DATABASES and
// SHOW RETENTION POLICIES over POST /query. Then an empty write to the database, which
// tells whether the login may write before anything is read. `database` is UTF-8, as the
// writer sends it.
ServerCheck CheckServer(const std::string& baseUrl, const std::string& database, const PreflightTimeouts& timeouts = {},
                        const ServerAccess& access = {});

// Shard groups of the policies a conversion creates. Years of history in the server's
// 7-day groups make hundreds of shards per policy; a year each keeps them few.
inline constexpr const char* kDefaultShardDuration = "52w";

// Creates the database (when `found` lacks it) and each missing policy that is needed,
// DURATION INF REPLICATION 1 SHARD DURATION `shardDuration`. False with `error` set at the
// first statement the server refuses.
bool CreateDatabase(const std::string& baseUrl, const std::string& database, const ServerCheck& found,
                    std::string& error, const PreflightTimeouts& timeouts = {}, const ServerAccess& access = {},
                    const std::string& shardDuration = kDefaultShardDuration);

// True for a duration as a policy statement takes it: a whole number and a unit, "52w", "30d", "168h".
bool IsDurationLiteral(const std::string& text);

// The oldest line time stamp (seconds since 1970, UTC) the conversion will write per kind.
using OldestLineTimes = std::array<std::optional<int64_t>, kTableKindCount>;

// What CreateDatabase made of what `before` lacked: "Created database Ry_X with the retention
// policies RP_Sec, RP_Min, RP_Hour and RP_Day (duration INF, shard groups of 52w)", or the
// policies alone.
std::string CreationText(const std::string& database, const ServerCheck& before,
                         const std::string& shardDuration = kDefaultShardDuration);

// "a, b, c and d", for the front ends' messages.
std::string JoinAnd(const std::vector<std::string>& parts);

// One text per kind whose policy keeps less than the age of its oldest sample at `now`:
// "RP_Min keeps 7d, but the oldest minute sample is 3 years old: the server will drop older points".
// On VictoriaMetrics one text for the node: "VictoriaMetrics at URL keeps 1 month; the node's
// oldest sample is from 2023-11-11: its points would be dropped. ...".
std::vector<std::string> RetentionWarnings(const ServerCheck& found, const OldestLineTimes& oldest, int64_t now);

// Seconds of a duration as the server prints it ("168h0m0s", "1h30m", "0s", "500ms"),
// truncated to whole seconds; nothing when the text is no such duration.
std::optional<int64_t> ParseServerDuration(const std::string& text);

// A -retentionPeriod of VictoriaMetrics ("1" is months, else a number and h, d, w or y): its
// seconds (a month is 31 days, a year 365) and its words ("1 month", "100 years"); nothing
// when the text is no such period.
std::optional<int64_t> ParseRetentionPeriod(const std::string& text, std::string& words);

// "INF", or the duration in the largest whole units: "7d", "1d12h", "90s".
std::string DurationText(int64_t seconds);

// "3 years", "40 days", "5 hours", "1 minute", "12 seconds": the largest unit that fits once.
std::string AgeText(int64_t seconds);

// An InfluxQL identifier in double quotes, with backslash, double quote and line break escaped;
// with quote '\'', a string literal.
std::string QuoteIdentifier(const std::string& name, char quote = '"');

}  // namespace quarvel

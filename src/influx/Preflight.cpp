#include "influx/Preflight.h"

#include "influx/Query.h"
#include "logging/Logging.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <future>
#include <iterator>
#include <string_view>
#include <system_error>

namespace quarvel {

namespace {

// A ping answered within this, the making of its connection included, came from next door.
constexpr std::chrono::milliseconds kAnsweredAtOnce{10};

HttpTimeouts Limits(const PreflightTimeouts& timeouts) {
    return HttpTimeouts{timeouts.connectSeconds, 0, timeouts.totalSeconds};
}

// Runs `exchange` over a connection of its own on a thread of its own; none when no thread
// can be made, and the caller makes the exchange itself when it comes to it.
template <typename Result>
std::future<Result> Ahead(std::function<Result(ServerClient& client)> exchange) {
    try {
        return std::async(std::launch::async, [exchange = std::move(exchange)] {
            ServerClient own(ServerClient::Use::kChecks);
            return exchange(own);
        });
    } catch (const std::system_error&) {
        return {};
    }
}

template <typename Result>
Result Taken(std::future<Result>& ahead, const std::function<Result(ServerClient& client)>& exchange,
             ServerClient& client) {
    return ahead.valid() ? ahead.get() : exchange(client);
}

std::string Plural(int64_t count, const char* unit) {
    return std::to_string(count) + " " + unit + (count == 1 ? "" : "s");
}

}  // namespace

bool ServerCheck::Complete() const {
    return Checked() && databaseExists && MissingPolicies().empty();
}

void ServerCheck::Created() {
    for (int kind = 0; kind < kTableKindCount; ++kind)
        if (PolicyMissing(kind)) policies[kind] = {true, 0};
    databaseExists = true;
}

std::vector<std::string> ServerCheck::MissingPolicies() const {
    std::vector<std::string> missing;
    for (int kind = 0; kind < kTableKindCount; ++kind)
        if (PolicyMissing(kind)) missing.emplace_back(kRetentionPolicy[kind]);
    return missing;
}

std::vector<std::string> ServerCheck::Missing(const std::string& database) const {
    if (!Checked()) return {};
    std::vector<std::string> missing = MissingPolicies();
    if (!databaseExists) missing.insert(missing.begin(), "database " + database);
    return missing;
}

std::string QuoteIdentifier(const std::string& name, char quote) {
    std::string quoted(1, quote);
    for (char c : name) {
        if (c == '\\' || c == quote) {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else {
            quoted += c;
        }
    }
    return quoted + quote;
}

namespace {

// A string member of a JSON object; empty when there is none.
std::string Member(const nlohmann::json& object, const char* key) {
    if (!object.is_object() || !object.contains(key) || !object[key].is_string()) return {};
    return object[key].get<std::string>();
}

// What /health and the build information of VictoriaMetrics tell of a server whose /ping
// named no InfluxDB version (a proxy may drop that header).
ServerKind Recognise(ServerClient& client, const std::string& baseUrl, const HttpTimeouts& limits,
                     const ServerAccess& access, std::string& version) {
    const HttpResult health = client.Get(EndpointUrl(baseUrl, "health"), limits, access);
    if (!health.Succeeded()) return ServerKind::kUnknown;
    // InfluxDB 1.8 and later name themselves there.
    const nlohmann::json about = nlohmann::json::parse(health.body, nullptr, false);
    if (Member(about, "name") == "influxdb") {
        version = Member(about, "version");
        return ServerKind::kInfluxDB;
    }
    if (health.body != "OK") return ServerKind::kUnknown;
    const HttpResult build = client.Get(EndpointUrl(baseUrl, "api/v1/status/buildinfo"), limits, access);
    const nlohmann::json info = nlohmann::json::parse(build.body, nullptr, false);
    if (!build.Succeeded() || Member(info, "status") != "success") return ServerKind::kUnknown;
    version = Member(info.value("data", nlohmann::json()), "version");
    return ServerKind::kVictoriaMetrics;
}

// VictoriaMetrics lists the flags it was started with at /flags; without -retentionPeriod it
// keeps its default, one month. Every kind counts as having a policy of that duration.
bool ReadRetention(ServerClient& client, const std::string& baseUrl, const HttpTimeouts& limits,
                   const ServerAccess& access, ServerCheck& check) {
    const HttpResult flags = client.Get(EndpointUrl(baseUrl, "flags"), limits, access);
    if (!flags.Succeeded()) {
        check.error = flags.curlCode != 0 ? flags.error : "/flags answered HTTP " + std::to_string(flags.status);
        if (flags.status == 401) check.outcome = ServerCheck::Outcome::kLoginRefused;
        return false;
    }
    constexpr std::string_view kFlag = "-retentionPeriod=\"";
    std::string period = "1";
    if (const size_t at = flags.body.find(kFlag); at != std::string::npos) {
        const size_t from = at + kFlag.size();
        period = flags.body.substr(from, flags.body.find('"', from) - from);
    }
    const std::optional<int64_t> seconds = ParseRetentionPeriod(period, check.keeps);
    if (!seconds) {
        check.error = "cannot read -retentionPeriod=" + period + " of /flags";
        return false;
    }
    for (RetentionPolicyState& policy : check.policies) policy = {true, *seconds};
    check.databaseExists = true;  // a label: the server makes it with the first point
    return true;
}

}  // namespace

ServerCheck CheckServer(const std::string& baseUrl, const std::string& database, const PreflightTimeouts& timeouts,
                        const ServerAccess& access) {
    ServerCheck check;
    check.url = baseUrl;
    const std::function<HttpResult(ServerClient&)> pingServer = [&](ServerClient& over) {
        return over.Get(EndpointUrl(baseUrl, "ping"), Limits(timeouts), access);
    };
    const std::function<QueryAnswer(ServerClient&)> showDatabases = [&](ServerClient& over) {
        return Query(over, baseUrl, "SHOW DATABASES", Limits(timeouts), access);
    };
    const std::function<QueryAnswer(ServerClient&)> showPolicies = [&](ServerClient& over) {
        return Query(over, baseUrl, "SHOW RETENTION POLICIES ON " + QuoteIdentifier(database), Limits(timeouts),
                     access);
    };
    const std::function<HttpResult(ServerClient&)> emptyWrite = [&](ServerClient& over) {
        return over.Post(EndpointUrl(baseUrl, "write", {{"db", database}}), std::string(), BodyEncoding::Identity,
                         Limits(timeouts), access);
    };
    // Each exchange costs a round trip to a server far away. A ping that is not answered at
    // once has the queries and the empty write go out meanwhile, each over a connection of
    // its own: those that an InfluxDB 1.x server, or one not recognised, is asked next (to
    // VictoriaMetrics only the empty write). Next door the ping goes alone, so that it times
    // the link rather than the other exchanges.
    std::future<HttpResult> pingAhead = Ahead(pingServer);
    std::future<QueryAnswer> databasesAhead;
    std::future<QueryAnswer> policiesAhead;
    std::future<HttpResult> writeAhead;
    if (pingAhead.valid() && pingAhead.wait_for(kAnsweredAtOnce) != std::future_status::ready) {
        if (access.kind != ServerKind::kVictoriaMetrics) {
            databasesAhead = Ahead(showDatabases);
            policiesAhead = Ahead(showPolicies);
        }
        writeAhead = Ahead(emptyWrite);
    }
    ServerClient client(ServerClient::Use::kChecks);
    const HttpResult ping = Taken(pingAhead, pingServer, client);
    if (ping.curlCode != 0) {
        check.error = ping.error;
        check.certificateProblem = CertificateProblem(ping);
        return check;
    }
    if (ping.status == 401) {
        check.outcome = ServerCheck::Outcome::kLoginRefused;
        check.error = ping.error;
        return check;
    }
    if (ping.status < 200 || ping.status >= 300) {
        check.error = "/ping answered HTTP " + std::to_string(ping.status);
        return check;
    }
    check.version = ping.serverVersion;
    check.roundTrip = ping.exchange;
    check.serverKind = access.kind;
    if (check.serverKind == ServerKind::kUnknown)
        check.serverKind = !check.version.empty() ? ServerKind::kInfluxDB
                                                  : Recognise(client, baseUrl, Limits(timeouts), access, check.version);
    check.outcome = ServerCheck::Outcome::kRefused;

    // A login that may not read gets 403 to a query: what it cannot see is left to the write.
    const auto refusedLogin = [&check](long status) {
        if (status != 401) return false;
        check.outcome = ServerCheck::Outcome::kLoginRefused;
        return true;
    };
    // To an InfluxDB 1.x server next door the policies query and the empty write go out
    // beside SHOW DATABASES.
    if (check.serverKind == ServerKind::kInfluxDB) {
        if (!policiesAhead.valid()) policiesAhead = Ahead(showPolicies);
        if (!writeAhead.valid()) writeAhead = Ahead(emptyWrite);
    }
    if (check.serverKind == ServerKind::kVictoriaMetrics) {
        if (!ReadRetention(client, baseUrl, Limits(timeouts), access, check)) return check;
    } else {
        // A server not recognised that answers the queries as InfluxDB 1.x does is one. Told
        // that it is one, a server that does not answer them is taken as not showing them.
        const QueryAnswer databases = Taken(databasesAhead, showDatabases, client);
        check.error = databases.error;
        const bool unseen =
            databases.status == 403 || (check.serverKind == ServerKind::kInfluxDB && databases.status != 401);
        if (!databases.Ran() && (refusedLogin(databases.status) || !unseen)) {
            if (check.outcome == ServerCheck::Outcome::kRefused && Taken(writeAhead, emptyWrite, client).Succeeded()) {
                check.outcome = ServerCheck::Outcome::kUnknownServer;
                check.error = "it takes /write, but answers neither as InfluxDB 1.x nor as VictoriaMetrics";
            }
            return check;
        }
        if (databases.Ran()) check.serverKind = ServerKind::kInfluxDB;
        check.readable = databases.Ran();
        for (const QuerySeries& series : databases.series)
            for (const nlohmann::json& row : series.rows)
                if (row.value("name", nlohmann::json()) == database) check.databaseExists = true;
        if (check.databaseExists) {
            const QueryAnswer policies = Taken(policiesAhead, showPolicies, client);
            check.error = policies.error;
            if (!policies.Ran() && (refusedLogin(policies.status) || policies.status != 403)) return check;
            check.readable = policies.Ran();
            for (const QuerySeries& series : policies.series)
                for (const nlohmann::json& row : series.rows) {
                    const nlohmann::json name = row.value("name", nlohmann::json());
                    const nlohmann::json duration = row.value("duration", nlohmann::json());
                    for (int kind = 0; kind < kTableKindCount; ++kind) {
                        if (name != kRetentionPolicy[kind]) continue;
                        check.policies[kind].exists = true;
                        const auto seconds =
                            duration.is_string() ? ParseServerDuration(duration.get<std::string>()) : std::nullopt;
                        check.policies[kind].durationSeconds = seconds.value_or(0);
                    }
                }
        }
    }

    // An empty write stores nothing; its answer says whether the login may write. A login
    // that may write but not read, which does not see the database listed, learns here
    // that it exists.
    {
        const HttpResult write = Taken(writeAhead, emptyWrite, client);
        // Only a refusal for good counts here; a busy or silent server is the run's to retry.
        if (write.curlCode == 0 && refusedLogin(write.status)) {
            check.error = write.error;
            return check;
        }
        if (write.curlCode == 0 && write.status == 403) {
            check.outcome = ServerCheck::Outcome::kWriteRefused;
            check.error = write.error;
            return check;
        }
        if (write.curlCode == 0 && write.status == 404) {
            check.databaseExists = false;
        } else if (write.Succeeded() && !check.databaseExists) {
            check.databaseExists = true;
            check.readable = false;
        }
    }
    if (!check.readable && check.databaseExists)
        for (RetentionPolicyState& policy : check.policies) policy.exists = true;  // not to be seen: taken as there
    check.outcome = ServerCheck::Outcome::kChecked;
    check.error.clear();
    return check;
}

bool IsDurationLiteral(const std::string& text) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits == 0 || digits > 9 || text[0] == '0') return false;
    static constexpr std::string_view kUnits[] = {"ns", "u", "\xC2\xB5", "ms", "s", "m", "h", "d", "w"};
    const std::string_view unit = std::string_view(text).substr(digits);
    return std::find(std::begin(kUnits), std::end(kUnits), unit) != std::end(kUnits);
}

bool CreateDatabase(const std::string& baseUrl, const std::string& database, const ServerCheck& found,
                    std::string& error, const PreflightTimeouts& timeouts, const ServerAccess& access,
                    const std::string& shardDuration) {
    if (!IsDurationLiteral(shardDuration)) {
        error = "the shard duration is a whole number and a unit such as 52w, not " + shardDuration;
        return false;
    }
    ServerClient client(ServerClient::Use::kChecks);
    const std::string name = QuoteIdentifier(database);
    std::vector<std::string> statements;
    if (!found.databaseExists) statements.push_back("CREATE DATABASE " + name);
    for (const std::string& policy : found.MissingPolicies())
        statements.push_back("CREATE RETENTION POLICY " + QuoteIdentifier(policy) + " ON " + name +
                             " DURATION INF REPLICATION 1 SHARD DURATION " + shardDuration);
    // One request for them all: a server a continent away answers each in a round trip. A
    // refusal is asked again one statement after the other, for the server's own reason (of
    // several, it may say no more than "not executed"); what was made stands as made.
    std::string all;
    for (const std::string& statement : statements) all += (all.empty() ? "" : "; ") + statement;
    if (statements.size() > 1 && Query(client, baseUrl, all, Limits(timeouts), access).Ran()) return true;
    for (const std::string& statement : statements) {
        const QueryAnswer answer = Query(client, baseUrl, statement, Limits(timeouts), access);
        if (!answer.Ran()) {
            error = statement + ": " + answer.error;
            return false;
        }
    }
    return true;
}

std::string JoinAnd(const std::vector<std::string>& parts) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += i + 1 == parts.size() ? " and " : ", ";
        text += parts[i];
    }
    return text;
}

std::string CreationText(const std::string& database, const ServerCheck& before, const std::string& shardDuration) {
    const std::vector<std::string> policies = before.MissingPolicies();
    const std::string kept = " (duration INF, shard groups of " + shardDuration + ")";
    const std::string named = (policies.size() == 1 ? "policy " : "policies ") + JoinAnd(policies);
    if (!before.databaseExists) return "Created database " + database + " with the retention " + named + kept;
    return "Created the retention " + named + " on " + database + kept;
}

std::vector<std::string> RetentionWarnings(const ServerCheck& found, const OldestLineTimes& oldest, int64_t now) {
    std::vector<std::string> warnings;
    if (found.serverKind == ServerKind::kVictoriaMetrics) {
        // It answers 204 to points older than its retention period and drops them.
        std::optional<int64_t> first;
        for (const std::optional<int64_t>& time : oldest)
            if (time && (!first || *time < *first)) first = time;
        if (first && found.policies[kRaw].durationSeconds > 0 && now - *first > found.policies[kRaw].durationSeconds)
            warnings.push_back("VictoriaMetrics at " + found.url + " keeps " + found.keeps +
                               "; the node's oldest sample is from " + UtcText(*first).substr(0, 10) +
                               ": its points would be dropped. Start it with -retentionPeriod covering the history, "
                               "or pass --accept-drop.");
        return warnings;
    }
    for (int kind = 0; kind < kTableKindCount; ++kind) {
        const RetentionPolicyState& policy = found.policies[kind];
        if (!policy.exists || policy.durationSeconds == 0 || !oldest[kind]) continue;
        const int64_t age = now - *oldest[kind];
        if (age <= policy.durationSeconds) continue;
        warnings.push_back(std::string(kRetentionPolicy[kind]) + " keeps " + DurationText(policy.durationSeconds) +
                           ", but the oldest " + kKindName[kind] + " sample is " + AgeText(age) +
                           " old: the server will drop older points");
    }
    return warnings;
}

std::optional<int64_t> ParseServerDuration(const std::string& text) {
    struct Unit {
        std::string_view name;
        double seconds;
    };
    // Longer names first, so that "ms" is not read as "m".
    static constexpr Unit kUnits[] = {{"ns", 1e-9}, {"us", 1e-6}, {"\xC2\xB5s", 1e-6}, {"ms", 1e-3}, {"h", 3600},
                                      {"m", 60},    {"s", 1}};
    std::string_view rest(text);
    if (rest.empty()) return std::nullopt;
    double total = 0;
    while (!rest.empty()) {
        size_t digits = 0;
        while (digits < rest.size() && (std::isdigit(static_cast<unsigned char>(rest[digits])) || rest[digits] == '.'))
            ++digits;
        if (digits == 0) return std::nullopt;
        double number = 0;
        try {
            number = std::stod(std::string(rest.substr(0, digits)));
        } catch (...) {
            return std::nullopt;
        }
        rest.remove_prefix(digits);
        const Unit* unit = nullptr;
        for (const Unit& candidate : kUnits)
            if (rest.starts_with(candidate.name)) {
                unit = &candidate;
                break;
            }
        if (unit == nullptr) return std::nullopt;
        rest.remove_prefix(unit->name.size());
        total += number * unit->seconds;
    }
    return static_cast<int64_t>(total);
}

std::optional<int64_t> ParseRetentionPeriod(const std::string& text, std::string& words) {
    static constexpr struct {
        char suffix;
        int64_t seconds;
        const char* name;
    } kUnits[] = {{'h', 3600, "hour"},
                  {'d', 86400, "day"},
                  {'w', int64_t{7} * 86400, "week"},
                  {'y', int64_t{365} * 86400, "year"}};
    const bool suffixed = !text.empty() && std::isalpha(static_cast<unsigned char>(text.back()));
    const std::string number = suffixed ? text.substr(0, text.size() - 1) : text;
    if (number.empty() || number.size() > 9 ||
        !std::all_of(number.begin(), number.end(), [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    const int64_t count = std::stoll(number);
    int64_t unit = int64_t{31} * 86400;  // a bare number counts months
    const char* name = "month";
    if (suffixed) {
        const auto* found = std::find_if(std::begin(kUnits), std::end(kUnits),
                                         [&text](const auto& candidate) { return candidate.suffix == text.back(); });
        if (found == std::end(kUnits)) return std::nullopt;
        unit = found->seconds;
        name = found->name;
    }
    words = Plural(count, name);
    return count * unit;
}

std::string DurationText(int64_t seconds) {
    if (seconds <= 0) return "INF";
    static constexpr struct {
        int64_t seconds;
        char letter;
    } kParts[] = {{86400, 'd'}, {3600, 'h'}, {60, 'm'}, {1, 's'}};
    std::string text;
    for (const auto& part : kParts) {
        if (seconds < part.seconds) continue;
        text += std::to_string(seconds / part.seconds) + part.letter;
        seconds %= part.seconds;
    }
    return text;
}

std::string AgeText(int64_t seconds) {
    static constexpr struct {
        int64_t seconds;
        const char* name;
    } kUnits[] = {{int64_t{365} * 86400, "year"}, {86400, "day"}, {3600, "hour"}, {60, "minute"}};
    for (const auto& unit : kUnits)
        if (seconds >= unit.seconds) return Plural(seconds / unit.seconds, unit.name);
    return Plural(seconds < 0 ? 0 : seconds, "second");
}

}  // namespace quarvel

#pragma once

// The server and how to reach it, from what the front end was told, the environment and
// the configuration file: a flag wins over the environment, which wins over the file,
// which wins over the defaults.
//
// Environment: QUARVEL_INFLUX_URL (the base URL), INFLUX_USERNAME, INFLUX_PASSWORD and
// INFLUX_TOKEN. A service's credentials "password" and "token" in $CREDENTIALS_DIRECTORY
// stand in for the last two when they are unset.
//
// The login comes whole from the first of flags, environment and file that names one (a
// user or a token; the environment's user wins over its token). A user and password in a
// URL count as named where the URL comes from, after that place's own user or token; they
// never stay in the URL that is shown. A user's password, unless the URL gave one, is the
// --password-file's, else INFLUX_PASSWORD, else the file's password-file when the file
// names no other user.
//
// The configuration file (kConfigFileName, INI) holds one section [server] with the keys
// url (one or more, separated by blanks or commas), username, password-file, token-file,
// ca-cert, insecure, consistency, gzip, jobs, codepage, timeout, max-refusals, shard-duration,
// max-rate and server-kind; the yes-or-no ones take true, false, yes, no, 1 or 0. A password or token
// is never written in it: password-file and token-file name files that hold them, and a URL
// in it carries no login. Relative file names are relative to the file's folder. Any other
// key of [server] is an error; other sections are not read.

#include "influx/Preflight.h"
#include "influx/RyInfluxDB.h"
#include "influx/ServerClient.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace quarvel {

struct SessionOptions;

// A whole-number setting: its key in the configuration file (and, after "--", its flag),
// its range and its value when nothing names it.
struct NumberSetting {
    const char* key;
    long low;
    long high;
    long fallback;
};
inline constexpr NumberSetting kJobs{"jobs", 1, 64, 0};                  // 0: one per core
inline constexpr NumberSetting kMaxRate{"max-rate", 0, 100000000, 0};    // 0: no limit
inline constexpr NumberSetting kMaxInFlight{"max-in-flight", 1, 64, 8};  // posts under way per writer
inline constexpr NumberSetting kMaxRefusals{"max-refusals", 1, 1000000, 3};
inline constexpr NumberSetting kTimeout{"timeout", 1, 1000000, 60};
inline constexpr std::array<const char*, 4> kConsistencies{"any", "one", "quorum", "all"};
inline constexpr std::array<const char*, 2> kServerKinds{"influxdb", "victoriametrics"};

// Why a value does not fit its setting, in words that name it; empty when it fits.
std::string ConsistencyProblem(const std::string& value);
std::string CodePageProblem(const std::string& value);  // an iconv name; empty: the locale's
std::string ShardDurationProblem(const std::string& value);
std::string ServerKindProblem(const std::string& value);  // influxdb or victoriametrics, in any case
std::string NumberProblem(const NumberSetting& setting, const std::string& value, long& number);

// What the front end was told; empty or unset: not told. Its values fit their settings.
struct ServerOptions {
    std::string configFile{};         // the configuration file to read instead of UserConfigFile(); it must exist
    std::vector<std::string> urls{};  // the server, or the nodes of a cluster or relay pair
    std::string username{};
    std::string passwordFile{};  // its first line is the password
    std::string token{};
    std::string tokenFile{};  // its first line is the token
    std::string caCertFile{};
    bool insecure = false;
    std::string consistency{};             // any, one, quorum or all: a cluster's write consistency
    std::optional<long> timeoutSeconds{};  // the stall limit of a post
    std::optional<int> maxRefusals{};
    std::string shardDuration{};       // of the policies a conversion creates
    std::string codePage{};            // of the tag and node names
    std::optional<bool> gzip{};        // compressed posts
    std::optional<int> jobs{};         // data-log files converted at once
    std::optional<long> maxRate{};     // lines per second over all jobs
    std::optional<int> maxInFlight{};  // posts under way at once per writer
    std::string serverKind{};          // influxdb or victoriametrics; empty: as the checks find it
};

struct ServerSettings {
    std::string url = kDefaultInfluxUrl;  // without user information
    std::vector<std::string> moreUrls;    // further nodes of a cluster or relay pair, likewise
    std::string consistency;              // empty: the server's default
    ServerAccess access;
    long timeoutSeconds = kTimeout.fallback;
    int maxRefusals = kMaxRefusals.fallback;  // batches in a row refused for good before a run stops
    std::string shardDuration = kDefaultShardDuration;
    std::string codePage;  // of the tag and node names, an iconv name such as CP950; empty: the locale's

    std::optional<bool> gzip;     // of a conversion; unset: the default (BuildSessionOptions)
    std::optional<int> jobs;      // likewise
    std::optional<long> maxRate;  // likewise
    int maxInFlight = static_cast<int>(kMaxInFlight.fallback);

    std::string configFile;  // the configuration file read; empty: none
};

inline constexpr const char* kConfigFileName = "quarvel.conf";

// The user's configuration file: $XDG_CONFIG_HOME/quarvel/quarvel.conf, or
// $HOME/.config/quarvel/quarvel.conf when XDG_CONFIG_HOME is unset, empty or relative;
// empty when neither names a folder. It need not exist.
std::string UserConfigFile();

// The target of the settings: the server's nodes, the login, the write consistency, the
// stall limit, the posts under way and the code page.
void ApplyServerSettings(const ServerSettings& settings, InfluxTarget& target);

// A conversion's options, as every front end builds them from its settings: the target, the
// jobs, gzip, max-rate, max-refusals and shard duration. The rest stays as it is.
void BuildSessionOptions(const ServerSettings& settings, SessionOptions& options);

// Why a run stopped once the server refused `refusals` batches in a row (`why`), and how to
// go on once the cause is fixed: the conversion again with `resume`.
std::string RefusalStopText(int refusals, const std::string& why, const std::string& resume);

// False with `error` when a named file cannot be read, a value makes no sense or a URL is
// not an http or https one. The configuration file is told.configFile, which must exist,
// else UserConfigFile() if it exists.
bool ResolveServer(const ServerOptions& told, ServerSettings& settings, std::string& error);

// The first line of a file, without its line break; false with `error` when it cannot be read.
bool ReadSecretFile(const std::string& path, std::string& secret, std::string& error);

}  // namespace quarvel

#pragma once

// The server and how to reach it, from what the front end was told, the environment and
// the configuration file: a flag wins over the environment, which wins over the file,
// which wins over the defaults.
//
// Environment: QUARVEL_INFLUX_URL (the base URL), INFLUX_USERNAME, INFLUX_PASSWORD and
// INFLUX_TOKEN.
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
// ca-cert, insecure, consistency, gzip, jobs, codepage, timeout, max-refusals,
// shard-duration and max-rate; the
// yes-or-no ones take true, false, yes, no, 1 or 0. A password or token is never written
// in it: password-file and token-file name files that hold them, and a URL in it carries
// no login. Relative file names are relative to the file's folder. Any other key of
// [server] is an error; other sections are not read.

#include "influx/Preflight.h"
#include "influx/RyInfluxDB.h"
#include "influx/ServerClient.h"

#include <optional>
#include <string>
#include <vector>

namespace quarvel {

// What the front end was told; empty or unset: not told.
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
    std::string shardDuration{};  // of the policies a conversion creates
};

struct ServerSettings {
    std::string url = kDefaultInfluxUrl;  // without user information
    std::vector<std::string> moreUrls;    // further nodes of a cluster or relay pair, likewise
    std::string consistency;              // empty: the server's default
    ServerAccess access;
    long timeoutSeconds = 60;
    int maxRefusals = 3;  // batches in a row refused for good before a run stops
    std::string shardDuration = kDefaultShardDuration;

    // What the configuration file says of the conversion itself (no flag of ServerOptions
    // names these: a front end's own flags win over them). Unset or empty: not said.
    std::optional<bool> gzip;     // compressed posts
    std::optional<int> jobs;      // data-log files converted at once, 1 to 64
    std::optional<long> maxRate;  // lines per second over all jobs; 0: no limit
    std::string codePage;         // of the tag and node names, an iconv name such as CP950

    std::string configFile;  // the configuration file read; empty: none
};

inline constexpr const char* kConfigFileName = "quarvel.conf";
inline constexpr long kMaxLineRate = 100000000;  // the highest --max-rate and max-rate

// The user's configuration file: $XDG_CONFIG_HOME/quarvel/quarvel.conf, or
// $HOME/.config/quarvel/quarvel.conf when XDG_CONFIG_HOME is unset, empty or relative;
// empty when neither names a folder. It need not exist.
std::string UserConfigFile();

// The target of the settings: the server's nodes, the login, the write consistency and the
// stall limit.
void ApplyServerSettings(const ServerSettings& settings, InfluxTarget& target);

// False with `error` when a named file cannot be read or a value makes no sense. The
// configuration file is told.configFile, which must exist, else UserConfigFile() if it
// exists.
bool ResolveServer(const ServerOptions& told, ServerSettings& settings, std::string& error);

// The first line of a file, without its line break; false with `error` when it cannot be read.
bool ReadSecretFile(const std::string& path, std::string& secret, std::string& error);

}  // namespace quarvel

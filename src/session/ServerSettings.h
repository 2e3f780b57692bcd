#pragma once

// The server and how to reach it, from what the front end was told and the environment:
// a flag wins over the environment, which wins over the defaults.
//
// Environment: QUARVEL_INFLUX_URL (the base URL), INFLUX_USERNAME, INFLUX_PASSWORD and
// INFLUX_TOKEN. A user and password in the URL count as given, unless a login is named
// otherwise; they never stay in the URL that is shown.

#include "influx/ServerClient.h"

#include <optional>
#include <string>
#include <vector>

namespace quarvel {

// What the front end was told; empty or unset: not told.
struct ServerOptions {
    std::string configFile;         // the configuration file to read instead of the usual one
    std::vector<std::string> urls;  // the server, or the nodes of a cluster or relay pair
    std::string username;
    std::string passwordFile;  // its first line is the password
    std::string token;
    std::string tokenFile;  // its first line is the token
    std::string caCertFile;
    bool insecure = false;
    std::string consistency;             // any, one, quorum or all: a cluster's write consistency
    std::optional<long> timeoutSeconds;  // the stall limit of a post
    std::optional<int> maxRefusals;
};

struct ServerSettings {
    std::string url = kDefaultInfluxUrl;  // without user information
    std::vector<std::string> moreUrls;    // further nodes of a cluster or relay pair, likewise
    std::string consistency;              // empty: the server's default
    ServerAccess access;
    long timeoutSeconds = 60;
    int maxRefusals = 3;  // batches in a row refused for good before a run stops
};

// False with `error` when a named file cannot be read or a value makes no sense.
bool ResolveServer(const ServerOptions& told, ServerSettings& settings, std::string& error);

// The first line of a file, without its line break; false with `error` when it cannot be read.
bool ReadSecretFile(const std::string& path, std::string& secret, std::string& error);

}  // namespace quarvel

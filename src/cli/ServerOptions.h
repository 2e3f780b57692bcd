#pragma once

// The options that name the server and the login, alike for every command that reaches
// the server: --config, --url, --username, --password-file, --token, --token-file,
// --ca-cert, --insecure, --timeout; and what convert, check and verify are told of the node.

#include "session/ServerSettings.h"
#include "session/Session.h"

#include <string>

namespace CLI {
class App;
}

namespace quarvel {

void AddServerOptions(CLI::App& command, ServerOptions& options);

// The settings from the options, the environment and the configuration file. A user named
// on a terminal without a password is asked for one, without echo, when `mayAsk`.
// kAllWritten, or the usage error's exit status (printed).
int ResolveServerSettings(const ServerOptions& options, ServerSettings& settings, bool mayAsk = true);

// --node, --folder, --database, --kind and --codepage (each command words their help), and the server.
struct NodeOptions {
    std::string kind = "datalog";
    std::string node;
    std::string folder;
    std::string database;
    std::string codePage;
    ServerOptions server;
};

// The session of `told`: its node, kind and database, the server's settings applied to its
// target, and the code page (the option's over the configuration file's). kAllWritten, or
// the usage error's exit status (printed).
int NodeSession(const NodeOptions& told, SessionOptions& options, ServerSettings& server, bool mayAsk = true);

// With --insecure: the warning, once per run, on the standard error stream and in the log.
void WarnIfInsecure(const ServerSettings& settings);

}  // namespace quarvel

#pragma once

// The options that name the server and the login, alike for every command that reaches
// the server: --config, --url, --username, --password-file, --token, --token-file,
// --ca-cert, --insecure, --server-kind, --timeout; and what convert, check and verify are told of the node.

#include "session/ServerSettings.h"
#include "session/Session.h"

#include <CLI/CLI.hpp>

#include <string>

namespace quarvel {

void AddServerOptions(CLI::App& command, ServerOptions& options);

// --<key> of a whole-number setting, within its range.
template <typename Int>
void AddNumberOption(CLI::App& command, const NumberSetting& setting, std::optional<Int>& into, const char* help) {
    command.add_option(std::string("--") + setting.key, into, help)->check(CLI::Range(setting.low, setting.high));
}
// The flag's check of a setting with a rule of its own (CodePageProblem, ...).
inline CLI::Validator Fits(std::string (*problem)(const std::string&)) {
    return {[problem](const std::string& value) { return problem(value); }, ""};
}

// The settings from the options, the environment and the configuration file. A user named
// on a terminal without a password is asked for one, without echo, when `mayAsk`.
// kAllWritten, or the usage error's exit status (printed).
int ResolveServerSettings(const ServerOptions& options, ServerSettings& settings, bool mayAsk = true);

// What convert, check and verify are told of the node, and the server.
struct NodeOptions {
    std::string kind = "datalog";
    std::string node;
    std::string folder;
    std::string database;
    bool databaseAlone = false;  // a database without a node or folder will do
    ServerOptions server;        // --codepage included
};

// How a command words the help of --kind, --node, --folder, --database and --codepage.
struct NodeHelp {
    const char* kind;
    const char* node;
    const char* folder;
    const char* database;
    const char* codePage;
};

// The node's options and the server's.
void AddNodeOptions(CLI::App& command, NodeOptions& options, const NodeHelp& help);

// The session of `told`: its node, kind and database, and the server's settings applied to
// its target, or for a `conversion` its whole options (BuildSessionOptions). A user without
// a password is asked for one unless the run is dry. kAllWritten, or the usage error's exit
// status (printed).
int NodeSession(const NodeOptions& told, SessionOptions& options, ServerSettings& server, bool conversion = false);

// With --insecure: the warning, once per run, on the standard error stream and in the log.
void WarnIfInsecure(const ServerSettings& settings);

}  // namespace quarvel

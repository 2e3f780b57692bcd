#pragma once

// The options that name the server and the login, alike for every command that reaches
// the server: --config, --url, --username, --password-file, --token, --token-file,
// --ca-cert, --insecure, --timeout.

#include "session/ServerSettings.h"

namespace CLI {
class App;
}

namespace quarvel {

void AddServerOptions(CLI::App& command, ServerOptions& options);

// The settings from the options, the environment and the configuration file. A user named
// on a terminal without a password is asked for one, without echo, when `mayAsk`.
// kAllWritten, or the usage error's exit status (printed).
int ResolveServerSettings(const ServerOptions& options, ServerSettings& settings, bool mayAsk = true);


// With --insecure: the warning, once per run, on the standard error stream and in the log.
void WarnIfInsecure(const ServerSettings& settings);

}  // namespace quarvel

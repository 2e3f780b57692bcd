#include "cli/ServerOptions.h"

#include "cli/Report.h"
#include "logging/Logging.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace quarvel {

namespace {

// One line from the terminal, not shown while it is typed.
bool AskPassword(const std::string& user, std::string& password) {
    if (isatty(STDIN_FILENO) == 0) return false;
    std::fprintf(stderr, "Password for %s: ", user.c_str());
    std::fflush(stderr);
    termios saved{};
    const bool quiet = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, password));
    if (quiet) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
    return read;
}

}  // namespace

void AddServerOptions(CLI::App& command, ServerOptions& options) {
    command
        .add_option("--config", options.configFile,
                    "Read the settings of [server] from FILE instead of $XDG_CONFIG_HOME/quarvel/quarvel.conf "
                    "(else ~/.config/quarvel/quarvel.conf); flags and the environment win over it")
        ->check(CLI::ExistingFile);
    command
        .add_option("--url", options.urls,
                    "InfluxDB base URL (also QUARVEL_INFLUX_URL); a path and query parameters are kept. Repeated: "
                    "the nodes of a cluster or relay pair, over which posts are spread")
        ->default_str(kDefaultInfluxUrl);
    command.add_option("--consistency", options.consistency, "Write consistency of a cluster: any, one, quorum or all")
        ->check(CLI::IsMember(kConsistencies));
    command.add_option("--username", options.username,
                       "Log in as this user (also INFLUX_USERNAME); the password comes from INFLUX_PASSWORD, "
                       "--password-file or, on a terminal, a prompt");
    command.add_option("--password-file", options.passwordFile, "File whose first line is the password")
        ->check(CLI::ExistingFile);
    command.add_option("--token", options.token,
                       "Send Authorization: Token TOKEN instead of a user and password (also INFLUX_TOKEN)");
    command.add_option("--token-file", options.tokenFile, "File whose first line is the token")
        ->check(CLI::ExistingFile);
    command
        .add_option("--ca-cert", options.caCertFile,
                    "Trust the certificates of this file (a private authority, or the server's own "
                    "self-signed certificate) instead of the system's")
        ->check(CLI::ExistingFile);
    command.add_flag("--insecure", options.insecure, "Do not check the https server's certificate at all");
    command
        .add_option("--server-kind", options.serverKind,
                    "influxdb or victoriametrics: what the server is when the checks cannot tell it (a proxy "
                    "that hides /ping, /health and the version endpoints)")
        ->check(CLI::IsMember(kServerKinds));
    AddNumberOption(command, kTimeout, options.timeoutSeconds,
                    "Seconds without a byte moving before a post is given up (and tried again); default 60");
    AddNumberOption(command, kMaxInFlight, options.maxInFlight,
                    "Posts of lines under way at once per job, at most: one at the server and as many more as "
                    "the link's round trip (timed by the check's ping) holds, half as many when the server is busy; "
                    "1 posts one batch after the other; default 8");
}

void AddNodeOptions(CLI::App& command, NodeOptions& options, const NodeHelp& help) {
    command.add_option("--node", options.node, help.node);
    command.add_option("--folder", options.folder, help.folder);
    command.add_option("--database", options.database, help.database);
    command.add_option("--kind", options.kind, help.kind)
        ->check(CLI::IsMember({"datalog", "rtdb"}))
        ->capture_default_str();
    command.add_option("--codepage", options.server.codePage, help.codePage)->check(Fits(CodePageProblem));
    AddServerOptions(command, options.server);
}

int ResolveServerSettings(const ServerOptions& options, ServerSettings& settings, bool mayAsk) {
    std::string error;
    if (!ResolveServer(options, settings, error)) return Usage(error);
    ServerAccess& access = settings.access;
    // Without a terminal the server decides whether an empty password will do.
    if (mayAsk && !access.username.empty() && access.password.empty() && !AskPassword(access.username, access.password))
        access.password.clear();
    return kAllWritten;
}

int NodeSession(const NodeOptions& told, SessionOptions& options, ServerSettings& server, bool conversion) {
    if (told.node.empty() && (told.databaseAlone ? told.database.empty() : told.folder.empty()))
        return Usage(told.databaseAlone ? "name a node (--node DIR) or a database (--database NAME)"
                                        : "name a node (--node DIR) or a folder (--folder DIR)");
    if (told.node.empty() && told.database.empty()) return Usage("--folder without --node needs --database NAME");
    options.kind = told.kind == "rtdb" ? SourceKind::kTables : SourceKind::kDataLog;
    options.node = told.node;
    options.folder = told.folder;
    options.database = told.database;
    if (const int status = ResolveServerSettings(told.server, server, !options.dryRun); status != kAllWritten)
        return status;
    if (conversion)
        BuildSessionOptions(server, options);
    else
        ApplyServerSettings(server, options.target);
    return kAllWritten;
}

void WarnIfInsecure(const ServerSettings& settings) {
    if (!settings.access.insecure) return;
    const char* warning =
        "Warning: --insecure: the server's certificate is not checked; anyone on the way can "
        "read and change what is sent";
    std::fprintf(stderr, "%s\n", warning);
    LogMessage("%s", warning);
}

}  // namespace quarvel

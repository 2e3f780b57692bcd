#include "cli/CheckCommand.h"

#include "cli/Report.h"
#include "cli/ServerOptions.h"
#include "logging/Logging.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

namespace quarvel {

namespace {

constexpr const char* kCheckExitCodes =
    "Exit status:\n"
    "  0  the server answered, the database and its four retention policies exist, and they keep every sample\n"
    "  1  all exist, but a retention policy is shorter than the age of its oldest sample (see the warnings)\n"
    "  2  the database or a retention policy is missing (convert --create-database creates them), or a usage "
    "error\n"
    "  3  the server could not be reached, or did not answer the checks";

constexpr int kWarnings = 1;

// On the standard error stream and in the log.
void Say(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    LogMessage("%s", text.c_str());
}

}  // namespace

void ConsoleQuestions::ServerUnusable(const ServerCheck& found) {
    Say("quarvel-cli: " + UnusableText(found, m_session.DatabaseUtf8(), m_session.Access(), UnusableDetail::kHints) +
        "; nothing was converted");
}

bool ConsoleQuestions::CreateMissing(const ServerCheck& found) {
    if (!m_createDatabase)
        Say("quarvel-cli: missing on " + found.url + ": " + JoinAnd(found.Missing(m_session.DatabaseUtf8())) +
            "; add --create-database to create them (duration INF); nothing was converted");
    return m_createDatabase;
}

void ConsoleQuestions::CreationFailed(const std::vector<std::string>& missing, const std::string& error) {
    Say("quarvel-cli: cannot create " + JoinAnd(missing) + ": " + error + "; nothing was converted");
}

void ConsoleQuestions::Created(const std::string& text) {
    Say(text);
}

bool ConsoleQuestions::ConvertDespite(const std::vector<std::string>& warnings) {
    for (const std::string& warning : warnings) Say("Warning: " + warning);
    return true;
}

bool ConsoleQuestions::DropAnyway(const std::string& text) {
    Say("quarvel-cli: " + text);
    return false;
}

CheckCommand::CheckCommand(CLI::App& app) {
    m_command = app.add_subcommand(
        "check",
        "Check the server without converting: that it answers, that the database and its retention policies "
        "RP_Sec, RP_Min, RP_Hour and RP_Day exist, and that each policy keeps the oldest sample of its kind "
        "in the node's data-log files (or, with --kind rtdb, its tables). Prints what it found.");
    m_told.databaseAlone = true;
    AddNodeOptions(*m_command, m_told,
                   {.kind = "Whose sample ages to check: datalog (*.DAT files) or rtdb (*.rdb tables)",
                    .node = "Node folder: the database Ry_<name>, the data-log folder of its sysinfo.ini",
                    .folder = "Data-log folder (with --kind rtdb: the folder of the tables)",
                    .database = "Database name; overrides Ry_<node>; alone, checks only the server",
                    .codePage = "Code page of the node's name (e.g. CP950); default: the locale's"});
    m_command->footer(kCheckExitCodes);
}

int CheckCommand::Run() const {
    SessionOptions options;
    ServerSettings server;
    if (const int status = NodeSession(m_told, options, server); status != kAllWritten) return status;
    const Session session(options);
    const std::string& database = session.DatabaseUtf8();
    if (database.empty()) return Usage("the database name cannot be read in code page " + options.target.codePage);
    const bool withFolder = !m_told.folder.empty() || !m_told.node.empty();
    if (withFolder && !session.FolderExists()) return Usage("the folder " + session.Folder() + " does not exist");
    const std::string& url = server.url;
    WarnIfInsecure(server);

    const ServerReport report = session.CheckOnly(withFolder);
    const ServerCheck& found = report.found;
    if (found.outcome == ServerCheck::Outcome::kUnreachable) {
        const std::string why = found.certificateProblem.empty()
                                    ? found.error
                                    : found.certificateProblem + "; add --ca-cert FILE or --insecure";
        std::printf("Server:   %s cannot be reached: %s\n", url.c_str(), why.c_str());
        return kServerUnreachable;
    }
    if (found.outcome == ServerCheck::Outcome::kLoginRefused || found.outcome == ServerCheck::Outcome::kWriteRefused) {
        std::printf("Login:    %s\n", UnusableText(found, database, server.access, UnusableDetail::kHints).c_str());
        return kUsageError;
    }
    const bool victoria = found.serverKind == ServerKind::kVictoriaMetrics;
    if (found.outcome == ServerCheck::Outcome::kUnknownServer) {
        std::printf("Server:   %s\n", UnusableText(found, database, server.access, UnusableDetail::kHints).c_str());
        return kUsageError;
    }
    std::printf("Server:   %s, %s %s\n", url.c_str(), victoria ? "VictoriaMetrics" : "InfluxDB",
                found.version.empty() ? "(version not told)" : found.version.c_str());
    if (!found.Checked()) {
        std::printf("Checks:   failed: %s\n", found.error.c_str());
        return kServerUnreachable;
    }
    if (victoria)
        std::printf("Database: %s, a label of every point (no database or policy to create)\n", database.c_str());
    else
        std::printf("Database: %s %s\n", database.c_str(), found.databaseExists ? "exists" : "is missing");
    const auto now = static_cast<int64_t>(time(nullptr));
    for (int kind = 0; kind < kTableKindCount; ++kind) {
        const RetentionPolicyState& policy = found.policies[kind];
        std::string line = std::string(kRetentionPolicy[kind]) + ":";
        line.resize(10, ' ');
        line += victoria        ? "keeps " + found.keeps + " (-retentionPeriod)"
                : policy.exists ? "keeps " + DurationText(policy.durationSeconds)
                                : std::string("missing");
        if (report.oldest[kind])
            line += "; oldest " + std::string(kKindName[kind]) + " sample " +
                    UtcText(*report.oldest[kind], UtcStyle::kWords) + ", " + AgeText(now - *report.oldest[kind]) +
                    " old";
        else if (withFolder)
            line += std::string("; no ") + kKindName[kind] + " samples";
        std::printf("%s\n", line.c_str());
    }
    if (!found.Complete()) {
        std::printf("Missing:  %s; convert --create-database creates them (duration INF)\n",
                    JoinAnd(found.Missing(database)).c_str());
        return kUsageError;
    }
    for (const std::string& path : session.Found().irregular)
        std::printf("Skipped:  %s: not a regular file\n", path.c_str());
    for (const std::string& warning : report.warnings) std::printf("Warning:  %s\n", warning.c_str());
    return report.warnings.empty() ? kAllWritten : kWarnings;
}

}  // namespace quarvel

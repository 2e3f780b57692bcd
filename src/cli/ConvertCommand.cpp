#include "cli/ConvertCommand.h"

#include "cli/CheckCommand.h"
#include "cli/DryRunFile.h"
#include "cli/RepostCommand.h"
#include "cli/StopSignal.h"
#include "cli/VerifyCommand.h"
#include "logging/Logging.h"

#include <cstdio>

namespace quarvel {

void AddConversionOptions(CLI::App& command, NodeOptions& told, bool& createDatabase) {
    AddNodeOptions(command, told,
                   {.kind = "Kind of history: datalog (the *.DAT files) or rtdb (the *.rdb tables)",
                    .node = "Node folder; its name gives the database Ry_<name>, its sysinfo.ini "
                            "([NODE_INFO] DATA_LOG_FOLDER) or Log sub-folder the data-log folder",
                    .folder = "Data-log folder (with --kind rtdb: the folder of the tables); overrides the node's",
                    .database = "Database name; overrides Ry_<node>, required with --folder alone",
                    .codePage = "Code page of the tag names (e.g. CP950); default: the locale's"});
    AddNumberOption(command, kMaxRefusals, told.server.maxRefusals,
                    "Stop after the files under way once this many batches in a row were refused for good "
                    "(the login, a right, the database); default 3");
    command
        .add_option("--shard-duration", told.server.shardDuration,
                    "Shard groups of the retention policies --create-database makes (a whole number and "
                    "a unit: 52w, 30d, 168h); default 52w, so that years of history make few shards")
        ->check(Fits(ShardDurationProblem));
    AddNumberOption(command, kJobs, told.server.jobs,
                    "Data-log files converted at once, each with its own posts; 1 converts them one by "
                    "one in listing order; default: one per core");
    AddNumberOption(command, kMaxRate, told.server.maxRate,
                    "Lines per second at most, over all jobs, for a historian busy with live writes; "
                    "0: as fast as the server takes them (default)");
    AddGzipOption(command, told.server.gzip);
    command.add_flag("--create-database", createDatabase,
                     "Create the database and the retention policies that are missing (duration INF); "
                     "without it a missing one stops the conversion before anything is written");
}

int CheckFolder(const Session& session, const NodeOptions& told) {
    if (session.FolderExists()) return kAllWritten;
    return Usage((session.Kind() == SourceKind::kTables ? "the table folder " : "the data-log folder ") +
                 session.Folder() + " does not exist" +
                 (told.folder.empty() ? " (taken from the node; name another with --folder)" : ""));
}

int StartSession(Session& session, const ServerSettings& server, bool dryRun, bool createDatabase) {
    InitLogging();
    LogMessage("Quarvel Start");
    if (!dryRun) WarnIfInsecure(server);
    ConsoleQuestions questions(session, createDatabase);
    if (const int status = session.Prepare(questions); status != kAllWritten) {
        LogMessage("Quarvel Exit");
        ShutdownLogging();
        return status;
    }
    if (!session.JournalProblem().empty() && !session.Follows())  // follow ends at once without one
        std::fprintf(stderr, "quarvel-cli: no journal (%s): a later --resume converts every file again\n",
                     session.JournalProblem().c_str());
    return kAllWritten;
}

ConvertCommand::ConvertCommand(CLI::App& app) {
    m_command = app.add_subcommand(
        "convert",
        "Convert a node's history: its data-log files (every *.DAT file in the sub-folders of the data-log "
        "folder) or, with --kind rtdb, its tables (every *.rdb file in that folder, named through its Tags.rdb). "
        "Every sample becomes line protocol, posted 10000 lines at a time into the database Ry_<node>, one "
        "retention policy per kind (RP_Sec, RP_Min, RP_Hour, RP_Day). The server is checked first: the database and "
        "its policies must exist (or --create-database), and a policy shorter than the age of its oldest sample "
        "is warned of.");
    AddConversionOptions(*m_command, m_told, m_createDatabase);
    m_command->add_option("--output", m_output,
                          "Dry run: write the line protocol to FILE ('-' for standard output) "
                          "instead of posting it, with the context lines that influx -import reads; "
                          "a FILE ending in .gz is compressed (influx -import -compressed)");
    m_command->add_flag("--accept-drop", m_acceptDrop,
                        "Convert into a VictoriaMetrics whose -retentionPeriod is shorter than the node's "
                        "history, which drops the older points; without it such a run stops before it writes");
    m_command->add_flag("--resume", m_resume,
                        "Post only what an earlier conversion into the database did not store: the records "
                        "appended to a data-log file since, a table's newer samples; a file unchanged since is "
                        "skipped, one rewritten or cut shorter converted whole (the journal "
                        "Logs/journal/<database>.journal)");
    m_command->add_flag("--quiet", m_quiet, "Print only the summary");
    m_command
        ->add_option("--progress-interval", m_progressInterval,
                     "When standard error is no terminal (a log file, a service): seconds between plain "
                     "progress lines (files, lines, rate, time left); 0 for none")
        ->check(CLI::Range(0, 86400))
        ->capture_default_str();
    m_command->add_flag("--verify", m_verify,
                        "After the conversion, compare the node with what the server holds (as quarvel-cli "
                        "verify) and print its summary; points missing make the exit status 1");
    m_command->add_flag("--repair", m_repair,
                        "With --verify: post the points still missing again (as quarvel-cli verify --repair) "
                        "and print what was repaired");
    AddRetryOption(*m_command, m_retry);
    m_command->footer(kExitCodes);
}

int ConvertCommand::Run() const {
    if (m_resume && !m_output.empty()) return Usage("--resume does not go with --output");
    if (m_verify && !m_output.empty()) return Usage("--verify does not go with --output");
    if (m_repair && !m_verify) return Usage("--repair goes with --verify");

    SessionOptions request;
    request.dryRun = !m_output.empty();
    ServerSettings server;
    if (const int status = NodeSession(m_told, request, server, true); status != kAllWritten) return status;
    request.resume = m_resume;
    request.acceptDrop = m_acceptDrop;
    request.target.retry = m_retry;
    DryRunFile output;
    if (request.dryRun) request.target.post = output.Post();

    Session session(request);
    if (const int status = CheckFolder(session, m_told); status != kAllWritten) return status;
    if (std::string error; request.dryRun && !output.Open(m_output, session.DatabaseUtf8(), error)) return Usage(error);

    if (const int status = StartSession(session, server, request.dryRun, m_createDatabase); status != kAllWritten)
        return status;

    ConsoleProgress console(m_quiet, session.Found(), std::chrono::seconds(m_progressInterval));
    int status = kAllWritten;
    bool interrupted = false;
    {
        const StopSignal stopSignal([&console, &session] {
            console.Line("Stopping after the files under way (Ctrl-C again ends at once)");
            session.RequestStop();
        });
        status = session.Run(console);
        interrupted = stopSignal.Received();
    }
    console.Finish();
    PrintSummary(session.Database(), request.dryRun, session.Totals(), console.Elapsed());
    if (interrupted) std::fputs("quarvel-cli: stopped; run again with --resume to convert the rest\n", stderr);
    if (!session.RefusedWith().empty())
        std::fprintf(stderr, "Stopped:           %s\n",
                     RefusalStopText(request.maxRefusals, session.RefusedWith(), "--resume").c_str());
    bool outputClosed = true;
    if (std::string error; request.dryRun && !output.Close(error)) {
        std::fprintf(stderr, "quarvel-cli: cannot write %s: %s\n", m_output.c_str(), error.c_str());
        outputClosed = false;
    }

    int verified = kAllWritten;
    if (m_verify && !interrupted) {
        Verification result;
        Repairing repairing;
        std::string error;
        verified = m_repair ? Repair(request, false, result, repairing, error) : Verify(request, result, error);
        if (error.empty()) {
            if (m_repair) PrintRepair(repairing, result);
            PrintVerification(result);
        } else
            std::fprintf(stderr, "quarvel-cli: verify: %s\n", error.c_str());
    }

    LogMessage("Quarvel Exit");
    ShutdownLogging();
    if (interrupted) return kStoppedBySignal;
    if (status == kAllWritten && !outputClosed) return kLinesNotWritten;
    // What the conversion left short, the repair put back: the database is whole.
    if (m_repair && verified == kAllWritten) return kAllWritten;
    return status != kAllWritten ? status : verified;
}

}  // namespace quarvel

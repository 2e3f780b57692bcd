#include "cli/FollowCommand.h"

#include "cli/ConvertCommand.h"
#include "cli/RepostCommand.h"
#include "cli/StopSignal.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"
#include "session/Follow.h"

#include <cstdio>

namespace quarvel {

namespace {

constexpr const char* kFollowExitCodes =
    "Exit status:\n"
    "  0  stopped by SIGTERM or Ctrl-C; the journal holds all that was stored\n"
    "  1  the server refused batch after batch for good (--max-refusals): a login, a right or the database\n"
    "  2  usage error: bad options, a missing folder, a journal that cannot be written, or the database\n"
    "     or a retention policy is missing (add --create-database)\n"
    "  3  the server could not be reached or did not answer the checks at the start\n"
    "A service manager that restarts follow on failure resumes it from the journal.";

}  // namespace

FollowCommand::FollowCommand(CLI::App& app) {
    m_command = app.add_subcommand(
        "follow",
        std::string("Follow a live node: convert what the journal lacks, as convert --resume does, then keep "
                    "watching the data-log folder (its sub-folders, new sub-folders and files, appended records) "
                    "or, with --kind rtdb, the tables, and post each change within --latency seconds. File-system "
                    "events tell of changes where the file system gives them; a rescan every --rescan seconds "
                    "finds the rest. Batches the server could not take go to ") +
            kUnsentFolder +
            "/; while the server is away it is probed, and once it answers they are posted again by themselves. "
            "SIGTERM or Ctrl-C ends the posts under way, records the journal and exits 0; a follow started again "
            "(also after kill -9) posts only what the journal lacks.");
    AddConversionOptions(*m_command, m_told, m_createDatabase);
    m_command->add_option("--rescan", m_rescan, "Seconds between full rescans, for shares without file-system events")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    m_command
        ->add_option("--latency", m_latency,
                     "Seconds at most from a record landing on disk to its post; posts still carry up to 10000 "
                     "lines of one kind, and when the latency is due, what there is")
        ->check(CLI::Range(1, 3600))
        ->capture_default_str();
    m_command->add_flag("--quiet", m_quiet, "Tell nothing of the catching up but its problems");
    m_command
        ->add_option("--progress-interval", m_progressInterval,
                     "Seconds between health lines: the lag (the age of the oldest change on disk not yet "
                     "stored), lines per second and the lines waiting in Logs/unsent; 0 for none")
        ->check(CLI::Range(0, 86400))
        ->capture_default_str();
    m_command->add_option("--metrics", m_metrics,
                          "Write the health figures to FILE in Prometheus text format, for the node exporter's "
                          "textfile collector (FILE ending in .prom), replaced whole each time");
    AddRetryOption(*m_command, m_retry);
    m_command->footer(kFollowExitCodes);
}

int FollowCommand::Run() const {
    SessionOptions request;
    ServerSettings server;
    if (const int status = NodeSession(m_told, request, server, true); status != kAllWritten) return status;
    request.resume = true;
    request.follow = true;
    request.target.retry = m_retry;
    Session session(request);
    if (const int status = CheckFolder(session, m_told); status != kAllWritten) return status;
    if (const int status = StartSession(session, server, false, m_createDatabase); status != kAllWritten) return status;

    FollowOptions options;
    options.rescan = std::chrono::seconds(m_rescan);
    options.latency = std::chrono::seconds(m_latency);
    options.healthInterval = std::chrono::seconds(m_progressInterval);
    options.metricsFile = m_metrics;
    options.say = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
    Follow follow(session, options);
    ConsoleProgress catchUp(m_quiet, session.Found(), std::chrono::seconds(m_progressInterval));
    ConsoleProgress cycles(true, session.Found(), std::chrono::seconds(0));  // their lines go to the log alone
    int status = kAllWritten;
    {
        const StopSignal stopSignal([&follow] {
            std::fputs("Stopping after the files under way (Ctrl-C again ends at once)\n", stderr);
            follow.RequestStop();
        });
        status = follow.Run(catchUp, cycles);
    }
    catchUp.Finish();
    std::fprintf(stderr, "Database:          %s\nLines written:     %s\nElapsed:           %.2f s\n",
                 session.Database().c_str(), Thousands(follow.LinesWritten()).c_str(), catchUp.Elapsed());
    if (!session.RefusedWith().empty())
        std::fprintf(stderr, "Stopped:           %s\n",
                     RefusalStopText(request.maxRefusals, session.RefusedWith(), "quarvel-cli follow").c_str());
    LogMessage("Quarvel Exit");
    ShutdownLogging();
    return status;
}

}  // namespace quarvel

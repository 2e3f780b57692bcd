#include "cli/RepostCommand.h"

#include "cli/Report.h"
#include "cli/ServerOptions.h"
#include "cli/StopSignal.h"
#include "influx/HttpPost.h"
#include "influx/Repost.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"

#include <atomic>
#include <cstdio>
#include <thread>

namespace quarvel {

namespace {

constexpr const char* kRepostExitCodes =
    "Exit status:\n"
    "  0  every batch was delivered and its file removed (or there was nothing to send)\n"
    "  1  the server refused some batches; they stay in their files (see Logs/Quarvel.log)\n"
    "  2  usage error, or a file that is no unsent-line file\n"
    "  3  the server could not be reached for some batches; they stay in their files\n"
    "  130  stopped by Ctrl-C (SIGINT or SIGTERM) after the batch under way; the batches not yet sent stay in their "
    "files";

}  // namespace

void AddRetryOption(CLI::App& command, RetryPolicy& policy) {
    command
        .add_option_function<long>(
            "--retry-delay-ms", [&policy](long ms) { policy.firstDelay = std::chrono::milliseconds(ms); },
            "Wait before a batch's second try, doubled for each later one")
        ->check(CLI::Range(0L, 60000L))
        ->group("");  // hidden
}

void AddGzipOption(CLI::App& command, std::optional<bool>& gzip) {
    CLI::Option* on = command.add_flag_callback(
        "--gzip", [&gzip] { gzip = true; },
        "Compress the posts (Content-Encoding: gzip); the default for a server on another machine");
    CLI::Option* off = command.add_flag_callback(
        "--no-gzip", [&gzip] { gzip = false; },
        "Post plain bodies; the default for a server on this machine (localhost, 127.x.x.x, ::1)");
    on->excludes(off);
}

RepostCommand::RepostCommand(CLI::App& app) {
    m_command = app.add_subcommand(
        "repost", std::string("Post the unsent-line files again (by default every file in ") + kUnsentFolder +
                      "/): the batches a conversion could not deliver. Each batch the server stores whole is taken out "
                      "of its file, and a file with nothing left is removed; the rest stays for a later repost.");
    m_command->add_option("FILE", m_files, "Unsent-line files to post; default: all of them")->check(CLI::ExistingFile);
    AddServerOptions(*m_command, m_server);
    m_command->add_flag("--quiet", m_quiet, "Print only the summary");
    AddGzipOption(*m_command, m_server.gzip);
    AddRetryOption(*m_command, m_retry);
    m_command->footer(kRepostExitCodes);
}

int RepostCommand::Run() const {
    const std::vector<std::string> files = m_files.empty() ? ListUnsentFiles(kUnsentFolder) : m_files;
    if (files.empty()) {
        std::fprintf(stderr, "No unsent-line files in %s/: nothing to send\n", kUnsentFolder);
        return kAllWritten;
    }
    ServerSettings server;
    if (const int status = ResolveServerSettings(m_server, server); status != kAllWritten) return status;
    InitLogging();
    LogMessage("Quarvel Start");
    WarnIfInsecure(server);
    // The first Ctrl-C ends the run after the batch under way, so that what was delivered
    // leaves its file; a second one ends the program at once.
    std::atomic<bool> interrupted{false};
    const StopSignal stopSignal([&interrupted] { interrupted = true; });
    auto say = [this](const std::string& text) {
        if (!m_quiet) std::fprintf(stderr, "%s\n", text.c_str());
        LogMessage("%s", text.c_str());
    };

    InfluxTarget target;
    ApplyServerSettings(server, target);
    target.gzip = server.gzip.value_or(GzipByDefault(server.url));
    target.retry = m_retry;
    target.onRetry = [&say](const RetryNotice& notice) { say(RetryText(notice)); };
    // Waits in short steps, so that Ctrl-C is not held up by a long one.
    target.wait = [&interrupted](std::chrono::milliseconds delay) {
        const auto end = std::chrono::steady_clock::now() + delay;
        while (!interrupted && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                end - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
    };

    auto problem = [](const std::string& error) {
        std::fprintf(stderr, "quarvel-cli: %s\n", error.c_str());
        LogMessage("%s", error.c_str());
    };
    const RepostTally tally = Repost(files, target, interrupted, say, problem);
    if (interrupted) say("Interrupted: the batches not yet sent stay in their files");

    std::fprintf(stderr,
                 "Files:             %zu\n"
                 "Batches delivered: %s\n"
                 "Lines delivered:   %s\n"
                 "Batches left:      %s\n"
                 "Lines left:        %s\n",
                 files.size(), Thousands(tally.batchesDelivered).c_str(), Thousands(tally.linesDelivered).c_str(),
                 Thousands(tally.batchesLeft).c_str(), Thousands(tally.linesLeft).c_str());
    if (tally.batchesLeft > 0)
        std::fprintf(stderr, "The lines left stay in %s; quarvel-cli repost sends them once the server takes them\n",
                     m_files.empty() ? (std::string(kUnsentFolder) + "/").c_str() : "their files");
    LogMessage("Quarvel Exit");
    ShutdownLogging();

    if (interrupted) return kStoppedBySignal;
    if (tally.unanswered) return kServerUnreachable;
    if (tally.batchesLeft > 0) return kLinesNotWritten;
    if (tally.unreadable > 0) return kUsageError;
    return kAllWritten;
}

}  // namespace quarvel

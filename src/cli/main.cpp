// quarvel-cli: the headless front end. Converts a node's history into InfluxDB from a
// terminal or a script, and writes sample nodes for trials.

#include "cli/CheckCommand.h"
#include "cli/DryRunFile.h"
#include "cli/Report.h"
#include "cli/RepostCommand.h"
#include "cli/ServerOptions.h"
#include "cli/StopSignal.h"
#include "cli/TableCommands.h"
#include "cli/VerifyCommand.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"
#include "platform/CodePage.h"
#include "sample/SampleNode.h"
#include "session/Session.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <optional>

using namespace quarvel;

namespace {

struct ConvertOptions {
    NodeOptions source;
    std::string output;
    bool quiet = false;
    bool createDatabase = false;
    bool resume = false;
    bool verify = false;
    std::optional<bool> gzip;
    RetryPolicy retry;
    std::optional<int> jobs;
    std::optional<long> maxRate;
    int progressInterval = ConsoleProgress::kPlainInterval.count();
};

int RunConvert(const ConvertOptions& options) {
    const NodeOptions& source = options.source;
    if (source.node.empty() && source.folder.empty())
        return Usage("name a node (--node DIR) or a folder (--folder DIR)");
    if (source.node.empty() && source.database.empty()) return Usage("--folder without --node needs --database NAME");
    if (std::string ignored; !platform::ConvertToUtf8("", source.codePage, ignored))
        return Usage("unknown code page: " + source.codePage);
    if (options.resume && !options.output.empty()) return Usage("--resume does not go with --output");
    if (options.verify && !options.output.empty()) return Usage("--verify does not go with --output");

    SessionOptions request;
    request.dryRun = !options.output.empty();
    ServerSettings server;
    if (const int status = NodeSession(source, request, server, !request.dryRun); status != kAllWritten) return status;
    request.resume = options.resume;
    request.target.retry = options.retry;
    // An option wins over the configuration file.
    request.jobs = options.jobs.value_or(server.jobs.value_or(DefaultJobs()));
    request.maxRate = static_cast<uint64_t>(options.maxRate.value_or(server.maxRate.value_or(0)));
    request.gzip = options.gzip ? options.gzip : server.gzip;
    request.maxRefusals = server.maxRefusals;
    request.shardDuration = server.shardDuration;
    DryRunFile output;
    if (request.dryRun) request.target.post = output.Post();

    Session session(request);
    if (!session.FolderExists())
        return Usage((request.kind == SourceKind::kTables ? "the table folder " : "the data-log folder ") +
                     session.Folder() + " does not exist" +
                     (source.folder.empty() ? " (taken from the node; name another with --folder)" : ""));
    if (std::string error; request.dryRun && !output.Open(options.output, session.DatabaseUtf8(), error))
        return Usage(error);

    InitLogging();
    LogMessage("Quarvel Start");
    if (!request.dryRun) WarnIfInsecure(server);
    ConsoleQuestions questions(session, options.createDatabase);
    if (const int status = session.Prepare(questions); status != kAllWritten) {
        LogMessage("Quarvel Exit");
        ShutdownLogging();
        return status;
    }
    if (!session.JournalProblem().empty())
        std::fprintf(stderr, "quarvel-cli: no journal (%s): a later --resume converts every file again\n",
                     session.JournalProblem().c_str());

    ConsoleProgress console(options.quiet, session.Found(), std::chrono::seconds(options.progressInterval));
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
        std::fprintf(stderr,
                     "Stopped:           %d batches in a row were refused (%s); they are saved in %s/. Once the "
                     "cause is fixed, convert again with --resume for the rest\n",
                     server.maxRefusals, session.RefusedWith().c_str(), kUnsentFolder);
    bool outputClosed = true;
    if (std::string error; request.dryRun && !output.Close(error)) {
        std::fprintf(stderr, "quarvel-cli: cannot write %s: %s\n", options.output.c_str(), error.c_str());
        outputClosed = false;
    }

    int verified = kAllWritten;
    if (options.verify && !interrupted) {
        Verification result;
        std::string error;
        verified = Verify(request, result, error);
        if (error.empty())
            PrintVerification(result);
        else
            std::fprintf(stderr, "quarvel-cli: verify: %s\n", error.c_str());
    }

    LogMessage("Quarvel Exit");
    ShutdownLogging();
    if (interrupted) return kStoppedBySignal;
    if (status == kAllWritten && !outputClosed) return kLinesNotWritten;
    return status != kAllWritten ? status : verified;
}

int RunMakeSample(const std::string& folder, const SampleNodeOptions& options) {
    SampleNodeResult result;
    std::string error;
    if (!MakeSampleNode(folder, options, result, error)) {
        std::fprintf(stderr, "quarvel-cli: %s\n", error.c_str());
        return kUsageError;
    }
    const uint64_t summaryRows = result.tableRows[kMinute] + result.tableRows[kHour] + result.tableRows[kDay];
    std::printf(
        "Sample node %s: %d files, %s raw and %s summary records (%s without value), data-log folder %s; "
        "%d table files: %s tags, %s raw rows (%s samples), %s summary rows\n",
        folder.c_str(), result.files, Thousands(result.rawRecords).c_str(), Thousands(result.summaryRecords).c_str(),
        Thousands(result.noValueRecords).c_str(), result.dataLogFolder.c_str(), result.tableFiles,
        Thousands(result.tagRows).c_str(), Thousands(result.tableRows[kRaw]).c_str(),
        Thousands(result.tableSamples[kRaw]).c_str(), Thousands(summaryRows).c_str());
    return kAllWritten;
}

}  // namespace

namespace {

int Main(int argc, char** argv) {
    CLI::App app{"Moves the stored history of a SCADA node into an InfluxDB 1.x database.", "quarvel-cli"};
    app.set_version_flag("--version", QUARVEL_VERSION);
    app.require_subcommand(1);
    app.footer("Each command's --help tells its exit status.");

    ConvertOptions convert;
    auto* convertCommand = app.add_subcommand(
        "convert",
        "Convert a node's history: its data-log files (every *.DAT file in the sub-folders of the data-log "
        "folder) or, with --kind rtdb, its tables (every *.rdb file in that folder, named through its Tags.rdb). "
        "Every sample becomes line protocol, posted 10000 lines at a time into the database Ry_<node>, one "
        "retention policy per kind (RP_Sec, RP_Min, RP_Hour, RP_Day). The server is checked first: the database and "
        "its policies must exist (or --create-database), and a policy shorter than the age of its oldest sample "
        "is warned of.");
    convertCommand
        ->add_option("--kind", convert.source.kind,
                     "Kind of history: datalog (the *.DAT files) or rtdb (the *.rdb tables)")
        ->check(CLI::IsMember({"datalog", "rtdb"}))
        ->capture_default_str();
    convertCommand->add_option("--node", convert.source.node,
                               "Node folder; its name gives the database Ry_<name>, its sysinfo.ini "
                               "([NODE_INFO] DATA_LOG_FOLDER) or Log sub-folder the data-log folder");
    convertCommand->add_option("--folder", convert.source.folder,
                               "Data-log folder (with --kind rtdb: the folder of the tables); overrides the node's");
    convertCommand->add_option("--database", convert.source.database,
                               "Database name; overrides Ry_<node>, required with --folder alone");
    AddServerOptions(*convertCommand, convert.source.server);
    convertCommand
        ->add_option("--max-refusals", convert.source.server.maxRefusals,
                     "Stop after the files under way once this many batches in a row were refused for good "
                     "(the login, a right, the database); default 3")
        ->check(CLI::Range(1, 1000000));
    convertCommand->add_option("--shard-duration", convert.source.server.shardDuration,
                               "Shard groups of the retention policies --create-database makes (a whole number and "
                               "a unit: 52w, 30d, 168h); default 52w, so that years of history make few shards");
    convertCommand->add_option("--codepage", convert.source.codePage,
                               "Code page of the tag names (e.g. CP950); default: the locale's");
    convertCommand->add_option("--output", convert.output,
                               "Dry run: write the line protocol to FILE ('-' for standard output) "
                               "instead of posting it, with the context lines that influx -import reads; "
                               "a FILE ending in .gz is compressed (influx -import -compressed)");
    convertCommand
        ->add_option("--jobs", convert.jobs,
                     "Data-log files converted at once, each with its own posts; 1 converts them one by "
                     "one in listing order; default: one per core")
        ->check(CLI::Range(1, 64));
    convertCommand
        ->add_option("--max-rate", convert.maxRate,
                     "Lines per second at most, over all jobs, for a historian busy with live writes; "
                     "0: as fast as the server takes them (default)")
        ->check(CLI::Range(0L, kMaxLineRate));
    AddGzipOption(*convertCommand, convert.gzip);
    convertCommand->add_flag("--create-database", convert.createDatabase,
                             "Create the database and the retention policies that are missing (duration INF); "
                             "without it a missing one stops the conversion before anything is written");
    convertCommand->add_flag("--resume", convert.resume,
                             "Skip the files an earlier conversion into the database posted whole and that have "
                             "not changed since (the journal Logs/journal/<database>.journal)");
    convertCommand->add_flag("--quiet", convert.quiet, "Print only the summary");
    convertCommand
        ->add_option("--progress-interval", convert.progressInterval,
                     "When standard error is no terminal (a log file, a service): seconds between plain "
                     "progress lines (files, lines, rate, time left); 0 for none")
        ->check(CLI::Range(0, 86400))
        ->capture_default_str();
    convertCommand->add_flag("--verify", convert.verify,
                             "After the conversion, compare the node with what the server holds (as quarvel-cli "
                             "verify) and print its summary; points missing make the exit status 1");
    AddRetryOption(*convertCommand, convert.retry);
    convertCommand->footer(kExitCodes);

    std::string sampleFolder;
    SampleNodeOptions sample;
    auto* sampleCommand = app.add_subcommand(
        "make-sample",
        "Write a sample node folder (give it a name with an underscore): sysinfo.ini and a Log folder with "
        "raw, minute, hour and day data-log files of smooth signals with noise, and the node's table files "
        "(Tags.rdb, HistX.rdb, HistM.rdb, HistH.rdb, HistD.rdb) beside them.");
    sampleCommand->add_option("DIR", sampleFolder, "Node folder to write")->required();
    sampleCommand->add_option("--tags", sample.tags, "Number of tags")
        ->check(CLI::Range(1, 9999))
        ->capture_default_str();
    sampleCommand->add_option("--days", sample.days, "Days of history")
        ->check(CLI::Range(1, 3650))
        ->capture_default_str();
    sampleCommand->add_option("--raw-step", sample.rawStepSeconds, "Seconds between raw samples of the data-log files")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    sampleCommand->add_option("--table-hours", sample.rawTableHours, "Hours of each tag's history in the raw table")
        ->check(CLI::Range(1, 240))
        ->capture_default_str();
    sampleCommand
        ->add_option("--kinds", sample.kinds, "Kinds of data-log files of each tag: X raw, M minute, H hour, D day")
        ->capture_default_str();
    sampleCommand->footer(kFileExitCodes);

    const RdbCommands rdb(app);
    const CheckCommand check(app);
    const RepostCommand repost(app);
    const VerifyCommand verify(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kUsageError;
    }
    if (*convertCommand) return RunConvert(convert);
    if (rdb.Chosen()) return rdb.Run();
    if (check.Chosen()) return check.Run();
    if (repost.Chosen()) return repost.Run();
    if (verify.Chosen()) return verify.Run();
    return RunMakeSample(sampleFolder, sample);
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");  // names are in the locale's code page unless told otherwise
    try {
        return Main(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quarvel-cli: stopped by an error: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "quarvel-cli: stopped by an error\n");
    }
    return kUsageError;
}

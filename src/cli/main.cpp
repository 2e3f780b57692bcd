// quarvel-cli: the headless front end. Converts a node's history into InfluxDB from a
// terminal or a script, and writes sample nodes for trials.

#include "DataLogConverter.h"
#include "Logging.h"
#include "NodeFolder.h"
#include "ProgressList.h"
#include "SampleNode.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <iconv.h>
#include <chrono>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <mutex>

namespace {

enum ExitCode : int {
    kAllWritten = 0,
    kLinesNotWritten = 1,
    kUsageError = 2,
    kServerUnreachable = 3,
};

constexpr const char* kExitCodes =
    "Exit status:\n"
    "  0  every line was written (or, with --output, every line was written to the file)\n"
    "  1  some lines were not written: the server refused them (see Logs/Quarvel.log)\n"
    "  2  usage error: bad options, a missing folder, an unknown code page\n"
    "  3  the server could not be reached for some batches; their lines were not written";

std::string WithSeparator(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

std::string Thousands(uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

std::string Duration(double seconds) {
    const auto whole = static_cast<long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

// What the operator sees on the standard error stream: the conversion's progress lines
// and, on a terminal, one live status line under them.
class ConsoleProgress {
public:
    ConsoleProgress(bool quiet, int filesFound)
        : m_quiet(quiet), m_live(!quiet && isatty(STDERR_FILENO) != 0), m_filesFound(filesFound) {}

    // The closing message box and the last progress line carry the same text; it is
    // shown once.
    void Line(const std::string& text) {
        if (m_quiet) return;
        std::lock_guard lock(m_mutex);
        if (text == m_lastLine) return;
        m_lastLine = text;
        std::fprintf(stderr, "%s%s\n", m_live ? "\r\x1b[K" : "", text.c_str());
        DrawStatus();
    }

    void Update(const ConversionTotals& totals) {
        std::lock_guard lock(m_mutex);
        m_filesDone = totals.filesConverted + totals.filesSkipped;
        m_records = totals.records;
        m_lines = totals.writes.linesWritten;
        DrawStatus();
    }

    void Finish() {
        if (m_live) std::fputs("\r\x1b[K", stderr);
    }

    double Elapsed() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count(); }

private:
    void DrawStatus() {
        if (!m_live) return;
        const double elapsed = Elapsed();
        const double rate = elapsed > 0 ? static_cast<double>(m_lines) / elapsed : 0;
        std::string left = "--:--";
        if (m_filesDone > 0 && m_filesFound >= m_filesDone)
            left = Duration(elapsed * (m_filesFound - m_filesDone) / m_filesDone);
        std::fprintf(stderr, "\r\x1b[K[%d/%d files] %s samples, %s lines/s, %s left", m_filesDone, m_filesFound,
                     Thousands(m_records).c_str(), Thousands(static_cast<uint64_t>(rate)).c_str(), left.c_str());
        std::fflush(stderr);
    }

    std::mutex m_mutex;
    std::string m_lastLine;
    const bool m_quiet;
    const bool m_live;
    const int m_filesFound;
    int m_filesDone = 0;
    uint64_t m_records = 0;
    uint64_t m_lines = 0;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

struct ConvertOptions {
    std::string kind = "datalog";
    std::string node;
    std::string folder;
    std::string database;
    std::string url = "http://127.0.0.1:8086";
    std::string codePage;
    std::string output;
    bool quiet = false;
};

// Instead of posting, writes each batch to a file as line protocol, one line per line.
InfluxTarget DryRunTarget(FILE* file) {
    InfluxTarget target;
    auto mutex = std::make_shared<std::mutex>();
    target.post = [file, mutex](const std::string&, const std::string& body) {
        std::lock_guard lock(*mutex);
        HttpResult result;
        // Flushed per batch, so that a full disk shows as failed batches, not as success.
        const bool written = std::fwrite(body.data(), 1, body.size(), file) == body.size() &&
                             std::fputc('\n', file) != EOF && std::fflush(file) == 0;
        result.status = written ? 204 : 500;
        if (!written) result.error = std::string("cannot write the output file: ") + std::strerror(errno);
        return result;
    };
    return target;
}

bool KnownCodePage(const std::string& name) {
    if (name.empty()) return true;
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(cd);
    return true;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "quarvel-cli: %s\n", message.c_str());
    return kUsageError;
}

int RunConvert(const ConvertOptions& options) {
    if (options.kind != "datalog") return Usage("table conversion (--kind rtdb) is not available yet");
    if (options.node.empty() && options.folder.empty())
        return Usage("name a node (--node DIR) or a folder (--folder DIR)");
    if (options.node.empty() && options.database.empty()) return Usage("--folder without --node needs --database NAME");
    if (!KnownCodePage(options.codePage)) return Usage("unknown code page: " + options.codePage);

    const std::string folder = WithSeparator(options.folder.empty() ? NodeDataLogFolder(options.node) : options.folder);
    if (!std::filesystem::is_directory(folder))
        return Usage("the data-log folder " + folder + " does not exist" +
                     (options.folder.empty() ? " (taken from the node; name another with --folder)" : ""));
    const std::string database = options.database.empty() ? "Ry_" + NodeName(options.node) : options.database;

    InfluxTarget target;
    FILE* output = nullptr;
    if (!options.output.empty()) {
        output = options.output == "-" ? stdout : std::fopen(options.output.c_str(), "wb");
        if (output == nullptr) return Usage("cannot write " + options.output);
        target = DryRunTarget(output);
    }
    target.baseUrl = options.url;
    target.codePage = options.codePage;

    InitLogging();
    LogMessage("Quarvel Start");

    ConsoleProgress console(options.quiet, CountDataLogFiles(folder));
    platform::ProgressList progressList;
    progressList.SetObserver([&console](platform::ProgressList::Change change, int index, const std::string& text) {
        if (change == platform::ProgressList::Change::Inserted && index == 0) console.Line(text);
    });
    platform::SetMessageBoxHandler([&console](const std::string& text) { console.Line(text); });

    DataLogConverter converter(folder, database, progressList, target);
    converter.onFileDone = [&console](const ConversionTotals& totals) { console.Update(totals); };
    converter.ConvertAllFolders();
    console.Finish();

    const ConversionTotals& totals = converter.Totals();
    const double elapsed = console.Elapsed();
    std::fprintf(
        stderr,
        "Database:          %s%s\n"
        "Files converted:   %d\n"
        "Files skipped:     %d\n"
        "Lines written:     %s\n"
        "Batches failed:    %s\n"
        "Lines not written: %s\n"
        "Elapsed:           %.2f s (%s lines/s)\n",
        database.c_str(), output ? " (dry run)" : "", totals.filesConverted, totals.filesSkipped,
        Thousands(totals.writes.linesWritten).c_str(), Thousands(totals.writes.batchesFailed).c_str(),
        Thousands(totals.writes.linesNotWritten).c_str(), elapsed,
        Thousands(static_cast<uint64_t>(elapsed > 0 ? static_cast<double>(totals.writes.linesWritten) / elapsed : 0))
            .c_str());
    bool outputClosed = true;
    if (output != nullptr && output != stdout && std::fclose(output) != 0) {
        std::fprintf(stderr, "quarvel-cli: cannot write %s: %s\n", options.output.c_str(), std::strerror(errno));
        outputClosed = false;
    }

    LogMessage("Quarvel Exit");
    ShutdownLogging();

    if (totals.writes.batchesUnanswered > 0) return kServerUnreachable;
    if (totals.writes.linesNotWritten > 0 || !outputClosed) return kLinesNotWritten;
    return kAllWritten;
}

int RunMakeSample(const std::string& folder, const SampleNodeOptions& options) {
    SampleNodeResult result;
    std::string error;
    if (!MakeSampleNode(folder, options, result, error)) {
        std::fprintf(stderr, "quarvel-cli: %s\n", error.c_str());
        return kUsageError;
    }
    std::printf("Sample node %s: %d files, %s raw and %s summary records (%s without value), data-log folder %s\n",
                folder.c_str(), result.files, Thousands(result.rawRecords).c_str(),
                Thousands(result.summaryRecords).c_str(), Thousands(result.noValueRecords).c_str(),
                result.dataLogFolder.c_str());
    return kAllWritten;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");  // names are in the locale's code page unless told otherwise

    CLI::App app{"Moves the stored history of a SCADA node into an InfluxDB 1.x database.", "quarvel-cli"};
    app.set_version_flag("--version", QUARVEL_VERSION);
    app.require_subcommand(1);
    app.footer(kExitCodes);

    ConvertOptions convert;
    auto* convertCommand = app.add_subcommand(
        "convert",
        "Convert a node's data-log files: every *.DAT file in the sub-folders of the data-log folder becomes "
        "line protocol, posted 10000 lines at a time into the database Ry_<node>, one retention policy per "
        "kind (RP_Sec, RP_Min, RP_Hour, RP_Day). The database and its policies must exist.");
    convertCommand->add_option("--kind", convert.kind, "Kind of history: datalog")
        ->check(CLI::IsMember({"datalog", "rtdb"}))
        ->capture_default_str();
    convertCommand->add_option("--node", convert.node,
                               "Node folder; its name gives the database Ry_<name>, its sysinfo.ini "
                               "([NODE_INFO] DATA_LOG_FOLDER) or Log sub-folder the data-log folder");
    convertCommand->add_option("--folder", convert.folder, "Data-log folder; overrides the node's");
    convertCommand->add_option("--database", convert.database,
                               "Database name; overrides Ry_<node>, required with --folder alone");
    convertCommand->add_option("--url", convert.url, "InfluxDB base URL")->capture_default_str();
    convertCommand->add_option("--codepage", convert.codePage,
                               "Code page of the tag names (e.g. CP950); default: the locale's");
    convertCommand->add_option("--output", convert.output,
                               "Dry run: write the line protocol to FILE ('-' for standard output) "
                               "instead of posting it");
    convertCommand->add_flag("--quiet", convert.quiet, "Print only the summary");
    convertCommand->footer(kExitCodes);

    std::string sampleFolder;
    SampleNodeOptions sample;
    auto* sampleCommand = app.add_subcommand(
        "make-sample",
        "Write a sample node folder (give it a name with an underscore): sysinfo.ini and a Log folder with "
        "raw, minute, hour and day data-log files of smooth signals with noise.");
    sampleCommand->add_option("DIR", sampleFolder, "Node folder to write")->required();
    sampleCommand->add_option("--tags", sample.tags, "Number of tags")
        ->check(CLI::Range(1, 9999))
        ->capture_default_str();
    sampleCommand->add_option("--days", sample.days, "Days of history")
        ->check(CLI::Range(1, 3650))
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kUsageError;
    }
    if (*convertCommand) return RunConvert(convert);
    return RunMakeSample(sampleFolder, sample);
}

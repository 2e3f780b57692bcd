#pragma once

// What quarvel-cli tells the operator about a conversion, whatever its kind: the
// progress lines with a live status line, the closing summary and the exit status.

#include "conversion/Progress.h"
#include "session/Session.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace quarvel {

constexpr const char* kExitCodes =
    "Exit status:\n"
    "  0  every line was written (or, with --output, every line was written to the file)\n"
    "  1  some lines were not written: the server refused them, or a file could not be read (see Logs/Quarvel.log)\n"
    "  2  usage error: bad options, a missing folder, an unknown code page, a bad table file or CSV line; or the\n"
    "     database or a retention policy is missing (add --create-database); nothing was converted\n"
    "  3  the server could not be reached for some batches; their lines were not written. Before the\n"
    "     conversion: the server could not be reached or did not answer the checks; nothing was converted\n"
    "  130  stopped by Ctrl-C (SIGINT or SIGTERM) after the files under way; --resume converts the rest";

// make-sample and rdb: files written or read, no server.
constexpr const char* kFileExitCodes =
    "Exit status:\n"
    "  0  done\n"
    "  2  usage error: bad options, input that cannot be read or output that cannot be written";

// Prints "quarvel-cli: message" on the standard error stream; returns kUsageError.
int Usage(const std::string& message);

// `text` as a CSV field: quoted, its quotes doubled, when it holds a comma, a quote or a line break.
std::string CsvField(std::string_view text);

// The conversion's progress lines on the standard error stream and, on a terminal, one
// live status line under them, cut to the terminal's width. Elsewhere (a log file, a
// service) a plain progress line every `interval` stands for the status line.
class ConsoleProgress : public Progress {
public:
    static constexpr std::chrono::seconds kPlainInterval{10};

    // interval 0: no plain progress lines.
    ConsoleProgress(bool quiet, const SourceSize& found, std::chrono::seconds interval = kPlainInterval);

    // The same text twice in a row shows once: the closing text repeats as the last
    // progress line, and the table export repeats each file's path.
    void Line(const std::string& text) override;
    void FileDone(const std::string& path, const ConversionTotals& totals) override;
    void Ended(const std::string& text) override { Line(text); }
    void Finish();  // wipes the status line
    double Elapsed() const;

private:
    // "12/201 files, 1,234,567 lines, 456,789 lines/s, 0:06 left"
    std::string Status() const;
    void DrawStatus();
    void PrintPlainProgress();

    std::mutex m_mutex;
    std::string m_lastLine;
    const bool m_quiet;
    const bool m_live;
    const SourceSize m_found;
    const std::chrono::seconds m_interval;
    int m_filesDone = 0;
    int m_filesResumed = 0;
    uint64_t m_bytesDone = 0;
    uint64_t m_bytesPassedOver = 0;  // of the files already converted: done at once, no measure of speed
    uint64_t m_lines = 0;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point m_lastPlain = m_start;
};

// The closing summary on the standard error stream.
void PrintSummary(const std::string& database, bool dryRun, const ConversionTotals& totals, double elapsed);

}  // namespace quarvel

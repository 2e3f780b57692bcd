#include "cli/Report.h"

#include "influx/Unsent.h"
#include "logging/Logging.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quarvel {

namespace {

// Columns of the terminal on standard error; 80 when it does not say.
size_t TerminalWidth() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace

int Usage(const std::string& message) {
    std::fprintf(stderr, "quarvel-cli: %s\n", message.c_str());
    return kUsageError;
}

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

ConsoleProgress::ConsoleProgress(bool quiet, const SourceSize& found, std::chrono::seconds interval)
    : m_quiet(quiet), m_live(!quiet && isatty(STDERR_FILENO) != 0), m_found(found), m_interval(interval) {}

void ConsoleProgress::Line(const std::string& text) {
    if (m_quiet) return;
    std::lock_guard lock(m_mutex);
    if (text == m_lastLine) return;
    m_lastLine = text;
    std::fprintf(stderr, "%s%s\n", m_live ? "\r\x1b[K" : "", text.c_str());
    DrawStatus();
    PrintPlainProgress();
}

void ConsoleProgress::FileDone(const std::string&, const ConversionTotals& totals) {
    std::lock_guard lock(m_mutex);
    if (totals.filesResumed > m_filesResumed) m_bytesPassedOver += totals.bytesDone - m_bytesDone;
    m_filesResumed = totals.filesResumed;
    m_filesDone = totals.filesConverted + totals.filesSkipped + totals.filesResumed;
    m_bytesDone = totals.bytesDone;
    m_lines = totals.writes.linesWritten;
    DrawStatus();
    PrintPlainProgress();
}

void ConsoleProgress::Finish() {
    if (m_live) std::fputs("\r\x1b[K", stderr);
}

double ConsoleProgress::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

std::string ConsoleProgress::Status() const {
    const double elapsed = Elapsed();
    const double rate = elapsed > 0 ? static_cast<double>(m_lines) / elapsed : 0;
    // Files differ in size by thousands of times, so the time left follows their bytes.
    std::string left = "--:--";
    const uint64_t measured = m_bytesDone - m_bytesPassedOver;
    if (measured > 0 && m_found.bytes >= m_bytesDone)
        left = ClockText(
            std::llround(elapsed * static_cast<double>(m_found.bytes - m_bytesDone) / static_cast<double>(measured)));
    return std::to_string(m_filesDone) + "/" + std::to_string(m_found.files) + " files, " + Thousands(m_lines) +
           " lines, " + Thousands(static_cast<uint64_t>(rate)) + " lines/s, " + left + " left";
}

void ConsoleProgress::DrawStatus() {
    if (!m_live) return;
    // Wider than the terminal, the line would wrap and leave its start behind on every redraw.
    std::string status = Status();
    status.resize(std::min(status.size(), TerminalWidth() - 1));
    std::fprintf(stderr, "\r\x1b[K%s", status.c_str());
    std::fflush(stderr);
}

void ConsoleProgress::PrintPlainProgress() {
    if (m_quiet || m_live || m_interval.count() == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastPlain < m_interval) return;
    m_lastPlain = now;
    std::fprintf(stderr, "Progress: %s\n", Status().c_str());
}

void PrintSummary(const std::string& database, bool dryRun, const ConversionTotals& totals, double elapsed) {
    // The files a resume passed over are skipped files, counted once.
    const std::string resumed =
        totals.filesResumed > 0 ? "  already converted: " + std::to_string(totals.filesResumed) + "\n" : "";
    std::fprintf(
        stderr,
        "Database:          %s%s\n"
        "Files converted:   %d\n"
        "Files skipped:     %d\n"
        "%s"
        "Lines written:     %s\n"
        "Batches failed:    %s\n"
        "Lines not written: %s\n"
        "Elapsed:           %.2f s (%s lines/s)\n",
        database.c_str(), dryRun ? " (dry run)" : "", totals.filesConverted, totals.filesSkipped + totals.filesResumed,
        resumed.c_str(), Thousands(totals.writes.linesWritten).c_str(), Thousands(totals.writes.batchesFailed).c_str(),
        Thousands(totals.writes.linesNotWritten).c_str(), elapsed,
        Thousands(static_cast<uint64_t>(elapsed > 0 ? static_cast<double>(totals.writes.linesWritten) / elapsed : 0))
            .c_str());
    for (const std::string& path : totals.unreadable) std::fprintf(stderr, "Could not read:    %s\n", path.c_str());
    if (totals.writes.linesSaved > 0)
        std::fprintf(stderr, "Lines saved:       %s in %s/ (quarvel-cli repost sends them)\n",
                     Thousands(totals.writes.linesSaved).c_str(), kUnsentFolder);
}

}  // namespace quarvel

#include "cli/Report.h"

#include "influx/Unsent.h"
#include "logging/Logging.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace quarvel {

namespace {

std::string Duration(double seconds) {
    const long whole = std::lround(seconds);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

}  // namespace

int Usage(const std::string& message) {
    std::fprintf(stderr, "quarvel-cli: %s\n", message.c_str());
    return kUsageError;
}

ConsoleProgress::ConsoleProgress(bool quiet, int filesFound)
    : m_quiet(quiet), m_live(!quiet && isatty(STDERR_FILENO) != 0), m_filesFound(filesFound) {}

void ConsoleProgress::Line(const std::string& text) {
    if (m_quiet) return;
    std::lock_guard lock(m_mutex);
    if (text == m_lastLine) return;
    m_lastLine = text;
    std::fprintf(stderr, "%s%s\n", m_live ? "\r\x1b[K" : "", text.c_str());
    DrawStatus();
}

void ConsoleProgress::FileDone(const std::string&, const ConversionTotals& totals) {
    std::lock_guard lock(m_mutex);
    m_filesDone = totals.filesConverted + totals.filesSkipped + totals.filesResumed;
    m_records = totals.records;
    m_lines = totals.writes.linesWritten;
    DrawStatus();
}

void ConsoleProgress::Finish() {
    if (m_live) std::fputs("\r\x1b[K", stderr);
}

double ConsoleProgress::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

void ConsoleProgress::DrawStatus() {
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

void PrintSummary(const std::string& database, bool dryRun, const ConversionTotals& totals, double elapsed) {
    std::fprintf(
        stderr,
        "Database:          %s%s\n"
        "Files converted:   %d\n"
        "Files skipped:     %d\n"
        "Lines written:     %s\n"
        "Batches failed:    %s\n"
        "Lines not written: %s\n"
        "Elapsed:           %.2f s (%s lines/s)\n",
        database.c_str(), dryRun ? " (dry run)" : "", totals.filesConverted, totals.filesSkipped,
        Thousands(totals.writes.linesWritten).c_str(), Thousands(totals.writes.batchesFailed).c_str(),
        Thousands(totals.writes.linesNotWritten).c_str(), elapsed,
        Thousands(static_cast<uint64_t>(elapsed > 0 ? static_cast<double>(totals.writes.linesWritten) / elapsed : 0))
            .c_str());
    if (totals.filesResumed > 0) std::fprintf(stderr, "Already converted: %d files, skipped\n", totals.filesResumed);
    if (totals.writes.linesSaved > 0)
        std::fprintf(stderr, "Lines saved:       %s in %s/ (quarvel-cli repost sends them)\n",
                     Thousands(totals.writes.linesSaved).c_str(), kUnsentFolder);
}

}  // namespace quarvel

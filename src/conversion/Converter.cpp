#include "conversion/Converter.h"

#include "logging/Logging.h"
#include "platform/FindFile.h"

#include <sys/stat.h>

#include <cerrno>

namespace quarvel {

Converter::Converter(const std::string& folderPath_, const std::string& databaseName_, Progress& progress_,
                     InfluxTarget target)
    : folderPath(platform::WithSeparator(folderPath_)),
      databaseName(databaseName_),
      progress(progress_),
      m_target(std::move(target)) {
    // While the server is retried, the progress line says so.
    m_target.onRetry = [this, outer = std::move(m_target.onRetry)](const RetryNotice& notice) {
        Tell(RetryText(notice));
        if (outer) outer(notice);
    };
}

bool Converter::Resumed(const std::string& path, std::optional<FileStamp>& stamp, std::optional<JournalEntry>& known,
                        const std::string& resolvedFolder) {
    stamp = m_journal != nullptr ? FileStamp::Of(path, resolvedFolder) : std::nullopt;
    known = stamp ? m_journal->Find(stamp->path) : std::nullopt;
    if (!known || !known->Stamped(*stamp)) return false;
    TellResumed(path);
    return true;
}

void Converter::TellResumed(const std::string& path) {
    std::lock_guard lock(m_mutex);  // the converters tell under the same lock
    ++m_totals.filesResumed;
    Tell("Already converted: " + FileName(path));
}

void Converter::Skip(const std::string& path, const char* why) {
    std::lock_guard lock(m_mutex);
    ++m_totals.filesSkipped;
    if (why != nullptr) Tell("Skipped " + FileName(path) + ": " + why);
}

void Converter::SkipUnopened(const std::string& path) {
    struct stat info {};
    const bool examined = stat(path.c_str(), &info) == 0;
    if (!examined && errno == ENOENT) return Skip(path);
    if (examined && !S_ISREG(info.st_mode)) return Skip(path, "not a regular file");
    Skip(path, "could not be read");
    NameUnreadable(path);
}

void Converter::NameUnreadable(const std::string& path) {
    std::lock_guard lock(m_mutex);
    m_totals.unreadable.push_back(path);
    LogMessage("%s could not be read", path.c_str());
}

void Converter::ReadInPart(const std::string& path, std::optional<FileStamp>& stamp) {
    NameUnreadable(path);
    Tell("Could not read all of " + FileName(path));
    stamp.reset();
}

void Converter::FileDone(const std::string& path, uint64_t bytes) {
    std::lock_guard lock(m_mutex);
    m_totals.bytesDone += bytes;
    progress.FileDone(path, m_totals);
}

void Converter::TellRead(uint64_t bytesRead) {
    std::lock_guard lock(m_mutex);
    progress.Reading(bytesRead);
}

void Converter::Stored(std::vector<PendingSource> sources) {
    std::vector<Journal::Recorded> whole;
    for (PendingSource& source : sources)
        if (source.stamp &&
            ((source.allStored && source.counts.linesNotWritten == 0) || (m_journalKeptAside && source.allKept)))
            whole.push_back({*source.stamp, std::move(source.entry)});
    if (!whole.empty()) m_journal->Record(std::move(whole));
    for (const PendingSource& source : sources) {
        {
            std::lock_guard lock(m_mutex);
            AddConvertedFile(m_totals, source.path, source.records, source.counts);
        }
        FileDone(source.path, source.bytes);
    }
}

bool Converter::TellIfStopped() {
    if (m_stopRequested) Tell("Conversion stopped after " + std::to_string(m_totals.filesConverted) + " files");
    return m_stopRequested;
}

}  // namespace quarvel

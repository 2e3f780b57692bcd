#include "conversion/Totals.h"

#include "influx/Unsent.h"
#include "logging/Logging.h"

#include <sys/stat.h>

#include <filesystem>

namespace quarvel {

uint64_t FileBytes(const std::string& path) {
    std::error_code error;
    const uintmax_t bytes = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<uint64_t>(bytes);
}

void SourceSize::Add(const std::string& path, int kind, const platform::OpenFolder* folder) {
    ++files;
    // One look at the file: a node may hold thousands.
    if (struct stat info{}; platform::OpenFolder::Stat(folder, path, info) == 0) {
        if (S_ISREG(info.st_mode))
            bytes += static_cast<uint64_t>(info.st_size);
        else
            irregular.push_back(path);
    }
    if (kind >= 0 && kind < kTableKindCount) kinds[kind] = true;
}

void AddConvertedFile(ConversionTotals& totals, const std::string& path, uint64_t records, const WriteCounts& counts) {
    ++totals.filesConverted;
    totals.records += records;
    totals.writes += counts;
    if (counts.linesNotWritten > 0) {
        ++totals.filesWithLoss;
        LogMessage("%s: %llu lines not written", path.c_str(), static_cast<unsigned long long>(counts.linesNotWritten));
    }
}

std::string CompletionText(const ConversionTotals& totals) {
    const WriteCounts& writes = totals.writes;
    const size_t unread = totals.unreadable.size();
    if (writes.linesNotWritten == 0 && writes.linesSaved == 0 && unread == 0) return "Conversion completed";
    std::string lost = "Conversion completed, but ";
    if (writes.linesNotWritten > 0 || unread == 0)
        lost += std::to_string(writes.linesNotWritten) + " lines were not written" + (unread > 0 ? " and " : "");
    if (unread > 0) lost += std::to_string(unread) + (unread == 1 ? " file" : " files") + " could not be read";
    const std::string folder = std::string(kUnsentFolder) + "/ (quarvel-cli repost sends them)";
    if (writes.linesSaved == 0) return lost + " (see Logs/Quarvel.log)";
    if (writes.linesSaved == writes.linesNotWritten && unread == 0) return lost + "; they are saved in " + folder;
    return lost + " (see Logs/Quarvel.log); " + std::to_string(writes.linesSaved) + " lines are saved in " + folder;
}

}  // namespace quarvel

#include "session/OldestSamples.h"

#include "datalog/DataLogConverter.h"
#include "influx/LineFormat.h"
#include "influx/RyInfluxDB.h"
#include "platform/FindFile.h"
#include "rtdb/TableFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace quarvel {

namespace {

void Keep(OldestLineTimes& oldest, int kind, int32_t storedTime, int32_t zoneOffset) {
    const int64_t line = LineTimestamp(storedTime, zoneOffset);
    if (kind != kRaw && line < 0) return;  // the writer leaves such summaries out
    if (!oldest[kind] || line < *oldest[kind]) oldest[kind] = line;
}

}  // namespace

OldestLineTimes OldestDataLogSamples(const std::string& folderPath) {
    const int32_t zoneOffset = StandardZoneOffset();
    OldestLineTimes oldest;
    ForEachDataLogFile(folderPath, [&](const std::string& path) {
        const DatFileName parsed = ParseDatFileName(path);
        if (parsed.kind < 0 || parsed.problem != nullptr) return;
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        const size_t recordSize = parsed.kind == kRaw ? kRawSampleSize : kSummarySampleSize;
        LogSample first{};
        if (pread(fd, &first, recordSize, 0) == static_cast<ssize_t>(recordSize))
            Keep(oldest, parsed.kind, first.time, zoneOffset);
        close(fd);
    });
    return oldest;
}

OldestLineTimes OldestTableSamples(const std::string& folderPath) {
    const std::string folder = platform::WithSeparator(folderPath);
    const int32_t zoneOffset = StandardZoneOffset();
    OldestLineTimes oldest;
    platform::FindFile listing;
    platform::FindData entry;
    for (bool more = listing.First(folder + "*.rdb", entry); more; more = listing.Next(entry)) {
        rtdb::TableReader reader;
        if (reader.Open(folder + entry.name) != rtdb::TableStatus::kOk) continue;
        int kind = -1;
        for (int k = 0; k < kTableKindCount; ++k)
            if (reader.Kind() == kKindLetter[k]) kind = k;
        if (kind < 0) continue;  // the tag table
        std::vector<char> row(reader.RowSize());
        int32_t time = 0;  // every row kind starts with its time
        if (row.size() >= sizeof time && reader.Next(row.data())) {
            std::memcpy(&time, row.data(), sizeof time);
            Keep(oldest, kind, time, zoneOffset);
        }
    }
    return oldest;
}

}  // namespace quarvel

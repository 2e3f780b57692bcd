#include "session/OldestSamples.h"

#include "datalog/DataLogFile.h"
#include "influx/LineFormat.h"
#include "influx/RyInfluxDB.h"
#include "rtdb/RtdbConverter.h"

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
    WalkDataLogFolder(folderPath, [&](const std::string& subFolder, const std::vector<std::string>& names) {
        for (const std::string& name : names)
            if (const auto time = FirstRecordTime(subFolder + name))
                Keep(oldest, ParseDatFileName(name).kind, *time, zoneOffset);
    });
    return oldest;
}

OldestLineTimes OldestTableSamples(const std::string& folderPath) {
    const int32_t zoneOffset = StandardZoneOffset();
    OldestLineTimes oldest;
    for (const std::string& path : TableFilesOf(folderPath))
        if (const auto time = FirstSampleTime(path)) Keep(oldest, TableKindOfPath(path), *time, zoneOffset);
    return oldest;
}

}  // namespace quarvel

#pragma once

// What a conversion did, whatever its source: the counts behind the closing message, the
// command line's summary and the exit status.

#include "influx/RyInfluxDB.h"
#include "platform/Files.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quarvel {

// The source files a run will meet and their bytes, for its progress estimate.
struct SourceSize {
    int files = 0;
    uint64_t bytes = 0;
    std::array<bool, kTableKindCount> kinds{};  // the kinds of the files, by TableKind
    std::vector<std::string> irregular;         // named like source files, but no regular files
    // kind: a TableKind, or -1 for none; `folder`: the open folder `path` lies in
    void Add(const std::string& path, int kind, const platform::OpenFolder* folder = nullptr);
};

struct ConversionTotals {
    int filesConverted = 0;               // files whose records went to a writer
    int filesSkipped = 0;                 // other kind letters, unreadable or irregular files, unusable names or paths
    int filesResumed = 0;                 // files the journal holds as converted before, left alone
    int filesWithLoss = 0;                // files some of whose lines were not written
    uint64_t records = 0;                 // records handed to the writers
    uint64_t bytesDone = 0;               // bytes of the files done, whatever became of them
    WriteCounts writes;                   // summed over all files
    std::vector<std::string> unreadable;  // paths of files that exist but could not be read whole
};

// Bytes of the file at `path`; 0 when it cannot be read.
uint64_t FileBytes(const std::string& path);

// Adds a converted file to the totals: `records` handed to its writer, and what became of
// its lines. A file some of whose lines were not written is counted and logged by path.
void AddConvertedFile(ConversionTotals& totals, const std::string& path, uint64_t records, const WriteCounts& counts);

// The closing text of a conversion: "Conversion completed", how many lines were not
// written and files not read when any were, and the unsent-line folder when lines were
// saved there.
std::string CompletionText(const ConversionTotals& totals);

}  // namespace quarvel

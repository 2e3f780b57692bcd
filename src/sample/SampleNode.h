#pragma once

// Writes a realistic sample node folder for demonstrations, tests and benchmarks:
//   DIR/sysinfo.ini            [NODE_INFO] DATA_LOG_FOLDER=<absolute path of DIR/Log/>
//   DIR/Log/<group>/<TAG>$<nnnn><K>.DAT  for K in X, M, H, D
//   DIR/Log/<second group>/...   one more file, so that a walk meets two sub-folders
//   DIR/Log/Tags.rdb           the tag table: every tag's number and name
//   DIR/Log/Hist<K>.rdb        for K in X, M, H, D: the tables (docs/table-files.md)
// Files hold smooth signals with noise, written record by record in the data-log layout
// (LogSample: raw records 10 bytes, summaries 22), with a few no-value records. The
// summary tables hold the same summaries as the M, H and D files; the raw table holds
// each tag's last hour (or rawTableHours) at one sample a second, a row every 10 s with its follow-on entries.

#include "influx/LogSample.h"

#include <array>
#include <cstdint>
#include <string>

namespace quarvel {

struct SampleNodeOptions {
    int tags = 4;                  // tags in the first group, each with an X, M, H and D file
    int days = 2;                  // days of history per tag, ending at endTime
    int rawStepSeconds = 10;       // one raw sample every so many seconds
    int rawTableHours = 1;         // each tag's last hours in the raw table
    std::string kinds = "XMHD";    // the kind letters of the files each tag of the first group has
    int64_t endTime = 1700000000;  // stored seconds of the last sample
};

struct SampleNodeResult {
    std::string dataLogFolder;  // DIR/Log/ with its trailing separator
    uint64_t rawRecords = 0;
    uint64_t summaryRecords = 0;
    uint64_t noValueRecords = 0;
    int files = 0;  // data-log files

    int tableFiles = 0;  // Tags.rdb and the four tables
    uint64_t tagRows = 0;
    std::array<uint64_t, kTableKindCount> tableRows{};     // by TableKind
    std::array<uint64_t, kTableKindCount> tableSamples{};  // raw rows count their follow-on entries too
};

// Creates DIR (and parents) and writes the node into it. The folder's name should hold
// an underscore to be found as a node. Returns false with `error` set when a file cannot
// be written.
bool MakeSampleNode(const std::string& nodeFolder, const SampleNodeOptions& options, SampleNodeResult& result,
                    std::string& error);

}  // namespace quarvel

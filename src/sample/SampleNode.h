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
#include <atomic>
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

// The stored seconds of the present moment, as a node's clock stamps its records.
int64_t StoredNow();

struct LiveSampleResult {
    uint64_t records = 0;  // appended to the data-log files
    int files = 0;         // data-log files written to
    std::string newTag;    // the tag added part-way through, in a sub-folder of its own
    int tableRolls = 0;
};

// Keeps the sample node at `nodeFolder` writing as a live node does, for `seconds` or until
// `stop` holds: each data-log file gets a raw record every rawStepSeconds and a minute, hour
// or day record when its period ends, stamped by the wall clock after the history; half-way,
// a new tag's raw and minute files begin in a new sub-folder; the tables are rewritten with
// the newer rows (written aside, then renamed) now and then and at the end. Values follow
// from the tag and the time alone. A folder without a node gets one first, ending now.
bool RunLiveSampleNode(const std::string& nodeFolder, const SampleNodeOptions& options, int seconds,
                       const std::atomic<bool>& stop, LiveSampleResult& result, std::string& error);

}  // namespace quarvel

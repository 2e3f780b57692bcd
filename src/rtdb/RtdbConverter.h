#pragma once

// Converts a node's tables: the tag catalogue from "Tags.rdb", then every other "*.rdb"
// file of the folder through the table library of its kind letter, one file at a time.
// A file's samples go to one writer per job (lane), each posting on a thread of its own,
// a tag always through the same lane so that its lines keep their order. With posts in
// flight the lanes serve every table of an export; a table is told done (and journaled)
// on the reader's thread once its posts have all ended, after a later table or at the end.
// Keeps the five libraries connected for its lifetime (T, X, M, H, D), also when an
// exception leaves a conversion. Progress lines come in the order things happen, one at a
// time, so a caller may run it on the window's own thread and show each line at once.

#include "conversion/Converter.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace quarvel {

class TableLanes;

class RtdbConverter : public Converter {
public:
    RtdbConverter(const std::string& folderPath, const std::string& databaseName, Progress& progress,
                  InfluxTarget target = {});
    ~RtdbConverter() override;

    void LoadTagTable();
    // The catalogue's name of `id`; an unknown id is entered with an empty name. The
    // reference stays valid as long as the converter.
    const std::string& TagName(int32_t id);

    // The tag catalogue, then the table files one at a time, each through SetJobs writers
    // at once. A target that waits in its caller's event loop (InfluxTarget::wait) keeps
    // one, which adds the lines on the caller's thread.
    void ConvertAll() override;
    // One table, then told to the progress as done, converted or not.
    void ConvertListedTable(const std::string& path);

private:
    // A table read and handed to the lanes, until they have posted it all.
    struct PendingTable {
        PendingSource source;
        int lanesLeft = 0;
    };

    void Tell(const std::string& text) override;
    std::unique_ptr<TableLanes> MakeLanes();
    // False when the table was left alone; otherwise TablesStored tells it done.
    bool ConvertTable(const std::string& path, TableLanes& lanes);
    void TablesStored(const std::vector<RyInfluxDB::SourceOutcome>& done);
    void TellStored();  // on the reader's thread

    std::unordered_map<int32_t, std::string> tagNames;
    uint64_t m_nextSource = 0;
    std::unordered_map<uint64_t, PendingTable> m_pending;  // under m_mutex
    std::vector<PendingSource> m_stored;                   // under m_mutex: posted, not told yet
    std::unique_ptr<TableLanes> m_lanes;                   // an export's, while it runs; last, so that it ends first
};

// TableKind of a table file's path from the letter before its last '.': X raw; M, 1 or 2
// minute; H hour; D day. -1 for any other letter.
int TableKindOfPath(const std::string& path);

// The table files an export of the folder will meet ("*.rdb" other than "Tags.rdb"), and
// their sizes for progress displays.
std::vector<std::string> TableFilesOf(const std::string& folderPath);
SourceSize TableFilesIn(const std::string& folderPath);

// The time the export sends the table's first sample with (daylight saving taken off);
// none when it reads no sample of the table.
std::optional<int32_t> FirstSampleTime(const std::string& path);

}  // namespace quarvel

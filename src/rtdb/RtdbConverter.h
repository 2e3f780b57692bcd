#pragma once

// Converts a node's tables: the tag catalogue from "Tags.rdb", then every other "*.rdb"
// file of the folder through the table library of its kind letter, one writer per file.
// Keeps the five libraries connected for its lifetime (T, X, M, H, D), also when an
// exception leaves a conversion. Progress lines go to the bottom of the progress list,
// each repainted at once, so a caller may run it on the window's own thread.

#include "datalog/DataLogConverter.h"
#include "platform/ProgressList.h"
#include "influx/RyInfluxDB.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

namespace quarvel {

class RtdbConverter {
public:
    // folderPath is the folder of the table files; a missing trailing '/' is added.
    RtdbConverter(const std::string& databaseName, const std::string& folderPath, InfluxTarget target = {});
    ~RtdbConverter();
    RtdbConverter(const RtdbConverter&) = delete;
    RtdbConverter& operator=(const RtdbConverter&) = delete;

    // The list the progress lines go to; without one they are not shown.
    void SetProgressList(platform::ProgressList& list) { progressList = &list; }

    void LoadTagTable();
    // The catalogue's name of `id`; an unknown id is entered with an empty name. The
    // reference stays valid as long as the converter.
    const std::string& TagName(int32_t id);
    void AddProgressLine(const std::string& text);

    void ConvertAllTables();
    void ConvertTableFile(const std::string& path);

    const ConversionTotals& Totals() const { return m_totals; }

    // Asks the export, from any thread, to end after the table file it is converting:
    // that file's lines are all posted, later files are left alone.
    void RequestStop() { m_stopRequested = true; }
    bool Stopped() const { return m_stopRequested; }

    // Files whose lines were all written go into the journal; a resuming journal's files are skipped.
    void SetJournal(Journal* journal) { m_journal = journal; }

    // Called on the converting thread after each table file, for live progress displays.
    std::function<void(const ConversionTotals&)> onFileDone;

private:
    std::string folderPath;
    std::string databaseName;
    std::unordered_map<int32_t, std::string> tagNames;
    platform::ProgressList* progressList = nullptr;
    InfluxTarget m_target;
    ConversionTotals m_totals;
    std::atomic<bool> m_stopRequested{false};
    Journal* m_journal = nullptr;
};

// TableKind of a table file's path from the letter before its last '.': X raw; M, 1 or 2
// minute; H hour; D day. -1 for any other letter.
int TableKindOfPath(const std::string& path);

// Number of table files an export of the folder will meet ("*.rdb" other than
// "Tags.rdb"), for progress displays.
int CountTableFiles(const std::string& folderPath);

}  // namespace quarvel

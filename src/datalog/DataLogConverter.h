#pragma once

// Converts a whole data-log folder: every "*.DAT" file of its first-level sub-folders,
// one writer per file, with progress lines at the top of the progress list and in the log.

#include "ProgressList.h"
#include "RyInfluxDB.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// What a conversion did, for the closing message and the command line's summary.
struct ConversionTotals {
    int filesConverted = 0;  // files whose records went to a writer
    int filesSkipped = 0;    // other kind letters, unreadable files, unusable names or paths
    int filesWithLoss = 0;   // files some of whose lines were not written
    uint64_t records = 0;    // records handed to the writers
    WriteCounts writes;      // summed over all files
};

class DataLogConverter {
public:
    // folderPath is the data-log folder; a missing trailing '/' is added.
    DataLogConverter(const std::string& folderPath, const std::string& databaseName,
                     platform::ProgressList& progressList, InfluxTarget target = {});

    int ConvertAllFolders();
    int ConvertFolder(const std::string& name);
    int ConvertDatFile(const std::string& path);
    void ShowProgress(const std::string& text);

    const ConversionTotals& Totals() const { return m_totals; }

    // Asks the walk, from any thread, to end after the file it is converting: that
    // file's lines are all posted, later files are left alone and no message box shows.
    void RequestStop() { m_stopRequested = true; }
    bool Stopped() const { return m_stopped; }

    // Called on the converting thread after each file, for live progress displays.
    std::function<void(const ConversionTotals&)> onFileDone;

private:
    void SkipFile(const std::string& name, const char* why);

    std::string folderPath;
    std::string databaseName;
    platform::ProgressList& progressList;
    InfluxTarget m_target;
    ConversionTotals m_totals;
    std::atomic<bool> m_stopRequested{false};
    bool m_stopped = false;
};

// The closing text of a conversion: "Conversion completed", and how many lines were
// not written when any were lost.
std::string CompletionText(const ConversionTotals& totals);

// Number of files a walk of the folder will meet (the same listing rules), for progress.
int CountDataLogFiles(const std::string& folderPath);

// Parts of a data-log file's path: the kind letter before the last '.', the tag name
// between the last '/' and the first '$' of the path.
struct DatFileName {
    int kind = -1;  // TableKind, or -1 for a letter that is no data-log kind
    std::string tagName;
    const char* problem = nullptr;  // why the name cannot be used, or null
};
DatFileName ParseDatFileName(const std::string& path);

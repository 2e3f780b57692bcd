#pragma once

// Converts a whole data-log folder: every "*.DAT" file of its first-level sub-folders,
// with progress lines at the top of the progress list and in the log. Each job has one
// writer for a sub-folder, so that a post carries the lines of several small files; a
// file is done (journaled, counted, told to the progress) once every post that carried
// its lines has ended.

#include "conversion/Converter.h"
#include "datalog/DataLogFile.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace quarvel {

class DataLogConverter : public Converter {
public:
    using Converter::Converter;

    // The sub-folders one after the other; within one, SetJobs files at once, each with a
    // writer of its own. One job walks the files in listing order; more keep a server busy
    // that answers one post at a time no faster than one stream can feed it.
    void ConvertAll() override;
    // One file with a writer of its own.
    void ConvertDatFile(const std::string& path);

private:
    struct PendingFile {
        std::string path;
        uint64_t records = 0;
        std::optional<FileStamp> stamp;
        uint64_t bytes = 0;
    };

    void Tell(const std::string& text) override;
    void ConvertFolder(const std::string& folder, const std::vector<std::string>& names);
    std::unique_ptr<RyInfluxDB> JobWriter();
    void ConvertListedFile(const std::string& folder, const std::string& name, RyInfluxDB& writer);
    // True when the file's records went to `writer`; it is done once they are posted.
    // resolvedFolder: the file's folder resolved, or empty.
    bool ConvertDatFile(const std::string& path, RyInfluxDB& writer, const std::string& resolvedFolder);
    void FileStored(uint64_t source, const WriteCounts& counts, bool allStored);
    void FileDone(const std::string& path, uint64_t bytes);

    std::unordered_map<uint64_t, PendingFile> m_pending;  // by source number, under m_mutex
    std::string m_resolvedFolder;                         // of the sub-folder under way, for the journal's stamps
    std::atomic<uint64_t> m_nextSource{0};
};

}  // namespace quarvel

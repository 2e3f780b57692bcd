#pragma once

// Unsent-line files: the batches the server did not store, kept for `quarvel-cli repost`.
// One file per database and retention policy, "<database>.<policy>.lp" in the folder:
//
//   # quarvel unsent lines: database=<name> rp=<policy>
//   # batch <lines> <bytes> <checksum>
//   <the batch, exactly as it was posted>
//   # batch ...
//
// Each record is appended with one write and made durable before the append returns, under
// an exclusive lock of the file. A record torn by a crash fails its length or checksum and is
// skipped by the reader; the records before and after it stay readable.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarvel {

// Relative to the current directory, beside Logs/Quarvel.log.
constexpr const char* kUnsentFolder = "Logs/unsent";

// "<database>.<policy>.lp": bytes that do not belong in a file name are percent-encoded;
// a very long name is cut and ends in a hash of the whole.
std::string UnsentFileName(const std::string& database, const std::string& retentionPolicy);

// Appends one batch to the file of its database and policy in `folder`, creating both when
// missing. True once the record is on disk; `path` names the file either way.
bool AppendUnsent(const std::string& folder, const std::string& database, const std::string& retentionPolicy,
                  std::string_view body, int lines, std::string& path, std::string& error);

// A file as read at one moment. Bodies point into a read-only mapping of the file, valid as
// long as the object.
class UnsentFile {
public:
    struct Batch {
        uint64_t offset = 0;    // of the record in the file
        std::string_view mark;  // the "# batch" line, which tells the record apart
        std::string_view body;
        int lines = 0;
    };

    UnsentFile() = default;
    ~UnsentFile();
    UnsentFile(const UnsentFile&) = delete;
    UnsentFile& operator=(const UnsentFile&) = delete;

    // False with `error` when the file cannot be read or has no valid header.
    bool Read(const std::string& path, std::string& error);

    const std::string& Path() const { return m_path; }
    const std::string& Database() const { return m_database; }
    const std::string& RetentionPolicy() const { return m_retentionPolicy; }
    const std::vector<Batch>& Batches() const { return m_batches; }
    uint64_t DamagedBytes() const { return m_damagedBytes; }  // of torn or garbled records, skipped

private:
    bool Parse(std::string& error);
    void Unmap();

    std::string m_path;
    std::string m_database;
    std::string m_retentionPolicy;
    std::vector<Batch> m_batches;
    uint64_t m_damagedBytes = 0;
    const char* m_data = nullptr;
    size_t m_size = 0;
};

// Takes the given batches of `file` out of the file on disk, keeping every other record,
// also those appended since it was read; removes the file when no record is left. The new
// file replaces the old one whole (written aside, then renamed).
bool RemoveDelivered(const UnsentFile& file, const std::vector<size_t>& delivered, std::string& error);

// The unsent-line files ("*.lp") of a folder, in name order; none when it does not exist.
std::vector<std::string> ListUnsentFiles(const std::string& folder);

}  // namespace quarvel

#pragma once

// Table files (docs/table-files.md): a 24-byte header, then packed little-endian rows of
// one kind. The reader checks the header against the file before it hands out any row
// and never reads past the rows the header announces.

#include <cstdint>
#include <string>
#include <vector>

namespace quarvel {

namespace rtdb {

constexpr char kMagic[8] = {'Q', 'R', 'V', 'T', 'A', 'B', 'L', 'E'};
constexpr uint16_t kVersion = 1;
constexpr uint64_t kHeaderSize = 24;
constexpr char kTableKinds[] = "TXMHD";

// Row size of a kind letter of the header ('T', 'X', 'M', 'H' or 'D'); 0 for others.
uint32_t RowSizeOf(char kind);

enum class TableStatus {
    kOk,
    kCannotOpen,
    kNotAFile,
    kTooShort,
    kBadMagic,
    kBadVersion,
    kUnknownKind,
    kBadRowSize,
    kSizeMismatch,  // the file holds more or fewer bytes than the header's rows
};
const char* Describe(TableStatus status);

class TableReader {
public:
    TableReader() = default;
    ~TableReader();
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;

    TableStatus Open(const std::string& path);
    char Kind() const { return m_kind; }
    uint32_t RowSize() const { return m_rowSize; }
    uint64_t RowCount() const { return m_rowCount; }

    void Rewind() { m_next = 0; }
    // Copies the next row (RowSize bytes) into `row`. False after the last row, and when
    // the file can no longer be read (it may have shrunk since it was opened).
    bool Next(void* row);
    // Whether every row the header counts was handed out: after Next said false, the
    // difference between a table's end and a read that failed before it.
    bool AtEnd() const { return m_next >= m_rowCount; }

private:
    bool Fill();

    int m_fd = -1;
    char m_kind = 0;
    uint32_t m_rowSize = 0;
    uint64_t m_rowCount = 0;
    uint64_t m_next = 0;  // index of the row Next hands out
    std::vector<char> m_buffer;
    uint64_t m_bufferFirst = 0;  // index of the first row in m_buffer
    uint64_t m_bufferRows = 0;
};

// The bytes of a table file holding `rowCount` rows of `kind` (RowSize bytes each).
std::string TableImage(char kind, const void* rows, uint64_t rowCount);

}  // namespace rtdb

}  // namespace quarvel

// The table file reader on any file contents, through the library calls and through
// TableReader, held against the layout of docs/table-files.md. The last byte of the
// input also says how many bytes the file loses after it was opened.

#include "rtdb/TableFile.h"
#include "FuzzSupport.h"
#include "rtdb/TableLibrary.h"

#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

using namespace quarvel;

namespace fuzz {

namespace {

struct LibraryCalls {
    char kind;
    int (*open)(const char*);
    int (*selectAll)(int);
    int (*selectNext)(int, int, void*);
    int (*close)(int);
};

template <typename Row, int (*Next)(int, int, Row*)>
int NextRow(int handle, int selection, void* row) {
    return Next(handle, selection, static_cast<Row*>(row));
}

const LibraryCalls kLibraries[] = {
    {'T', RyOpenTagTable, RySelectTagAll, NextRow<TagRow, RySelectTagNext>, RyCloseTagTable},
    {'X', RyOpenXTable, RySelectXAll, NextRow<RawRow, RySelectXNext>, RyCloseXTable},
    {'M', RyOpenMTable, RySelectMAll, NextRow<SummaryRow, RySelectMNext>, RyCloseMTable},
    {'H', RyOpenHTable, RySelectHAll, NextRow<SummaryRow, RySelectHNext>, RyCloseHTable},
    {'D', RyOpenDTable, RySelectDAll, NextRow<SummaryRow, RySelectDNext>, RyCloseDTable},
};

uint64_t Little(const uint8_t* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = count; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

// What a reader must make of the file, checked in the documented order.
rtdb::TableStatus ExpectedStatus(const uint8_t* data, size_t size) {
    using rtdb::TableStatus;
    if (size < rtdb::kHeaderSize) return TableStatus::kTooShort;
    if (std::memcmp(data, "QRVTABLE", 8) != 0) return TableStatus::kBadMagic;
    if (Little(data + 8, 2) != 1) return TableStatus::kBadVersion;
    const char kind = static_cast<char>(data[10]);
    const uint64_t rowSize = kind == 'T'                                   ? 40
                             : kind == 'X'                                 ? 174
                             : (kind == 'M' || kind == 'H' || kind == 'D') ? 26
                                                                           : 0;
    if (rowSize == 0) return TableStatus::kUnknownKind;
    if (Little(data + 12, 4) != rowSize) return TableStatus::kBadRowSize;
    const uint64_t body = size - rtdb::kHeaderSize;
    if (body % rowSize != 0 || Little(data + 16, 8) != body / rowSize) return TableStatus::kSizeMismatch;
    return TableStatus::kOk;
}

void ConnectAll() {
    static const bool connected = [] {
        return RyConnectTDB() == 0 && RyConnectXDB() == 0 && RyConnectMDB() == 0 && RyConnectHDB() == 0 &&
               RyConnectDDB() == 0;
    }();
    Check(connected, "a library did not connect");
}

// Reads every row through `library` and holds each against the file's bytes.
void ReadAllRows(const LibraryCalls& library, int handle, const uint8_t* data, uint64_t rowSize, uint64_t rows,
                 const std::string& path, size_t cut) {
    if (cut > 0)
        Check(truncate(path.c_str(), static_cast<off_t>(rows * rowSize + rtdb::kHeaderSize - cut)) == 0,
              "cannot shorten the file");
    const uint64_t left = rows * rowSize + rtdb::kHeaderSize - cut;
    const uint64_t readable = left < rtdb::kHeaderSize ? 0 : (left - rtdb::kHeaderSize) / rowSize;

    Check(library.selectAll(handle) == 0, "Select-All refused an open table");
    // Exactly a row's room, so that a longer copy is caught.
    const std::unique_ptr<char[]> row(new char[rowSize]);
    uint64_t read = 0;
    while (read <= rows && library.selectNext(handle, 0, row.get()) == 1) {
        Check(read < rows, "more rows than the header counts");
        if (read < rows)
            Check(std::memcmp(row.get(), data + rtdb::kHeaderSize + read * rowSize, rowSize) == 0,
                  "a row that is not as stored");
        ++read;
    }
    Check(read == readable, "rows read differ from the rows the file holds");
    // A file cut short fails where its rows end; a whole one ends there.
    Check(library.selectNext(handle, 0, row.get()) == (readable < rows ? kRyCannotRead : 0), "a row after the last");
}

}  // namespace

int TableFile(const uint8_t* data, size_t size) {
    ConnectAll();
    const std::string path = ScratchFolder() + "/table.rdb";
    WriteScratchFile(path, data, size);

    const rtdb::TableStatus expected = ExpectedStatus(data, size);
    {
        rtdb::TableReader reader;
        const rtdb::TableStatus status = reader.Open(path);
        if (status != expected)
            Check(false, std::string("TableReader says ") + rtdb::Describe(status) + ", the file is " +
                             rtdb::Describe(expected));
    }

    // The library of the header's kind, and one other that must refuse the file.
    const char headerKind = size > 10 ? static_cast<char>(data[10]) : '\0';
    size_t own = size % 5;
    for (size_t i = 0; i < 5; ++i)
        if (kLibraries[i].kind == headerKind) own = i;
    const LibraryCalls& other = kLibraries[(own + 1 + size % 4) % 5];
    const LibraryCalls& library = kLibraries[own];

    const int refused = other.open(path.c_str());
    Check(refused == kRyMalformed, "a library opened a table of another kind");
    if (refused > 0) other.close(refused);

    const bool readable = expected == rtdb::TableStatus::kOk && headerKind == library.kind;
    const int handle = library.open(path.c_str());
    if (!readable) {
        Check(handle == kRyMalformed, "a malformed table was not refused with kRyMalformed");
        char row[256];
        Check(library.selectNext(handle, 0, row) == 0, "a row from a table that was refused");
        if (handle > 0) library.close(handle);
        return 0;
    }
    Check(handle > 0, "a well-formed table was refused");
    if (handle <= 0) return 0;
    const uint64_t rowSize = rtdb::RowSizeOf(headerKind);
    const uint64_t rows = (size - rtdb::kHeaderSize) / rowSize;
    ReadAllRows(library, handle, data, rowSize, rows, path, size > 0 ? data[size - 1] % (size + 1) : 0);
    Check(library.close(handle) == 0, "Close refused an open table");
    Check(library.close(handle) == kRyUnknownHandle, "a table closed twice");
    return 0;
}

}  // namespace fuzz

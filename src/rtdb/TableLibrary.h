#pragma once

// The node's table libraries: six calls per kind (T tags, X raw, M minute, H hour, D day)
// over table files of our own format (docs/table-files.md). Every call may come from any
// thread; each kind has at most one open table at a time.
//
// Results: Connect and Disconnect 0 (Disconnect without a Connect: kRyNotConnected);
// Open a positive handle or one of the negative codes below; Select-All 0 (it starts the
// selection at the first row) or kRyUnknownHandle; Select-Next 1 with the next row in the
// buffer, 0 after the last row (and for an unknown handle, a missing Select-All or a null
// buffer), or kRyCannotRead when the rows end before the last one the header counts (a
// read error, or a file that shrank): a table read in part is never taken for a whole
// one; Close 0 or kRyUnknownHandle.
// Connects nest: the last Disconnect closes a table left open.

#include <bit>
#include <cstdint>
#include <functional>
#include <string_view>

namespace quarvel {

static_assert(std::endian::native == std::endian::little, "rows are copied as stored: packed little-endian");

struct __attribute__((packed)) TagRow {
    int32_t unused;
    int32_t tagId;
    char name[32];  // NUL-terminated
};
static_assert(sizeof(TagRow) == 40);

struct __attribute__((packed)) SummaryRow {
    int32_t time;
    int32_t tagId;
    uint16_t status;
    float last;  // or a no-value pattern, handed on bit for bit
    float max;
    float min;
    float mean;
};
static_assert(sizeof(SummaryRow) == 26);

constexpr int kFollowOnEntries = 32;

struct __attribute__((packed)) FollowOn {
    int8_t offset;  // seconds after the row's time; zero or negative ends the list
    float value;
};

struct __attribute__((packed)) RawRow {
    int32_t time;
    int32_t tagId;
    uint16_t status;
    float value;
    FollowOn followOn[kFollowOnEntries];
};
static_assert(sizeof(FollowOn) == 5);
static_assert(sizeof(RawRow) == 174);

enum RyResult : int {
    kRyNotConnected = -1,
    kRyTableBusy = -2,      // this kind already has an open table
    kRyCannotRead = -3,     // missing, not a plain file, or unreadable
    kRyMalformed = -4,      // see docs/table-files.md for what a reader checks
    kRyUnknownHandle = -5,  // also a handle already closed
};

extern "C" {
int RyConnectTDB();
int RyDisconnectTDB();
int RyOpenTagTable(const char* path);
int RySelectTagAll(int handle);
int RySelectTagNext(int handle, int selection, TagRow* row);
int RyCloseTagTable(int handle);

int RyConnectXDB();
int RyDisconnectXDB();
int RyOpenXTable(const char* path);
int RySelectXAll(int handle);
int RySelectXNext(int handle, int selection, RawRow* row);
int RyCloseXTable(int handle);

int RyConnectMDB();
int RyDisconnectMDB();
int RyOpenMTable(const char* path);
int RySelectMAll(int handle);
int RySelectMNext(int handle, int selection, SummaryRow* row);
int RyCloseMTable(int handle);

int RyConnectHDB();
int RyDisconnectHDB();
int RyOpenHTable(const char* path);
int RySelectHAll(int handle);
int RySelectHNext(int handle, int selection, SummaryRow* row);
int RyCloseHTable(int handle);

int RyConnectDDB();
int RyDisconnectDDB();
int RyOpenDTable(const char* path);
int RySelectDAll(int handle);
int RySelectDNext(int handle, int selection, SummaryRow* row);
int RyCloseDTable(int handle);
}

// Told the name of every Connect, Disconnect, Open and Close call after it ran (not the
// per-row calls), on the calling thread; for diagnostics and tests. Empty: nobody.
void SetTableCallObserver(std::function<void(std::string_view call)> observer);

}  // namespace quarvel

#include "rtdb/TableLibrary.h"

#include "rtdb/TableFile.h"

#include <climits>
#include <memory>
#include <mutex>
#include <utility>

namespace quarvel {

namespace {

struct Library {
    explicit Library(char kindLetter) : kind(kindLetter) {}

    const char kind;  // the header kind letter of the tables it reads
    int connects = 0;
    int handle = 0;  // of the open table
    bool selected = false;
    std::unique_ptr<rtdb::TableReader> table;
};

std::mutex g_mutex;  // guards every Library and g_lastHandle
Library g_libraries[] = {Library('T'), Library('X'), Library('M'), Library('H'), Library('D')};
int g_lastHandle = 0;  // handles are unique across kinds, so one kind cannot use another's

std::mutex g_observerMutex;
std::function<void(std::string_view)> g_observer;

void Notify(std::string_view call) {
    std::function<void(std::string_view)> observer;
    {
        std::lock_guard lock(g_observerMutex);
        observer = g_observer;
    }
    if (observer) observer(call);
}

int Connect(Library& library, const char* call) {
    {
        std::lock_guard lock(g_mutex);
        ++library.connects;
    }
    Notify(call);
    return 0;
}

int Disconnect(Library& library, const char* call) {
    int result = 0;
    {
        std::lock_guard lock(g_mutex);
        if (library.connects == 0) {
            result = kRyNotConnected;
        } else if (--library.connects == 0) {
            library.table.reset();
            library.handle = 0;
        }
    }
    Notify(call);
    return result;
}

int Open(Library& library, const char* path, const char* call) {
    int result = 0;
    {
        std::lock_guard lock(g_mutex);
        if (library.connects == 0) {
            result = kRyNotConnected;
        } else if (library.table) {
            result = kRyTableBusy;
        } else if (path == nullptr) {
            result = kRyCannotRead;
        } else {
            auto table = std::make_unique<rtdb::TableReader>();
            const rtdb::TableStatus status = table->Open(path);
            if (status == rtdb::TableStatus::kCannotOpen || status == rtdb::TableStatus::kNotAFile) {
                result = kRyCannotRead;
            } else if (status != rtdb::TableStatus::kOk || table->Kind() != library.kind) {
                result = kRyMalformed;
            } else {
                g_lastHandle = g_lastHandle == INT_MAX ? 1 : g_lastHandle + 1;
                library.table = std::move(table);
                library.handle = result = g_lastHandle;
                library.selected = false;
            }
        }
    }
    Notify(call);
    return result;
}

bool IsOpen(const Library& library, int handle) {
    return library.table && handle == library.handle;
}

int SelectAll(Library& library, int handle) {
    std::lock_guard lock(g_mutex);
    if (!IsOpen(library, handle)) return kRyUnknownHandle;
    library.table->Rewind();
    library.selected = true;
    return 0;
}

// The selection value is not needed: a table has one selection, all of its rows.
int SelectNext(Library& library, int handle, void* row) {
    std::lock_guard lock(g_mutex);
    if (!IsOpen(library, handle) || !library.selected || row == nullptr) return 0;
    if (library.table->Next(row)) return 1;
    return library.table->AtEnd() ? 0 : kRyCannotRead;
}

int Close(Library& library, int handle, const char* call) {
    int result = 0;
    {
        std::lock_guard lock(g_mutex);
        if (IsOpen(library, handle)) {
            library.table.reset();
            library.handle = 0;
        } else {
            result = kRyUnknownHandle;
        }
    }
    Notify(call);
    return result;
}

}  // namespace

void SetTableCallObserver(std::function<void(std::string_view call)> observer) {
    std::lock_guard lock(g_observerMutex);
    g_observer = std::move(observer);
}

// The six calls of one library: Ry<verb><kind>DB for the connection, Ry<verb><object>...
// for the table. `Row` is a type, which takes no parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define RY_TABLE_LIBRARY(index, kind, object, Row)                           \
    int RyConnect##kind##DB() {                                              \
        return Connect(g_libraries[index], "RyConnect" #kind "DB");          \
    }                                                                        \
    int RyDisconnect##kind##DB() {                                           \
        return Disconnect(g_libraries[index], "RyDisconnect" #kind "DB");    \
    }                                                                        \
    int RyOpen##object##Table(const char* path) {                            \
        return Open(g_libraries[index], path, "RyOpen" #object "Table");     \
    }                                                                        \
    int RySelect##object##All(int handle) {                                  \
        return SelectAll(g_libraries[index], handle);                        \
    }                                                                        \
    int RySelect##object##Next(int handle, int, Row* row) {                  \
        return SelectNext(g_libraries[index], handle, row);                  \
    }                                                                        \
    int RyClose##object##Table(int handle) {                                 \
        return Close(g_libraries[index], handle, "RyClose" #object "Table"); \
    }
// NOLINTEND(bugprone-macro-parentheses)

extern "C" {
RY_TABLE_LIBRARY(0, T, Tag, TagRow)
RY_TABLE_LIBRARY(1, X, X, RawRow)
RY_TABLE_LIBRARY(2, M, M, SummaryRow)
RY_TABLE_LIBRARY(3, H, H, SummaryRow)
RY_TABLE_LIBRARY(4, D, D, SummaryRow)
}

}  // namespace quarvel

#pragma once

// Proof of completeness: the node read exactly as a conversion reads it (the same files,
// name rules, code page and time arithmetic), without posting, reduced per kind, tag and
// UTC day to the points expected (distinct time stamps), and held against the server's
// counts per day, which the server makes while the node is read. Only the days whose
// counts differ are looked at point by point: a data-log file gives the records of one
// such day at a time again, and the server's time stamps of that day are asked for, to
// name the stretches missing; a table is read again whole, keeping the time stamps of its
// days looked at (its rows are not in time order).
// Memory is a small record per kind, tag and day, and the time stamps of the file under
// way (in the storage of the largest file's before, kept for them); in the second reading,
// those of one day of one tag (of one table's days looked at).
// With the values, every field is held too: the count, minimum, maximum and sum of each
// field per tag and day on both sides first (each node value as the float the server reads
// from the text a conversion sends), then the points of the days whose aggregates differ.
// A repair posts the lines of Logs/unsent again, then the lines of exactly the points
// missing (and differing), read again through the conversion's writer, and verifies their
// files again, counting again only the days (and, while they are few, the tags) it looked at.

#include "influx/LogSample.h"
#include "influx/Repost.h"
#include "influx/StoredPoints.h"
#include "session/Session.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quarvel {

// Points the node holds one after the other and the server lacks.
struct Stretch {
    int64_t first = 0;  // seconds since 1970
    int64_t last = 0;
    uint64_t points = 0;
};

struct DayCount {
    uint64_t expected = 0;
    uint64_t stored = 0;
    bool valuesDiffer = false;  // the aggregates of some field differ
};

// A point whose stored fields are not those the node holds: the first field that differs.
struct ValueExample {
    int64_t time = 0;
    int field = 0;  // of kFieldName
    std::optional<double> node;
    std::optional<double> server;  // none: the server lacks the field
};

struct TagCheck {
    uint64_t expected = 0;     // distinct time stamps in the node
    uint64_t expectedOld = 0;  // of them, older than the retention policy keeps
    int64_t first = 0;         // of the expected, seconds since 1970; set when expected > 0
    int64_t last = 0;
    bool inNode = false;
    uint64_t stored = 0;
    int64_t storedFirst = 0;
    int64_t storedLast = 0;
    bool inServer = false;
    uint64_t waiting = 0;                       // lines of the tag waiting in the unsent-line files
    std::map<int64_t, DayCount> days;           // by the first second of the UTC day
    std::vector<Stretch> stretches;             // in time order; found where the day counts differ
    std::map<int64_t, FieldAggregates> values;  // the node's, by day, when the values are compared
    std::vector<Stretch> differing;             // runs of points whose values differ, in time order
    std::vector<ValueExample> examples;         // the first few of them

    uint64_t Differing() const;

    uint64_t Missing() const { return expected > stored ? expected - stored : 0; }
    uint64_t BeyondRetention() const { return std::min(Missing(), expectedOld); }
    uint64_t Waiting() const { return std::min(Missing() - BeyondRetention(), waiting); }
};

struct KindCheck {
    std::map<std::string, TagCheck> tags;  // by the name as the server knows it; "" without one
    int64_t retentionSeconds = 0;          // 0: the policy keeps points for ever

    int complete = 0;
    int shortTags = 0;    // some points missing
    int missingTags = 0;  // none in the server
    int extraTags = 0;    // in the server, not in the node
    uint64_t expected = 0;
    uint64_t stored = 0;  // of the tags the node has
    uint64_t missing = 0;
    uint64_t beyondRetention = 0;
    uint64_t waiting = 0;
    uint64_t differing = 0;
};

struct Verification {
    std::string database;
    std::array<KindCheck, kTableKindCount> kinds;  // by TableKind
    uint64_t summariesBefore1970 = 0;              // never posted: their time stamp is before 1970
    uint64_t namesNotCarried = 0;                  // never posted: line protocol cannot carry their names
    bool values = false;                           // the values were compared
    std::vector<std::string> files;                // read, in order
    // What a conversion would journal of the files read, were their points all stored; by resolved path.
    std::map<std::string, JournalEntry> entries;
    uint64_t Missing() const;
    uint64_t Differing() const;
};

// Reads the session's source and asks its server; with `values`, value by value; with
// `only`, just those files of the source, and the tags they hold. With `before`, a
// verification of the source a moment ago, the server counts again only the days short in
// it (of the tags short in it, while they are few); the others are taken as it found them. Returns the exit status:
// kAllWritten when every expected point is stored (with its values), kLinesNotWritten when
// some are missing or differ, kUsageError when the folder or the database is missing or the
// login is refused, kServerUnreachable when the server cannot be used; `error` says why for
// the last two.
int Verify(const SessionOptions& options, Verification& result, std::string& error, bool values = false,
           const std::vector<std::string>* only = nullptr, const Verification* before = nullptr);

// What a repair did, per tag it had points to put back.
struct TagRepair {
    uint64_t missing = 0;    // before
    uint64_t differing = 0;  // before
    uint64_t posted = 0;     // lines stored again
    std::string refused;     // what the server said to lines it did not store; empty when none
};
struct Repairing {
    RepostTally unsent;  // the lines of Logs/unsent posted again
    int filesRead = 0;   // read again for the points to post
    uint64_t recordsRead = 0;
    std::map<std::pair<int, std::string>, TagRepair> tags;
};

// Verifies as above, posts the lines of the database in Logs/unsent and those of the points
// missing (with `values`, differing) again, and verifies the files that hold them again;
// `result` is that last verification. Points older than their retention policy keeps are
// never posted. Returns the last verification's exit status.
int Repair(const SessionOptions& options, bool values, Verification& result, Repairing& repairing, std::string& error);

// A line of line protocol read back: its kind, its name (unescaped; "" without one) and its
// time stamp in seconds. False for a line that is none of ours.
struct PostedLine {
    int kind = -1;
    std::string name;
    int64_t seconds = 0;
};
bool ReadPostedLine(std::string_view line, PostedLine& read);

// The fields of a line read back, each as the server reads its text; false when a field is
// none of ours or its value is no number.
bool ReadPostedFields(std::string_view line, FieldValues& fields);

}  // namespace quarvel

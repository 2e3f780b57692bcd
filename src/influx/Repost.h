#pragma once

// Posts the batches of unsent-line files again, with the writer's retries, and takes each
// batch the server stored whole out of its file; also one it stored but for the points older
// than its retention policy keeps, since no later post stores those.

#include "influx/RyInfluxDB.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quarvel {

struct RepostTally {
    uint64_t batchesDelivered = 0;
    uint64_t linesDelivered = 0;
    uint64_t batchesLeft = 0;
    uint64_t linesLeft = 0;
    uint64_t linesPastRetention = 0;  // of batches done, dropped by the server as older than its policy keeps
    int unreadable = 0;               // files that are no unsent-line files
    uint64_t batchesRefused = 0;      // of those left, refused at once by an answer (not silence, not busy)
    bool unanswered = false;          // some batch found the server silent
};

// Posts every batch of `files` to the target's server. `say` gets the progress lines
// (files, their batches, what was delivered) and `problem` the errors. Once `interrupted`
// is set, the batches not yet sent stay in their files.
RepostTally Repost(const std::vector<std::string>& files, const InfluxTarget& target,
                   const std::atomic<bool>& interrupted, const std::function<void(const std::string&)>& say,
                   const std::function<void(const std::string&)>& problem);

}  // namespace quarvel

#include "influx/Repost.h"

#include "influx/Delivery.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"

namespace quarvel {

RepostTally Repost(const std::vector<std::string>& files, const InfluxTarget& target,
                   const std::atomic<bool>& interrupted, const std::function<void(const std::string&)>& say,
                   const std::function<void(const std::string&)>& problem) {
    RepostTally tally;
    for (const std::string& path : files) {
        UnsentFile file;
        std::string error;
        if (!file.Read(path, error)) {
            problem(error);
            ++tally.unreadable;
            continue;
        }
        const std::string where = "database " + file.Database() + ", retention policy " + file.RetentionPolicy();
        const std::vector<std::string> urls = WriteUrls(target, file.Database(), file.RetentionPolicy());
        say(path + ": " + std::to_string(file.Batches().size()) + " batches for " + where);
        if (file.DamagedBytes() > 0)
            say(path + ": " + std::to_string(file.DamagedBytes()) +
                " bytes of records cut short or garbled (a crash while saving) are left out");

        std::vector<size_t> delivered;
        uint64_t linesDelivered = 0;
        for (size_t i = 0; i < file.Batches().size(); ++i) {
            const UnsentFile::Batch& batch = file.Batches()[i];
            const auto lines = static_cast<uint64_t>(batch.lines);
            // A batch posted while the run was being interrupted still counts as delivered.
            const bool posted = !interrupted;
            DeliveryResult result;
            if (posted) result = Deliver(target, urls, std::string(batch.body), batch.lines, where);
            if (posted && result.Done()) {
                delivered.push_back(i);
                linesDelivered += lines - result.linesPastRetention;
                tally.linesPastRetention += result.linesPastRetention;
            } else {
                ++tally.batchesLeft;
                tally.linesLeft += lines;
                tally.unanswered = tally.unanswered || result.unanswered;
                if (result.RefusedAtOnce()) ++tally.batchesRefused;
            }
        }
        tally.batchesDelivered += delivered.size();
        tally.linesDelivered += linesDelivered;
        // Delivered batches left in the file are merely posted again next time.
        if ((!delivered.empty() || file.DamagedBytes() > 0) && !RemoveDelivered(file, delivered, error)) problem(error);
        say(path + ": " + std::to_string(delivered.size()) + " batches (" + Thousands(linesDelivered) +
            " lines) delivered, " + std::to_string(file.Batches().size() - delivered.size()) + " left");
    }
    if (tally.linesPastRetention > 0)
        say(Thousands(tally.linesPastRetention) +
            " lines older than the retention policy keeps were dropped by the server");
    return tally;
}

}  // namespace quarvel

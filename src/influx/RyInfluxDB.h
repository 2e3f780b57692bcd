#pragma once

// The writer every conversion feeds: one line of line protocol per sample, one batch per
// TableKind, posted to the write endpoint at 10000 lines and when the writer is destroyed.
// One writer per source file; callers hold m_batchLock[kind] around each add. With
// maxInFlight above 1 the full batches go out on posting threads while the next one fills.

#include "influx/Delivery.h"
#include "influx/HttpPost.h"
#include "influx/LineRate.h"
#include "influx/LogSample.h"
#include "influx/PostsInFlight.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quarvel {

constexpr int kBatchLines = 10000;
// Room a batch's body takes at once: a full batch of lines of 256 bytes, longer than the
// longest sample line. Pages are touched only as lines fill them; growing by doubling
// would touch fresh ones for every copy, and a spare body would be outgrown.
constexpr size_t kBodyRoom = size_t{kBatchLines} * 256;

// Bodies of ended posts, cleared, for the next batches of any writer of a run: storage
// already touched, where a fresh body would cost its pages anew, and a writer that starts
// later (the next table, the next folder) finds them.
struct SpareBodies {
    struct Body {
        std::string text;
        size_t filled = 0;  // how far its pages are touched: the length of its last batch
    };
    std::mutex mutex;
    std::vector<Body> bodies;
    // The length of each kind's last full batch in the run, so that a writer's first body
    // has its pages mapped too.
    std::atomic<size_t> fullBatchBytes[kTableKindCount] = {};
};

// Where and how a writer posts its batches.
struct InfluxTarget {
    std::string baseUrl = kDefaultInfluxUrl;  // scheme, host and port; a path and a query are kept
    // Further nodes of a cluster or relay pair: batches are spread over all, and a batch that
    // one node does not answer goes on to the next at once.
    std::vector<std::string> moreUrls;
    std::string consistency;  // empty: the server's default; else any, one, quorum or all
    std::string codePage;     // of the names; empty: the locale's
    bool gzip = false;        // HttpPost compresses the bodies
    ServerAccess access;      // the login and the certificates trusted
    HttpTimeouts timeouts;    // of each post
    // Carries one batch; empty means HttpPost. Dry runs and benchmarks put their own here.
    std::function<HttpResult(const std::string& url, const std::string& body)> post;
    RetryPolicy retry;
    // Told on the posting thread before each wait for another try.
    std::function<void(const RetryNotice&)> onRetry;
    // Waits between tries on the adding thread; empty: sleeps. A window that converts on its
    // own thread keeps handling its events here. With posts in flight it is called with no
    // delay while the writer waits for its posts, whose threads sleep between tries.
    std::function<void(std::chrono::milliseconds)> wait;
    // Where batches that were not stored go (kUnsentFolder for the front ends); empty: they
    // are only counted and logged.
    std::string unsentFolder;
    // Copies of a target share what they learnt about the server.
    std::shared_ptr<ServerWatch> watch = std::make_shared<ServerWatch>();
    // Lines per second over every writer of the target's copies; null: as fast as the server takes them.
    std::shared_ptr<LineRate> rate;
    // Posts of one writer under way at once, at most; their number follows the link
    // (PostsInFlight). 1: each batch is posted on the adding thread, which waits for it.
    int maxInFlight = 1;
    // Copies of a target share their spare bodies; null: none are kept.
    std::shared_ptr<SpareBodies> spareBodies = std::make_shared<SpareBodies>();
    // The lines carry no fields (AppendStamp), for a `post` that only counts the points.
    bool stampsOnly = false;
};

// What became of the lines a writer was given.
struct WriteCounts {
    uint64_t linesWritten = 0;
    uint64_t batchesFailed = 0;
    uint64_t batchesUnanswered = 0;  // failed batches that got no answer from the server
    uint64_t batchesRefused = 0;     // failed batches the server refused at once: no later post changes that
    uint64_t linesNotWritten = 0;
    uint64_t summariesBefore1970 = 0;  // summaries with a negative time stamp, left out on purpose
    uint64_t batchesSaved = 0;         // kept in unsent-line files for a later post
    uint64_t linesSaved = 0;           // their lines; a partial write's kept lines are among them

    WriteCounts& operator+=(const WriteCounts& other) {
        linesWritten += other.linesWritten;
        batchesFailed += other.batchesFailed;
        batchesUnanswered += other.batchesUnanswered;
        batchesRefused += other.batchesRefused;
        linesNotWritten += other.linesNotWritten;
        summariesBefore1970 += other.summariesBefore1970;
        batchesSaved += other.batchesSaved;
        linesSaved += other.linesSaved;
        return *this;
    }
};

// The zone offset a writer's line times are taken with (see LineTimestamp): the local
// zone's offset east of UTC without daylight saving.
int32_t StandardZoneOffset();

// Converts a text in the given code page (empty: the locale's) to UTF-8.
// Empty when the code page is unknown.
std::string ToUtf8(const char* text, const std::string& codePage = {});

// The write endpoint of one kind or policy: EndpointUrl(baseUrl, "write") with db and rp.
std::string WriteUrl(const std::string& baseUrl, const std::string& database, int kind);
std::string WriteUrl(const std::string& baseUrl, const std::string& database, std::string_view retentionPolicy,
                     std::string_view consistency = {});
// The write endpoints of every node of the target, with its consistency; the first node first.
std::vector<std::string> WriteUrls(const InfluxTarget& target, const std::string& database,
                                   std::string_view retentionPolicy);

class RyInfluxDB {
public:
    explicit RyInfluxDB(const char* database, InfluxTarget target = {});
    virtual ~RyInfluxDB();
    RyInfluxDB(const RyInfluxDB&) = delete;
    RyInfluxDB& operator=(const RyInfluxDB&) = delete;

    void AddRawSample(const char* name, const LogSample* sample);
    void AddSummarySample(int kind, const char* name, const LogSample* sample);

    // A name as it goes on the line: converted and escaped once per distinct name, and
    // kept as long as the writer. A caller that interleaves many names resolves each once
    // and adds its samples by the resolved name.
    struct LineName {
        std::string escaped;
        bool writable = true;
        std::string shown;  // a name that is not writable, as the log shows it
        // The latest line time of the name per kind, under that kind's lock.
        mutable int32_t latest[kTableKindCount] = {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN};
    };
    const LineName& NameOf(const char* name);
    void AddRawSample(const LineName& name, const LogSample& sample);
    void AddSummarySample(int kind, const LineName& name, const LogSample& sample);

    // Posts every non-empty batch, kinds in the order X, M, H, D, each under its lock.
    void FlushAll();

    // Complete once FlushAll has run (the destructor runs it too late to be read).
    const WriteCounts& Counts() const { return m_counts; }

    // Lines may come from several sources (files) one after another, so that a batch
    // carries the lines of several small ones. Lines added after BeginSource(id) are that
    // source's. After EndSource, once every batch that carried its lines was posted, the
    // writer tells `done` what became of them: its share of the counts (lines as they
    // fell to it, a batch's own counts to the batch's first source), and whether every
    // line of it was stored. The sources that one post finished are told at once.
    struct SourceOutcome {
        uint64_t source = 0;
        WriteCounts counts;
        bool allStored = true;
        bool allKept = true;  // every line stored, or refused at once and kept in an unsent-line file
    };
    using SourceDone = std::function<void(const std::vector<SourceOutcome>& done)>;
    void OnSourceDone(SourceDone done) { m_sourceDone = std::move(done); }
    void BeginSource(uint64_t source);
    void EndSource();

    std::recursive_mutex m_batchLock[kTableKindCount];

private:
    // Under the kind's lock: the line of a sample whose time stamp is due.
    void AddLine(int kind, const LineName& name, const LogSample& sample, int32_t timestamp);
    void NewBody(int kind);
    void FullBatchRule(int kind, bool announceSize);
    void DropBatch(int kind, const char* why);

    struct SourceState {
        int batches = 0;  // not yet posted that carry its lines
        bool ended = false;
        bool allStored = true;
        bool allKept = true;
        WriteCounts counts;
    };
    struct BatchShare {
        uint64_t source;
        int32_t firstLine;  // where its lines begin in the batch
    };
    struct Batch {
        std::string body;
        int kind = 0;
        int32_t lines = 0;
        std::vector<BatchShare> shares;
    };
    // Under the kind's lock: hands the kind's batch to its post, on this thread or a posting one.
    void PostBatch(int kind);
    PostsInFlight::Outcome Post(const Batch& batch, bool here);
    void KeepBody(std::string&& body) noexcept;
    // Under the kind's lock: a spare body for the kind's next batch, its pages that a full
    // batch fills mapped; none when there is none.
    void TakeSpareBody(int kind);
    size_t FullBatchBytes(int kind) const;
    void SaveUnsent(const Batch& batch, const DeliveryResult& delivery, WriteCounts& counts);
    void NoteLine(int kind);
    void CountSummaryBefore1970();
    void NotWritable(const LineName& name);
    // A batch has ended (posted or dropped): `counts` of it are added up and shared among
    // the sources whose lines it carried.
    void ShareBatch(const std::vector<BatchShare>& shares, int32_t lines, const WriteCounts& counts);
    // Under m_sourceMutex: the source's outcome, once it has ended and its batches are posted.
    void TakeIfDone(uint64_t source, std::vector<SourceOutcome>& done);
    void TellDone(const std::vector<SourceOutcome>& done);

    InfluxTarget m_target;
    InfluxTarget m_postingTarget;  // m_target without its wait, for the posting threads
    std::string m_database;
    std::vector<std::string> m_writeUrls[kTableKindCount];  // one per node
    std::string m_where[kTableKindCount];                   // database and policy, as log lines name them
    std::string m_batch[kTableKindCount];
    int32_t m_lineCount[kTableKindCount] = {};
    int32_t m_zoneOffset = 0;
    size_t m_fullBatchBytes[kTableKindCount] = {};  // of the kind's last full batch, when the run keeps no spare bodies
    uint32_t m_maxBatchSize[kTableKindCount] = {};
    uint64_t m_maxBatchSource[kTableKindCount] = {};  // the source whose largest post m_maxBatchSize is
    // A line of the kind's batch repeats a time of its name that an earlier line had: the
    // batch waits until every earlier post has ended.
    bool m_repeats[kTableKindCount] = {};
    WriteCounts m_counts;  // under m_sourceMutex while posts may be under way

    SourceDone m_sourceDone;
    bool m_tracking = false;  // BeginSource was called
    uint64_t m_source = 0;
    std::mutex m_sourceMutex;  // the sources and the counts: batches end on the posting threads
    std::unordered_map<uint64_t, SourceState> m_sources;
    std::vector<BatchShare> m_shares[kTableKindCount];  // under the kind's lock

    std::unordered_map<std::string, LineName> m_names;
    std::unordered_set<const LineName*> m_reported;  // names not writable that the log has named
    std::string m_lastName;
    const LineName* m_lastLineName = nullptr;

    std::unique_ptr<PostsInFlight> m_inFlight;  // null: posts on the adding thread; last, so that it ends first
};

}  // namespace quarvel

#include "influx/RyInfluxDB.h"

#include "influx/LineFormat.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"
#include "platform/CodePage.h"
#include "platform/Memory.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <string_view>
#include <utility>

namespace quarvel {

// The UTC calendar time read back as a local time carries no daylight-saving flag.
int32_t StandardZoneOffset() {
    const time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    return static_cast<int32_t>(now - mktime(&utc));
}

namespace {

bool IsAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

// A name as it may stand in one log line.
std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

// Whether `name` is `last`: asked for every sample, mostly of a short name seen just
// before, where a byte loop beats measuring the name and comparing it in two calls.
bool SameName(const std::string& last, const char* name) {
    const char* kept = last.c_str();
    while (*kept != '\0' && *kept == *name) {
        ++kept;
        ++name;
    }
    return *kept == *name;
}

}  // namespace

std::string ToUtf8(const char* text, const std::string& codePage) {
    if (text == nullptr) return {};
    const std::string_view view(text);
    if (IsAscii(view)) return std::string(view);  // every narrow code page agrees on ASCII
    std::string out;
    platform::ConvertToUtf8(view, codePage, out);
    return out;
}

std::string WriteUrl(const std::string& baseUrl, const std::string& database, int kind) {
    return WriteUrl(baseUrl, database, kRetentionPolicy[kind]);
}

std::string WriteUrl(const std::string& baseUrl, const std::string& database, std::string_view retentionPolicy,
                     std::string_view consistency) {
    if (consistency.empty()) return EndpointUrl(baseUrl, "write", {{"db", database}, {"rp", retentionPolicy}});
    return EndpointUrl(baseUrl, "write", {{"db", database}, {"rp", retentionPolicy}, {"consistency", consistency}});
}

std::vector<std::string> WriteUrls(const InfluxTarget& target, const std::string& database,
                                   std::string_view retentionPolicy) {
    std::vector<std::string> urls{WriteUrl(target.baseUrl, database, retentionPolicy, target.consistency)};
    for (const std::string& node : target.moreUrls)
        urls.push_back(WriteUrl(node, database, retentionPolicy, target.consistency));
    return urls;
}

RyInfluxDB::RyInfluxDB(const char* database, InfluxTarget target)
    : m_target(std::move(target)), m_database(ToUtf8(database, m_target.codePage)) {
    m_zoneOffset = StandardZoneOffset();
    const bool toTheServer = !m_target.post;
    if (toTheServer)
        m_target.post = [encoding = m_target.gzip ? BodyEncoding::Gzip : BodyEncoding::Identity,
                         access = m_target.access,
                         timeouts = m_target.timeouts](const std::string& url, const std::string& body) {
            return HttpPost(url, body, timeouts, encoding, access);
        };
    for (int kind = 0; kind < kTableKindCount; ++kind) {
        m_writeUrls[kind] = WriteUrls(m_target, m_database, kRetentionPolicy[kind]);
        m_where[kind] = "database " + m_database + ", retention policy " + kRetentionPolicy[kind];
    }
    if (m_target.maxInFlight > 1) {
        // A batch that goes out on a posting thread sleeps between tries there: the target's
        // own wait belongs to the adding thread, and serves it while it waits for its posts.
        std::function<void()> serve;
        if (m_target.wait) serve = [wait = m_target.wait] { wait(std::chrono::milliseconds(0)); };
        m_postingTarget = m_target;
        m_postingTarget.wait = {};
        PostsShared* shared = m_target.watch ? &m_target.watch->posts : nullptr;
        // The first writer of a run measures the link that its posts in flight are to cover.
        if (shared != nullptr && toTheServer && shared->roundTripNs == PostsShared::kNotMeasured) {
            const auto trip = RoundTrip(m_target.baseUrl, m_target.timeouts, m_target.access);
            shared->roundTripNs = trip ? trip->count() : PostsShared::kNotMeasurable;
        }
        m_inFlight = std::make_unique<PostsInFlight>(m_target.maxInFlight, shared, std::move(serve));
    }
}

RyInfluxDB::~RyInfluxDB() {
    try {
        FlushAll();
    } catch (...) {
        for (int kind = 0; kind < kTableKindCount; ++kind) DropBatch(kind, "an error while posting the last lines");
    }
}

const RyInfluxDB::LineName& RyInfluxDB::NameOf(const char* name) {
    if (m_lastLineName != nullptr && SameName(m_lastName, name)) return *m_lastLineName;
    auto [entry, inserted] = m_names.try_emplace(name);
    if (inserted) {
        entry->second.writable = EscapeTagValue(ToUtf8(name, m_target.codePage), entry->second.escaped);
        if (!entry->second.writable) entry->second.shown = Printable(name);
    }
    m_lastName = name;
    m_lastLineName = &entry->second;  // elements of an unordered_map keep their address
    return entry->second;
}

void RyInfluxDB::AddRawSample(const char* name, const LogSample* sample) {
    try {
        if (name != nullptr && sample != nullptr) {
            AddRawSample(NameOf(name), *sample);
            return;
        }
        FullBatchRule(kRaw, false);
    } catch (...) {
        DropBatch(kRaw, "an error while adding a line");
    }
}

void RyInfluxDB::AddRawSample(const LineName& name, const LogSample& sample) {
    AddLine(kRaw, name, sample, LineTimestamp(sample.time, m_zoneOffset));
}

void RyInfluxDB::AddSummarySample(int kind, const char* name, const LogSample* sample) {
    if (kind < 0 || kind >= kTableKindCount) return;
    try {
        if (name != nullptr && sample != nullptr) {
            // A summary left out for its time stamp is not looked up by name.
            if (LineTimestamp(sample->time, m_zoneOffset) < 0)
                CountSummaryBefore1970();
            else
                AddSummarySample(kind, NameOf(name), *sample);
            return;
        }
        FullBatchRule(kind, true);
    } catch (...) {
        DropBatch(kind, "an error while adding a line");
    }
}

void RyInfluxDB::AddSummarySample(int kind, const LineName& name, const LogSample& sample) {
    if (kind < 0 || kind >= kTableKindCount) return;
    const int32_t timestamp = LineTimestamp(sample.time, m_zoneOffset);
    if (timestamp < 0)
        CountSummaryBefore1970();
    else
        AddLine(kind, name, sample, timestamp);
}

// Posts under way at once may be stored in any order, and a retry of one may come after a
// later one was stored. The server keeps one value per series (measurement and name) and
// time, so order matters only for lines of the same name, kind and time. A writer's lines
// come in one stream, cut into batches in order; while each name's times only grow, the
// batches under way share no series and time, and any order stores the same. A line whose
// time is not later than its name's latest holds its batch back until every earlier post
// has ended, so that it overwrites an earlier value and never the other way round.
void RyInfluxDB::AddLine(int kind, const LineName& name, const LogSample& sample, int32_t timestamp) {
    try {
        if (name.writable) {
            if (timestamp > name.latest[kind])
                name.latest[kind] = timestamp;
            else
                m_repeats[kind] = true;
            if (m_lineCount[kind] > 0)
                m_batch[kind].push_back('\n');
            else if (m_batch[kind].capacity() < kBodyRoom)
                NewBody(kind);
            if (m_target.stampsOnly)
                AppendStamp(m_batch[kind], kind, name.escaped, timestamp);
            else
                AppendLine(m_batch[kind], kind, name.escaped, sample, timestamp);
            ++m_lineCount[kind];
            NoteLine(kind);
        } else {
            NotWritable(name);
        }
        FullBatchRule(kind, kind != kRaw);
    } catch (...) {
        DropBatch(kind, "an error while adding a line");
    }
}

// A fresh body for the kind's batch: the pages that a batch as long as the kind's last full
// one fills are mapped at once.
void RyInfluxDB::NewBody(int kind) {
    m_batch[kind].reserve(kBodyRoom);
    platform::MapForWriting(m_batch[kind].data(), std::min(FullBatchBytes(kind), m_batch[kind].capacity()));
}

size_t RyInfluxDB::FullBatchBytes(int kind) const {
    return m_target.spareBodies ? m_target.spareBodies->fullBatchBytes[kind].load(std::memory_order_relaxed)
                                : m_fullBatchBytes[kind];
}

// A sample of a name that is not writable: counted as not written; the log says why once
// per name, at its first sample.
void RyInfluxDB::NotWritable(const LineName& name) {
    {
        std::lock_guard lock(m_sourceMutex);
        ++m_counts.linesNotWritten;
        if (m_tracking) {
            SourceState& state = m_sources[m_source];
            ++state.counts.linesNotWritten;
            state.allStored = false;
        }
    }
    if (m_reported.insert(&name).second)
        LogMessage(
            "Tag \"%s\" cannot be carried by line protocol (a line break, or a backslash before a "
            "blank, comma, quote, equals sign or at the end); its samples are not written",
            name.shown.c_str());
}

void RyInfluxDB::CountSummaryBefore1970() {
    std::lock_guard lock(m_sourceMutex);
    ++m_counts.summariesBefore1970;
    if (m_tracking) ++m_sources[m_source].counts.summariesBefore1970;
}

void RyInfluxDB::FullBatchRule(int kind, bool announceSize) {
    if (m_lineCount[kind] < kBatchLines) return;
    if (m_target.spareBodies)
        m_target.spareBodies->fullBatchBytes[kind].store(m_batch[kind].size());
    else
        m_fullBatchBytes[kind] = m_batch[kind].size();
    const auto size = static_cast<uint32_t>(m_batch[kind].size());
    // The Debug Screen hears of each source's (file's) largest post, also when files share a writer.
    if (m_maxBatchSource[kind] != m_source) {
        m_maxBatchSource[kind] = m_source;
        m_maxBatchSize[kind] = 0;
    }
    if (m_maxBatchSize[kind] < size) {
        if (announceSize) DebugScreenPrint("\r\n InfuxDb Size = %d", static_cast<int>(size));
        m_maxBatchSize[kind] = size;
    }
    PostBatch(kind);
}

void RyInfluxDB::FlushAll() {
    for (int kind = 0; kind < kTableKindCount; ++kind) {
        std::lock_guard lock(m_batchLock[kind]);
        if (m_lineCount[kind] > 0) PostBatch(kind);
    }
    if (m_inFlight) m_inFlight->Wait();
}

void RyInfluxDB::PostBatch(int kind) {
    Batch batch{std::move(m_batch[kind]), kind, m_lineCount[kind], std::exchange(m_shares[kind], {})};
    const bool afterAll = std::exchange(m_repeats[kind], false);
    m_lineCount[kind] = 0;
    // Retries included, as the full-batch rule has it. The body keeps its storage for the
    // kind's next batch.
    const auto postHere = [this, kind](Batch& posted) {
        const PostsInFlight::Outcome outcome = Post(posted, true);
        m_batch[kind] = std::move(posted.body);
        m_batch[kind].clear();
        return outcome;
    };
    if (!m_inFlight) {
        postHere(batch);
        return;
    }
    auto handed = std::make_shared<Batch>(std::move(batch));
    try {
        m_inFlight->Start(
            [this, handed, postHere](bool here) {
                if (here) return postHere(*handed);
                const PostsInFlight::Outcome outcome = Post(*handed, false);
                KeepBody(std::move(handed->body));
                return outcome;
            },
            afterAll);
    } catch (...) {
        postHere(*handed);  // no posting thread to be had: this one posts it, so that its sources end
    }
    if (m_batch[kind].capacity() < kBodyRoom) TakeSpareBody(kind);  // the body went to a posting thread
}

// Posted bodies come back for the next batches to fill. No more are kept than two jobs
// may have under way.
void RyInfluxDB::KeepBody(std::string&& body) noexcept {
    if (!m_target.spareBodies) return;
    try {
        const size_t filled = body.size();
        body.clear();
        std::lock_guard lock(m_target.spareBodies->mutex);
        std::vector<SpareBodies::Body>& spare = m_target.spareBodies->bodies;
        if (spare.size() < 2 * static_cast<size_t>(m_target.maxInFlight)) spare.push_back({std::move(body), filled});
    } catch (...) {
        // not kept: a later batch grows one of its own
    }
}

// A body last filled by a shorter batch (of another kind, or the last of a source) has the
// rest of its pages mapped as a fresh one has.
void RyInfluxDB::TakeSpareBody(int kind) {
    if (!m_target.spareBodies) return;
    size_t filled = 0;
    {
        std::lock_guard lock(m_target.spareBodies->mutex);
        std::vector<SpareBodies::Body>& spare = m_target.spareBodies->bodies;
        if (spare.empty()) return;
        m_batch[kind] = std::move(spare.back().text);
        filled = spare.back().filled;
        spare.pop_back();
    }
    const size_t full = std::min(FullBatchBytes(kind), m_batch[kind].capacity());
    if (filled < full) platform::MapForWriting(m_batch[kind].data() + filled, full - filled);
}

// On the adding thread (`here`) or a posting one; the batch's counts are added up once it ended.
PostsInFlight::Outcome RyInfluxDB::Post(const Batch& batch, bool here) {
    WriteCounts counts;
    DeliveryResult delivery;
    try {
        delivery = Deliver(here ? m_target : m_postingTarget, m_writeUrls[batch.kind], batch.body, batch.lines,
                           m_where[batch.kind]);
        counts.linesWritten = delivery.linesStored;
        if (!delivery.Complete()) {
            counts.batchesFailed = 1;
            counts.linesNotWritten = delivery.linesNotWritten;
            counts.batchesUnanswered = delivery.unanswered ? 1 : 0;
            counts.batchesRefused = delivery.RefusedAtOnce() ? 1 : 0;
            SaveUnsent(batch, delivery, counts);
        }
    } catch (...) {
        counts = {};
        counts.batchesFailed = 1;
        counts.linesNotWritten = static_cast<uint64_t>(batch.lines);
        LogMessage("%d lines for %s were dropped after an error while posting them", batch.lines,
                   m_where[batch.kind].c_str());
    }
    ShareBatch(batch.shares, batch.lines, counts);
    return {delivery.took, batch.lines >= kBatchLines, delivery.busy};
}

// Keeps each part the server did not store whole, exactly as it was posted. A partial
// write's part goes whole too: posting its kept lines again merely overwrites them.
void RyInfluxDB::SaveUnsent(const Batch& batch, const DeliveryResult& delivery, WriteCounts& counts) {
    if (m_target.unsentFolder.empty()) return;
    const std::string& body = batch.body;
    const int kind = batch.kind;
    for (const auto& piece : delivery.notStoredWhole) {
        std::string path;
        std::string error;
        bool saved = false;
        try {
            saved = AppendUnsent(m_target.unsentFolder, m_database, kRetentionPolicy[kind],
                                 std::string_view(body).substr(piece.offset, piece.size), piece.lines, path, error);
        } catch (const std::exception& problem) {
            error = problem.what();  // the batch is counted already; it must not be counted again as dropped
        }
        if (saved) {
            ++counts.batchesSaved;
            counts.linesSaved += static_cast<uint64_t>(piece.lines);
            LogMessage("%d lines for %s saved to %s", piece.lines, m_where[kind].c_str(), path.c_str());
        } else {
            LogMessage("%d lines for %s could not be saved, they are lost: %s", piece.lines, m_where[kind].c_str(),
                       error.c_str());
        }
    }
}

void RyInfluxDB::DropBatch(int kind, const char* why) {
    WriteCounts counts;
    const int32_t lines = m_lineCount[kind];
    if (lines > 0) {
        counts.batchesFailed = 1;
        counts.linesNotWritten = static_cast<uint64_t>(lines);
        LogMessage("%d lines for database %s, retention policy %s were dropped after %s", lines, m_database.c_str(),
                   kRetentionPolicy[kind], why);
    }
    m_batch[kind].clear();
    m_lineCount[kind] = 0;
    m_repeats[kind] = false;
    ShareBatch(std::exchange(m_shares[kind], {}), lines, counts);
}

void RyInfluxDB::BeginSource(uint64_t source) {
    std::lock_guard lock(m_sourceMutex);
    m_tracking = true;
    m_source = source;
    m_sources.try_emplace(source);
}

void RyInfluxDB::EndSource() {
    std::vector<SourceOutcome> done;
    {
        std::lock_guard lock(m_sourceMutex);
        const auto it = m_sources.find(m_source);
        if (it == m_sources.end()) return;
        it->second.ended = true;
        TakeIfDone(m_source, done);
    }
    TellDone(done);
}

// Called after the line is counted; only a source's first line in a batch costs a lock.
void RyInfluxDB::NoteLine(int kind) {
    if (!m_tracking) return;
    std::vector<BatchShare>& shares = m_shares[kind];
    if (!shares.empty() && shares.back().source == m_source) return;
    shares.push_back({m_source, m_lineCount[kind] - 1});
    std::lock_guard lock(m_sourceMutex);
    ++m_sources[m_source].batches;
}

void RyInfluxDB::ShareBatch(const std::vector<BatchShare>& shares, int32_t lines, const WriteCounts& counts) {
    std::vector<SourceOutcome> done;
    {
        std::lock_guard lock(m_sourceMutex);
        m_counts += counts;
        if (shares.empty()) return;
        // Lines as they fell, in the order the sources came; a batch's own counts go to its first source.
        uint64_t written = counts.linesWritten;
        uint64_t lost = counts.linesNotWritten;
        uint64_t saved = counts.linesSaved;
        const bool whole = lost == 0;
        // Lines the server refused at once and that were kept aside: posting the source again
        // would only be refused again and keep them twice.
        const bool keptAside = counts.batchesRefused == counts.batchesFailed && counts.linesSaved >= lost;
        const auto take = [](uint64_t& pool, uint64_t most) {
            const uint64_t part = std::min(pool, most);
            pool -= part;
            return part;
        };
        for (size_t i = 0; i < shares.size(); ++i) {
            SourceState& state = m_sources[shares[i].source];
            WriteCounts& share = state.counts;
            const int32_t end = i + 1 < shares.size() ? shares[i + 1].firstLine : lines;
            const auto its = static_cast<uint64_t>(end - shares[i].firstLine);
            const uint64_t stored = take(written, its);
            share.linesWritten += stored;
            share.linesNotWritten += take(lost, its - stored);
            share.linesSaved += take(saved, its);
            // Which of a batch's lines the server kept is not known: each of its sources missed some.
            if (!whole) state.allStored = false;
            if (!whole && !keptAside) state.allKept = false;
            --state.batches;
        }
        WriteCounts& first = m_sources[shares.front().source].counts;
        first.batchesFailed += counts.batchesFailed;
        first.batchesUnanswered += counts.batchesUnanswered;
        first.batchesRefused += counts.batchesRefused;
        first.batchesSaved += counts.batchesSaved;
        first.linesNotWritten += lost;  // nothing is left over unless the counts disagree
        first.linesSaved += saved;
        for (const BatchShare& share : shares) TakeIfDone(share.source, done);
    }
    TellDone(done);
}

void RyInfluxDB::TakeIfDone(uint64_t source, std::vector<SourceOutcome>& done) {
    const auto it = m_sources.find(source);
    if (it == m_sources.end() || !it->second.ended || it->second.batches > 0) return;
    done.push_back({source, it->second.counts, it->second.allStored, it->second.allKept});
    m_sources.erase(it);
}

void RyInfluxDB::TellDone(const std::vector<SourceOutcome>& done) {
    if (!done.empty() && m_sourceDone) m_sourceDone(done);
}

}  // namespace quarvel

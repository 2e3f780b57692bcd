#include "session/Follow.h"

#include "influx/Repost.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"
#include "platform/Files.h"
#include "platform/FolderWatch.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quarvel {

namespace {

using Seconds = std::chrono::duration<double>;
constexpr std::chrono::seconds kMetricsInterval{10};  // without health lines
constexpr std::chrono::seconds kFirstProbeDelay{1};

std::string Figure(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A label value of the text format: backslash, quote and line break escaped.
std::string LabelValue(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return escaped;
}

}  // namespace

std::string HealthText(const FollowHealth& health) {
    return "Health: lag " + Figure(health.lagSeconds, 1) + " s, " +
           Thousands(static_cast<uint64_t>(std::llround(health.linesPerSecond))) + " lines/s, " +
           Thousands(health.unsentLines) + " lines waiting in " + kUnsentFolder +
           (health.serverAnswers ? "" : "; the server does not answer");
}

std::string MetricsText(const FollowHealth& health, const std::string& database) {
    const std::string label = "{database=\"" + LabelValue(database) + "\"} ";
    std::string text;
    const auto add = [&](const char* name, const char* type, const char* help, const std::string& value) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + label +
                value + "\n";
    };
    add("quarvel_follow_lag_seconds", "gauge", "Age of the oldest change on disk not yet stored.",
        Figure(health.lagSeconds, 3));
    add("quarvel_follow_lines_per_second", "gauge", "Lines stored per second since the figures before.",
        Figure(health.linesPerSecond, 1));
    add("quarvel_follow_unsent_lines", "gauge", "Lines waiting in the unsent-line files.",
        std::to_string(health.unsentLines));
    add("quarvel_follow_lines_written_total", "counter", "Lines stored since follow began.",
        std::to_string(health.linesWritten));
    add("quarvel_follow_server_up", "gauge", "1 while the server takes the lines, 0 during an outage.",
        health.serverAnswers ? "1" : "0");
    return text;
}

Follow::Follow(Session& session, FollowOptions options)
    : m_session(session), m_options(std::move(options)), m_watch(std::make_unique<platform::FolderWatch>()) {}

Follow::~Follow() = default;

void Follow::RequestStop() {
    m_stop = true;
    m_session.RequestStop();
    m_watch->Wake();
}

void Follow::Say(const std::string& text) {
    LogMessage("%s", text.c_str());
    m_options.say(text);
}

int Follow::Run(Progress& catchUp, Progress& cycles) {
    // Without a journal every cycle would read the whole node again, and post it again.
    if (!m_session.JournalProblem().empty()) {
        Say("No journal (" + m_session.JournalProblem() +
            "): every cycle would post the whole node again; follow ends");
        return kUsageError;
    }
    // Watched before the catch-up, so that what lands meanwhile is seen.
    const int depth = m_session.Kind() == SourceKind::kDataLog ? 1 : 0;
    const std::string rescan = std::to_string(m_options.rescan.count()) + " s";
    Say(m_watch->Watch(m_session.Folder(), depth)
            ? "Following " + m_session.Folder() + ": file-system events, and a rescan every " + rescan
            : "Following " + m_session.Folder() + ": no file-system events here, a rescan every " + rescan);
    // Lines kept from before are older than any on disk.
    bool going = !RepostUnsent() || Cycle(catchUp);
    auto nextRescan = Clock::now() + m_options.rescan;
    const auto healthPeriod = m_options.healthInterval.count() > 0 ? m_options.healthInterval : kMetricsInterval;
    while (going && !m_stop) {
        const auto now = Clock::now();
        if (!m_serverAnswers) {
            if (now >= m_probeAt) {
                if (Probe()) going = Cycle(cycles);
                nextRescan = Clock::now() + m_options.rescan;
                continue;
            }
        } else {
            // Late enough to gather what lands meanwhile, early enough that the cycle ends within the latency.
            const auto cycleAt = m_since ? std::max(*m_since + m_options.latency - m_lastCycle, *m_since) : nextRescan;
            if (now >= std::min(cycleAt, nextRescan)) {
                going = Cycle(cycles);
                nextRescan = Clock::now() + m_options.rescan;
                continue;
            }
        }
        auto until = std::min(m_lastHealth + healthPeriod, m_serverAnswers ? nextRescan : m_probeAt);
        if (m_serverAnswers && m_since) until = std::min(until, *m_since + m_options.latency - m_lastCycle);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
        if (m_watch->Wait(std::max(wait, std::chrono::milliseconds(1)), m_serverAnswers && !m_since) && !m_since)
            m_since = Clock::now();
        TellHealth(false);
    }
    TellHealth(true);
    return m_status;
}

bool Follow::Cycle(Progress& progress) {
    const auto start = Clock::now();
    const auto since = m_since.value_or(start);
    const int status = m_session.Run(progress);
    m_lastCycle = Clock::now() - start;
    const ConversionTotals& totals = m_session.Totals();
    m_linesWritten += totals.writes.linesWritten;
    if (!m_session.RefusedWith().empty()) {
        m_status = status != kAllWritten ? status : kLinesNotWritten;
        Say("The server refuses for good (" + m_session.RefusedWith() + "): follow ends");
        return false;
    }
    if (totals.writes.batchesSaved == 0) {
        m_since.reset();
        m_probeDelay = {};
        return true;
    }
    if (totals.writes.batchesRefused == totals.writes.batchesFailed) {
        // The server answered every batch: what it refused stays aside, and the rest of the
        // node is followed as before.
        m_since.reset();
        Say(Thousands(totals.writes.linesSaved) + " lines the server refused went to " + kUnsentFolder +
            "; follow goes on");
        return true;
    }
    m_since = since;
    Say(Thousands(totals.writes.linesSaved) + " lines went to " + kUnsentFolder +
        ": the server is probed until it answers, then they are posted again");
    ServerAway();
    return true;
}

void Follow::ServerAway() {
    // Reading on would only save the same records aside again.
    m_serverAnswers = false;
    m_probeDelay = std::max<Clock::duration>(m_probeDelay, kFirstProbeDelay);
    m_probeAt = Clock::now() + m_probeDelay;
}

bool Follow::Probe() {
    m_probeDelay = std::min<Clock::duration>(2 * m_probeDelay, m_options.rescan);
    m_probeAt = Clock::now() + m_probeDelay;
    const ServerCheck found = CheckServer(m_session.Url(), m_session.DatabaseUtf8(), {}, m_session.Access());
    using Outcome = ServerCheck::Outcome;
    if (found.outcome == Outcome::kUnreachable || found.outcome == Outcome::kRefused) return false;
    Say("The server answers again");
    if (!RepostUnsent()) return false;
    m_serverAnswers = true;
    return true;
}

std::vector<std::string> Follow::UnsentFiles() const {
    std::vector<std::string> ours;
    for (const std::string& path : ListUnsentFiles(kUnsentFolder))
        for (const char* policy : kRetentionPolicy)
            if (path.ends_with("/" + UnsentFileName(m_session.DatabaseUtf8(), policy))) ours.push_back(path);
    return ours;
}

bool Follow::RepostUnsent() {
    const std::vector<std::string> files = UnsentFiles();
    if (files.empty() || m_stop) return true;
    InfluxTarget target = m_session.Target();
    target.wait = [this](std::chrono::milliseconds delay) { m_watch->Wait(delay, false); };
    const auto say = [this](const std::string& text) { Say(text); };
    const int refusedBefore = target.watch != nullptr ? target.watch->RefusalsInARow() : 0;
    const RepostTally tally = Repost(files, target, m_stop, say, say);
    m_linesWritten += tally.linesDelivered;
    // A server that takes none of them is still away, whatever it answers; but one that
    // refuses them for good (a login, a right, the database) is there: the next cycle's
    // refusals end follow, as they end a conversion, instead of probing for ever. So is one
    // that refuses each batch left at once (a line it cannot store): they stay aside.
    const bool refusedForGood = target.watch != nullptr && target.watch->RefusalsInARow() > refusedBefore;
    if (!tally.unanswered &&
        (tally.batchesDelivered > 0 || tally.batchesLeft == tally.batchesRefused || refusedForGood))
        return true;
    ServerAway();
    return false;
}

void Follow::TellHealth(bool force) {
    const auto now = Clock::now();
    const auto period = m_options.healthInterval.count() > 0 ? m_options.healthInterval : kMetricsInterval;
    if (!force && now - m_lastHealth < period) return;
    FollowHealth health;
    health.lagSeconds = m_since ? Seconds(now - *m_since).count() : 0;
    const double elapsed = Seconds(now - m_lastHealth).count();
    health.linesPerSecond = elapsed > 0 ? static_cast<double>(m_linesWritten - m_linesAtHealth) / elapsed : 0;
    for (const std::string& path : UnsentFiles()) {
        UnsentFile file;
        if (std::string error; file.Read(path, error))
            for (const UnsentFile::Batch& batch : file.Batches())
                health.unsentLines += static_cast<uint64_t>(batch.lines);
    }
    health.linesWritten = m_linesWritten;
    health.serverAnswers = m_serverAnswers;
    m_lastHealth = now;
    m_linesAtHealth = m_linesWritten;
    if (m_options.healthInterval.count() > 0) m_options.say(HealthText(health));
    if (std::string error;
        !m_options.metricsFile.empty() &&
        !platform::ReplaceFile(m_options.metricsFile, {MetricsText(health, m_session.DatabaseUtf8())}, error))
        Say("Cannot write the metrics: " + error);
}

}  // namespace quarvel

#include "influx/Delivery.h"

#include "influx/RyInfluxDB.h"
#include "logging/Logging.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>

namespace quarvel {

namespace {

// The target's own wait (a window keeps handling its events), else a sleep.
void Pause(const InfluxTarget& target, std::chrono::steady_clock::duration delay) {
    if (delay <= std::chrono::steady_clock::duration::zero()) return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(delay);
    if (target.wait)
        target.wait(wait);
    else
        std::this_thread::sleep_for(wait);
}

constexpr std::string_view kPartialWrite = "partial write";
// A partial write whose only drop is of points older than the retention policy keeps.
constexpr std::string_view kPastRetention = "points beyond retention policy dropped";
constexpr std::string_view kPolicyNotFound = "retention policy not found";

bool Mentions(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

std::chrono::milliseconds Backoff(const RetryPolicy& policy, int failedTries) {
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_real_distribution<double> spread(-policy.jitter, policy.jitter);
    const double base = static_cast<double>(policy.firstDelay.count()) * std::pow(policy.factor, failedTries - 1);
    return std::chrono::milliseconds(std::llround(std::max(0.0, base * (1.0 + spread(random)))));
}

std::string Reason(const HttpResult& result) {
    if (result.curlCode != 0) return result.error;
    return "HTTP " + std::to_string(result.status) + " " + result.error;
}

// A login the server refuses, a right it denies, a database it lacks: every later batch
// meets the same answer until the operator mends the cause.
bool RefusedForGood(const HttpResult& answer) {
    return answer.curlCode == 0 && (answer.status == 401 || answer.status == 403 ||
                                    (answer.status == 404 && Mentions(answer.error, "database not found")));
}

int LinesIn(std::string_view text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
}

class Courier {
public:
    Courier(const InfluxTarget& target, const std::vector<std::string>& urls, const std::string& body,
            const std::string& where)
        : m_target(target), m_urls(urls), m_body(body), m_where(where) {
        if (m_target.watch != nullptr && m_urls.size() > 1) m_first = m_target.watch->nextNode++ % m_urls.size();
    }

    // Whether a try went unanswered or was answered busy.
    bool Busy() const { return m_busy; }

    void Send(size_t offset, size_t size, int lines, DeliveryResult& result) {
        // Only the halves of a batch too large are copied; a whole batch goes as it is.
        const HttpResult answer = offset == 0 && size == m_body.size()
                                      ? PostWithRetries(m_body, lines)
                                      : PostWithRetries(m_body.substr(offset, size), lines);
        const Verdict verdict = Classify(answer);
        if (verdict == Verdict::kStored) {
            result.linesStored += static_cast<uint64_t>(lines);
            return;
        }
        if (verdict == Verdict::kTooLarge && lines > 1) {
            // Halves on a line boundary; each half may pass where the whole did not.
            const std::string_view piece = std::string_view(m_body).substr(offset, size);
            size_t cut = 0;
            for (int line = 0; line < lines / 2 && cut <= piece.size(); ++line) {
                const size_t newline = piece.find('\n', cut);
                cut = newline == std::string_view::npos ? piece.size() + 1 : newline + 1;
            }
            if (cut <= piece.size()) {
                LogMessage("Post of %d lines to %s was too large for the server; posting it in two halves", lines,
                           m_where.c_str());
                Send(offset, cut - 1, lines / 2, result);
                Send(offset + cut, size - cut, lines - lines / 2, result);
                return;
            }
        }
        result.notStoredWhole.push_back({offset, size, lines});
        if (verdict == Verdict::kPartial) {
            // The server keeps what it can; unparsable lines come back as "dropped=0", so
            // at least one line is counted as lost.
            const long reported = DroppedCount(answer.error);
            const int dropped = static_cast<int>(std::clamp<long>(reported, 1, lines));
            result.linesStored += static_cast<uint64_t>(lines - dropped);
            result.linesNotWritten += static_cast<uint64_t>(dropped);
            result.refused = true;
            if (Mentions(answer.error, kPastRetention)) {
                ++result.piecesPastRetention;
                result.linesPastRetention += static_cast<uint64_t>(dropped);
            }
            LogMessage("Post of %d lines to %s was stored in part (%d lines counted as dropped): %s", lines,
                       m_where.c_str(), dropped, answer.error.c_str());
            return;
        }
        result.linesNotWritten += static_cast<uint64_t>(lines);
        (answer.curlCode != 0 ? result.unanswered : result.refused) = true;
        if (RefusedForGood(answer)) result.refusedForGood = Reason(answer);
        LogMessage("Post of %d lines to %s failed: %s", lines, m_where.c_str(), Reason(answer).c_str());
    }

private:
    HttpResult PostWithRetries(const std::string& body, int lines) {
        const RetryPolicy& policy = m_target.retry;
        ServerWatch* watch = m_target.watch.get();
        HttpResult answer;
        for (int attempt = 1;; ++attempt) {
            answer = PostToSomeNode(body, lines);
            const bool silent = answer.curlCode != 0;
            if (watch != nullptr && !silent) watch->silent = false;  // it answers again
            if (Classify(answer) != Verdict::kRetry) return answer;
            if (attempt >= policy.tries || (silent && watch != nullptr && watch->silent)) break;
            RetryNotice notice{attempt + 1, policy.tries, Backoff(policy, attempt), silent ? 0 : answer.status,
                               Reason(answer)};
            LogMessage("Post of %d lines to %s failed (try %d of %d): %s", lines, m_where.c_str(), attempt,
                       policy.tries, notice.error.c_str());
            if (m_target.onRetry) m_target.onRetry(notice);
            Pause(m_target, notice.delay);
        }
        if (watch != nullptr && answer.curlCode != 0 && !watch->silent.exchange(true))
            LogMessage("The server at %s is not answering; later batches get one try each until it answers",
                       m_target.baseUrl.c_str());
        return answer;
    }

    // One try: the batch's node first, then each other node that the one before did not
    // answer or found busy. The last answer counts.
    HttpResult PostToSomeNode(const std::string& body, int lines) {
        HttpResult answer;
        for (size_t i = 0; i < m_urls.size(); ++i) {
            const std::string& url = m_urls[(m_first + i) % m_urls.size()];
            answer = m_target.post
                         ? m_target.post(url, body)
                         : HttpPost(url, body, m_target.timeouts,
                                    m_target.gzip ? BodyEncoding::Gzip : BodyEncoding::Identity, m_target.access);
            if (Classify(answer) != Verdict::kRetry) break;
            m_busy = true;
            if (i + 1 == m_urls.size()) break;
            LogMessage("Post of %d lines to %s: a node did not take it (%s); trying the next node", lines,
                       m_where.c_str(), Reason(answer).c_str());
        }
        return answer;
    }

    const InfluxTarget& m_target;
    const std::vector<std::string>& m_urls;
    size_t m_first = 0;
    const std::string& m_body;
    const std::string& m_where;
    bool m_busy = false;
};

}  // namespace

std::string RetryText(const RetryNotice& notice) {
    const auto ms = notice.delay.count();
    const std::string delay = ms >= 1000 ? std::to_string((ms + 500) / 1000) + " s" : std::to_string(ms) + " ms";
    const std::string what =
        notice.status == 0 ? "Server not answering" : "Server busy (HTTP " + std::to_string(notice.status) + ")";
    return what + ", retrying in " + delay + " (try " + std::to_string(notice.nextTry) + " of " +
           std::to_string(notice.tries) + ")";
}

Verdict Classify(const HttpResult& result) {
    if (result.curlCode != 0) {
        // A URL that cannot be used stays unusable, and so does a certificate that is not
        // trusted; everything else on the way may heal.
        const bool hopeless = result.curlCode == CURLE_UNSUPPORTED_PROTOCOL || result.curlCode == CURLE_URL_MALFORMAT ||
                              !CertificateProblem(result).empty();
        return hopeless ? Verdict::kRefused : Verdict::kRetry;
    }
    const long status = result.status;
    if (status >= 200 && status < 300) return Verdict::kStored;
    if (status == 413) return Verdict::kTooLarge;
    if (status == 400 && Mentions(result.error, kPartialWrite)) return Verdict::kPartial;
    if (status == 500 && Mentions(result.error, kPolicyNotFound)) return Verdict::kRefused;
    if (status == 429 || (status >= 500 && status < 600)) return Verdict::kRetry;
    return Verdict::kRefused;
}

long DroppedCount(const std::string& error) {
    const size_t at = error.rfind("dropped=");
    if (at == std::string::npos) return -1;
    char* end = nullptr;
    const long count = std::strtol(error.c_str() + at + 8, &end, 10);
    return end == error.c_str() + at + 8 ? -1 : count;
}

DeliveryResult Deliver(const InfluxTarget& target, const std::vector<std::string>& urls, const std::string& body,
                       int lines, const std::string& where) {
    DeliveryResult result;
    if (lines <= 0) lines = LinesIn(body);
    if (target.rate) Pause(target, target.rate->Reserve(static_cast<uint64_t>(lines)));
    const auto start = std::chrono::steady_clock::now();
    Courier courier(target, urls, body, where);
    courier.Send(0, body.size(), lines, result);
    result.took = std::chrono::steady_clock::now() - start;
    result.busy = courier.Busy();
    if (target.watch != nullptr) {
        if (!result.refusedForGood.empty())
            target.watch->Refused(result.refusedForGood);
        else if (result.Complete())
            target.watch->Stored();
    }
    return result;
}

}  // namespace quarvel

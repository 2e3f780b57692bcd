#include "cli/DryRunFile.h"

#include "influx/LogSample.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace quarvel {

namespace {

// The retention policy a write URL names; empty when it names none of the writer's.
std::string_view PolicyOf(std::string_view url) {
    const size_t query = url.find('?');
    if (query == std::string_view::npos) return {};
    for (const char* policy : kRetentionPolicy) {
        const std::string key = std::string("rp=") + policy;
        for (size_t at = url.find(key, query); at != std::string_view::npos; at = url.find(key, at + 1)) {
            const size_t end = at + key.size();
            if ((url[at - 1] == '?' || url[at - 1] == '&') && (end == url.size() || url[end] == '&')) return policy;
        }
    }
    return {};
}

}  // namespace

struct DryRunFile::Output {
    FILE* plain = nullptr;
    gzFile compressed = nullptr;
    bool ownsPlain = false;
};

DryRunFile::DryRunFile() : m_output(std::make_unique<Output>()) {}

DryRunFile::~DryRunFile() {
    std::string ignored;
    Close(ignored);
}

bool DryRunFile::Open(const std::string& path, const std::string& database, std::string& error) {
    if (path == "-") {
        m_output->plain = stdout;
    } else if (path.ends_with(".gz")) {
        m_output->compressed = gzopen(path.c_str(), "wb");
    } else {
        m_output->plain = std::fopen(path.c_str(), "wb");
        m_output->ownsPlain = true;
    }
    if (m_output->plain == nullptr && m_output->compressed == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        m_output->ownsPlain = false;
        return false;
    }
    m_header = "# DML\n# CONTEXT-DATABASE: " + database + "\n";
    return true;
}

bool DryRunFile::Write(const std::string& text) {
    if (m_output->compressed != nullptr)
        return gzwrite(m_output->compressed, text.data(), static_cast<unsigned>(text.size())) ==
               static_cast<int>(text.size());
    // Flushed at once, so that a full disk shows as failed batches, not as success.
    return m_output->plain != nullptr && std::fwrite(text.data(), 1, text.size(), m_output->plain) == text.size() &&
           std::fflush(m_output->plain) == 0;
}

std::function<HttpResult(const std::string&, const std::string&)> DryRunFile::Post() {
    return [this](const std::string& url, const std::string& body) {
        std::lock_guard lock(m_mutex);
        // The header goes with the first batch, so that a full disk shows as that batch failed.
        std::string text = m_header;
        if (const std::string_view policy = PolicyOf(url); !policy.empty() && policy != m_policy) {
            m_policy = policy;
            text += "# CONTEXT-RETENTION-POLICY: " + m_policy + "\n";
        }
        text += body;
        text += '\n';
        HttpResult result;
        const bool written = Write(text);
        result.status = written ? 204 : 500;
        if (written) m_header.clear();
        if (!written) m_policy.clear();  // the next batch names its policy again
        if (!written) result.error = std::string("cannot write the output file: ") + std::strerror(errno);
        return result;
    };
}

bool DryRunFile::Close(std::string& error) {
    int closed = 0;
    if (m_output->compressed != nullptr) closed = gzclose(m_output->compressed);
    if (m_output->ownsPlain && m_output->plain != nullptr) closed = std::fclose(m_output->plain);
    const bool ok = closed == 0;
    if (!ok) error = std::strerror(errno);
    m_output = std::make_unique<Output>();
    return ok;
}

}  // namespace quarvel

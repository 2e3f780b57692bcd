#pragma once

// A conversion's progress as a list, for tests of the converters: the data-log walk's lines
// newest first with each finished file's path at the bottom, the table export's lines in
// order; and every line, closing text and file as they were told.

#include "conversion/Progress.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class RecordedProgress : public quarvel::Progress {
public:
    enum class Order { kNewestFirst, kInOrder };
    explicit RecordedProgress(Order order = Order::kNewestFirst) : m_order(order) {}

    void Line(const std::string& text) override {
        std::lock_guard lock(m_mutex);
        if (m_order == Order::kNewestFirst)
            m_lines.insert(m_lines.begin(), text);
        else
            m_lines.push_back(text);
        m_told.push_back(text);
        if (onLine) onLine(text);
    }
    void FileDone(const std::string& path, const quarvel::ConversionTotals& totals) override {
        std::lock_guard lock(m_mutex);
        if (m_order == Order::kNewestFirst) m_lines.push_back(path);
        m_files.push_back(path);
        if (onFileDone) onFileDone(path, totals);
    }
    void Ended(const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_ended.push_back(text);
        if (onEnded) onEnded(text);
    }

    std::vector<std::string> Lines() const { return Copy(m_lines); }  // as a list shows them
    std::vector<std::string> Told() const { return Copy(m_told); }    // every line in the order told
    std::vector<std::string> Files() const { return Copy(m_files); }
    std::vector<std::string> Ended() const { return Copy(m_ended); }

    std::function<void(const std::string&)> onLine;
    std::function<void(const std::string&, const quarvel::ConversionTotals&)> onFileDone;
    std::function<void(const std::string&)> onEnded;

private:
    std::vector<std::string> Copy(const std::vector<std::string>& of) const {
        std::lock_guard lock(m_mutex);
        return of;
    }

    const Order m_order;
    mutable std::recursive_mutex m_mutex;
    std::vector<std::string> m_lines, m_told, m_files, m_ended;
};

}  // namespace testsupport

#pragma once

// A conversion's progress as the window's progress list shows it. The data-log walk puts
// each line at the top, keeping 19 older lines under it, and each finished file's path at
// the bottom, in place of the path standing there; the table export adds its lines at the
// bottom, each repainted at once, a line that repeats the one before it once. The closing
// text is kept for the window, which shows it once the run's totals are known. The node's
// texts come in its code page; the list holds them in UTF-8.

#include "conversion/Progress.h"
#include "platform/ProgressList.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class QObject;
class QWidget;

namespace quarvel {

// Runs `work` on the thread of `receiver` while the calling thread waits, as a sent message
// would; at once when called there.
void RunOnThreadOf(QObject& receiver, const std::function<void()>& work);

// A node's text (a name, a path, a progress line) in UTF-8: `text` is in `codePage`, or
// with none, as the file system has it, which the window takes to be UTF-8.
std::string WindowText(const std::string& text, const std::string& codePage);

// The last line of a conversion: its files, its lines and how long it took.
std::string TotalsText(const ConversionTotals& totals, std::chrono::seconds elapsed);
bool IsTotalsText(const std::string& line);

class ListProgress : public Progress {
public:
    enum class Order { kNewestFirst, kInOrder };
    static constexpr int kKeptLines = 19;  // older lines left under a new line at the top

    // pathAtBottom: whether the list's last line is a finished file's path; every
    // ListProgress of the list shares it, on the window's thread.
    ListProgress(QWidget& window, platform::ProgressList& list, bool& pathAtBottom, Order order,
                 std::string codePage = {})
        : m_window(window),
          m_list(list),
          m_pathAtBottom(pathAtBottom),
          m_order(order),
          m_codePage(std::move(codePage)) {}

    // Told, on the converter's thread, the bytes done so far: after each file with the
    // run's totals, and while a table is read without.
    using Told = std::function<void(uint64_t bytesDone, const ConversionTotals* totals)>;
    void OnProgress(Told told) { m_told = std::move(told); }

    void Line(const std::string& text) override;
    void FileDone(const std::string& path, const ConversionTotals& totals) override;
    void Reading(uint64_t bytesRead) override;
    void Ended(const std::string& text) override { m_ended = text; }
    // The converter's closing text; empty when it told none.
    const std::string& EndedWith() const { return m_ended; }

private:
    // Runs `work` on the window's thread while the caller waits, so that what it does to
    // the list is not mixed with another conversion's lines.
    void OnWindow(const std::function<void()>& work);

    QWidget& m_window;
    platform::ProgressList& m_list;
    bool& m_pathAtBottom;
    const Order m_order;
    const std::string m_codePage;
    Told m_told;
    uint64_t m_bytesDone = 0;  // of the files done
    // kInOrder: the line added last, shared with the lines still queued for the window
    std::shared_ptr<std::string> m_lastAdded = std::make_shared<std::string>();
    std::string m_ended;
};

}  // namespace quarvel

#include "app/ListProgress.h"

#include "logging/Logging.h"
#include "platform/CodePage.h"

#include <atomic>

#include <QThread>
#include <QWidget>

namespace quarvel {

namespace {

constexpr std::string_view kTotalsStart = "Files: ";

}  // namespace

std::string WindowText(const std::string& text, const std::string& codePage) {
    std::string utf8;
    if (codePage.empty() || !platform::ConvertToUtf8(text, codePage, utf8)) return text;
    return utf8;
}

std::string TotalsText(const ConversionTotals& totals, std::chrono::seconds elapsed) {
    auto files = [](int count) { return Thousands(static_cast<uint64_t>(count)); };
    return std::string(kTotalsStart) + files(totals.filesConverted) + " converted, " + files(totals.filesSkipped) +
           " skipped, " + files(totals.filesResumed) +
           " already converted; lines written: " + Thousands(totals.writes.linesWritten) +
           "; not written: " + Thousands(totals.writes.linesNotWritten) + "; " + ClockText(elapsed.count());
}

bool IsTotalsText(const std::string& line) {
    return line.starts_with(kTotalsStart);
}

void RunOnThreadOf(QObject& receiver, const std::function<void()>& work) {
    if (QThread::currentThread() == receiver.thread()) return work();
    // Qt hands the call over and back through its own locks, which the thread checker does
    // not see; the release and acquire around it tell it what the wait already ensures.
    std::atomic<int> step{0};
    step.store(1, std::memory_order_release);
    QMetaObject::invokeMethod(
        &receiver,
        [&] {
            step.load(std::memory_order_acquire);
            work();
            step.store(2, std::memory_order_release);
        },
        Qt::BlockingQueuedConnection);
    step.load(std::memory_order_acquire);
}

void ListProgress::OnWindow(const std::function<void()>& work) {
    RunOnThreadOf(m_window, work);
}

void ListProgress::Line(const std::string& text) {
    const std::string shown = WindowText(text, m_codePage);
    if (m_order == Order::kInOrder) {
        auto add = [&list = m_list, &pathAtBottom = m_pathAtBottom, lastAdded = m_lastAdded, shown] {
            if (shown == *lastAdded) return;  // the export names each table's path more than once
            *lastAdded = shown;
            list.AddString(shown);
            pathAtBottom = false;
            list.UpdateWindow();
        };
        // The export reads on the window's thread. A posting thread's line (a retry) is
        // queued: that thread must not wait for a window that may be waiting for its post.
        if (QThread::currentThread() == m_window.thread())
            add();
        else
            QMetaObject::invokeMethod(&m_window, add, Qt::QueuedConnection);
        return;
    }
    OnWindow([&] {
        for (int index = m_list.GetCount() - 1; index >= kKeptLines; --index) {
            m_list.DeleteString(index);
            m_pathAtBottom = false;  // the bottom line went first
        }
        m_list.InsertString(0, shown);
    });
}

void ListProgress::FileDone(const std::string& path, const ConversionTotals& totals) {
    m_bytesDone = totals.bytesDone;
    if (m_told) m_told(totals.bytesDone, &totals);
    if (m_order == Order::kInOrder) return;  // the export has shown the file's path already
    const std::string shown = WindowText(path, m_codePage);
    // Files sharing posts end together: each path takes the place of the one before, so the
    // list keeps one path under its progress lines.
    OnWindow([&] {
        if (m_pathAtBottom) m_list.DeleteString(m_list.GetCount() - 1);
        m_list.AddString(shown);
        m_pathAtBottom = true;
        m_list.UpdateWindow();
    });
}

void ListProgress::Reading(uint64_t bytesRead) {
    if (m_told) m_told(m_bytesDone + bytesRead, nullptr);
}

}  // namespace quarvel

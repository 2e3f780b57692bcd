#include "app/ListProgress.h"

#include "logging/Logging.h"
#include "platform/CodePage.h"

#include <QMessageBox>
#include <QThread>
#include <QWidget>

namespace quarvel {

std::string WindowText(const std::string& text, const std::string& codePage) {
    std::string utf8;
    if (codePage.empty() || !platform::ConvertToUtf8(text, codePage, utf8)) return text;
    return utf8;
}

std::string TotalsText(const ConversionTotals& totals, std::chrono::seconds elapsed) {
    auto files = [](int count) { return Thousands(static_cast<uint64_t>(count)); };
    return "Files: " + files(totals.filesConverted) + " converted, " + files(totals.filesSkipped) + " skipped, " +
           files(totals.filesResumed) + " already converted; lines written: " + Thousands(totals.writes.linesWritten) +
           "; not written: " + Thousands(totals.writes.linesNotWritten) + "; " + ClockText(elapsed.count());
}

void ListProgress::Line(const std::string& text) {
    const std::string shown = WindowText(text, m_codePage);
    if (m_order == Order::kInOrder) {
        m_list.AddString(shown);
        m_list.UpdateWindow();
        return;
    }
    for (int index = m_list.GetCount() - 1; index >= kKeptLines; --index) m_list.DeleteString(index);
    m_list.InsertString(0, shown);
}

void ListProgress::FileDone(const std::string& path, const ConversionTotals& totals) {
    if (m_bytesDone) m_bytesDone(totals.bytesDone);
    if (m_order == Order::kInOrder) return;  // the export has shown the file's path already
    m_list.AddString(WindowText(path, m_codePage));
    m_list.UpdateWindow();
}

void ListProgress::Ended(const std::string& text) {
    const QString message = QString::fromStdString(WindowText(text, m_codePage));
    auto show = [this, &message] {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quarvel"), message, QMessageBox::Ok, &m_window);
        box.exec();
    };
    if (QThread::currentThread() == m_window.thread())
        show();
    else
        QMetaObject::invokeMethod(&m_window, show, Qt::BlockingQueuedConnection);
}

}  // namespace quarvel

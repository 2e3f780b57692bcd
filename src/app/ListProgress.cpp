#include "app/ListProgress.h"

#include <QFile>
#include <QMessageBox>
#include <QThread>
#include <QWidget>

namespace quarvel {

void ListProgress::Line(const std::string& text) {
    if (m_order == Order::kInOrder) {
        m_list.AddString(text);
        m_list.UpdateWindow();
        return;
    }
    for (int index = m_list.GetCount() - 1; index >= kKeptLines; --index) m_list.DeleteString(index);
    m_list.InsertString(0, text);
}

void ListProgress::FileDone(const std::string& path, const ConversionTotals&) {
    if (m_order == Order::kInOrder) return;  // the export has shown the file's path already
    m_list.AddString(path);
    m_list.UpdateWindow();
}

void ListProgress::Ended(const std::string& text) {
    const QString message = QFile::decodeName(QByteArray::fromStdString(text));
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

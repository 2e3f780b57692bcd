#pragma once

// What the window's tests share: a fresh current folder per test, boxes that close
// themselves, modal windows answered from a timer, and data-log files written by hand.

#include "ScratchDir.h"
#include "app/QuarvelDlg.h"
#include "influx/LogSample.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace quarvel;

namespace apptest {

// A fresh folder as the current directory (the log goes to ./Logs), a private runtime
// folder, so that no Debug Screen of another test hears our conversions, and a private
// configuration folder (UserConfig()), so that no configuration file of the user's is read.
class ScratchFolder {
public:
    ScratchFolder() : m_home(QDir::currentPath()) {
        static const ScratchDir runtime("quarvel-run");
        qputenv("XDG_RUNTIME_DIR", runtime.Path().c_str());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(Path() + "config"));
        QDir::setCurrent(QFile::decodeName(m_dir.Path().c_str()));
    }
    ~ScratchFolder() { QDir::setCurrent(m_home); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    QString Path() const { return QFile::decodeName(m_dir.Path().c_str()) + QLatin1Char('/'); }
    bool IsValid() const { return m_dir.Made(); }
    // The user's configuration file, not made.
    QString UserConfig() const { return Path() + "config/quarvel/quarvel.conf"; }

private:
    QString m_home;
    ScratchDir m_dir{"quarvel-app"};
};

// Closes every message box as soon as it shows, remembering its text and icon, after
// `onShow` has looked at the window behind it; the checks' boxes
// (object name "preflight") are answered with the next of `answers` (button texts) while any are left. Runs
// from the event loop, so it also answers boxes shown while the test waits inside another one.
class BoxCloser {
public:
    explicit BoxCloser(QStringList answers = {}) : m_answers(std::move(answers)) {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(widget);
                if (box == nullptr || !box->isVisible() || m_closing.contains(box)) continue;
                m_closing.append(box);
                texts.append(box->text());
                icons.append(box->icon());
                if (onShow) onShow();
                if (box->objectName() != QStringLiteral("preflight") || m_answers.isEmpty()) {
                    box->accept();
                    continue;
                }
                const QString answer = m_answers.takeFirst();
                for (QAbstractButton* button : box->buttons())
                    if (button->text().remove(QLatin1Char('&')) == answer) button->click();
            }
            m_closing.removeIf([](const QPointer<QMessageBox>& box) { return box.isNull() || !box->isVisible(); });
        });
        m_timer.start();
    }
    QStringList texts;
    QList<QMessageBox::Icon> icons;
    std::function<void()> onShow;

private:
    QStringList m_answers;
    QTimer m_timer;
    QList<QPointer<QMessageBox>> m_closing;
};

// Runs `answer` on the first modal window that shows after this call, once it is up.
// A modal window runs its own event loop, so the test answers it from a timer.
inline void WhenModal(const std::function<void(QWidget*)>& answer, QWidget* besides = nullptr) {
    auto* poll = new QTimer;
    poll->setInterval(20);
    QObject::connect(poll, &QTimer::timeout, [poll, answer, besides] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == besides || !modal->isVisible()) return;
        poll->stop();
        poll->deleteLater();
        answer(modal);
    });
    poll->start();
}

// Writes `text` to `path`, making its folder.
inline bool WriteTextFile(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// Picks a node as the operator does: a choice in the drop-down list.
inline bool PickNode(CQuarvelDlg& dialog, const QString& node) {
    const int index = dialog.m_cbScadaName->findText(node);
    if (index < 0) return false;
    dialog.m_cbScadaName->setCurrentIndex(index);
    emit dialog.m_cbScadaName->activated(index);
    return true;
}

template <typename T>
T* Control(QWidget& dialog, const char* name) {
    return dialog.findChild<T*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

inline QStringList ListLines(const CQuarvelDlg& dialog) {
    QStringList lines;
    for (int i = 0; i < dialog.m_lbProgress->count(); ++i) lines.append(dialog.m_lbProgress->item(i)->text());
    return lines;
}

inline QString TopLine(const CQuarvelDlg& dialog) {
    return dialog.m_lbProgress->count() > 0 ? dialog.m_lbProgress->item(0)->text() : QString();
}

// A raw data-log file of `count` records, one every ten seconds from `start`.
inline bool WriteRawFile(const QString& path, int count, int32_t start = 1600000000) {
    QDir().mkpath(QFileInfo(path).path());
    std::string bytes;
    bytes.reserve(static_cast<size_t>(count) * kRawSampleSize);
    for (int i = 0; i < count; ++i) {
        LogSample sample{};
        sample.time = start + i * 10;
        sample.status = 192;
        sample.value = static_cast<float>(i % 1000) * 0.5f;
        bytes.append(reinterpret_cast<const char*>(&sample), kRawSampleSize);
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(bytes.data(), static_cast<qint64>(bytes.size())) == static_cast<qint64>(bytes.size());
}

// The messages of the log's lines, without date and priority.
inline QStringList LogMessages(QStringList* malformed = nullptr) {
    QFile file(QStringLiteral("Logs/Quarvel.log"));
    QStringList messages;
    if (!file.open(QIODevice::ReadOnly)) return messages;
    const QString marker = QStringLiteral(": INFO  : ");
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const qsizetype at = line.indexOf(marker);
        if (at < 0) {
            if (malformed != nullptr) malformed->append(line);
            continue;
        }
        messages.append(line.mid(at + marker.size()));
    }
    return messages;
}

// Beats every 10 ms on the event loop from its construction: work that keeps the
// window's thread from handling events shows as a long gap between beats.
class Heartbeat {
public:
    Heartbeat() {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.elapsed();
            m_longestGap = std::max(m_longestGap, now - m_last);
            m_last = now;
            ++m_beats;
        });
        m_clock.start();
        m_timer.start();
    }
    void Stop() { m_timer.stop(); }
    qint64 Elapsed() const { return m_clock.elapsed(); }  // ms since construction
    int Beats() const { return m_beats; }
    qint64 LongestGap() const { return m_longestGap; }
    QString Summary() const { return QStringLiteral("%1 beats, longest gap %2 ms").arg(m_beats).arg(m_longestGap); }

private:
    QElapsedTimer m_clock;
    QTimer m_timer;
    qint64 m_last = 0;
    qint64 m_longestGap = 0;
    int m_beats = 0;
};

}  // namespace apptest

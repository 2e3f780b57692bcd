// Conversions started from the window into the real InfluxDB server: while the operator
// works the window, twice at once, and a close while a file is under way.

#include "AppTestSupport.h"
#include "InfluxServer.h"
#include "SampleNodes.h"
#include "app/QuarvelApp.h"
#include "logging/Logging.h"
#include "sample/SampleNode.h"

#include <QProgressBar>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>

#include <filesystem>
#include <memory>
#include <numeric>

using namespace apptest;

class ConversionTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScratchFolder> m_scratch;

    QString Folder() const { return m_scratch->Path(); }

    // A node folder name of its own, with its database and the four policies.
    static QString NewNode() {
        const std::string node = testsupport::UniqueDatabaseName("App");
        testsupport::CreateDatabaseWithPolicies("Ry_" + node);
        return QString::fromStdString(node);
    }
    static std::string Database(const QString& node) { return "Ry_" + node.toStdString(); }

    // The last line of a conversion that wrote every line, and the bar full.
    static void VerifyTotals(CQuarvelDlg& dialog, const QString& line, int files, uint64_t lines) {
        const QString totals(
            "^Files: %1 converted, 0 skipped, 0 already converted; lines written: %2; not written: 0; \\d+:\\d\\d$");
        QVERIFY2(QRegularExpression(totals.arg(files).arg(Thousands(lines).c_str())).match(line).hasMatch(),
                 qPrintable(line));
        auto* bar = Control<QProgressBar>(dialog, "progress");
        QCOMPARE(bar->value(), bar->maximum());
    }

    // `records`: of every file; `files`: how many.
    QString SampleNode(int tags, int days, uint64_t& records, int* files = nullptr) {
        const QString node = NewNode();
        const SampleNodeResult made = testsupport::MakeSmallSampleNode((Folder() + node).toStdString(), tags, days);
        records = made.rawRecords + made.summaryRecords;
        if (files != nullptr) *files = made.files;
        return node;
    }

private slots:
    void initTestCase() {
        if (!testsupport::ServerUrl())
            QSKIP("needs an InfluxDB server: run scripts/test, or set QUARVEL_INFLUX_URL to a server's base URL");
    }
    void init() {
        m_scratch = std::make_unique<ScratchFolder>();
        QVERIFY(m_scratch->IsValid());
    }
    void cleanup() { m_scratch.reset(); }

    void convertsWhileTheOperatorWorksTheWindow() {
        uint64_t records = 0;
        int files = 0;
        const QString node = SampleNode(8, 10, records, &files);
        QVERIFY(!node.isEmpty());
        CQuarvelDlg dialog(nullptr, Folder());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        BoxCloser boxes;
        QVERIFY(PickNode(dialog, node));

        // The totals line stands when the box opens: its time leaves the box out.
        QString topWhenBoxShown;
        boxes.onShow = [&] { topWhenBoxShown = TopLine(dialog); };
        // The event loop's heartbeat: a conversion on the window's thread would stop it.
        Heartbeat heart;
        QTest::mouseClick(Control<QPushButton>(dialog, "1"), Qt::LeftButton);

        // The operator goes on working while the first files are converted.
        QTRY_VERIFY(TopLine(dialog).endsWith(QStringLiteral(".DAT")));
        const QPoint moved = dialog.pos() + QPoint(60, 40);
        dialog.move(moved);
        auto* rtdb = Control<QRadioButton>(dialog, "1005");
        QTest::mouseClick(rtdb, Qt::LeftButton);
        dialog.m_cbScadaName->showPopup();
        QTest::qWait(50);
        dialog.m_cbScadaName->hidePopup();
        QTest::mouseClick(dialog.m_lbProgress->viewport(), Qt::LeftButton, {}, QPoint(20, 5));
        const bool busyMeanwhile = dialog.RunningConversions() == 1;

        QTRY_COMPARE_WITH_TIMEOUT(boxes.texts, QStringList{"Conversion completed"}, 60000);
        QTRY_COMPARE(dialog.RunningConversions(), 0);
        heart.Stop();
        QCOMPARE(boxes.icons, QList{QMessageBox::NoIcon});
        QCOMPARE(topWhenBoxShown, TopLine(dialog));
        QVERIFY2(busyMeanwhile, "the conversion ended before the operator was done: the node is too small");
        QVERIFY2(heart.Beats() >= 20 && heart.LongestGap() < 1000, qPrintable(heart.Summary()));
        QCOMPARE(dialog.pos(), moved);
        QVERIFY(rtdb->isChecked());  // changed after the click: the data-log conversion went on
        QCOMPARE(ListLines(dialog).value(1), QStringLiteral("Conversion completed"));
        VerifyTotals(dialog, TopLine(dialog), files, records);
        const long stored = testsupport::CountAllPoints(Database(node));
        QVERIFY2(stored == static_cast<long>(records),
                 qPrintable(QString("%1 of %2 points:").arg(stored).arg(records) +
                            QString::fromStdString(testsupport::PointsByName(Database(node)))));
    }

    // The export runs on the window's thread, which paints each line as it is added: what
    // the screen holds when a line comes shows the line before it.
    void exportsTheTablesPaintingEachLine() {
        const QString node = NewNode();
        const SampleNodeResult made = testsupport::MakeSmallSampleNode((Folder() + node).toStdString(), 2, 1);
        CQuarvelDlg dialog(nullptr, Folder());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        BoxCloser boxes;
        QVERIFY(PickNode(dialog, node));
        QTest::mouseClick(Control<QRadioButton>(dialog, "1005"), Qt::LeftButton);

        QListWidget* list = dialog.m_lbProgress;
        const QRect area(list->viewport()->mapTo(&dialog, QPoint(0, 0)), list->viewport()->size());
        QMap<int, QImage> screens;  // by the row being added: the list as the screen holds it; asks the list nothing
        connect(list->model(), &QAbstractItemModel::rowsInserted, &dialog, [&](const QModelIndex&, int row) {
            if (row > 0) screens[row] = dialog.screen()->grabWindow(dialog.winId()).toImage().copy(area);
        });
        QTest::mouseClick(Control<QPushButton>(dialog, "1"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.RunningConversions(), 0, 60000);

        QStringList lines = ListLines(dialog);
        QVERIFY(lines.value(1).endsWith(QStringLiteral("Tags.rdb")));
        // The export ends as a data-log run does, and names each table's path once.
        QCOMPARE(boxes.texts, QStringList{"Conversion completed"});
        QCOMPARE(lines.value(lines.size() - 2), QStringLiteral("Conversion completed"));
        QCOMPARE(lines.removeDuplicates(), 0);
        int painted = 0;
        for (auto it = screens.begin(); it != screens.end(); ++it) {
            const QRect before = list->visualItemRect(list->item(it.key() - 1));
            if (!list->viewport()->rect().contains(before)) continue;
            QImage blank(before.size(), it->format());
            blank.fill(list->palette().color(QPalette::Base));
            QVERIFY2(it->copy(before) != blank, qPrintable(QStringLiteral("unpainted: ") + lines[it.key() - 1]));
            ++painted;
        }
        QVERIFY2(painted >= 8, qPrintable(QString::number(painted)));
        VerifyTotals(dialog, lines.last(), 4,
                     std::accumulate(made.tableSamples.begin(), made.tableSamples.end(), uint64_t{0}));
        for (int kind = 0; kind < kTableKindCount; ++kind)
            QCOMPARE(testsupport::CountPoints(Database(node), kRetentionPolicy[kind], kMeasurement[kind]),
                     static_cast<long>(made.tableSamples[kind]));
    }

    void twoQuickConversionsBothComplete() {
        uint64_t records = 0;
        const QString node = SampleNode(3, 3, records);
        QVERIFY(!node.isEmpty());
        CQuarvelDlg dialog(nullptr, Folder());
        dialog.show();
        BoxCloser boxes;
        QVERIFY(PickNode(dialog, node));
        auto* convert = Control<QPushButton>(dialog, "1");
        // The first conversion's first line comes after its checks, and it waits for this
        // thread to show it: a click then starts a second beside it.
        int running = 0;
        connect(dialog.m_lbProgress->model(), &QAbstractItemModel::rowsInserted, &dialog,
                [&](const QModelIndex&, int row) {
                    if (running > 0 || dialog.m_lbProgress->item(row)->text() != QStringLiteral("Start conversion"))
                        return;
                    QTest::mouseClick(convert, Qt::LeftButton);
                    running = dialog.RunningConversions();
                });
        QTest::mouseClick(convert, Qt::LeftButton);
        QTest::mouseClick(convert, Qt::LeftButton);  // during the checks: no second check of the same
        QCOMPARE(dialog.RunningConversions(), 1);
        QVERIFY(!convert->isEnabled());
        QTRY_COMPARE(running, 2);

        QTRY_COMPARE_WITH_TIMEOUT(boxes.texts, (QStringList{"Conversion completed", "Conversion completed"}), 60000);
        QTRY_COMPARE(dialog.RunningConversions(), 0);
        // The same points twice: the second conversion overwrote the first's.
        QCOMPARE(testsupport::CountAllPoints(Database(node)), static_cast<long>(records));
    }

    // A node whose names are Big5 bytes, with its code page in the configuration file
    // beside the program: the window shows them, and the server holds them, as 中文.
    void namesInTheNodesCodePage() {
        const std::string letters = testsupport::UniqueDatabaseName("App");
        const QString chinese = QString::fromUtf8("中文");
        const QString shown = QString::fromStdString(letters) + chinese;
        const std::string database = "Ry_" + shown.toStdString();
        testsupport::CreateDatabaseWithPolicies(database);
        // The file is written under a name of letters, then given its Big5 one.
        QVERIFY(WriteRawFile(Folder() + "raw.DAT", 100));
        const std::string group = Folder().toStdString() + letters + "\xA4\xA4\xA4\xE5/Log/G/";
        std::filesystem::create_directories(group);
        std::filesystem::rename(Folder().toStdString() + "raw.DAT", group + "\xA4\xA4\xA4\xE5$0001X.DAT");
        QVERIFY(WriteTextFile(Folder() + "quarvel.conf", "[server]\ncodepage = CP950\n"));

        CQuarvelDlg dialog(nullptr, Folder());
        dialog.show();
        BoxCloser boxes;
        QVERIFY(PickNode(dialog, shown));
        QCOMPARE(dialog.m_strDataLogFolder, Folder() + shown + "/Log/");
        QTest::mouseClick(Control<QPushButton>(dialog, "1"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.RunningConversions(), 0, 60000);
        QCOMPARE(boxes.texts, QStringList{"Conversion completed"});
        const QStringList lines = ListLines(dialog);
        QVERIFY2(lines.filter(QChar(0xFFFD)).isEmpty() && lines.contains(chinese + "$0001X.DAT"),
                 qPrintable(lines.join(QLatin1Char('\n'))));
        const auto rows = testsupport::SelectAll(database, "RP_Sec", "datalogX");
        QCOMPARE(rows.size(), size_t{100});
        QCOMPARE(QString::fromStdString(rows.front()["name"].get<std::string>()), chinese);
        testsupport::DropDatabase(database);
    }

    void closingFinishesTheFileUnderWayAndThenEnds() {
        const QString node = NewNode();
        const int counts[] = {180000, 190000, 200000};
        for (int i = 0; i < 3; ++i)
            QVERIFY(WriteRawFile(Folder() + node + QStringLiteral("/Log/G/T%1$0001X.DAT").arg(i), counts[i]));
        BoxCloser boxes;

        // The window runs modally inside the application; the test works it from a timer.
        int step = 0;
        bool finishingShown = false;
        QTimer drive;
        drive.setInterval(10);
        connect(&drive, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<CQuarvelDlg*>(QApplication::activeModalWidget());
            if (dialog == nullptr) return;
            if (step == 0 && PickNode(*dialog, node)) {
                QTest::mouseClick(Control<QPushButton>(*dialog, "1"), Qt::LeftButton);
                step = 1;
            } else if (step == 1 && TopLine(*dialog).endsWith(QStringLiteral(".DAT")) &&
                       !TopLine(*dialog).contains(QLatin1Char('/'))) {  // a file's name, not the folder's pattern
                dialog->close();
                finishingShown = dialog->isVisible() && dialog->IsFinishing() &&
                                 dialog->windowTitle().contains(QStringLiteral("finishing")) &&
                                 !Control<QPushButton>(*dialog, "1")->isEnabled();
                step = 2;
            }
        });
        drive.start();
        CQuarvelApp app(Folder());
        QCOMPARE(app.Run(), 0);
        drive.stop();

        QCOMPARE(step, 2);
        QVERIFY(finishingShown);
        QCOMPARE(boxes.texts, QStringList());
        const QStringList log = LogMessages();
        QVERIFY(!log.isEmpty());
        QCOMPARE(log.first(), QStringLiteral("Quarvel Start"));
        QCOMPARE(log.last(), QStringLiteral("Quarvel Exit"));

        // Every file the walk began is in the server whole; the ones after it were left alone.
        long expected = 0;
        QStringList converted;
        for (const QString& line : log) {
            if (!line.endsWith(QStringLiteral(".DAT")) || line.contains(QLatin1Char('/'))) continue;
            converted.append(line);
            expected += counts[line.mid(1, 1).toInt()];
        }
        QVERIFY2(converted.size() >= 1 && converted.size() < 3, qPrintable(converted.join(QLatin1Char(' '))));
        const qsizetype closing =
            log.indexOf(QStringLiteral("Closing: the conversion ends after the file it is converting"));
        const qsizetype stopped =
            log.indexOf(QStringLiteral("Conversion stopped after %1 files").arg(converted.size()));
        QVERIFY(closing > 0);
        QCOMPARE(stopped, log.size() - 3);
        QVERIFY2(log[stopped + 1].startsWith(QStringLiteral("Files: %1 converted").arg(converted.size())),
                 qPrintable(log[stopped + 1]));
        QVERIFY(closing < stopped);
        const long stored = testsupport::CountPoints(Database(node), "RP_Sec", "datalogX");
        QVERIFY2(stored == expected, qPrintable(QStringLiteral("%1 stored of %2; the log:\n%3")
                                                    .arg(stored)
                                                    .arg(expected)
                                                    .arg(log.join(QLatin1Char('\n')))));
    }
};

QTEST_MAIN(ConversionTest)
#include "ConversionTest.moc"

using namespace quarvel;

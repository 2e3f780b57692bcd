// Conversions started from the window into the real InfluxDB server: while the operator
// works the window, twice at once, and a close while a file is under way.

#include "AppTestSupport.h"
#include "InfluxServer.h"
#include "app/QuarvelApp.h"
#include "sample/SampleNode.h"
#include "SampleNodes.h"

#include <QRadioButton>

#include <memory>

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

    QString SampleNode(int tags, int days, uint64_t& records) {
        const QString node = NewNode();
        SampleNodeOptions options;
        options.tags = tags;
        options.days = days;
        SampleNodeResult made;
        std::string error;
        if (!MakeSampleNode((Folder() + node).toStdString(), options, made, error)) {
            qWarning("%s", error.c_str());
            return QString();
        }
        records = made.rawRecords + made.summaryRecords;
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
        const QString node = SampleNode(8, 10, records);
        QVERIFY(!node.isEmpty());
        CQuarvelDlg dialog(nullptr, Folder());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        BoxCloser boxes;
        QVERIFY(PickNode(dialog, node));

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
        QVERIFY2(busyMeanwhile, "the conversion ended before the operator was done: the node is too small");
        QVERIFY2(heart.Beats() >= 20 && heart.LongestGap() < 1000, qPrintable(heart.Summary()));
        QCOMPARE(dialog.pos(), moved);
        QVERIFY(rtdb->isChecked());  // changed after the click: the data-log conversion went on
        QCOMPARE(TopLine(dialog), QStringLiteral("Conversion completed"));
        QCOMPARE(testsupport::CountAllPoints(Database(node)), static_cast<long>(records));
    }

    void exportsTheTablesOnTheWindowThread() {
        const QString node = NewNode();
        SampleNodeOptions options;
        options.tags = 2;
        options.days = 1;
        SampleNodeResult made;
        std::string error;
        QVERIFY2(MakeSampleNode((Folder() + node).toStdString(), options, made, error), error.c_str());
        CQuarvelDlg dialog(nullptr, Folder());
        dialog.show();
        QVERIFY(PickNode(dialog, node));
        QTest::mouseClick(Control<QRadioButton>(dialog, "1005"), Qt::LeftButton);
        QTest::mouseClick(Control<QPushButton>(dialog, "1"), Qt::LeftButton);

        // The click returned when the export had ended: it ran on this thread.
        QCOMPARE(dialog.RunningConversions(), 0);
        QVERIFY(ListLines(dialog).first().endsWith(QStringLiteral("Tags.rdb")));
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
        QTest::mouseClick(convert, Qt::LeftButton);
        QTest::mouseClick(convert, Qt::LeftButton);
        // Neither can have ended: each waits for this thread to show its first line.
        QCOMPARE(dialog.RunningConversions(), 2);

        QTRY_COMPARE_WITH_TIMEOUT(boxes.texts, (QStringList{"Conversion completed", "Conversion completed"}), 60000);
        QTRY_COMPARE(dialog.RunningConversions(), 0);
        // The same points twice: the second conversion overwrote the first's.
        QCOMPARE(testsupport::CountAllPoints(Database(node)), static_cast<long>(records));
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
        QCOMPARE(stopped, log.size() - 2);
        QVERIFY(closing < stopped);
        QCOMPARE(testsupport::CountPoints(Database(node), "RP_Sec", "datalogX"), expected);
    }
};

QTEST_MAIN(ConversionTest)
#include "ConversionTest.moc"

using namespace quarvel;

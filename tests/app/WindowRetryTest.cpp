// The window exporting tables on its own thread while the server is retried: its event
// loop keeps running through the wait, and the progress line says the server is retried.
// A run whose lines the server refuses ends in a warning with its totals.

#include "AppTestSupport.h"
#include "FakeHttpServer.h"
#include "InfluxServer.h"
#include "SampleNodes.h"
#include "Samples.h"
#include "platform/DebugWindowListener.h"
#include "sample/SampleNode.h"

#include <QProgressBar>
#include <QRadioButton>

#include <atomic>
#include <thread>

using namespace apptest;

class WindowRetryTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (!testsupport::ServerUrl())
            QSKIP("needs an InfluxDB server: run scripts/test, or set QUARVEL_INFLUX_URL to a server's base URL");
    }

    // The first post meets a busy server; the production schedule waits about 2 s before
    // the second try, on the window's thread.
    void tableExportKeepsTheWindowAliveWhileTheServerIsRetried() {
        ScratchFolder scratch;
        QVERIFY(scratch.IsValid());
        const std::string node = testsupport::UniqueDatabaseName("Win");
        const std::string database = "Ry_" + node;
        testsupport::CreateDatabaseWithPolicies(database);
        SampleNodeOptions options;
        options.tags = 1;
        options.days = 1;
        SampleNodeResult made;
        std::string error;
        QVERIFY2(MakeSampleNode((scratch.Path() + QString::fromStdString(node)).toStdString(), options, made, error),
                 error.c_str());

        // Stands in front of the real server and turns down the first write of lines only (the
        // checks' empty write passes).
        std::atomic<int> writes{0};
        const std::string real = *testsupport::ServerUrl();
        testsupport::FakeHttpServer front([&writes, real](const testsupport::FakeRequest& request) {
            if (request.target.starts_with("/write") && request.bodyLength > 0 && writes++ == 0)
                return testsupport::Answer(503, "busy");
            return testsupport::Forward(real);
        });
        const QByteArray previous = qgetenv("QUARVEL_INFLUX_URL");
        qputenv("QUARVEL_INFLUX_URL", QByteArray::fromStdString(front.Url()));

        CQuarvelDlg dialog(nullptr, scratch.Path());
        dialog.show();
        BoxCloser boxes;
        QVERIFY(PickNode(dialog, QString::fromStdString(node)));
        QTest::mouseClick(Control<QRadioButton>(dialog, "1005"), Qt::LeftButton);

        Heartbeat heart;
        QTest::mouseClick(Control<QPushButton>(dialog, "1"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.RunningConversions(), 0, 60000);
        const qint64 took = heart.Elapsed();
        heart.Stop();
        qputenv("QUARVEL_INFLUX_URL", previous);

        QCOMPARE(boxes.texts, QStringList{"Conversion completed"});
        const QStringList lines = ListLines(dialog);
        QVERIFY2(lines.contains(QStringLiteral("Server busy (HTTP 503), retrying in 2 s (try 2 of 5)")),
                 qPrintable(lines.join(QLatin1Char('\n'))));
        QVERIFY2(took >= 1400, qPrintable(QString::number(took)));
        // Without the event loop in the wait the timer could not beat during the export.
        QVERIFY2(heart.Beats() >= 50 && heart.LongestGap() < 1000, qPrintable(heart.Summary()));
        long expected = 0;
        for (const auto samples : made.tableSamples) expected += static_cast<long>(samples);
        QCOMPARE(testsupport::CountAllPoints(database), expected);
        QVERIFY(!QDir(QStringLiteral("Logs/unsent")).exists());
        testsupport::DropDatabase(database);
    }

    // Two hour files of a full post each, through one writer, whose lines the server
    // refuses: a warning with the totals ends the run, and each file tells the Debug
    // Screen its own largest post.
    void aRunWhoseLinesTheServerRefusesEndsInAWarningWithItsTotals() {
        ScratchFolder scratch;
        QVERIFY(scratch.IsValid());
        const std::string node = testsupport::UniqueDatabaseName("Win");
        testsupport::CreateDatabaseWithPolicies("Ry_" + node);
        const std::vector<LogSample> hours(kBatchLines, testsupport::SampleAround(1600000000, 1.5f));
        for (const char* name : {"/Log/G/T1$0001H.DAT", "/Log/G/T2$0001H.DAT"})
            testsupport::WriteDat(scratch.Path().toStdString() + node + name, hours, kSummarySampleSize);
        QVERIFY(WriteTextFile(scratch.Path() + "quarvel.conf", "[server]\njobs=1\n"));
        const std::string real = *testsupport::ServerUrl();
        testsupport::FakeHttpServer front([real](const testsupport::FakeRequest& request) {
            if (request.target.starts_with("/write") && request.bodyLength > 0)
                return testsupport::Answer(400, "unable to parse");
            return testsupport::Forward(real);
        });
        const QByteArray previous = qgetenv("QUARVEL_INFLUX_URL");
        qputenv("QUARVEL_INFLUX_URL", QByteArray::fromStdString(front.Url()));
        platform::DebugWindowListener screen("debugWClass", "Debug Screen");
        std::atomic<bool> listening{true};
        QStringList sizes;
        std::thread listener([&] {
            while (listening)
                screen.Receive(50, [&sizes](const platform::DebugWindowMessage& message) {
                    const auto* text = reinterpret_cast<const char*>(message.section.data());
                    sizes.append(QString::fromLatin1(text, qstrnlen(text, message.section.size())).trimmed());
                });
        });
        CQuarvelDlg dialog(nullptr, scratch.Path());
        BoxCloser boxes;
        QVERIFY(PickNode(dialog, QString::fromStdString(node)));
        QTest::mouseClick(Control<QPushButton>(dialog, "1"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.RunningConversions(), 0, 60000);
        qputenv("QUARVEL_INFLUX_URL", previous);
        listening = false;
        listener.join();

        QCOMPARE(boxes.icons, QList{QMessageBox::Warning});
        const QString totals = TopLine(dialog);
        QVERIFY2(totals.startsWith("Files: 2 converted") && totals.contains("not written: 20,000;"),
                 qPrintable(totals));
        QCOMPARE(boxes.texts, QStringList{"Conversion completed, but 20000 lines were not written; they are saved in "
                                          "Logs/unsent/ (quarvel-cli repost sends them)\n\n" +
                                          totals});
        QCOMPARE(Control<QProgressBar>(dialog, "progress")->text(), QStringLiteral("100%, not written: 20,000 lines"));
        QCOMPARE(sizes.size(), 2);
        QVERIFY2(sizes[0].startsWith("InfuxDb Size = ") && sizes[1] == sizes[0], qPrintable(sizes.join('|')));
        testsupport::DropDatabase("Ry_" + node);
    }
};

QTEST_MAIN(WindowRetryTest)
#include "WindowRetryTest.moc"

using namespace quarvel;

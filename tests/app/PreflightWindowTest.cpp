// The window's checks before a conversion and its "Resume" box, offscreen, against the
// real InfluxDB server: the boxes are answered as an operator would.

#include "AppTestSupport.h"
#include "PreflightSupport.h"
#include "SampleNodes.h"

#include "PrivateInflux.h"
#include "logging/Logging.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QUrl>

#include <chrono>
#include <memory>
#include <numeric>
#include <thread>

using namespace apptest;

class PreflightWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScratchFolder> m_scratch;
    QString m_node;
    std::string m_database;
    SampleNodeResult m_made;
    QString m_url;

    long Expected(bool tables) const {
        if (tables)
            return static_cast<long>(
                std::accumulate(m_made.tableSamples.begin(), m_made.tableSamples.end(), uint64_t{0}));
        return static_cast<long>(m_made.rawRecords + m_made.summaryRecords);
    }

    // Picks the node and the kind, then presses Convert; a data-log conversion is waited for.
    static void Convert(CQuarvelDlg& dialog, const QString& node, bool tables, bool resume = false) {
        QVERIFY(PickNode(dialog, node));
        QTest::mouseClick(Control<QRadioButton>(dialog, tables ? "1005" : "1004"), Qt::LeftButton);
        Control<QCheckBox>(dialog, "resume")->setChecked(resume);
        QTest::mouseClick(Control<QPushButton>(dialog, "1"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.RunningConversions(), 0, 60000);
    }

private slots:
    void initTestCase() {
        if (!testsupport::ServerUrl())
            QSKIP("needs an InfluxDB server: run scripts/test, or set QUARVEL_INFLUX_URL to a server's base URL");
        m_url = QString::fromStdString(*testsupport::ServerUrl());
    }
    void init() {
        m_scratch = std::make_unique<ScratchFolder>();
        QVERIFY(m_scratch->IsValid());
        m_node = QString::fromStdString(testsupport::UniqueDatabaseName("Win"));
        m_database = "Ry_" + m_node.toStdString();
        m_made = testsupport::MakeSmallSampleNode((m_scratch->Path() + m_node).toStdString(), 2, 1);
    }
    void cleanup() {
        qputenv("QUARVEL_INFLUX_URL", m_url.toUtf8());
        preflight::Drop(m_database);
        m_scratch.reset();
    }

    void aMissingDatabaseIsCreatedOnlyOnYes_data() {
        QTest::addColumn<bool>("tables");
        QTest::addColumn<QString>("answer");
        QTest::newRow("data log, Yes") << false << "Yes";
        QTest::newRow("data log, No") << false << "No";
        QTest::newRow("tables, Yes") << true << "Yes";
    }
    void aMissingDatabaseIsCreatedOnlyOnYes() {
        QFETCH(bool, tables);
        QFETCH(QString, answer);
        CQuarvelDlg dialog(nullptr, m_scratch->Path());
        dialog.show();
        BoxCloser boxes({answer});
        Convert(dialog, m_node, tables);

        QVERIFY(!boxes.texts.isEmpty());
        QCOMPARE(boxes.texts.first(),
                 QStringLiteral("Database Ry_%1 does not exist on %2. Create it with the retention "
                                "policies RP_Sec, RP_Min, RP_Hour and RP_Day (duration INF)?")
                     .arg(m_node, m_url));
        const ServerCheck found = CheckServer(m_url.toStdString(), m_database);
        if (answer == QStringLiteral("No")) {
            QVERIFY(!found.databaseExists);
            QCOMPARE(boxes.texts.size(), 1);
            QCOMPARE(TopLine(dialog),
                     QStringLiteral("Nothing converted: missing on %1: database Ry_%2, RP_Sec, RP_Min, "
                                    "RP_Hour and RP_Day")
                         .arg(m_url, m_node));
            return;
        }
        QVERIFY(found.Complete());
        for (const RetentionPolicyState& policy : found.policies) QCOMPARE(policy.durationSeconds, int64_t{0});
        if (!tables) QTRY_VERIFY(boxes.texts.contains(QStringLiteral("Conversion completed")));
        QCOMPARE(testsupport::CountAllPoints(m_database), Expected(tables));
    }

    void aShortPolicyAsksBeforeWriting_data() {
        QTest::addColumn<QString>("answer");
        QTest::newRow("Continue") << "Continue";
        QTest::newRow("Cancel") << "Cancel";
    }
    void aShortPolicyAsksBeforeWriting() {
        QFETCH(QString, answer);
        auto policies = preflight::AllInf();
        policies["RP_Day"] = "1h";
        preflight::MakeDatabase(m_database, policies);
        CQuarvelDlg dialog(nullptr, m_scratch->Path());
        dialog.show();
        BoxCloser boxes({answer});
        Convert(dialog, m_node, false);

        QVERIFY(!boxes.texts.isEmpty());
        QVERIFY2(boxes.texts.first().startsWith(QStringLiteral("RP_Day keeps 1h, but the oldest day sample is ")),
                 qPrintable(boxes.texts.first()));
        QVERIFY(boxes.texts.first().endsWith(QStringLiteral("Convert anyway?")));
        const long raw = testsupport::CountPoints(m_database, "RP_Sec", "datalogX");
        if (answer == QStringLiteral("Cancel")) {
            QCOMPARE(boxes.texts.size(), 1);
            QCOMPARE(raw, 0L);
        } else {
            // The day points are older than their policy: the server refuses them.
            QTRY_VERIFY(!boxes.texts.filter(QStringLiteral("Conversion completed")).isEmpty());
            QCOMPARE(testsupport::CountPoints(m_database, "RP_Sec", "datalogX"), static_cast<long>(m_made.rawRecords));
        }
    }

    void anUnreachableServerConvertsNothing() {
        testsupport::FakeHttpServer closed(testsupport::FakeHttpServer::Refusing{});
        qputenv("QUARVEL_INFLUX_URL", closed.Url().c_str());
        CQuarvelDlg dialog(nullptr, m_scratch->Path());
        dialog.show();
        BoxCloser boxes({QStringLiteral("OK")});
        Convert(dialog, m_node, false);
        QCOMPARE(boxes.texts.size(), 1);
        const QString server = QString::fromStdString(closed.Url());
        QVERIFY2(boxes.texts.first().startsWith(QStringLiteral("The server %1 cannot be reached").arg(server)),
                 qPrintable(boxes.texts.first()));
        QCOMPARE(TopLine(dialog), QStringLiteral("Nothing converted: the server %1 cannot be reached").arg(server));
    }

    // A server slow to answer its pings: the window goes on handling events, takes no second
    // Convert and still asks in boxes; closed meanwhile, it asks nothing and converts nothing.
    void theChecksLeaveTheWindowFree_data() {
        QTest::addColumn<bool>("close");
        QTest::newRow("answered") << false;
        QTest::newRow("closed during the checks") << true;
    }
    void theChecksLeaveTheWindowFree() {
        QFETCH(bool, close);
        testsupport::FakeHttpServer slow([real = m_url.toStdString()](const testsupport::FakeRequest& request) {
            if (request.target.starts_with("/ping")) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            return testsupport::Forward(real);
        });
        const QString server = QString::fromStdString(slow.Url());
        qputenv("QUARVEL_INFLUX_URL", server.toUtf8());
        CQuarvelDlg dialog(nullptr, m_scratch->Path());
        dialog.show();
        BoxCloser boxes({QStringLiteral("Yes")});
        QVERIFY(PickNode(dialog, m_node));
        auto* convert = Control<QPushButton>(dialog, "1");

        Heartbeat heart;
        QTest::mouseClick(convert, Qt::LeftButton);
        QVERIFY(!convert->isEnabled());
        QTRY_COMPARE(TopLine(dialog), QStringLiteral("Checking the server %1 ...").arg(server));
        if (close) dialog.close();
        QTRY_COMPARE_WITH_TIMEOUT(dialog.RunningConversions(), 0, 60000);
        heart.Stop();
        QVERIFY2(heart.Elapsed() >= 1500 && heart.LongestGap() < 1000, qPrintable(heart.Summary()));

        QCOMPARE(dialog.isVisible(), !close);
        QCOMPARE(convert->isEnabled(), !close);
        QCOMPARE(boxes.texts.size(), close ? 0 : 2);
        if (!close)
            QVERIFY(boxes.texts.first().startsWith(
                QStringLiteral("Database Ry_%1 does not exist on %2.").arg(m_node, server)));
        QCOMPARE(testsupport::CountAllPoints(m_database), close ? 0 : Expected(false));
    }

    // A server that refuses the window's login (none here) gets the operator's, asked for in
    // a box of its own and kept for the window's later conversions; the password shows
    // nowhere. Each login is a user and a password; an empty user cancels.
    void aRefusedLoginIsAskedForOnce_data() {
        QTest::addColumn<QStringList>("logins");
        const QString writer = QString::fromStdString(testsupport::kInfluxWriter.user);
        const QString password = QString::fromStdString(testsupport::kInfluxWriter.password);
        QTest::newRow("the writer's login") << QStringList{writer, password};
        QTest::newRow("a wrong password, then the right one") << QStringList{writer, "wrong", writer, password};
        QTest::newRow("cancel") << QStringList{QString(), QString()};
    }
    void aRefusedLoginIsAskedForOnce() {
        QFETCH(QStringList, logins);
        const testsupport::PrivateInfluxOptions secured{.auth = true};
        const std::string missing = testsupport::PrivateInfluxMissing(secured);
        if (!missing.empty()) QSKIP(qPrintable(QString::fromStdString("needs a private server: " + missing)));
        testsupport::PrivateInflux server(secured);
        std::string error;
        QVERIFY2(server.Start(error), error.c_str());
        server.CreateDatabase(m_database);
        server.CreateUsers(m_database);
        const QString url = QString::fromStdString(server.Url());
        qputenv("QUARVEL_INFLUX_URL", url.toUtf8());
        InitLogging();

        CQuarvelDlg dialog(nullptr, m_scratch->Path());
        dialog.show();
        BoxCloser boxes({QStringLiteral("Continue"), QStringLiteral("Continue")});  // the writer may not read
        QStringList prompts;
        bool masked = true;
        QTimer answer;  // answers each login box with the next login; one beyond them is cancelled
        QObject::connect(&answer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (box == nullptr || box->objectName() != QStringLiteral("login") || !box->isVisible()) return;
            const qsizetype at = prompts.size() * 2;
            prompts.append(Control<QLabel>(*box, "static_Prompt")->text());
            auto* password = Control<QLineEdit>(*box, "password");
            masked = masked && password->echoMode() == QLineEdit::Password;
            const bool cancel = at >= logins.size() || logins[at].isEmpty();
            if (!cancel) Control<QLineEdit>(*box, "user")->setText(logins[at]);
            if (!cancel) QTest::keyClicks(password, logins[at + 1]);
            QTest::mouseClick(Control<QPushButton>(*box, cancel ? "2" : "1"), Qt::LeftButton);
        });
        answer.start(20);
        const bool cancel = logins.first().isEmpty();

        Convert(dialog, m_node, false);
        QCOMPARE(prompts.size() * 2, logins.size());
        QCOMPARE(prompts.first(), QStringLiteral("The server %1 needs a login. Log in to convert.").arg(url));
        if (prompts.size() > 1)
            QCOMPARE(prompts[1],
                     QStringLiteral("The server %1 refused the login of writer. Log in to convert.").arg(url));
        QVERIFY(masked);
        if (cancel) {
            QCOMPARE(TopLine(dialog), QStringLiteral("Nothing converted: the server %1 needs a login").arg(url));
        } else {
            QTRY_VERIFY(boxes.texts.contains(QStringLiteral("Conversion completed")));
            // Again in the same window: the login given is used without asking.
            const qsizetype completed = boxes.texts.count(QStringLiteral("Conversion completed"));
            Convert(dialog, m_node, false);
            QTRY_COMPARE(boxes.texts.count(QStringLiteral("Conversion completed")), completed + 1);
            QCOMPARE(prompts.size() * 2, logins.size());
        }
        QCOMPARE(server.CountPoints(m_database), cancel ? 0 : Expected(false));
        ShutdownLogging();

        const QString password = QString::fromStdString(testsupport::kInfluxWriter.password);
        const QStringList log = LogMessages();
        QVERIFY(log.contains(TopLine(dialog)));  // the log was written, here
        const QStringList seen = ListLines(dialog) + boxes.texts + prompts + log;
        for (const QString& form : {password, QString::fromUtf8(QUrl::toPercentEncoding(password))})
            QVERIFY2(seen.filter(form).isEmpty(), qPrintable(seen.filter(form).join('\n')));
    }

    void resumeSkipsWhatWasConverted_data() {
        QTest::addColumn<bool>("tables");
        QTest::newRow("data log") << false;
        QTest::newRow("tables") << true;
    }
    void resumeSkipsWhatWasConverted() {
        QFETCH(bool, tables);
        preflight::MakeDatabase(m_database, preflight::AllInf());
        CQuarvelDlg dialog(nullptr, m_scratch->Path());
        dialog.show();
        BoxCloser boxes;
        QStringList shown;
        // Every line is kept here; the list widget would drop the older ones.
        dialog.m_progressList.SetObserver(
            [&shown](platform::ProgressList::Change change, int, const std::string& text) {
                if (change != platform::ProgressList::Change::Deleted) shown.append(QString::fromStdString(text));
            });
        const int files = tables ? 4 : m_made.files;
        const auto resumed = [&shown] { return shown.filter(QStringLiteral("Already converted: ")).size(); };

        Convert(dialog, m_node, tables, false);
        QCOMPARE(resumed(), 0);
        Convert(dialog, m_node, tables, true);
        QCOMPARE(resumed(), files);
        // Unchecked, everything goes again.
        shown.clear();
        Convert(dialog, m_node, tables, false);
        QCOMPARE(resumed(), 0);
        QCOMPARE(testsupport::CountAllPoints(m_database), Expected(tables));
    }
};

QTEST_MAIN(PreflightWindowTest)
#include "PreflightWindowTest.moc"

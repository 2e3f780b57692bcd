// The operator's window without a server: layout, node list, data-log folder, data
// exchange, folder picker, Enter, the about box, start and exit lines.

#include "AppTestSupport.h"
#include "app/AboutDlg.h"
#include "app/DialogUnits.h"
#include "app/ListProgress.h"
#include "app/QuarvelApp.h"
#include "session/Session.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QScopeGuard>

#include <cmath>
#include <memory>

using namespace apptest;

namespace {

// Pixels of dialog units, measured here from the dialog's own font.
struct Units {
    explicit Units(const QFont& font) {
        const QFontMetrics metrics(font);
        baseX = static_cast<int>(
            std::lround(metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52.0));
        baseY = metrics.height();
    }
    int X(int units) const { return static_cast<int>(std::lround(units * baseX / 4.0)); }
    int Y(int units) const { return static_cast<int>(std::lround(units * baseY / 8.0)); }
    int baseX;
    int baseY;
};

QString TextOf(QWidget* control) {
    if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->text();
    if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(control)) return edit->text();
    if (auto* group = qobject_cast<QGroupBox*>(control)) return group->title();
    return QString();
}

bool Activate(QWidget& window) {
    window.show();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

}  // namespace

class DialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScratchFolder> m_scratch;

    QString Folder() const { return m_scratch->Path(); }
    void MakeFolders(const QStringList& names) {
        for (const QString& name : names) QVERIFY(QDir().mkpath(Folder() + name));
    }
    void WriteText(const QString& path, const QByteArray& text) {
        QFile file(Folder() + path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

private slots:
    void init() {
        m_scratch = std::make_unique<ScratchFolder>();
        QVERIFY(m_scratch->IsValid());
    }
    void cleanup() { m_scratch.reset(); }

    void controlsFollowTheTemplateAndStayOnResize() {
        CQuarvelDlg dialog(nullptr, Folder());
        QVERIFY(Activate(dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Quarvel"));
        QCOMPARE(dialog.font().pointSize(), 9);
        const Units du(dialog.font());
        QCOMPARE(dialog.size(), QSize(du.X(kMainWidth), du.Y(kMainHeight)));

        // Created in the layout's order: the order of the dialog's children.
        QStringList created;
        for (QObject* child : dialog.children())
            if (child->isWidgetType()) created.append(child->objectName());
        QStringList expectedOrder;
        for (const ControlPlace& place : kMainControls) expectedOrder.append(QString::fromLatin1(place.name));
        QCOMPARE(created, expectedOrder);

        QList<QRect> placed;
        for (const ControlPlace& place : kMainControls) {
            QWidget* control = Control<QWidget>(dialog, place.name);
            // A drop-down's place has the height of its list; the box keeps its own.
            const int height = qobject_cast<QComboBox*>(control) ? control->sizeHint().height() : du.Y(place.height);
            QCOMPARE(control->geometry(), QRect(du.X(place.x), du.Y(place.y), du.X(place.width), height));
            placed.append(control->geometry());
        }

        const struct {
            const char* name;
            const char* kind;
            const char* text;
            bool visible;
        } rows[] = {
            {"1", "QPushButton", "Convert", true},
            {"static_ScadaName", "QLabel", "Scada Name", true},
            {"1000", "QComboBox", "", true},
            {"1001", "QLineEdit", "", true},
            {"static_DataLogFolder", "QLabel", "Data log folder", true},
            {"1003", "QListWidget", "", true},
            {"group_OldDataLogType", "QGroupBox", "Old Data Log Type", true},
            {"1004", "QRadioButton", "DataLog", true},
            {"1005", "QRadioButton", "RTDB", true},
            {"1010", "QPushButton", "...", true},
            {"static_Slash", "QLabel", "/", false},
            {"1016", "QLineEdit", "1", false},
            {"1015", "QLineEdit", "2020", false},
            {"1009", "QCheckBox", "Sec", false},
            {"1008", "QCheckBox", "Min", false},
            {"1007", "QCheckBox", "Hour", false},
            {"1006", "QCheckBox", "Day", false},
            {"group_Filter", "QGroupBox", "Filter", false},
            {"resume", "QCheckBox", "Resume", true},
            {"progress", "QProgressBar", "", true},
        };
        QCOMPARE(std::size(rows), std::size(kMainControls));
        for (const auto& row : rows) {
            QWidget* control = Control<QWidget>(dialog, row.name);
            QVERIFY2(control != nullptr, row.name);
            QCOMPARE(QString::fromLatin1(control->metaObject()->className()), QString::fromLatin1(row.kind));
            QCOMPARE(TextOf(control), QString::fromUtf8(row.text));
            QCOMPARE(control->isVisible(), row.visible);
        }
        auto* combo = Control<QComboBox>(dialog, "1000");
        QVERIFY(!combo->isEditable());
        QVERIFY(Control<QLineEdit>(dialog, "1001")->isReadOnly());
        QVERIFY(Control<QPushButton>(dialog, "1")->isDefault());

        // Tab order: the tab stops of the template, from "Convert", which has the focus.
        QCOMPARE(QApplication::focusWidget(), Control<QWidget>(dialog, "1"));
        QStringList tabbed;
        for (int i = 0; i < 6; ++i) {
            tabbed.append(QApplication::focusWidget()->objectName());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(tabbed, (QStringList{"1", "1000", "1001", "1003", "1010", "resume"}));
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("1"));

        dialog.resize(dialog.width() + 240, dialog.height() + 160);
        QTRY_COMPARE(dialog.size(), QSize(du.X(kMainWidth) + 240, du.Y(kMainHeight) + 160));
        for (size_t i = 0; i < std::size(kMainControls); ++i)
            QCOMPARE(Control<QWidget>(dialog, kMainControls[i].name)->geometry(), placed[static_cast<qsizetype>(i)]);
    }

    void nodeListHoldsFoldersWithUnderscoreSortedWithoutCase() {
        MakeFolders({"Plant_A", "Node_1", "Node1", "alpha_x"});
        WriteText("A_B.txt", "not a node");
        CQuarvelDlg dialog(nullptr, Folder());
        QStringList listed;
        for (int i = 0; i < dialog.m_cbScadaName->count(); ++i) listed.append(dialog.m_cbScadaName->itemText(i));
        QCOMPARE(listed, (QStringList{"alpha_x", "Node_1", "Plant_A"}));
        QCOMPARE(dialog.m_cbScadaName->currentIndex(), -1);
        QCOMPARE(Control<QLineEdit>(dialog, "1001")->text(), QString());
        QCOMPARE(dialog.m_strAppFolder, Folder());
    }

    void nodeFolderComesFromSysinfo_data() {
        QTest::addColumn<QByteArray>("ini");    // empty: no sysinfo.ini
        QTest::addColumn<QString>("expected");  // "@" stands for the app folder
        QTest::newRow("without separator")
            << QByteArray("[NODE_INFO]\nDATA_LOG_FOLDER=/data/plant\n") << "/data/plant/";
        QTest::newRow("with separator") << QByteArray("[NODE_INFO]\r\nDATA_LOG_FOLDER = /data/plant/\r\n")
                                        << "/data/plant/";
        QTest::newRow("case of names") << QByteArray("[node_info]\ndata_log_folder=/data/x\n") << "/data/x/";
        QTest::newRow("missing file") << QByteArray() << "@Node_1/Log/";
        QTest::newRow("empty value") << QByteArray("[NODE_INFO]\nDATA_LOG_FOLDER=\n") << "@Node_1/Log/";
        QTest::newRow("other section") << QByteArray("[OTHER]\nDATA_LOG_FOLDER=/data/x\n") << "@Node_1/Log/";
        // Names as a node's own platform may write them, found without regard to case.
        QTest::newRow("SYSINFO.INI") << QByteArray("SYSINFO.INI:[NODE_INFO]\nDATA_LOG_FOLDER=/data/y\n") << "/data/y/";
        QTest::newRow("LOG folder") << QByteArray("LOG/") << "@Node_1/LOG/";
    }
    void nodeFolderComesFromSysinfo() {
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        MakeFolders({"Node_1"});
        // "NAME:text" writes the file NAME, "NAME/" makes the folder NAME.
        if (ini.endsWith('/'))
            MakeFolders({"Node_1/" + QString::fromLatin1(ini.chopped(1))});
        else if (ini.startsWith("SYSINFO.INI:"))
            WriteText("Node_1/SYSINFO.INI", ini.mid(12));
        else if (!ini.isEmpty())
            WriteText("Node_1/sysinfo.ini", ini);
        expected.replace(QLatin1Char('@'), Folder());

        CQuarvelDlg dialog(nullptr, Folder());
        QVERIFY(PickNode(dialog, "Node_1"));
        QCOMPARE(dialog.m_strScadaName, QStringLiteral("Node_1"));
        QCOMPARE(dialog.m_strDataLogFolder, expected);
        QCOMPARE(Control<QLineEdit>(dialog, "1001")->text(), expected);
    }

    void radioButtonsReturnAfterANodeIsPicked_data() {
        QTest::addColumn<bool>("convertWithRtdb");
        QTest::addColumn<QString>("checkedAfterPick");
        QTest::newRow("before any Convert") << false << "1004";
        QTest::newRow("after a Convert with RTDB") << true << "1005";
    }
    void radioButtonsReturnAfterANodeIsPicked() {
        QFETCH(bool, convertWithRtdb);
        QFETCH(QString, checkedAfterPick);
        MakeFolders({"Node_1", "Plant_A"});
        CQuarvelDlg dialog(nullptr, Folder());
        dialog.show();
        auto* dataLog = Control<QRadioButton>(dialog, "1004");
        auto* rtdb = Control<QRadioButton>(dialog, "1005");
        QVERIFY(dataLog->isChecked());

        QTest::mouseClick(rtdb, Qt::LeftButton);
        QVERIFY(rtdb->isChecked());
        if (convertWithRtdb) {
            BoxCloser boxes;
            QTest::mouseClick(Control<QPushButton>(dialog, "1"), Qt::LeftButton);
            // No node: the operator is asked for one, and no worker starts.
            QCOMPARE(dialog.RunningConversions(), 0);
            QTRY_COMPARE(boxes.texts, QStringList{"Pick a node in \"Scada Name\" first, then press Convert."});
            // The radio changed after the Convert does not count.
            QTest::mouseClick(dataLog, Qt::LeftButton);
        }
        QVERIFY(PickNode(dialog, "Node_1"));
        QVERIFY(Control<QRadioButton>(dialog, checkedAfterPick.toLatin1())->isChecked());
        QCOMPARE(dialog.m_nOldDataType, convertWithRtdb ? CQuarvelDlg::kRtdb : CQuarvelDlg::kDataLog);
    }

    void filterGroupIsHiddenAndTakesPartInTheExchange() {
        CQuarvelDlg dialog(nullptr, Folder());
        dialog.show();
        auto* year = Control<QLineEdit>(dialog, "1015");
        auto* month = Control<QLineEdit>(dialog, "1016");
        auto* sec = Control<QCheckBox>(dialog, "1009");
        auto* day = Control<QCheckBox>(dialog, "1006");
        QVERIFY(!Control<QGroupBox>(dialog, "group_Filter")->isVisible());

        // Members to the controls.
        dialog.m_nFilterYear = 2031;
        dialog.m_nFilterMonth = 7;
        dialog.m_bFilterSec = 1;
        dialog.m_bFilterDay = 1;
        dialog.DoDataExchange(false);
        QCOMPARE(year->text(), QStringLiteral("2031"));
        QCOMPARE(month->text(), QStringLiteral("7"));
        QVERIFY(sec->isChecked() && day->isChecked());
        QVERIFY(!Control<QCheckBox>(dialog, "1008")->isChecked());

        // Controls to the members, with the ranges checked.
        struct Case {
            const char* year;
            const char* month;
            bool valid;
        };
        const Case cases[] = {
            {"2017", "1", true},  {"2040", "12", true},  {"2016", "5", false}, {"2041", "5", false},
            {"2020", "0", false}, {"2020", "13", false}, {"20x0", "5", false}, {"-1", "5", false},
        };
        BoxCloser boxes;
        for (const Case& c : cases) {
            year->setText(QString::fromLatin1(c.year));
            month->setText(QString::fromLatin1(c.month));
            sec->setChecked(false);
            const qsizetype shown = boxes.texts.size();
            QCOMPARE(dialog.DoDataExchange(true), c.valid);
            QCOMPARE(boxes.texts.size(), shown + (c.valid ? 0 : 1));
            QCOMPARE(dialog.m_bFilterSec, 0);
            if (c.valid) {
                QCOMPARE(dialog.m_nFilterYear, year->text().toUInt());
                QCOMPARE(dialog.m_nFilterMonth, month->text().toUInt());
            }
        }
        QCOMPARE(boxes.texts.first(), QStringLiteral("Please enter an integer between 2017 and 2040."));
    }

    void folderPickerOpensAtTheFieldsFolderOrHome_data() {
        QTest::addColumn<QString>("choice");  // empty: cancelled; "@" stands for the scratch folder
        QTest::addColumn<QString>("expected");
        QTest::newRow("folder") << "@picked"
                                << "@picked/";
        QTest::newRow("root") << "/"
                              << "//";
        QTest::newRow("cancelled") << ""
                                   << "@Node_1/Log/";
    }
    // It opens at the folder of the field when that exists: only the cancelled row has it.
    void folderPickerOpensAtTheFieldsFolderOrHome() {
        QFETCH(QString, choice);
        QFETCH(QString, expected);
        choice.replace(QLatin1Char('@'), Folder());
        expected.replace(QLatin1Char('@'), Folder());
        const QString openedAt = choice.isEmpty() ? "Node_1/Log" : "home";
        MakeFolders({"home", "picked", "Node_1", openedAt});
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(Folder() + "home"));

        CQuarvelDlg dialog(nullptr, Folder());
        dialog.show();
        QVERIFY(PickNode(dialog, "Node_1"));
        QTest::mouseClick(Control<QRadioButton>(dialog, "1005"), Qt::LeftButton);
        QString title;
        QString openedOn;
        WhenModal([&](QWidget* modal) {
            auto* picker = qobject_cast<QFileDialog*>(modal);
            if (picker == nullptr) return modal->close(), void();
            title = picker->windowTitle();
            openedOn = picker->directory().absolutePath();
            if (choice.isEmpty()) {
                picker->reject();
            } else {
                picker->setDirectory(choice);
                static_cast<QDialog*>(picker)->accept();  // as its "Choose" button does
            }
        });
        QTest::mouseClick(Control<QPushButton>(dialog, "1010"), Qt::LeftButton);
        qputenv("HOME", home);

        QCOMPARE(title, QStringLiteral("Please select Datalog folder"));
        QCOMPARE(openedOn, QDir(Folder() + openedAt).absolutePath());
        QCOMPARE(dialog.m_strDataLogFolder, expected);
        QCOMPARE(Control<QLineEdit>(dialog, "1001")->text(), expected);
        QCOMPARE(dialog.m_strScadaName, QStringLiteral("Node_1"));
        // A chosen folder writes every member back, the radio buttons included.
        QCOMPARE(Control<QRadioButton>(dialog, "1004")->isChecked(), !choice.isEmpty());
    }

    void enterStartsAConversionAndTheDialogStaysOpen_data() {
        QTest::addColumn<QByteArray>("focused");
        QTest::newRow("on Convert") << QByteArray("1");
        QTest::newRow("on the node list") << QByteArray("1000");
        QTest::newRow("on the progress list") << QByteArray("1003");
    }
    void enterStartsAConversionAndTheDialogStaysOpen() {
        QFETCH(QByteArray, focused);
        MakeFolders({"Node_1/Log"});  // an empty Log folder: the walk finds nothing and posts nothing
        CQuarvelDlg dialog(nullptr, Folder());
        QVERIFY(Activate(dialog));
        QVERIFY(PickNode(dialog, "Node_1"));
        BoxCloser boxes;
        QWidget* control = Control<QWidget>(dialog, focused.constData());
        control->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), control);

        QTest::keyClick(control, Qt::Key_Return);
        QTRY_COMPARE(boxes.texts, QStringList{"Conversion completed"});
        QTRY_COMPARE(dialog.RunningConversions(), 0);
        QVERIFY(dialog.isVisible());
        const QStringList lines = ListLines(dialog);
        QVERIFY2(lines.first().startsWith(QStringLiteral("Files: 0 converted, 0 skipped, 0 already converted; ")),
                 qPrintable(lines.first()));
        QCOMPARE(lines[1], QStringLiteral("Conversion completed"));
        QCOMPARE(lines.last(), QStringLiteral("Start conversion"));
        QCOMPARE(lines[lines.size() - 2], Folder() + "Node_1/Log/*.*");
    }

    void aMissingFolderConvertsNothing_data() {
        QTest::addColumn<QByteArray>("radio");
        QTest::newRow("data-log folder") << QByteArray("1004");
        QTest::newRow("table folder") << QByteArray("1005");
    }
    void aMissingFolderConvertsNothing() {
        QFETCH(QByteArray, radio);
        QString folder = QTest::currentDataTag();
        MakeFolders({"Node_1"});
        WriteText("Node_1/sysinfo.ini", "[NODE_INFO]\nDATA_LOG_FOLDER=" + QFile::encodeName(Folder()) + "gone\n");
        CQuarvelDlg dialog(nullptr, Folder());
        BoxCloser boxes;
        QVERIFY(PickNode(dialog, "Node_1"));
        QTest::mouseClick(Control<QRadioButton>(dialog, radio.constData()), Qt::LeftButton);
        QTest::mouseClick(Control<QPushButton>(dialog, "1"), Qt::LeftButton);
        QCOMPARE(dialog.RunningConversions(), 0);
        folder += " " + Folder() + "gone/";
        QTRY_COMPARE(boxes.texts, QStringList{"The " + folder + " does not exist. Nothing was converted."});
        QCOMPARE(ListLines(dialog), QStringList{"Nothing converted: the " + folder + " does not exist"});
    }

    void aboutBoxFromF1AndTheContextMenu_data() {
        QTest::addColumn<bool>("fromMenu");
        QTest::newRow("F1") << false;
        QTest::newRow("context menu") << true;
    }
    void aboutBoxFromF1AndTheContextMenu() {
        QFETCH(bool, fromMenu);
        CQuarvelDlg dialog(nullptr, Folder());
        QVERIFY(Activate(dialog));

        QStringList seen;
        QString defaultButton;
        WhenModal([&](QWidget* modal) {
            auto* about = qobject_cast<CAboutDlg*>(modal);
            if (about == nullptr) return modal->close(), void();
            seen << about->windowTitle() << Control<QLabel>(*about, "static_Version")->text()
                 << Control<QLabel>(*about, "static_Copyright")->text();
            auto* ok = Control<QPushButton>(*about, "1");
            if (ok->isDefault()) defaultButton = ok->text();
            QTest::mouseClick(ok, Qt::LeftButton);
        });
        QString entry;
        if (fromMenu) {
            QTimer menuPoll;
            menuPoll.setInterval(20);
            connect(&menuPoll, &QTimer::timeout, [&] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                if (menu == nullptr || !entry.isEmpty()) return;
                entry = menu->actions().value(0)->text();
                QTest::keyClick(menu, Qt::Key_A);  // the entry's mnemonic
            });
            menuPoll.start();
            const QPoint at(dialog.width() / 2, dialog.height() - 10);
            QContextMenuEvent event(QContextMenuEvent::Mouse, at, dialog.mapToGlobal(at));
            QApplication::sendEvent(&dialog, &event);
        } else {
            QTest::keyClick(&dialog, Qt::Key_F1);
        }
        if (fromMenu) QCOMPARE(entry, QStringLiteral("關於 Quarvel(&A)..."));
        QCOMPARE(seen, (QStringList{"關於 Quarvel", "Quarvel, 1.0 版", "Copyright (C) 2026"}));
        QCOMPARE(defaultButton, QStringLiteral("確定"));
        QVERIFY(dialog.isVisible());
    }

    // What the configuration file says reaches the conversion; the file beside the program
    // wins over the user's own, which is not read then.
    void theConfigurationFileReachesTheConversion() {
        const auto restore = qScopeGuard([url = qgetenv("QUARVEL_INFLUX_URL")] {
            if (!url.isNull()) qputenv("QUARVEL_INFLUX_URL", url);
        });
        qunsetenv("QUARVEL_INFLUX_URL");
        CQuarvelDlg dialog(nullptr, Folder());
        QVERIFY(WriteTextFile(m_scratch->UserConfig(), "[server]\njobs=9\nmax-refusals=5\n"));
        QVERIFY(WriteTextFile(dialog.ConfigFile(),
                              "[server]\nurl=http://a:1,http://b:2\nconsistency=all\njobs=2\n"
                              "gzip=no\ncodepage=CP950\ntimeout=7\n"));
        SessionOptions options;
        std::string error;
        QVERIFY2(dialog.ConversionOptions(options, error), error.c_str());
        QCOMPARE(options.target.baseUrl, std::string("http://a:1"));
        QCOMPARE(options.target.moreUrls, std::vector<std::string>{"http://b:2"});
        QCOMPARE(options.target.consistency + options.target.codePage, std::string("allCP950"));
        QCOMPARE(options.jobs, 2);
        QCOMPARE(options.gzip, std::optional<bool>(false));
        QCOMPARE(options.target.timeouts.stallSeconds, 7L);
        QCOMPARE(options.maxRefusals, 3);  // the default, not the user's
        QVERIFY(WriteTextFile(dialog.ConfigFile(), "[server]\npassword=hunter2\n"));
        QVERIFY(!dialog.ConversionOptions(options, error));
        QVERIFY2(QString::fromStdString(error).startsWith(dialog.ConfigFile() + ": a password is not written"),
                 error.c_str());
    }

    void databaseNameIsCutToFit_data() {
        QTest::addColumn<QString>("node");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("node") << "Plant_A" << QByteArray("Ry_Plant_A");
        QTest::newRow("no node") << "" << QByteArray("Ry_");
        QTest::newRow("256 letters fit") << QString(256, QLatin1Char('a')) << "Ry_" + QByteArray(256, 'a');
        QTest::newRow("300 letters") << QString(300, QLatin1Char('a')) << "Ry_" + QByteArray(256, 'a');
        // Three bytes each: 85 of them fit after the prefix, the 86th is not split.
        QTest::newRow("wide characters") << QString(100, QChar(0x7BC0)) << "Ry_" + QString(85, QChar(0x7BC0)).toUtf8();
        // Four bytes each, two UTF-16 units: 46 fit after the prefix and 70 letters.
        const QString face = QString::fromUcs4(U"\U0001F600");
        QTest::newRow("surrogate pairs") << QString(70, QLatin1Char('x')) + face.repeated(50)
                                         << "Ry_" + QByteArray(70, 'x') + face.repeated(46).toUtf8();
    }
    void databaseNameIsCutToFit() {
        QFETCH(QString, node);
        QFETCH(QByteArray, expected);
        const std::string name = CQuarvelDlg::DatabaseName(node);
        QCOMPARE(QByteArray::fromStdString(name), expected);
        QVERIFY(name.size() <= 259);
    }

    // The walk's lines go on top, leaving 19 older ones under the newest; a finished file's
    // path stands at the bottom, as the 21st line, until the next path takes its place or
    // the next line cuts it off.
    void progressListKeepsNineteenLinesUnderTheNewest() {
        CQuarvelDlg dialog(nullptr, Folder());
        bool pathAtBottom = false;
        ListProgress progress(dialog, dialog.m_progressList, pathAtBottom, ListProgress::Order::kNewestFirst);
        dialog.m_progressList.AddString("from an earlier conversion");
        // Files sharing posts: their names first, then their paths all at once.
        for (int i = 0; i < 12; ++i) progress.Line("T" + std::to_string(i) + "$0001X.DAT");
        for (int i = 0; i < 12; ++i) progress.FileDone("/data/G/T" + std::to_string(i) + "$0001X.DAT", {});
        QCOMPARE(ListLines(dialog).mid(12), (QStringList{"from an earlier conversion", "/data/G/T11$0001X.DAT"}));
        for (int i = 0; i < 30; ++i) progress.Line("line " + std::to_string(i));
        QCOMPARE(dialog.m_lbProgress->count(), 20);
        progress.FileDone("/data/G/T$0001X.DAT", {});
        QCOMPARE(dialog.m_lbProgress->count(), 21);
        QCOMPARE(dialog.m_lbProgress->item(0)->text(), QStringLiteral("line 29"));
        QCOMPARE(dialog.m_lbProgress->item(19)->text(), QStringLiteral("line 10"));
        QCOMPARE(dialog.m_lbProgress->item(20)->text(), QStringLiteral("/data/G/T$0001X.DAT"));
        progress.Line("line 30");
        QCOMPARE(dialog.m_progressList.Lines().size(), size_t{20});
        QCOMPARE(dialog.m_lbProgress->item(19)->text(), QStringLiteral("line 11"));
    }

    void aRunLogsStartAndExitOnly_data() {
        QTest::addColumn<bool>("byEscape");
        QTest::newRow("Escape") << true;
        QTest::newRow("close box") << false;
    }
    void aRunLogsStartAndExitOnly() {
        QFETCH(bool, byEscape);
        MakeFolders({"Node_1"});
        bool wasUp = false;
        WhenModal([&](QWidget* modal) {
            wasUp = qobject_cast<CQuarvelDlg*>(modal) != nullptr;
            if (byEscape)
                QTest::keyClick(modal, Qt::Key_Escape);
            else
                modal->close();
        });
        CQuarvelApp app(Folder());
        QCOMPARE(app.Run(), 0);
        QVERIFY(wasUp);
        QStringList malformed;
        QCOMPARE(LogMessages(&malformed), (QStringList{"Quarvel Start", "Quarvel Exit"}));
        QCOMPARE(malformed, QStringList());
    }
};

QTEST_MAIN(DialogTest)
#include "DialogTest.moc"

using namespace quarvel;

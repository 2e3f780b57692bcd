#include "app/QuarvelDlg.h"

#include "app/AboutDlg.h"
#include "app/AppIcon.h"
#include "datalog/DataLogConverter.h"
#include "app/DialogUnits.h"
#include "app/FileDialogST.h"
#include "platform/FindFile.h"
#include "influx/HttpPost.h"
#include "datalog/Journal.h"
#include "logging/Logging.h"
#include "datalog/NodeFolder.h"
#include "datalog/OldestSamples.h"
#include "influx/Preflight.h"
#include "rtdb/RtdbConverter.h"
#include "influx/Unsent.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <system_error>

namespace quarvel {

namespace {

constexpr int kKeptLines = 19;            // older lines left under a new progress line
constexpr qsizetype kMaxNameBytes = 259;  // the database name's buffer, less its terminator
constexpr int kComboDropDownHeight = 103;

const char* const kAboutEntry = "關於 Quarvel(&A)...";

// The server the conversions post to; QUARVEL_INFLUX_URL names another than the local one.
std::string InfluxUrl() {
    const QByteArray url = qgetenv("QUARVEL_INFLUX_URL");
    return url.isEmpty() ? InfluxTarget().baseUrl : url.toStdString();
}

std::string Narrow(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

QString Wide(const std::string& text) {
    return QFile::decodeName(QByteArray::fromStdString(text));
}

// The database's journal; without one the conversion goes on, only a later resume cannot skip.
void OpenJournal(Journal& journal, const std::string& database, bool resume) {
    std::string error;
    if (!journal.Open(ToUtf8(database.c_str()), resume, error)) LogMessage("No journal: %s", error.c_str());
}

// A sorted drop-down list keeps its entries in case-insensitive order; equal ones stay in
// the order they came.
void AddSorted(QComboBox* combo, const QString& text) {
    int at = 0;
    while (at < combo->count() && QString::compare(combo->itemText(at), text, Qt::CaseInsensitive) <= 0) ++at;
    combo->insertItem(at, text);
}

}  // namespace

CQuarvelDlg::CQuarvelDlg(QWidget* parent, const QString& appFolder)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_hAppIcon(AppIcon()),
      m_appFolderGiven(appFolder) {
    setObjectName(QStringLiteral("102"));
    setWindowTitle(QStringLiteral("Quarvel"));
    setFont(DialogFont());
    CreateControls();
    ConnectProgressList();
    OnInitDialog();
}

CQuarvelDlg::~CQuarvelDlg() {
    m_destroying = true;
    RequestStopAll();
    // The workers' list operations and message boxes are carried out on this thread, so it
    // keeps handling events until each worker has ended.
    for (;;) {
        bool allEnded = true;
        {
            std::lock_guard lock(m_conversionsMutex);
            for (const auto& conversion : m_conversions) allEnded = allEnded && conversion->ended;
        }
        if (allEnded) break;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    std::list<std::unique_ptr<Conversion>> ended;
    {
        std::lock_guard lock(m_conversionsMutex);
        ended.swap(m_conversions);
    }
    for (auto& conversion : ended) conversion->thread.join();
    platform::SetMessageBoxHandler(nullptr);
    m_progressList.SetObserver(nullptr);
    m_progressList.SetDispatcher(nullptr);
}

// Template 102, in template order, which is also the tab order.
void CQuarvelDlg::CreateControls() {
    const DialogUnits du(font());
    resize(du.X(395), du.Y(325));

    auto place = [&du](QWidget* control, const char* name, int x, int y, int width, int height) {
        control->setObjectName(QString::fromLatin1(name));
        control->setGeometry(du.Rect(x, y, width, height));
    };
    auto label = [this, &place](const QString& text, const char* name, int x, int y, int width, int height) {
        auto* control = new QLabel(text, this);
        control->setTextFormat(Qt::PlainText);
        place(control, name, x, y, width, height);
        return control;
    };
    auto edit = [this, &place](const char* name, int x, int y, int width, int height) {
        auto* control = new QLineEdit(this);
        place(control, name, x, y, width, height);
        return control;
    };
    auto check = [this, &place](const QString& text, const char* name, int x, int y, int width, int height) {
        auto* control = new QCheckBox(text, this);
        place(control, name, x, y, width, height);
        return control;
    };

    m_btnConvert = new QPushButton(QStringLiteral("Convert"), this);
    place(m_btnConvert, "1", 163, 304, 50, 14);
    m_btnConvert->setDefault(true);
    connect(m_btnConvert, &QPushButton::clicked, this, &CQuarvelDlg::OnConvert);

    label(QStringLiteral("Scada Name"), "static_ScadaName", 7, 7, 77, 8);

    m_cbScadaName = new QComboBox(this);
    m_cbScadaName->setEditable(false);  // a drop-down list: no typing
    place(m_cbScadaName, "1000", 7, 19, 106, kComboDropDownHeight);
    // The template's height is that of the dropped-down list; the box itself has its usual height.
    const int boxHeight = m_cbScadaName->sizeHint().height();
    m_cbScadaName->resize(m_cbScadaName->width(), boxHeight);
    m_cbScadaName->setMaxVisibleItems(std::max(1, (du.Y(kComboDropDownHeight) - boxHeight) / du.BaseY()));
    connect(m_cbScadaName, &QComboBox::activated, this, &CQuarvelDlg::OnSelchangeScadaName);

    m_edDataLogFolder = edit("1001", 116, 19, 257, 13);
    m_edDataLogFolder->setReadOnly(true);

    label(QStringLiteral("Data log folder"), "static_DataLogFolder", 116, 7, 64, 8);

    m_lbProgress = new QListWidget(this);
    place(m_lbProgress, "1003", 7, 72, 381, 215);
    m_lbProgress->setSortingEnabled(false);
    m_lbProgress->setUniformItemSizes(true);
    m_lbProgress->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_lbProgress->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    auto* typeGroup = new QGroupBox(QStringLiteral("Old Data Log Type"), this);
    place(typeGroup, "group_OldDataLogType", 7, 37, 108, 30);

    auto* dataLog = new QRadioButton(QStringLiteral("DataLog"), this);
    place(dataLog, "1004", 13, 49, 43, 10);
    auto* rtdb = new QRadioButton(QStringLiteral("RTDB"), this);
    place(rtdb, "1005", 71, 49, 37, 10);
    // As in the template, the radio buttons are no tab stops.
    dataLog->setFocusPolicy(Qt::ClickFocus);
    rtdb->setFocusPolicy(Qt::ClickFocus);
    m_grpOldDataType = new QButtonGroup(this);
    m_grpOldDataType->addButton(dataLog, kDataLog);
    m_grpOldDataType->addButton(rtdb, kRtdb);

    auto* browse = new QPushButton(QStringLiteral("..."), this);
    place(browse, "1010", 374, 18, 14, 15);
    connect(browse, &QPushButton::clicked, this, &CQuarvelDlg::OnBrowseFolder);

    // The Filter group: never shown, but its members take part in every data exchange.
    QLabel* slash = label(QStringLiteral("/"), "static_Slash", 311, 49, 8, 8);
    slash->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_edFilterMonth = edit("1016", 321, 47, 40, 14);
    m_edFilterYear = edit("1015", 270, 47, 40, 14);
    m_chkFilterSec = check(QStringLiteral("Sec"), "1009", 229, 49, 27, 10);
    m_chkFilterMin = check(QStringLiteral("Min"), "1008", 195, 49, 29, 10);
    m_chkFilterHour = check(QStringLiteral("Hour"), "1007", 158, 49, 32, 10);
    m_chkFilterDay = check(QStringLiteral("Day"), "1006", 125, 49, 29, 10);
    auto* filterGroup = new QGroupBox(QStringLiteral("Filter"), this);
    place(filterGroup, "group_Filter", 121, 37, 267, 30);
    for (QWidget* hidden :
         std::initializer_list<QWidget*>{slash, m_edFilterMonth, m_edFilterYear, m_chkFilterSec, m_chkFilterMin,
                                         m_chkFilterHour, m_chkFilterDay, filterGroup})
        hidden->setVisible(false);

    m_chkResume = check(QStringLiteral("Resume"), "resume", 219, 306, 45, 10);
}

// Workers reach the list only through m_progressList. Each of its operations runs on this
// thread while the worker waits, as a sent list-box message would, and the widget mirrors
// every change.
void CQuarvelDlg::ConnectProgressList() {
    m_progressList.SetDispatcher([this](const std::function<void()>& operation) {
        if (QThread::currentThread() == thread()) {
            operation();
            return;
        }
        QMetaObject::invokeMethod(
            this, [&operation] { operation(); }, Qt::BlockingQueuedConnection);
    });
    m_progressList.SetObserver([this](platform::ProgressList::Change change, int index, const std::string& text) {
        using Change = platform::ProgressList::Change;
        switch (change) {
            case Change::Inserted:
                m_lbProgress->insertItem(index, Wide(text));
                break;
            case Change::Added:
                m_lbProgress->addItem(Wide(text));
                break;
            case Change::Deleted:
                delete m_lbProgress->takeItem(index);
                break;
            case Change::Repaint:
                m_lbProgress->viewport()->repaint();
                break;
        }
    });
    // The box at a conversion's end belongs to this window and its thread; the worker
    // waits until the operator has closed it.
    platform::SetMessageBoxHandler([this](const std::string& text) {
        const QString message = Wide(text);
        auto show = [this, &message] {
            QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quarvel"), message, QMessageBox::Ok, this);
            box.exec();
        };
        if (QThread::currentThread() == thread()) {
            show();
        } else {
            QMetaObject::invokeMethod(this, show, Qt::BlockingQueuedConnection);
        }
    });
}

bool CQuarvelDlg::DoDataExchange(bool saveAndValidate) {
    if (!saveAndValidate) {
        m_edDataLogFolder->setText(m_strDataLogFolder);
        if (QAbstractButton* radio = m_grpOldDataType->button(m_nOldDataType)) {
            radio->setChecked(true);
        } else {
            // An index that names no button leaves none checked.
            m_grpOldDataType->setExclusive(false);
            for (QAbstractButton* other : m_grpOldDataType->buttons()) other->setChecked(false);
            m_grpOldDataType->setExclusive(true);
        }
        m_chkFilterSec->setChecked(m_bFilterSec != 0);
        m_chkFilterMin->setChecked(m_bFilterMin != 0);
        m_chkFilterHour->setChecked(m_bFilterHour != 0);
        m_chkFilterDay->setChecked(m_bFilterDay != 0);
        m_edFilterYear->setText(QString::number(m_nFilterYear));
        m_edFilterMonth->setText(QString::number(m_nFilterMonth));
        return true;
    }

    m_strDataLogFolder = m_edDataLogFolder->text();
    m_nOldDataType = m_grpOldDataType->checkedId();
    if (!Validate(m_grpOldDataType->button(kDataLog), m_nOldDataType >= kDataLog && m_nOldDataType <= kRtdb,
                  QStringLiteral("Please enter an integer between 0 and 1.")))
        return false;
    m_bFilterSec = m_chkFilterSec->isChecked() ? 1 : 0;
    m_bFilterMin = m_chkFilterMin->isChecked() ? 1 : 0;
    m_bFilterHour = m_chkFilterHour->isChecked() ? 1 : 0;
    m_bFilterDay = m_chkFilterDay->isChecked() ? 1 : 0;
    struct Bounded {
        QLineEdit* edit;
        unsigned& member;
        unsigned low;
        unsigned high;
    };
    for (const Bounded& field :
         {Bounded{m_edFilterYear, m_nFilterYear, 2017, 2040}, Bounded{m_edFilterMonth, m_nFilterMonth, 1, 12}}) {
        bool isNumber = false;
        const unsigned value = field.edit->text().trimmed().toUInt(&isNumber);
        if (!Validate(field.edit, isNumber, QStringLiteral("Please enter an unsigned integer."))) return false;
        field.member = value;
        if (!Validate(field.edit, value >= field.low && value <= field.high,
                      QStringLiteral("Please enter an integer between %1 and %2.").arg(field.low).arg(field.high)))
            return false;
    }
    return true;
}

bool CQuarvelDlg::Validate(QWidget* control, bool ok, const QString& prompt) {
    if (ok) return true;
    QMessageBox::warning(this, QStringLiteral("Quarvel"), prompt);
    control->setFocus();
    return false;
}

bool CQuarvelDlg::OnInitDialog() {
    DoDataExchange(false);

    // A window manager's system menu cannot take entries; the window's context menu and F1
    // offer the about box instead.
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, [this] { OnSysCommand(kIdmAboutBox, 0); });

    setWindowIcon(m_hAppIcon);

    m_strAppFolder = m_appFolderGiven.isEmpty() ? QCoreApplication::applicationDirPath() : m_appFolderGiven;
    if (m_strAppFolder.isEmpty()) m_strAppFolder = QStringLiteral(".");
    if (!m_strAppFolder.endsWith(QLatin1Char('/'))) m_strAppFolder += QLatin1Char('/');
    FillScadaNameList(m_strAppFolder);

    m_btnConvert->setFocus();
    return true;
}

void CQuarvelDlg::FillScadaNameList(const QString& folder) {
    const QString selected = m_cbScadaName->currentIndex() >= 0 ? m_cbScadaName->currentText() : QString();
    platform::FindFile listing;
    platform::FindData entry;
    for (bool more = listing.First(Narrow(folder) + "*.*", entry); more; more = listing.Next(entry)) {
        if (entry.isDirectory && entry.name.find('_') != std::string::npos) AddSorted(m_cbScadaName, Wide(entry.name));
    }
    // Adding entries selects none: the toolkit's box takes its first entry otherwise.
    m_cbScadaName->setCurrentIndex(selected.isEmpty() ? -1 : m_cbScadaName->findText(selected));
}

void CQuarvelDlg::OnSelchangeScadaName() {
    const int index = m_cbScadaName->currentIndex();
    m_strScadaName = index >= 0 ? m_cbScadaName->itemText(index) : QString();
    // The same reading of sysinfo.ini as the command line's, falling back to the Log folder.
    m_strDataLogFolder = Wide(NodeDataLogFolder(Narrow(m_strAppFolder + m_strScadaName)));
    DoDataExchange(false);
}

void CQuarvelDlg::OnBrowseFolder() {
    CFileDialogST picker;
    if (picker.ChooseFolder(this) != CFileDialogST::kChosen) return;
    m_strDataLogFolder = picker.GetChosenFolder() + QLatin1Char('/');
    DoDataExchange(false);
}

std::string CQuarvelDlg::DatabaseName(const QString& scadaName) {
    QString name = QStringLiteral("Ry_") + scadaName;
    QByteArray bytes = QFile::encodeName(name);
    while (bytes.size() > kMaxNameBytes) {
        name.chop(name.size() > 1 && name.back().isLowSurrogate() ? 2 : 1);
        bytes = QFile::encodeName(name);
    }
    return bytes.toStdString();
}

void CQuarvelDlg::OnConvert() {
    if (m_finishing) return;
    DoDataExchange(true);  // a failed validation does not stop the conversion
    if (!CheckServerBeforeConvert(m_nOldDataType != kDataLog)) return;
    if (m_nOldDataType != kDataLog) {
        ConvertTables();
        return;
    }

    auto conversion = std::make_unique<Conversion>();
    conversion->folder = Narrow(m_strDataLogFolder);
    conversion->scadaName = m_strScadaName;
    conversion->influxUrl = InfluxUrl();
    conversion->resume = m_chkResume->isChecked();
    Conversion* const started = conversion.get();
    std::lock_guard lock(m_conversionsMutex);
    m_conversions.push_back(std::move(conversion));
    try {
        started->thread = std::thread(ConversionThreadProc, this, started);
    } catch (const std::system_error&) {
        m_conversions.pop_back();  // no thread, no conversion, and nothing to report
    }
}

// The table export runs on the dialog thread, so the window takes no other input until it
// ends; its progress lines repaint one by one.
void CQuarvelDlg::ConvertTables() {
    InfluxTarget target;
    target.baseUrl = InfluxUrl();
    target.gzip = GzipByDefault(target.baseUrl);
    target.unsentFolder = kUnsentFolder;
    // Retries wait on this thread: the window repaints and serves its workers meanwhile, but
    // takes no input, as during the rest of the export.
    target.wait = [](std::chrono::milliseconds delay) {
        QEventLoop loop;
        QTimer::singleShot(delay, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    };
    const std::string database = DatabaseName(m_strScadaName);
    Journal journal;
    OpenJournal(journal, database, m_chkResume->isChecked());
    RtdbConverter converter(database, Narrow(m_strDataLogFolder), target);
    converter.SetProgressList(m_progressList);
    converter.SetJournal(journal.IsOpen() ? &journal : nullptr);
    converter.ConvertAllTables();
}

// The server checks on this thread, with short time-outs. A missing database or policy is
// created only when the operator says so; a policy that would drop old samples is shown
// before anything is written. False when the conversion must not start.
bool CQuarvelDlg::CheckServerBeforeConvert(bool tables) {
    const std::string folder = Narrow(m_strDataLogFolder);
    if ((tables ? CountTableFiles(folder) : CountDataLogFiles(folder)) == 0) return true;  // nothing to write
    const std::string url = InfluxUrl();
    const std::string database = ToUtf8(DatabaseName(m_strScadaName).c_str());
    const QString server = QString::fromStdString(url);
    const QString name = QString::fromStdString(database);
    auto ask = [this](QMessageBox::Icon icon, const QString& text, const QString& yes, const QString& no) {
        QMessageBox box(icon, QStringLiteral("Quarvel"), text, QMessageBox::NoButton, this);
        box.setObjectName(QStringLiteral("preflight"));
        QPushButton* accept = box.addButton(yes, QMessageBox::AcceptRole);
        if (!no.isEmpty()) box.setDefaultButton(box.addButton(no, QMessageBox::RejectRole));
        box.exec();
        return box.clickedButton() == accept;
    };

    QApplication::setOverrideCursor(Qt::WaitCursor);
    ServerCheck found = CheckServer(url, database);
    QApplication::restoreOverrideCursor();
    if (!found.Checked()) {
        const QString what = found.outcome == ServerCheck::Outcome::kUnreachable
                                 ? QStringLiteral("cannot be reached")
                                 : QStringLiteral("did not answer the checks");
        ask(QMessageBox::Warning,
            QStringLiteral("The server %1 %2 (%3). Nothing was converted.").arg(server, what, Wide(found.error)),
            QStringLiteral("OK"), QString());
        ShowProgressLine(QStringLiteral("Nothing converted: the server %1 %2").arg(server, what));
        return false;
    }
    if (!found.Complete()) {
        std::vector<std::string> policies;
        for (int kind = 0; kind < kTableKindCount; ++kind)
            if (!found.policies[kind].exists) policies.emplace_back(kRetentionPolicy[kind]);
        const QString list = QString::fromStdString(JoinAnd(policies));
        const QString question =
            !found.databaseExists
                ? QStringLiteral(
                      "Database %1 does not exist on %2. Create it with the retention policies %3 "
                      "(duration INF)?")
                      .arg(name, server, list)
                : QStringLiteral("Database %1 on %2 lacks the retention %3 %4. Create %5 (duration INF)?")
                      .arg(name, server, policies.size() == 1 ? QStringLiteral("policy") : QStringLiteral("policies"),
                           list, policies.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"));
        if (!ask(QMessageBox::Question, question, QStringLiteral("&Yes"), QStringLiteral("&No"))) {
            ShowProgressLine(QStringLiteral("Nothing converted: missing on %1: %2")
                                 .arg(server, QString::fromStdString(JoinAnd(found.Missing(database)))));
            return false;
        }
        std::string error;
        const ServerCheck before = found;
        if (CreateDatabase(url, database, before, error)) found = CheckServer(url, database);
        if (!found.Complete()) {
            ask(QMessageBox::Warning,
                QStringLiteral("Cannot create %1: %2").arg(name, Wide(error.empty() ? found.error : error)),
                QStringLiteral("OK"), QString());
            return false;
        }
        ShowProgressLine(QString::fromStdString(CreationText(database, before)));
    }
    const OldestLineTimes oldest = tables ? OldestTableSamples(folder) : OldestDataLogSamples(folder);
    const std::vector<std::string> warnings = RetentionWarnings(found, oldest, time(nullptr));
    if (warnings.empty()) return true;
    QString text;
    for (const std::string& warning : warnings) text += QString::fromStdString(warning) + QStringLiteral(".\n");
    return ask(QMessageBox::Warning, text + QStringLiteral("\nConvert anyway?"), QStringLiteral("Continue"),
               QStringLiteral("Cancel"));
}

void CQuarvelDlg::ConversionThreadProc(CQuarvelDlg* dialog, Conversion* conversion) {
    const std::string database = DatabaseName(conversion->scadaName);
    InfluxTarget target;
    target.baseUrl = conversion->influxUrl;
    target.gzip = GzipByDefault(target.baseUrl);
    target.unsentFolder = kUnsentFolder;
    {
        Journal journal;
        OpenJournal(journal, database, conversion->resume);
        DataLogConverter converter(conversion->folder, database, dialog->m_progressList, target);
        converter.SetJobs(DefaultJobs());
        converter.SetJournal(journal.IsOpen() ? &journal : nullptr);
        {
            std::lock_guard lock(dialog->m_conversionsMutex);
            conversion->converter = &converter;
            if (conversion->stopRequested) converter.RequestStop();
        }
        converter.ConvertAllFolders();
        std::lock_guard lock(dialog->m_conversionsMutex);
        conversion->converter = nullptr;
    }
    {
        std::lock_guard lock(dialog->m_conversionsMutex);
        conversion->ended = true;
    }
    QMetaObject::invokeMethod(
        dialog, [dialog] { dialog->OnConversionEnded(); }, Qt::QueuedConnection);
}

void CQuarvelDlg::OnConversionEnded() {
    std::list<std::unique_ptr<Conversion>> ended;
    bool noneLeft = false;
    {
        std::lock_guard lock(m_conversionsMutex);
        for (auto it = m_conversions.begin(); it != m_conversions.end();) {
            auto next = std::next(it);
            if ((*it)->ended) ended.splice(ended.end(), m_conversions, it);
            it = next;
        }
        noneLeft = m_conversions.empty();
    }
    for (auto& conversion : ended) conversion->thread.join();
    if (m_finishing && noneLeft && !m_destroying) {
        m_finishing = false;
        QDialog::done(m_closeResult);
    }
}

int CQuarvelDlg::RunningConversions() {
    std::lock_guard lock(m_conversionsMutex);
    return static_cast<int>(m_conversions.size());
}

void CQuarvelDlg::RequestStopAll() {
    std::lock_guard lock(m_conversionsMutex);
    for (const auto& conversion : m_conversions) {
        conversion->stopRequested = true;
        if (conversion->converter != nullptr) conversion->converter->RequestStop();
    }
}

// Escape, the close box and every other way out. While conversions run, the window asks
// them to stop after the file each is converting, and closes once the last has ended.
void CQuarvelDlg::done(int result) {
    if (m_finishing) return;
    if (RunningConversions() == 0) {
        QDialog::done(result);
        return;
    }
    m_finishing = true;
    m_closeResult = result;
    RequestStopAll();
    m_btnConvert->setEnabled(false);
    setWindowTitle(QStringLiteral("Quarvel - finishing the current file"));
    ShowProgressLine(QStringLiteral("Closing: the conversion ends after the file it is converting"));
}

void CQuarvelDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* about = menu.addAction(QString::fromUtf8(kAboutEntry));
    if (menu.exec(event->globalPos()) == about) OnSysCommand(kIdmAboutBox, 0);
}

void CQuarvelDlg::OnSysCommand(unsigned id, qintptr param) {
    Q_UNUSED(param);
    if ((id & 0xFFF0u) != kIdmAboutBox) return;  // the window manager handles its own commands
    CAboutDlg about(this);
    about.exec();
}

// A line of the window's own at the top of the progress list, cut like the converters'.
void CQuarvelDlg::ShowProgressLine(const QString& text) {
    for (int index = m_progressList.GetCount() - 1; index >= kKeptLines; --index) m_progressList.DeleteString(index);
    const std::string line = Narrow(text);
    m_progressList.InsertString(0, line);
    LogMessage("%s", line.c_str());
}

}  // namespace quarvel

#include "app/QuarvelDlg.h"

#include "app/AboutDlg.h"
#include "app/AppIcon.h"
#include "app/DialogUnits.h"
#include "app/FileDialogST.h"
#include "app/ListProgress.h"
#include "app/LoginDlg.h"
#include "logging/Logging.h"
#include "platform/FindFile.h"
#include "influx/Unsent.h"
#include "session/NodeFolder.h"
#include "session/ServerSettings.h"
#include "session/Session.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
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

constexpr int kComboDropDownHeight = 103;

const char* const kAboutEntry = "關於 Quarvel(&A)...";

std::string Narrow(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

QString Wide(const std::string& text) {
    return QFile::decodeName(QByteArray::fromStdString(text));
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

std::string CQuarvelDlg::DatabaseName(const QString& scadaName, const std::string& codePage) {
    return DatabaseFor(Narrow(scadaName), codePage);
}

// The checks' questions, asked by this window on its thread. A missing database or policy
// is created only when the operator says so; a policy that would drop old samples is
// shown before anything is written.
class CQuarvelDlg::Questions : public CheckQuestions {
public:
    Questions(CQuarvelDlg& dialog, const Session& session)
        : m_dialog(dialog),
          m_server(QString::fromStdString(session.Url())),
          m_name(QString::fromStdString(session.DatabaseUtf8())),
          m_who(session.Access().HasLogin() ? QString::fromStdString(session.Access().Who()) : QString()),
          m_database(session.DatabaseUtf8()) {
        QApplication::setOverrideCursor(Qt::WaitCursor);  // until the first question, or the end of the checks
    }
    ~Questions() override { StopWaiting(); }
    Questions(const Questions&) = delete;
    Questions& operator=(const Questions&) = delete;

    // A refused login is not told here: the window asks for another (LoginRefused()).
    void ServerUnusable(const ServerCheck& found) override {
        using Outcome = ServerCheck::Outcome;
        QString what = found.outcome == Outcome::kUnreachable ? QStringLiteral("cannot be reached")
                                                              : QStringLiteral("did not answer the checks");
        if (found.outcome == Outcome::kLoginRefused) {
            m_loginRefused = m_who.isEmpty() ? QStringLiteral("needs a login")
                                             : QStringLiteral("refused the login of %1").arg(m_who);
            return;
        }
        if (found.outcome == Outcome::kWriteRefused)
            what = QStringLiteral("does not let %1 write to %2").arg(m_who, m_name);
        const std::string why = found.certificateProblem.empty() ? found.error : found.certificateProblem;
        Ask(QMessageBox::Warning,
            QStringLiteral("The server %1 %2 (%3). Nothing was converted.").arg(m_server, what, Wide(why)),
            QStringLiteral("OK"), QString());
        m_dialog.ShowProgressLine(QStringLiteral("Nothing converted: the server %1 %2").arg(m_server, what));
    }

    bool CreateMissing(const ServerCheck& found) override {
        const std::vector<std::string> policies = found.MissingPolicies();
        const QString list = QString::fromStdString(JoinAnd(policies));
        const bool one = policies.size() == 1;
        const QString question =
            !found.databaseExists
                ? QStringLiteral("Database %1 does not exist on %2. Create it with the retention policies %3 "
                                 "(duration INF)?")
                      .arg(m_name, m_server, list)
                : QStringLiteral("Database %1 on %2 lacks the retention %3 %4. Create %5 (duration INF)?")
                      .arg(m_name, m_server, one ? QStringLiteral("policy") : QStringLiteral("policies"), list,
                           one ? QStringLiteral("it") : QStringLiteral("them"));
        if (Ask(QMessageBox::Question, question, QStringLiteral("&Yes"), QStringLiteral("&No"))) return true;
        m_dialog.ShowProgressLine(QStringLiteral("Nothing converted: missing on %1: %2")
                                      .arg(m_server, QString::fromStdString(JoinAnd(found.Missing(m_database)))));
        return false;
    }

    void CreationFailed(const std::vector<std::string>&, const std::string& error) override { CannotCreate(error); }
    void StillIncomplete(const ServerCheck& after) override { CannotCreate(after.error); }
    void Created(const std::string& text) override { m_dialog.ShowProgressLine(QString::fromStdString(text)); }

    bool ConvertDespite(const std::vector<std::string>& warnings) override {
        QString text;
        for (const std::string& warning : warnings) text += QString::fromStdString(warning) + QStringLiteral(".\n");
        return Ask(QMessageBox::Warning, text + QStringLiteral("\nConvert anyway?"), QStringLiteral("Continue"),
                   QStringLiteral("Cancel"));
    }

    // "needs a login" or "refused the login of NAME" when the server answered 401; else empty.
    const QString& LoginRefused() const { return m_loginRefused; }

private:
    void CannotCreate(const std::string& error) {
        Ask(QMessageBox::Warning, QStringLiteral("Cannot create %1: %2").arg(m_name, Wide(error)), QStringLiteral("OK"),
            QString());
    }

    bool Ask(QMessageBox::Icon icon, const QString& text, const QString& yes, const QString& no) {
        StopWaiting();
        QMessageBox box(icon, QStringLiteral("Quarvel"), text, QMessageBox::NoButton, &m_dialog);
        box.setObjectName(QStringLiteral("preflight"));
        QPushButton* accept = box.addButton(yes, QMessageBox::AcceptRole);
        if (!no.isEmpty()) box.setDefaultButton(box.addButton(no, QMessageBox::RejectRole));
        box.exec();
        return box.clickedButton() == accept;
    }

    void StopWaiting() {
        if (!m_waiting) return;
        m_waiting = false;
        QApplication::restoreOverrideCursor();
    }

    CQuarvelDlg& m_dialog;
    const QString m_server;
    const QString m_name;
    const QString m_who;  // the login's name; empty without one
    const std::string m_database;
    QString m_loginRefused;
    bool m_waiting = true;
};

QString CQuarvelDlg::ConfigFile() const {
    return m_strAppFolder + QString::fromLatin1(kConfigFileName);
}

bool CQuarvelDlg::ConversionOptions(SessionOptions& options, std::string& error) {
    // The window has no flags: the settings come from the environment, then the
    // configuration file. The site's file beside the program wins over the user's own.
    ServerOptions told;
    if (QFileInfo(ConfigFile()).isFile()) told.configFile = Narrow(ConfigFile());
    ServerSettings server;
    if (!ResolveServer(told, server, error)) return false;
    if (!server.configFile.empty()) LogMessage("Settings from %s", server.configFile.c_str());

    options.kind = m_nOldDataType == kDataLog ? SourceKind::kDataLog : SourceKind::kTables;
    options.folder = Narrow(m_strDataLogFolder);
    options.target.codePage = server.codePage;
    options.database = DatabaseName(m_strScadaName, server.codePage);
    options.resume = m_chkResume->isChecked();
    options.jobs = server.jobs.value_or(DefaultJobs());
    options.gzip = server.gzip;
    ApplyServerSettings(server, options.target);
    UseLogin(options.target.access);
    options.maxRefusals = server.maxRefusals;
    options.shardDuration = server.shardDuration;
    options.maxRate = static_cast<uint64_t>(server.maxRate.value_or(0));
    if (options.kind == SourceKind::kTables) {
        // The export runs on this thread: its retries wait in an event loop that keeps
        // the window painted and its workers served, but takes no input.
        options.target.wait = [](std::chrono::milliseconds delay) {
            QEventLoop loop;
            QTimer::singleShot(delay, &loop, &QEventLoop::quit);
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        };
    }
    return true;
}

void CQuarvelDlg::UseLogin(ServerAccess& access) const {
    if (!m_login) return;
    access.username = m_login->user;
    access.password = m_login->password;
    access.token.clear();
}

// The login box; OK keeps the login for this window's conversions and puts it in `access`.
bool CQuarvelDlg::AskLogin(const QString& why, ServerAccess& access) {
    CLoginDlg box(this, QStringLiteral("The server %1. Log in to convert.").arg(why),
                  QString::fromStdString(access.username));
    if (box.exec() != QDialog::Accepted) return false;
    m_login = Login{box.User().toStdString(), box.Password().toStdString()};
    UseLogin(access);
    return true;
}

void CQuarvelDlg::OnConvert() {
    if (m_finishing) return;
    DoDataExchange(true);  // a failed validation does not stop the conversion
    SessionOptions options;
    std::string error;
    if (!ConversionOptions(options, error)) {
        QMessageBox::warning(
            this, QStringLiteral("Quarvel"),
            QStringLiteral("The settings cannot be used: %1. Nothing was converted.").arg(Wide(error)));
        ShowProgressLine(QStringLiteral("Nothing converted: %1").arg(Wide(error)));
        return;
    }
    // A refused login asks for another, until one is taken or the operator cancels.
    std::unique_ptr<Session> session;
    for (;;) {
        session = std::make_unique<Session>(options);
        QString refused;
        {
            Questions questions(*this, *session);
            if (session->Prepare(questions) == kAllWritten) break;
            refused = questions.LoginRefused();
        }
        if (refused.isEmpty()) return;
        const QString why = QStringLiteral("%1 %2").arg(QString::fromStdString(session->Url()), refused);
        if (!AskLogin(why, options.target.access)) {
            ShowProgressLine(QStringLiteral("Nothing converted: the server %1").arg(why));
            return;
        }
    }
    if (!session->JournalProblem().empty()) LogMessage("No journal: %s", session->JournalProblem().c_str());
    if (m_nOldDataType != kDataLog) {
        ConvertTables(*session);
        return;
    }

    auto conversion = std::make_unique<Conversion>();
    conversion->session = std::move(session);
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
void CQuarvelDlg::ConvertTables(Session& session) {
    ListProgress progress(*this, m_progressList, ListProgress::Order::kInOrder);
    session.Run(progress);
    SayWhyRefused(session, progress);
}

// A run the server's refusals stopped says why in a box of its own.
void CQuarvelDlg::SayWhyRefused(const Session& session, Progress& progress) {
    if (session.RefusedWith().empty()) return;
    progress.Ended("The conversion stopped: the server refused batch after batch (" + session.RefusedWith() +
                   "). The refused batches are saved in " + kUnsentFolder +
                   "/. Once the cause is fixed, convert again with \"Resume\" for the rest.");
}

void CQuarvelDlg::ConversionThreadProc(CQuarvelDlg* dialog, Conversion* conversion) {
    {
        ListProgress progress(*dialog, dialog->m_progressList, ListProgress::Order::kNewestFirst);
        conversion->session->Run(progress);
        SayWhyRefused(*conversion->session, progress);
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
    for (const auto& conversion : m_conversions) conversion->session->RequestStop();
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
    const std::string line = Narrow(text);
    ListProgress(*this, m_progressList, ListProgress::Order::kNewestFirst).Line(line);
    LogMessage("%s", line.c_str());
}

}  // namespace quarvel

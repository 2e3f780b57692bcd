#include "app/QuarvelDlg.h"

#include "app/AboutDlg.h"
#include "app/AppIcon.h"
#include "app/DialogUnits.h"
#include "app/FileDialogST.h"
#include "app/LoginDlg.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"
#include "platform/FindFile.h"
#include "session/NodeFolder.h"
#include "session/ServerSettings.h"
#include "session/Session.h"

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
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

namespace quarvel {

namespace {

constexpr int kBarSteps = 1000;

const char* const kAboutEntry = "關於 Quarvel(&A)...";

std::string Narrow(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

QString Wide(const std::string& text) {
    return QFile::decodeName(QByteArray::fromStdString(text));
}

// A session's text as a box's sentence: "the" becomes "The"; a login's name stays as it is.
QString Sentence(QString text) {
    if (text.startsWith(QStringLiteral("the "))) text[0] = QLatin1Char('T');
    return text;
}

// A sorted drop-down list keeps its entries in case-insensitive order; equal ones stay in
// the order they came. Each keeps its name's bytes.
void AddSorted(QComboBox* combo, const QString& text, const std::string& bytes) {
    int at = 0;
    while (at < combo->count() && QString::compare(combo->itemText(at), text, Qt::CaseInsensitive) <= 0) ++at;
    combo->insertItem(at, text, QByteArray::fromStdString(bytes));
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
    resize(du.X(kMainWidth), du.Y(kMainHeight));

    // The layout's row of the control named `name`.
    auto row = [](const char* name) -> const ControlPlace& {
        return *std::ranges::find_if(kMainControls,
                                     [name](const ControlPlace& at) { return std::strcmp(at.name, name) == 0; });
    };
    // Names the control and puts it where its row says.
    auto place = [&du, &row](auto* control, const char* name) {
        const ControlPlace& at = row(name);
        control->setObjectName(QString::fromLatin1(name));
        control->setGeometry(du.Rect(at.x, at.y, at.width, at.height));
        return control;
    };
    auto label = [this, &place](const QString& text, const char* name) {
        QLabel* control = place(new QLabel(text, this), name);
        control->setTextFormat(Qt::PlainText);
        return control;
    };
    auto check = [this, &place](const QString& text, const char* name) {
        return place(new QCheckBox(text, this), name);
    };

    m_btnConvert = place(new QPushButton(QStringLiteral("Convert"), this), "1");
    m_btnConvert->setDefault(true);
    connect(m_btnConvert, &QPushButton::clicked, this, &CQuarvelDlg::OnConvert);

    label(QStringLiteral("Scada Name"), "static_ScadaName");

    m_cbScadaName = place(new QComboBox(this), "1000");
    m_cbScadaName->setEditable(false);  // a drop-down list: no typing
    // The template's height is that of the dropped-down list; the box itself has its usual height.
    const int boxHeight = m_cbScadaName->sizeHint().height();
    m_cbScadaName->resize(m_cbScadaName->width(), boxHeight);
    m_cbScadaName->setMaxVisibleItems(std::max(1, (du.Y(row("1000").height) - boxHeight) / du.BaseY()));
    connect(m_cbScadaName, &QComboBox::activated, this, &CQuarvelDlg::OnSelchangeScadaName);

    m_edDataLogFolder = place(new QLineEdit(this), "1001");
    m_edDataLogFolder->setReadOnly(true);

    label(QStringLiteral("Data log folder"), "static_DataLogFolder");

    m_lbProgress = place(new QListWidget(this), "1003");
    m_lbProgress->setSortingEnabled(false);
    // Long paths are scrolled to sideways, not cut.
    m_lbProgress->setTextElideMode(Qt::ElideNone);
    m_lbProgress->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_lbProgress->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_lbProgress->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    place(new QGroupBox(QStringLiteral("Old Data Log Type"), this), "group_OldDataLogType");

    auto* dataLog = place(new QRadioButton(QStringLiteral("DataLog"), this), "1004");
    auto* rtdb = place(new QRadioButton(QStringLiteral("RTDB"), this), "1005");
    // As in the template, the radio buttons are no tab stops.
    dataLog->setFocusPolicy(Qt::ClickFocus);
    rtdb->setFocusPolicy(Qt::ClickFocus);
    m_grpOldDataType = new QButtonGroup(this);
    m_grpOldDataType->addButton(dataLog, kDataLog);
    m_grpOldDataType->addButton(rtdb, kRtdb);

    auto* browse = place(new QPushButton(QStringLiteral("..."), this), "1010");
    connect(browse, &QPushButton::clicked, this, &CQuarvelDlg::OnBrowseFolder);

    // The Filter group: never shown, but its members take part in every data exchange.
    QLabel* slash = label(QStringLiteral("/"), "static_Slash");
    slash->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_edFilterMonth = place(new QLineEdit(this), "1016");
    m_edFilterYear = place(new QLineEdit(this), "1015");
    m_chkFilterSec = check(QStringLiteral("Sec"), "1009");
    m_chkFilterMin = check(QStringLiteral("Min"), "1008");
    m_chkFilterHour = check(QStringLiteral("Hour"), "1007");
    m_chkFilterDay = check(QStringLiteral("Day"), "1006");
    auto* filterGroup = place(new QGroupBox(QStringLiteral("Filter"), this), "group_Filter");
    for (QWidget* hidden :
         std::initializer_list<QWidget*>{slash, m_edFilterMonth, m_edFilterYear, m_chkFilterSec, m_chkFilterMin,
                                         m_chkFilterHour, m_chkFilterDay, filterGroup})
        hidden->setVisible(false);

    m_chkResume = check(QStringLiteral("Resume"), "resume");

    m_progressBar = place(new QProgressBar(this), "progress");
    m_progressBar->setRange(0, kBarSteps);
    m_progressBar->setValue(0);
}

// Workers reach the list only through m_progressList. Each of its operations runs on this
// thread while the worker waits, as a sent list-box message would, and the widget mirrors
// every change.
void CQuarvelDlg::ConnectProgressList() {
    m_progressList.SetDispatcher([this](const std::function<void()>& operation) { OnWindowThread(operation); });
    // The newest line is scrolled into view wherever it goes; a run's totals line, its
    // last, stands out so that one run's lines are told from the next one's.
    auto shown = [this](QListWidgetItem* item, const std::string& text) {
        if (IsTotalsText(text)) {
            QFont bold = m_lbProgress->font();
            bold.setBold(true);
            item->setFont(bold);
            item->setBackground(m_lbProgress->palette().alternateBase());
        }
        m_lbProgress->scrollToItem(item);
    };
    m_progressList.SetObserver(
        [this, shown](platform::ProgressList::Change change, int index, const std::string& text) {
            using Change = platform::ProgressList::Change;
            switch (change) {
                case Change::Inserted:
                    m_lbProgress->insertItem(index, QString::fromStdString(text));
                    shown(m_lbProgress->item(index), text);
                    break;
                case Change::Added:
                    m_lbProgress->addItem(QString::fromStdString(text));
                    shown(m_lbProgress->item(m_lbProgress->count() - 1), text);
                    break;
                case Change::Deleted:
                    delete m_lbProgress->takeItem(index);
                    break;
                case Change::Repaint:
                    // The list lays new rows out from the event loop, which a table export on
                    // this thread keeps from running: lay them out now, or they stay unpainted.
                    m_lbProgress->doItemsLayout();
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
    // Node names are shown in the code page of the configuration file; an unusable file is
    // told of at Convert.
    ServerSettings server;
    std::string error;
    if (ReadSettings(server, error)) m_codePage = server.codePage;
    FillScadaNameList(m_strAppFolder);

    m_btnConvert->setFocus();
    return true;
}

// The window's helpers run on its thread while the worker that asked waits, as a sent
// message would.
void CQuarvelDlg::OnWindowThread(const std::function<void()>& work) {
    RunOnThreadOf(*this, work);
}

QString CQuarvelDlg::Shown(const std::string& text) const {
    return QString::fromStdString(WindowText(text, m_codePage));
}

// What the conversion takes for a name or folder shown in the window: the bytes it was
// shown from, unless the text has changed since.
std::string CQuarvelDlg::Bytes(const QString& shown, const std::string& bytes) const {
    return shown == Shown(bytes) ? bytes : Narrow(shown);
}

void CQuarvelDlg::FillScadaNameList(const QString& folder) {
    const QString selected = m_cbScadaName->currentIndex() >= 0 ? m_cbScadaName->currentText() : QString();
    platform::FindFile listing;
    platform::FindData entry;
    for (bool more = listing.First(Narrow(folder) + "*.*", entry); more; more = listing.Next(entry)) {
        if (entry.isDirectory && entry.name.find('_') != std::string::npos)
            AddSorted(m_cbScadaName, Shown(entry.name), entry.name);
    }
    // Adding entries selects none: the toolkit's box takes its first entry otherwise.
    m_cbScadaName->setCurrentIndex(selected.isEmpty() ? -1 : m_cbScadaName->findText(selected));
}

void CQuarvelDlg::OnSelchangeScadaName() {
    const int index = m_cbScadaName->currentIndex();
    m_strScadaName = index >= 0 ? m_cbScadaName->itemText(index) : QString();
    m_scadaNameBytes = index >= 0 ? m_cbScadaName->itemData(index).toByteArray().toStdString() : std::string();
    // The same reading of sysinfo.ini as the command line's, falling back to the Log folder.
    m_dataLogFolderBytes = NodeDataLogFolder(Narrow(m_strAppFolder) + m_scadaNameBytes);
    m_strDataLogFolder = Shown(m_dataLogFolderBytes);
    DoDataExchange(false);
}

void CQuarvelDlg::OnBrowseFolder() {
    CFileDialogST picker;
    // It opens at the folder of the field, as the file system names it.
    if (picker.ChooseFolder(this, Wide(Bytes(m_edDataLogFolder->text(), m_dataLogFolderBytes))) !=
        CFileDialogST::kChosen)
        return;
    m_dataLogFolderBytes = Narrow(picker.GetChosenFolder()) + '/';
    m_strDataLogFolder = Shown(m_dataLogFolderBytes);
    DoDataExchange(false);
}

std::string CQuarvelDlg::DatabaseName(const QString& scadaName, const std::string& codePage) {
    return DatabaseFor(Narrow(scadaName), codePage);
}

// The checks' questions, called on the conversion's thread and asked by this window on its
// own while the checks wait. A missing database or policy is created only when the
// operator says so; a policy that would drop old samples is shown before anything is
// written. A window that is closing asks nothing and answers no.
class CQuarvelDlg::Questions : public CheckQuestions {
public:
    Questions(CQuarvelDlg& dialog, const Session& session)
        : m_dialog(dialog),
          m_server(QString::fromStdString(session.Url())),
          m_name(QString::fromStdString(session.DatabaseUtf8())),
          m_access(session.Access()),
          m_database(session.DatabaseUtf8()) {}

    // A refused login is not told here: the window asks for another (LoginRefused()).
    void ServerUnusable(const ServerCheck& found) override {
        const QString words = QString::fromStdString(UnusableText(found, m_database, m_access, UnusableDetail::kWords));
        if (found.outcome == ServerCheck::Outcome::kLoginRefused) {
            m_loginRefused = words;
            return;
        }
        const QString why = Wide(UnusableText(found, m_database, m_access, UnusableDetail::kReason));
        m_dialog.OnWindowThread([&] {
            Ask(QMessageBox::Warning, Sentence(why) + QStringLiteral(". Nothing was converted."), QStringLiteral("OK"),
                QString());
            m_dialog.ShowProgressLine(QStringLiteral("Nothing converted: ") + words);
        });
    }

    bool CreateMissing(const ServerCheck& found) override {
        const std::vector<std::string> policies = found.MissingPolicies();
        const QString list = QString::fromStdString(JoinAnd(policies));
        const bool one = policies.size() == 1;
        const QString question =
            !found.databaseExists
                ? QStringLiteral(
                      "Database %1 does not exist on %2. Create it with the retention policies %3 "
                      "(duration INF)?")
                      .arg(m_name, m_server, list)
                : QStringLiteral("Database %1 on %2 lacks the retention %3 %4. Create %5 (duration INF)?")
                      .arg(m_name, m_server, one ? QStringLiteral("policy") : QStringLiteral("policies"), list,
                           one ? QStringLiteral("it") : QStringLiteral("them"));
        bool create = false;
        m_dialog.OnWindowThread([&] {
            create = Ask(QMessageBox::Question, question, QStringLiteral("&Yes"), QStringLiteral("&No"));
            if (!create)
                m_dialog.ShowProgressLine(
                    QStringLiteral("Nothing converted: missing on %1: %2")
                        .arg(m_server, QString::fromStdString(JoinAnd(found.Missing(m_database)))));
        });
        return create;
    }

    void CreationFailed(const std::vector<std::string>&, const std::string& error) override { CannotCreate(error); }
    void Created(const std::string& text) override { m_dialog.ShowProgressLine(QString::fromStdString(text)); }

    bool ConvertDespite(const std::vector<std::string>& warnings) override {
        QString text;
        for (const std::string& warning : warnings) text += QString::fromStdString(warning) + QStringLiteral(".\n");
        bool convert = false;
        m_dialog.OnWindowThread([&] {
            convert = Ask(QMessageBox::Warning, text + QStringLiteral("\nConvert anyway?"), QStringLiteral("Continue"),
                          QStringLiteral("Cancel"));
        });
        return convert;
    }

    // "the server URL needs a login" or "... refused the login of NAME" when it answered 401; else empty.
    const QString& LoginRefused() const { return m_loginRefused; }

private:
    void CannotCreate(const std::string& error) {
        m_dialog.OnWindowThread([&] {
            Ask(QMessageBox::Warning, QStringLiteral("Cannot create %1: %2").arg(m_name, Wide(error)),
                QStringLiteral("OK"), QString());
        });
    }

    // On the window's thread.
    bool Ask(QMessageBox::Icon icon, const QString& text, const QString& yes, const QString& no) {
        if (m_dialog.m_finishing || m_dialog.m_destroying) return false;
        QMessageBox box(icon, QStringLiteral("Quarvel"), text, QMessageBox::NoButton, &m_dialog);
        box.setObjectName(QStringLiteral("preflight"));
        QPushButton* accept = box.addButton(yes, QMessageBox::AcceptRole);
        if (!no.isEmpty()) box.setDefaultButton(box.addButton(no, QMessageBox::RejectRole));
        box.exec();
        return box.clickedButton() == accept;
    }

    CQuarvelDlg& m_dialog;
    const QString m_server;
    const QString m_name;
    const ServerAccess m_access;
    const std::string m_database;
    QString m_loginRefused;
};

QString CQuarvelDlg::ConfigFile() const {
    return m_strAppFolder + QString::fromLatin1(kConfigFileName);
}

// The window has no flags: the settings come from the environment, then the configuration
// file. The site's file beside the program wins over the user's own.
bool CQuarvelDlg::ReadSettings(ServerSettings& server, std::string& error) const {
    ServerOptions told;
    if (QFileInfo(ConfigFile()).isFile()) told.configFile = Narrow(ConfigFile());
    return ResolveServer(told, server, error);
}

bool CQuarvelDlg::ConversionOptions(SessionOptions& options, std::string& error) {
    ServerSettings server;
    if (!ReadSettings(server, error)) return false;
    if (!server.configFile.empty()) LogMessage("Settings from %s", server.configFile.c_str());

    options.kind = m_nOldDataType == kDataLog ? SourceKind::kDataLog : SourceKind::kTables;
    options.folder = Bytes(m_strDataLogFolder, m_dataLogFolderBytes);
    options.database = DatabaseFor(Bytes(m_strScadaName, m_scadaNameBytes), server.codePage);
    BuildSessionOptions(server, options);
    options.resume = m_chkResume->isChecked();
    UseLogin(options.target.access);
    if (options.kind == SourceKind::kTables) {
        // The export runs on this thread: its retries and its waits for the posts under
        // way pass in an event loop that keeps the window painted and its workers served,
        // but takes no clicks or keys.
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
    CLoginDlg box(this, Sentence(why) + QStringLiteral(". Log in to convert."),
                  QString::fromStdString(access.username));
    if (box.exec() != QDialog::Accepted) return false;
    m_login = Login{box.User().toStdString(), box.Password().toStdString()};
    UseLogin(access);
    return true;
}

// Reads the controls and starts a conversion on a thread of its own: the server checks,
// then the data-log files there or the tables on this thread. Convert waits while checks run.
void CQuarvelDlg::OnConvert() {
    if (m_finishing || m_checking > 0) return;
    DoDataExchange(true);  // a failed validation does not stop the conversion
    if (m_strScadaName.isEmpty()) {
        QMessageBox::information(this, QStringLiteral("Quarvel"),
                                 QStringLiteral("Pick a node in \"Scada Name\" first, then press Convert."));
        m_cbScadaName->setFocus();
        return;
    }
    auto conversion = std::make_unique<Conversion>();
    std::string error;
    if (!ConversionOptions(conversion->options, error)) {
        QMessageBox::warning(
            this, QStringLiteral("Quarvel"),
            QStringLiteral("The settings cannot be used: %1. Nothing was converted.").arg(Wide(error)));
        ShowProgressLine(QStringLiteral("Nothing converted: %1").arg(Wide(error)));
        return;
    }
    Conversion* const started = conversion.get();
    conversion->options.target.onRetry = [this, started](const RetryNotice& notice) { ShowRetry(*started, notice); };
    conversion->session = std::make_unique<Session>(conversion->options);
    const Session& session = *conversion->session;
    if (!session.FolderExists()) {
        const QString folder = QStringLiteral("%1 %2").arg(
            conversion->options.kind == SourceKind::kTables ? QStringLiteral("table folder")
                                                            : QStringLiteral("data-log folder"),
            QString::fromStdString(WindowText(session.Folder(), conversion->options.target.codePage)));
        ShowProgressLine(QStringLiteral("Nothing converted: the %1 does not exist").arg(folder));
        QMessageBox::warning(this, QStringLiteral("Quarvel"),
                             QStringLiteral("The %1 does not exist. Nothing was converted.").arg(folder));
        return;
    }

    started->bytesToConvert = session.Found().bytes;
    {
        std::lock_guard lock(m_conversionsMutex);
        if (m_conversions.empty()) m_bytes = {};  // the bar starts afresh
        m_conversions.push_back(std::move(conversion));
        try {
            started->thread = std::thread(ConversionThreadProc, this, started);
        } catch (const std::system_error&) {
            m_conversions.pop_back();  // no thread, no conversion, and nothing to report
            return;
        }
    }
    m_bytes.toConvert += started->bytesToConvert;
    ++m_checking;
    UpdateConvertButton();
    UpdateProgressBar();
}

// On the conversion's thread: the server checks, whose questions the window asks. A
// refused login asks for another, until one is taken or the operator cancels. True to
// convert.
bool CQuarvelDlg::PrepareConversion(Conversion& conversion) {
    for (;;) {
        Session& session = *conversion.session;
        if (session.ChecksServer())
            ShowProgressLine(QStringLiteral("Checking the server %1 ...").arg(QString::fromStdString(session.Url())));
        int status = kAllWritten;
        QString refused;
        {
            Questions questions(*this, session);
            status = session.Prepare(questions);
            refused = questions.LoginRefused();
        }
        if (status == kAllWritten && !session.JournalProblem().empty())
            LogMessage("No journal: %s", session.JournalProblem().c_str());
        bool go = false;
        bool again = false;
        OnWindowThread([&] {
            const bool closing = m_finishing || m_destroying;
            go = status == kAllWritten && !closing;
            again = !refused.isEmpty() && !closing && TryAnotherLogin(conversion, refused);
            if (again) return;
            --m_checking;
            UpdateConvertButton();
        });
        if (!again) return go;
    }
}

// On the window's thread: the login box, and a new session with the login taken.
bool CQuarvelDlg::TryAnotherLogin(Conversion& conversion, const QString& refused) {
    if (!AskLogin(refused, conversion.options.target.access)) {
        ShowProgressLine(QStringLiteral("Nothing converted: ") + refused);
        return false;
    }
    auto session = std::make_unique<Session>(conversion.options);
    std::lock_guard lock(m_conversionsMutex);
    conversion.session = std::move(session);
    return true;
}

// The run, its refusals and, as its last line, its totals; then its closing box. The
// table export runs on the window's thread, which takes no other input until it ends; its
// lines repaint one by one.
void CQuarvelDlg::RunConversion(Conversion& conversion, ListProgress::Order order) {
    Session& session = *conversion.session;
    ListProgress progress(*this, m_progressList, m_pathAtBottom, order, conversion.options.target.codePage);
    progress.OnProgress([this, &conversion](uint64_t bytesDone, const ConversionTotals* totals) {
        ShowProgress(conversion, bytesDone, totals);
    });
    const auto started = std::chrono::steady_clock::now();
    session.Run(progress);
    // The run's own time: the box below may stand open for long.
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    const ConversionTotals& totals = session.Totals();
    const bool refused = !session.RefusedWith().empty();
    std::string ending = progress.EndedWith();
    if (refused) {
        ending = "The conversion stopped: " +
                 RefusalStopText(conversion.options.maxRefusals, session.RefusedWith(), "\"Resume\"") + ".";
    } else if (ending.empty() && order == ListProgress::Order::kInOrder && !m_finishing && !m_destroying) {
        // The export closes a clean run without a word; the window says it as for data-log files.
        ending = CompletionText(totals);
        progress.Line(ending);
    }
    const std::string totalsLine = TotalsText(totals, elapsed);
    progress.Line(totalsLine);
    LogMessage("%s", totalsLine.c_str());
    if (!ending.empty())
        OnWindowThread(
            [&] { ShowEnding(WindowText(ending, conversion.options.target.codePage), totals, totalsLine, refused); });
}

// On the window's thread: the closing box. A clean run's says "Conversion completed" alone; one
// that lost lines, left files unread or was stopped warns, with the totals.
void CQuarvelDlg::ShowEnding(const std::string& text, const ConversionTotals& totals, const std::string& totalsLine,
                             bool stopped) {
    if (m_finishing || m_destroying) return;
    const bool clean = !stopped && totals.writes.linesNotWritten == 0 && totals.unreadable.empty();
    QString message = QString::fromStdString(text);
    if (!clean) message += QStringLiteral("\n\n") + QString::fromStdString(totalsLine);
    QMessageBox box(clean ? QMessageBox::NoIcon : QMessageBox::Warning, QStringLiteral("Quarvel"), message,
                    QMessageBox::Ok, this);
    box.exec();
}

void CQuarvelDlg::ConversionThreadProc(CQuarvelDlg* dialog, Conversion* conversion) {
    const bool ran = dialog->PrepareConversion(*conversion);
    if (ran && conversion->options.kind == SourceKind::kTables)
        dialog->OnWindowThread(
            [dialog, conversion] { dialog->RunConversion(*conversion, ListProgress::Order::kInOrder); });
    else if (ran)
        dialog->RunConversion(*conversion, ListProgress::Order::kNewestFirst);
    {
        std::lock_guard lock(dialog->m_conversionsMutex);
        conversion->ran = ran;
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
    for (auto& conversion : ended) {
        conversion->thread.join();
        // On the bar, a conversion that ran is done, whatever it left; one that did not
        // never was.
        if (conversion->ran) {
            m_bytes.done += conversion->bytesToConvert - std::min(conversion->bytesDone, conversion->bytesToConvert);
            m_bytes.ended = true;
        } else {
            m_bytes.toConvert -= conversion->bytesToConvert;
        }
    }
    if (!ended.empty()) UpdateProgressBar();
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

// From any thread: `update` changes what the bar shows, on the window's thread. During a
// table export that thread is busy, so the bar repaints at once.
void CQuarvelDlg::UpdateBar(std::function<void()> update) {
    auto run = [this, update = std::move(update)] {
        update();
        UpdateProgressBar();
    };
    if (QThread::currentThread() == thread()) {
        run();
        m_progressBar->repaint();
    } else {
        QMetaObject::invokeMethod(this, run, Qt::QueuedConnection);
    }
}

// The bytes a conversion has done so far and, after each file, what became of its lines: a
// file whose batches went unanswered shows the server unreachable, one whose lines the
// server took again shows it back.
void CQuarvelDlg::ShowProgress(Conversion& conversion, uint64_t bytesDone, const ConversionTotals* totals) {
    std::optional<WriteCounts> writes;
    size_t unreadable = 0;
    if (totals != nullptr) {
        writes = totals->writes;
        unreadable = totals->unreadable.size();
    }
    UpdateBar([this, &conversion, bytesDone, writes, unreadable] {
        m_bytes.done += bytesDone - conversion.bytesDone;
        conversion.bytesDone = bytesDone;
        if (!writes) return;
        m_bytes.notWritten += writes->linesNotWritten - conversion.writes.linesNotWritten;
        m_bytes.unreadable += unreadable - conversion.unreadable;
        if (writes->batchesUnanswered > conversion.writes.batchesUnanswered) {
            if (!conversion.unreachableSince) conversion.unreachableSince = QTime::currentTime();
        } else if (writes->linesWritten > conversion.writes.linesWritten) {
            conversion.unreachableSince.reset();
        }
        conversion.writes = *writes;
        conversion.unreadable = unreadable;
    });
}

// A post the server did not answer, about to be tried again: the outage begins.
void CQuarvelDlg::ShowRetry(Conversion& conversion, const RetryNotice& notice) {
    if (notice.status != 0) return;  // a busy server answers
    UpdateBar([&conversion] {
        if (!conversion.unreachableSince) conversion.unreachableSince = QTime::currentTime();
    });
}

void CQuarvelDlg::UpdateProgressBar() {
    const uint64_t all = m_bytes.toConvert;
    const uint64_t done = std::min(m_bytes.done, all);
    m_progressBar->setValue(all == 0 ? (m_bytes.ended ? kBarSteps : 0) : static_cast<int>(done * kBarSteps / all));
    m_progressBar->setFormat(BarText());
}

QString CQuarvelDlg::BarText() {
    std::optional<QTime> since;
    uint64_t saved = 0;
    {
        std::lock_guard lock(m_conversionsMutex);
        for (const auto& conversion : m_conversions) {
            if (!conversion->unreachableSince) continue;
            if (!since || *conversion->unreachableSince < *since) since = conversion->unreachableSince;
            saved += conversion->writes.linesSaved;
        }
    }
    auto count = [](uint64_t value) { return QString::fromStdString(Thousands(value)); };
    if (since)
        return QStringLiteral("Server unreachable since %1: %2 lines saved in %3/, still saving")
            .arg(since->toString(QStringLiteral("HH:mm:ss")), count(saved), QString::fromLatin1(kUnsentFolder));
    QString text = QStringLiteral("%p%");
    if (m_bytes.notWritten > 0) text += QStringLiteral(", not written: %1 lines").arg(count(m_bytes.notWritten));
    if (m_bytes.unreadable > 0)
        text += QStringLiteral(", %1 %2 not read")
                    .arg(count(m_bytes.unreadable),
                         m_bytes.unreadable == 1 ? QStringLiteral("file") : QStringLiteral("files"));
    return text;
}

void CQuarvelDlg::UpdateConvertButton() {
    m_btnConvert->setEnabled(!m_finishing && m_checking == 0);
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
    UpdateConvertButton();
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
    const std::string line = text.toStdString();
    ListProgress(*this, m_progressList, m_pathAtBottom, ListProgress::Order::kNewestFirst).Line(line);
    LogMessage("%s", line.c_str());
}

}  // namespace quarvel

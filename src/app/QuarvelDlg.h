#pragma once

// The operator's window, template 102: pick a node, see its data-log folder, choose the
// kind of old data and convert. Each conversion's server checks and data-log conversion
// run on a worker thread of its own; it reaches the window through its ListProgress
// (m_progressList and the message box) and through calls the window carries out on its
// own thread while the worker waits: the checks' questions and the table export.

#include "app/ListProgress.h"
#include "platform/ProgressList.h"
#include "session/Session.h"

#include <QDialog>
#include <QIcon>
#include <QString>
#include <QTime>

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace quarvel {

struct ServerSettings;

class CQuarvelDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr unsigned kIdmAboutBox = 0x0010;
    static constexpr int kDataLog = 0;
    static constexpr int kRtdb = 1;

    // appFolder: the folder that holds the node folders; empty means the executable's.
    explicit CQuarvelDlg(QWidget* parent = nullptr, const QString& appFolder = QString());
    ~CQuarvelDlg() override;
    CQuarvelDlg(const CQuarvelDlg&) = delete;
    CQuarvelDlg& operator=(const CQuarvelDlg&) = delete;

    // Members to the controls (false) or back (true, with validation). False when a value
    // read from the controls is out of range; the members before it have taken their values.
    bool DoDataExchange(bool saveAndValidate);
    bool OnInitDialog();
    void FillScadaNameList(const QString& folder);

    void OnSelchangeScadaName();
    void OnBrowseFolder();
    void OnConvert();
    void OnSysCommand(unsigned id, qintptr param);

    // Conversions started and not yet ended, those whose server checks run included.
    int RunningConversions();
    // True from a close request during a conversion until the window really closes.
    bool IsFinishing() const { return m_finishing; }

    // "Ry_" and the node name, cut to fit 259 bytes without splitting a character of the
    // code page (empty: the locale's).
    static std::string DatabaseName(const QString& scadaName, const std::string& codePage = {});

    // The conversion the controls ask for, with the settings of the environment and the
    // configuration file (ConfigFile(), else the user's own) and the login given in this
    // window. False with `error` when the settings cannot be used.
    bool ConversionOptions(SessionOptions& options, std::string& error);
    // quarvel.conf beside the program, in the folder of the node folders. When it exists the
    // window reads it instead of the user's own configuration file: the site's file wins.
    QString ConfigFile() const;

    QIcon m_hAppIcon;
    QString m_strAppFolder;  // ends with '/'
    QString m_strScadaName;
    QComboBox* m_cbScadaName = nullptr;
    QString m_strDataLogFolder;
    QListWidget* m_lbProgress = nullptr;    // shows m_progressList
    platform::ProgressList m_progressList;  // what the conversions' ListProgress writes to, in UTF-8
    // Bytes of the files done of all the running conversions meet; its text says what was
    // not written, and while a server does not answer, since when and what is saved aside.
    QProgressBar* m_progressBar = nullptr;
    int m_nOldDataType = kDataLog;
    int m_bFilterSec = 0;
    int m_bFilterMin = 0;
    int m_bFilterHour = 0;
    int m_bFilterDay = 0;
    unsigned m_nFilterYear = 2020;
    unsigned m_nFilterMonth = 1;

protected:
    void done(int result) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // A login the operator gave after the server refused one: kept for this window's
    // conversions, in memory only.
    struct Login {
        std::string user;
        std::string password;
    };
    struct Conversion {
        SessionOptions options;  // the login given after a refusal joins them
        std::unique_ptr<Session> session;
        std::thread thread;
        bool ran = false;  // guarded by m_conversionsMutex, as is `ended`: the checks let it run
        bool ended = false;
        // On the window's thread only: the bytes of its files, all and done, what became of
        // the lines of the files done, and since when the server has not answered.
        uint64_t bytesToConvert = 0;
        uint64_t bytesDone = 0;
        WriteCounts writes;
        size_t unreadable = 0;
        std::optional<QTime> unreachableSince;
    };
    class Questions;

    static void ConversionThreadProc(CQuarvelDlg* dialog, Conversion* conversion);

    void CreateControls();
    void ConnectProgressList();
    // Runs `work` on the window's thread and returns once it is done.
    void OnWindowThread(const std::function<void()>& work);
    bool ReadSettings(ServerSettings& server, std::string& error) const;
    bool PrepareConversion(Conversion& conversion);
    bool TryAnotherLogin(Conversion& conversion, const QString& refused);
    void RunConversion(Conversion& conversion, ListProgress::Order order);
    void OnConversionEnded();
    bool AskLogin(const QString& why, ServerAccess& access);
    void UseLogin(ServerAccess& access) const;
    void RequestStopAll();
    void ShowProgressLine(const QString& text);
    void ShowProgress(Conversion& conversion, uint64_t bytesDone, const ConversionTotals* totals);
    void ShowRetry(Conversion& conversion, const RetryNotice& notice);
    void UpdateBar(std::function<void()> update);
    void UpdateProgressBar();
    QString BarText();
    void ShowEnding(const std::string& text, const ConversionTotals& totals, const std::string& totalsLine,
                    bool stopped);
    void UpdateConvertButton();
    QString Shown(const std::string& text) const;
    std::string Bytes(const QString& shown, const std::string& bytes) const;
    bool Validate(QWidget* control, bool ok, const QString& prompt);

    QString m_appFolderGiven;
    QPushButton* m_btnConvert = nullptr;
    QLineEdit* m_edDataLogFolder = nullptr;
    QButtonGroup* m_grpOldDataType = nullptr;
    QLineEdit* m_edFilterYear = nullptr;
    QLineEdit* m_edFilterMonth = nullptr;
    QCheckBox* m_chkFilterSec = nullptr;
    QCheckBox* m_chkFilterMin = nullptr;
    QCheckBox* m_chkFilterHour = nullptr;
    QCheckBox* m_chkFilterDay = nullptr;
    QCheckBox* m_chkResume = nullptr;  // skip the files the journal holds as converted

    // The node's name and data-log folder as the file system has them; m_strScadaName and
    // m_strDataLogFolder show them in m_codePage, read when the window opened.
    std::string m_scadaNameBytes;
    std::string m_dataLogFolderBytes;
    std::string m_codePage;

    std::mutex m_conversionsMutex;
    std::list<std::unique_ptr<Conversion>> m_conversions;
    int m_checking = 0;  // conversions whose server checks run; Convert waits for them
    // The progress bar's bytes and losses, over the conversions since none ran.
    struct {
        uint64_t toConvert = 0;
        uint64_t done = 0;
        bool ended = false;  // one of them has run to its end
        uint64_t notWritten = 0;
        size_t unreadable = 0;
    } m_bytes;
    bool m_pathAtBottom = false;  // of m_progressList, for its ListProgress
    std::optional<Login> m_login;
    bool m_finishing = false;
    bool m_destroying = false;
    int m_closeResult = QDialog::Rejected;
};

}  // namespace quarvel

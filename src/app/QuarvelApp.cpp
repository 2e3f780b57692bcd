#include "app/QuarvelApp.h"

#include "app/AppIcon.h"
#include "app/QuarvelDlg.h"
#include "logging/Logging.h"

#include <QApplication>

namespace quarvel {

CQuarvelApp::CQuarvelApp(const QString& appFolder) : m_appFolder(appFolder) {}

bool CQuarvelApp::InitInstance() {
    QApplication::setApplicationName(QStringLiteral("Quarvel"));
    QApplication::setApplicationVersion(QStringLiteral(QUARVEL_VERSION));
    // Where settings would be kept; the program keeps none.
    QApplication::setOrganizationName(QStringLiteral("本機 AppWizard 所產生的應用程式"));
    QApplication::setWindowIcon(AppIcon());
    // The window's end is the program's end, decided below and not by the toolkit.
    QApplication::setQuitOnLastWindowClosed(false);

    InitLogging();
    LogMessage("Quarvel Start");
    {
        CQuarvelDlg dialog(nullptr, m_appFolder);
        dialog.exec();  // returns once the conversions it started have ended
    }
    return false;
}

int CQuarvelApp::ExitInstance() {
    LogMessage("Quarvel Exit");
    ShutdownLogging();
    return 0;
}

int CQuarvelApp::Run() {
    InitInstance();
    return ExitInstance();
}

}  // namespace quarvel

#pragma once

#include <QString>

namespace quarvel {

// The application: start-up, the main window run modally, and shutdown. "Quarvel Start"
// is the first line of every run's log and "Quarvel Exit" the last.
class CQuarvelApp {
public:
    // appFolder: the folder holding the node folders; empty means the executable's.
    explicit CQuarvelApp(const QString& appFolder = QString());

    // Sets up logging and runs the main window until it has closed and its conversions
    // have ended. Always false: there is no message loop after the window.
    bool InitInstance();
    // Logs the exit line and shuts logging down; the process's exit code.
    int ExitInstance();

    // Both in turn, as the program's entry runs them.
    int Run();

private:
    QString m_appFolder;
};

}  // namespace quarvel

#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

namespace quarvel {

// Asks for a user name and a password after the server refused the window's login. The
// password is shown masked. Object names: "login" (the box), "user", "password", and the
// buttons "1" (OK, enabled once a user is named) and "2" (Cancel).
class CLoginDlg : public QDialog {
    Q_OBJECT
public:
    // prompt: why a login is asked for; user: the name to offer.
    CLoginDlg(QWidget* parent, const QString& prompt, const QString& user);

    QString User() const;
    QString Password() const;

private:
    QLineEdit* m_user = nullptr;
    QLineEdit* m_password = nullptr;
};

}  // namespace quarvel

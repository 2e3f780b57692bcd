#include "app/LoginDlg.h"

#include "app/DialogUnits.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace quarvel {

CLoginDlg::CLoginDlg(QWidget* parent, const QString& prompt, const QString& user)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("login"));
    setFont(DialogFont());
    setWindowTitle(QStringLiteral("Quarvel - login"));
    const DialogUnits du(font());
    setFixedSize(du.X(200), du.Y(82));

    auto label = [this](const QString& text, const char* name, QRect rect) {
        auto* control = new QLabel(text, this);
        control->setObjectName(QString::fromLatin1(name));
        control->setTextFormat(Qt::PlainText);
        control->setGeometry(rect);
        return control;
    };
    label(prompt, "static_Prompt", du.Rect(7, 7, 186, 18))->setWordWrap(true);

    label(QStringLiteral("User name"), "static_User", du.Rect(7, 31, 50, 8));
    m_user = new QLineEdit(user, this);
    m_user->setObjectName(QStringLiteral("user"));
    m_user->setGeometry(du.Rect(60, 29, 133, 13));

    label(QStringLiteral("Password"), "static_Password", du.Rect(7, 47, 50, 8));
    m_password = new QLineEdit(this);
    m_password->setObjectName(QStringLiteral("password"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setGeometry(du.Rect(60, 45, 133, 13));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setGeometry(du.Rect(89, 63, 50, 14));
    ok->setDefault(true);
    ok->setEnabled(!user.isEmpty());
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_user, &QLineEdit::textChanged, ok, [ok](const QString& text) { ok->setEnabled(!text.isEmpty()); });

    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("2"));
    cancel->setGeometry(du.Rect(143, 63, 50, 14));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    (user.isEmpty() ? m_user : m_password)->setFocus();
}

QString CLoginDlg::User() const {
    return m_user->text();
}

QString CLoginDlg::Password() const {
    return m_password->text();
}

}  // namespace quarvel

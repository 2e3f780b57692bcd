#include "app/AboutDlg.h"

#include "app/AppIcon.h"
#include "app/DialogUnits.h"

#include <QLabel>
#include <QPushButton>

namespace quarvel {

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("100"));
    setFont(DialogFont());
    setWindowTitle(QStringLiteral("關於 Quarvel"));
    const DialogUnits du(font());
    setFixedSize(du.X(170), du.Y(62));  // a modal frame: no sizing

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("static_Icon"));
    icon->setPixmap(AppIcon().pixmap(32, 32));
    // An icon control takes the icon's own size at its position.
    icon->setGeometry(du.X(14), du.Y(14), 32, 32);

    auto* name = new QLabel(QStringLiteral("Quarvel, 1.0 版"), this);
    name->setObjectName(QStringLiteral("static_Version"));
    name->setTextFormat(Qt::PlainText);
    name->setGeometry(du.Rect(42, 14, 114, 8));

    auto* second = new QLabel(QStringLiteral("Copyright (C) 2026"), this);
    second->setObjectName(QStringLiteral("static_Copyright"));
    second->setTextFormat(Qt::PlainText);
    second->setGeometry(du.Rect(42, 26, 114, 8));

    auto* ok = new QPushButton(QStringLiteral("確定"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setGeometry(du.Rect(113, 41, 50, 14));
    ok->setDefault(true);
    ok->setFocus();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace quarvel

#pragma once

#include <QDialog>

namespace quarvel {

// The about box, template 100: icon, name and version, one more line, and "確定".
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace quarvel

#include "app/FileDialogST.h"

#include <QDir>
#include <QFileDialog>

namespace quarvel {

int CFileDialogST::ChooseFolder(QWidget* parent, const QString& startFolder) {
    m_szChosenFolder.clear();
    const QString start = !startFolder.isEmpty() && QDir(startFolder).exists() ? startFolder : QDir::homePath();
    const QString chosen = QFileDialog::getExistingDirectory(parent, QStringLiteral("Please select Datalog folder"),
                                                             start, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return kNotChosen;
    m_szChosenFolder = QDir::toNativeSeparators(chosen);
    return kChosen;
}

}  // namespace quarvel

#include "app/FileDialogST.h"

#include <QDir>
#include <QFileDialog>

namespace quarvel {

int CFileDialogST::ChooseFolder(QWidget* parent) {
    m_szChosenFolder.clear();
    // The picker opens on the operator's home folder.
    const QString chosen = QFileDialog::getExistingDirectory(parent, QStringLiteral("Please select Datalog folder"),
                                                             QDir::homePath(), QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return kNotChosen;
    m_szChosenFolder = QDir::toNativeSeparators(chosen);
    return kChosen;
}

}  // namespace quarvel

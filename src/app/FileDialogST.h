#pragma once

#include <QString>

class QWidget;

namespace quarvel {

// The folder picker: a modal folder chooser titled "Please select Datalog folder" that
// opens on the folder given when it exists, else on the user's home folder.
class CFileDialogST {
public:
    enum Result { kChosen = 1, kNotChosen = 2 };

    CFileDialogST() = default;
    virtual ~CFileDialogST() = default;

    // kChosen when a folder was chosen, kNotChosen when the picker was cancelled.
    int ChooseFolder(QWidget* parent, const QString& startFolder = QString());
    QString GetChosenFolder() const { return m_szChosenFolder; }

private:
    QString m_szChosenFolder;
};

}  // namespace quarvel
